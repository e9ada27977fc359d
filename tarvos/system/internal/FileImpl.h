#pragma once

#include <string>
#include <vector>

#include "tarvos/core/Export.h"
#include "tarvos/core/Object.h"
#include "tarvos/system/File.h"

namespace Tarvos::System {

// The directories a temporary file may go to, in order of preference: $TMPDIR when set and not
// empty, then /tmp.
std::vector<std::string> TempDirectoryCandidates();

// The first of `candidates` that is a directory the process may create files in; throws
// FileIOException "No temp directory is accessible" when there is none.
TARVOS_INTERNAL std::string FindTempDirectory(const std::vector<std::string>& candidates);

// File over the POSIX path calls. A temporary File (made by CreateTempFile) removes the file at
// its path when it is destroyed.
//
// Immutable; safe for concurrent use.
class FileImpl final : public File, public ObjectImpl {
public:
    // Throws InvalidArgumentException for an empty path or one holding a NUL byte.
    FileImpl(const std::string& path, bool temporary);
    ~FileImpl() override;

    FileImpl(const FileImpl&) = delete;
    FileImpl& operator=(const FileImpl&) = delete;

    bool Exists() const override;
    bool IsDirectory() const override;
    bool IsRegularFile() const override;
    int64_t GetSize() const override;
    int64_t GetModificationTime() const override;
    int64_t GetAccessTime() const override;
    uint32_t GetPermissions() const override;
    void SetPermissions(uint32_t mode) const override;
    bool CreateDirectory() const override;
    bool CreateDirectories() const override;
    void List(std::vector<std::string>& names) const override;
    bool Remove() const override;
    int64_t RemoveAll() const override;
    void Rename(const std::string& target) const override;
    void CopyTo(const std::string& target, bool overwrite) const override;
    const std::string& GetPath() const override { return _path; }
    std::string GetName() const override;
    std::string GetParent() const override;
    std::string GetExtension() const override;
    std::string GetAbsolutePath() const override;
    std::string GetCanonicalPath() const override;

private:
    const std::string _path;
    const bool _temporary;
};

}  // namespace Tarvos::System
