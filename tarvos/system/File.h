#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tarvos/core/Object.h"

namespace Tarvos::System {

// Operations on one path of the file system, made by SystemFactory::CreateFile (any non-empty
// path, existing or not) or CreateTempFile (a new empty file that is removed when the last
// reference to its File goes).
//
// The path is fixed at creation; Rename and CopyTo act on other paths without changing it.
// Queries follow symbolic links; Remove and RemoveAll act on a link itself.
//
// Failures: an invalid argument (an empty or NUL-holding target path, a mode outside 07777)
// throws InvalidArgumentException. A failure of the file system throws with the path:
// FileIONotFoundException when the path (or a directory on it) does not exist,
// FileIOPermissionDeniedException when access is refused (EACCES, EPERM, EROFS),
// FileIOAlreadyExistsException where noted, and PosixSystemException with errno, the operation
// and the path for anything else.
//
// Times are microseconds since 1970-01-01 UTC.
//
// Thread-safety: immutable; safe for concurrent use (concurrent changes to the same files on
// disk are the callers' to order).
class TARVOS_API File : public virtual Object {
public:
    // Whether something exists at the path (a dangling symbolic link does not).
    virtual bool Exists() const = 0;
    // Whether the path names a directory; false when nothing exists there.
    virtual bool IsDirectory() const = 0;
    // Whether the path names a regular file; false when nothing exists there.
    virtual bool IsRegularFile() const = 0;
    // The size in bytes of what the path names.
    virtual int64_t GetSize() const = 0;
    // The time of the last change of the contents.
    virtual int64_t GetModificationTime() const = 0;
    // The time of the last read, as far as the file system records it.
    virtual int64_t GetAccessTime() const = 0;
    // The permission bits (07777 of the mode: set-id, sticky, owner, group, other).
    virtual uint32_t GetPermissions() const = 0;
    // Sets the permission bits; `mode` must lie within 07777.
    virtual void SetPermissions(uint32_t mode) const = 0;
    // Creates the directory (mode 0777 less the umask); its parent must exist. Returns true
    // when created, false when a directory was already there; any other kind of file there
    // throws FileIOAlreadyExistsException.
    virtual bool CreateDirectory() const = 0;
    // Creates the directory and every missing parent. Returns true when the path itself was
    // created, false when it already was a directory; a non-directory on the way throws
    // FileIOAlreadyExistsException naming it.
    virtual bool CreateDirectories() const = 0;
    // Fills `names` with the names of the entries of the directory that the path names,
    // sorted bytewise, without "." and "..".
    virtual void List(std::vector<std::string>& names) const = 0;
    // Removes the file, symbolic link or empty directory. Returns true when removed, false
    // when nothing was there.
    virtual bool Remove() const = 0;
    // Removes the path and, for a directory, everything below it (links are removed, never
    // followed). Returns the number of entries removed, 0 when nothing was there. The root
    // directory "/" throws InvalidArgumentException.
    virtual int64_t RemoveAll() const = 0;
    // Renames the path to `target` atomically (rename(2)), replacing a file already at
    // `target`; the file's data and the directories are synced so that the result survives a
    // crash.
    virtual void Rename(const std::string& target) const = 0;
    // Copies the regular file at the path to `target` with its permission bits. The copy is
    // written to a temporary file beside `target`, synced and renamed into place, so `target`
    // is either untouched or complete. Without `overwrite`, an existing `target` throws
    // FileIOAlreadyExistsException naming it.
    virtual void CopyTo(const std::string& target, bool overwrite) const = 0;
    // The path as given at creation.
    virtual const std::string& GetPath() const = 0;
    // The last component ("b" for "a/b" and "a/b/"); "/" for the root.
    virtual std::string GetName() const = 0;
    // The path without its last component: "a" for "a/b", "/" for "/a" and "/", "." for "b".
    virtual std::string GetParent() const = 0;
    // The extension of the name with its dot (".gz" for "x.tar.gz"), "" when it has none; a
    // name that only starts with a dot (".profile") has none.
    virtual std::string GetExtension() const = 0;
    // The absolute form of the path against the working directory, with "." and ".." resolved
    // lexically and without a trailing "/"; nothing needs to exist.
    virtual std::string GetAbsolutePath() const = 0;
    // The absolute path with every symbolic link resolved; the path must exist.
    virtual std::string GetCanonicalPath() const = 0;
};

}  // namespace Tarvos::System
