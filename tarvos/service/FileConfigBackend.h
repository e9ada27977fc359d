#pragma once

#include <string>

#include "tarvos/core/Export.h"
#include "tarvos/core/Ref.h"
#include "tarvos/service/ConfigBackend.h"
#include "tarvos/system/FileReader.h"
#include "tarvos/system/FileWriter.h"

namespace Tarvos::Service {

// The storage of a configuration in a file. A load reads the file; a save writes the new text to
// "<path>.tmp" and replaces the file with it only once the text is complete and on disk, so the
// file always holds either the old text or the new one, never a mix.
//
// Save sequence (EndWrite): flush the text into the temporary file, fsync it, close it, give it
// the permission bits of the file it replaces, rename it over the path, fsync the directory.
// When any step before the rename fails, the temporary file is removed and the old file stays
// exactly as it was; the exception (PosixSystemException for platform failures) names the file.
// An access ended without EndWrite (a failed save) removes the temporary file as well.
//
// Thread-safety: externally synchronised (its configuration's Load and Save use it).
class TARVOS_API FileConfigBackend : public virtual ConfigBackend, public virtual ObjectImpl {
public:
    // The storage of `path`; nothing is opened yet.
    explicit FileConfigBackend(const std::string& path);
    // Removes the temporary file of a save that was never ended.
    ~FileConfigBackend() override;

    FileConfigBackend(const FileConfigBackend&) = delete;
    FileConfigBackend& operator=(const FileConfigBackend&) = delete;

    // Opens (creating or truncating) "<path>.tmp" and delivers a buffered writer on it.
    // InProgressException while a reader or writer is open; PosixSystemException when the file
    // cannot be created.
    void BeginWrite(Ref<Writer>& writer) override;
    // Opens the file for reading. InProgressException while a reader or writer is open;
    // PosixSystemException when the file cannot be opened (a missing file: ENOENT).
    void BeginRead(Ref<Reader>& reader) override;
    // Commits the written text as described above; throws without committing on any failure.
    void EndWrite() override;
    void EndAccess() override;

    const std::string& GetPath() const noexcept { return _path; }
    const std::string& GetTemporaryPath() const noexcept { return _temporaryPath; }

private:
    // Closes the writer, dropping what it still holds, and removes the temporary file.
    void AbandonWrite() noexcept;

    const std::string _path;
    const std::string _temporaryPath;

    Ref<System::FileReader> _reader;
    // The temporary file and the buffer in front of it; both set while a save is open.
    Ref<System::FileWriter> _file;
    Ref<Writer> _writer;
};

}  // namespace Tarvos::Service
