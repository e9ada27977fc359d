#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/system/FileHandle.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/SystemFactory.h"
#include "tarvos/system/internal/FileHandleImpl.h"

namespace Tarvos::System {
namespace {

class FileHandleTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvos-handle-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        _dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(_dir); }

    std::string PathOf(const std::string& name) const { return _dir + "/" + name; }
    Ref<FileHandle> Handle(const std::string& name) const {
        Ref<FileHandle> handle;
        GetSystemFactory().CreateFileHandle(PathOf(name), handle);
        return handle;
    }
    Ref<FileHandle> Opened(const std::string& name, int32_t mode, uint32_t access) const {
        Ref<FileHandle> handle = Handle(name);
        handle->Open(mode, access);
        return handle;
    }
    void Put(const std::string& name, const std::string& text) const {
        std::ofstream(PathOf(name), std::ios::binary) << text;
    }
    std::string Get(const std::string& name) const {
        std::ifstream in(PathOf(name), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string ReadAt(FileHandle& handle, int64_t position, int32_t length) const {
        handle.Seek(position, FileHandle::kBegin);
        std::string buffer(static_cast<size_t>(length), '\0');
        buffer.resize(static_cast<size_t>(handle.Read(buffer.data(), length)));
        return buffer;
    }

    std::string _dir;
};

// What each open mode does to a present and to a missing file.
enum class Outcome { kKept, kTruncated, kCreated, kNotFound, kAlreadyExists };

struct ModeCase {
    int32_t mode;
    bool present;
    Outcome outcome;
};

class FileHandleModeTest : public FileHandleTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(FileHandleModeTest, OpenModeTreatsPresentAndMissingFiles) {
    const ModeCase& c = GetParam();
    if (c.present) {
        Put("f", "contents");
    }
    Ref<FileHandle> handle = Handle("f");
    const uint32_t access = FileHandle::kRead | FileHandle::kWrite;
    switch (c.outcome) {
        case Outcome::kNotFound:
            EXPECT_THROW(handle->Open(c.mode, access), FileIONotFoundException);
            EXPECT_FALSE(std::filesystem::exists(PathOf("f")));
            break;
        case Outcome::kAlreadyExists:
            EXPECT_THROW(handle->Open(c.mode, access), FileIOAlreadyExistsException);
            EXPECT_EQ(Get("f"), "contents");
            break;
        default:
            handle->Open(c.mode, access);
            EXPECT_TRUE(handle->IsOpen());
            EXPECT_EQ(handle->GetSize(), c.outcome == Outcome::kKept ? 8 : 0);
            EXPECT_EQ(Get("f"), c.outcome == Outcome::kKept ? "contents" : "");
            break;
    }
    EXPECT_EQ(handle->IsOpen(),
              c.outcome != Outcome::kNotFound && c.outcome != Outcome::kAlreadyExists);
}

INSTANTIATE_TEST_SUITE_P(
    AllModes, FileHandleModeTest,
    ::testing::Values(ModeCase{FileHandle::kOpenExisting, true, Outcome::kKept},
                      ModeCase{FileHandle::kOpenExisting, false, Outcome::kNotFound},
                      ModeCase{FileHandle::kCreateNew, true, Outcome::kAlreadyExists},
                      ModeCase{FileHandle::kCreateNew, false, Outcome::kCreated},
                      ModeCase{FileHandle::kCreateAlways, true, Outcome::kTruncated},
                      ModeCase{FileHandle::kCreateAlways, false, Outcome::kCreated},
                      ModeCase{FileHandle::kOpenAlways, true, Outcome::kKept},
                      ModeCase{FileHandle::kOpenAlways, false, Outcome::kCreated},
                      ModeCase{FileHandle::kTruncateExisting, true, Outcome::kTruncated},
                      ModeCase{FileHandle::kTruncateExisting, false, Outcome::kNotFound}));

TEST_F(FileHandleTest, MissingFileThrowsNotFoundEndingWithThePath) {
    Ref<FileHandle> handle = Handle("missing");
    try {
        handle->Open(FileHandle::kOpenExisting, FileHandle::kRead);
        FAIL() << "no exception";
    } catch (const FileIONotFoundException& e) {
        EXPECT_EQ(e.GetMessage(), "FileIO error: Couldnot find file " + PathOf("missing"));
    }
    EXPECT_FALSE(handle->IsOpen());
}

TEST_F(FileHandleTest, WritesReadsAndSeeksFromEachOrigin) {
    Ref<FileHandle> handle =
        Opened("f", FileHandle::kCreateNew, FileHandle::kRead | FileHandle::kWrite);
    EXPECT_EQ(handle->Write("hello world", 11), 11);
    EXPECT_EQ(handle->Seek(0, FileHandle::kCurrent), 11);
    EXPECT_EQ(handle->Seek(-5, FileHandle::kEnd), 6);
    EXPECT_EQ(handle->Write("WORLD", 5), 5);
    EXPECT_EQ(handle->Seek(0, FileHandle::kBegin), 0);
    char buffer[32];
    EXPECT_EQ(handle->Read(buffer, 5), 5);
    EXPECT_EQ(handle->Seek(1, FileHandle::kCurrent), 6);
    EXPECT_EQ(handle->Read(buffer, sizeof buffer), 5);
    EXPECT_EQ(std::string(buffer, 5), "WORLD");
    // At the end of the file Read reports 0 bytes, not a failure.
    EXPECT_EQ(handle->Read(buffer, sizeof buffer), 0);
    EXPECT_EQ(handle->Read(buffer, 0), 0);
    // Past the end is allowed; a write there leaves a hole of zeros.
    EXPECT_EQ(handle->Seek(13, FileHandle::kBegin), 13);
    handle->Write("!", 1);
    EXPECT_TRUE(handle->Flush());
    handle->Close();
    EXPECT_EQ(Get("f"), std::string("hello WORLD\0\0!", 14));
}

TEST_F(FileHandleTest, SetSizeTruncatesAndExtendsWithoutMovingThePosition) {
    Put("f", "0123456789");
    Ref<FileHandle> handle =
        Opened("f", FileHandle::kOpenExisting, FileHandle::kRead | FileHandle::kWrite);
    EXPECT_EQ(handle->Seek(8, FileHandle::kBegin), 8);
    EXPECT_TRUE(handle->SetSize(4));
    EXPECT_EQ(handle->GetSize(), 4);
    EXPECT_EQ(handle->Seek(0, FileHandle::kCurrent), 8);
    EXPECT_TRUE(handle->SetSize(6));
    EXPECT_EQ(ReadAt(*handle, 0, 10), std::string("0123\0\0", 6));

    Ref<FileHandle> reader = Opened("f", FileHandle::kOpenExisting, FileHandle::kRead);
    EXPECT_FALSE(reader->SetSize(2));
    EXPECT_EQ(reader->GetSize(), 6);
}

TEST_F(FileHandleTest, PlatformFailuresThrowPosixErrorsNamingThePath) {
    Put("f", "data");
    Ref<FileHandle> handle = Opened("f", FileHandle::kOpenExisting, FileHandle::kRead);
    try {
        handle->Write("x", 1);
        FAIL() << "no exception";
    } catch (const PosixSystemException& e) {
        EXPECT_EQ(e.GetErrorCode(), EBADF);
        EXPECT_NE(e.GetMessage().find("write " + PathOf("f")), std::string::npos);
    }
    try {
        handle->Seek(-1, FileHandle::kBegin);
        FAIL() << "no exception";
    } catch (const PosixSystemException& e) {
        EXPECT_EQ(e.GetErrorCode(), EINVAL);
        EXPECT_NE(e.GetMessage().find(PathOf("f")), std::string::npos);
    }
    // The failed seek left the position alone.
    EXPECT_EQ(handle->Seek(0, FileHandle::kCurrent), 0);
}

TEST_F(FileHandleTest, ClosedHandleRefusesWorkAndOpenHandleRefusesOpen) {
    Ref<FileHandle> handle = Handle("f");
    char byte = 0;
    EXPECT_THROW(handle->Read(&byte, 1), NotInitializedException);
    EXPECT_THROW(handle->Write(&byte, 1), NotInitializedException);
    EXPECT_THROW(handle->Flush(), NotInitializedException);
    EXPECT_THROW(handle->Seek(0, FileHandle::kBegin), NotInitializedException);
    EXPECT_THROW(handle->GetSize(), NotInitializedException);
    EXPECT_THROW(handle->SetSize(0), NotInitializedException);
    handle->Close();  // closing a closed handle is harmless

    handle->Open(FileHandle::kCreateNew, FileHandle::kWrite);
    EXPECT_THROW(handle->Open(FileHandle::kOpenExisting, FileHandle::kRead),
                 AlreadyInitializedException);
    handle->Close();
    EXPECT_FALSE(handle->IsOpen());
    EXPECT_THROW(handle->Write(&byte, 1), NotInitializedException);
    // A closed handle can be opened again.
    handle->Open(FileHandle::kOpenExisting, FileHandle::kRead);
    EXPECT_TRUE(handle->IsOpen());
}

TEST_F(FileHandleTest, InvalidArgumentsAreRefusedBeforeTouchingTheFile) {
    Put("f", "keep");
    Ref<FileHandle> handle = Handle("f");
    const uint32_t rw = FileHandle::kRead | FileHandle::kWrite;
    EXPECT_THROW(handle->Open(5, rw), InvalidArgumentException);
    EXPECT_THROW(handle->Open(-1, rw), InvalidArgumentException);
    for (uint32_t access : {0u, uint32_t{FileHandle::kLockExclusive}, rw | 0x10,
                            rw | FileHandle::kLockShared | FileHandle::kLockExclusive}) {
        EXPECT_THROW(handle->Open(FileHandle::kOpenExisting, access), InvalidArgumentException);
    }
    for (int32_t truncating : {FileHandle::kTruncateExisting, FileHandle::kCreateAlways}) {
        EXPECT_THROW(handle->Open(truncating, FileHandle::kRead), InvalidArgumentException);
    }
    EXPECT_FALSE(handle->IsOpen());
    EXPECT_EQ(Get("f"), "keep");

    handle->Open(FileHandle::kOpenExisting, rw);
    char byte = 0;
    EXPECT_THROW(handle->Seek(0, 3), InvalidArgumentException);
    EXPECT_THROW(handle->Read(&byte, -1), InvalidArgumentException);
    EXPECT_THROW(handle->Write(&byte, -1), InvalidArgumentException);
    EXPECT_THROW(handle->SetSize(-1), InvalidArgumentException);

    Ref<FileHandle> unnamed;
    EXPECT_THROW(GetSystemFactory().CreateFileHandle("", unnamed), InvalidArgumentException);
    EXPECT_THROW(GetSystemFactory().CreateFileHandle(std::string("a\0b", 3), unnamed),
                 InvalidArgumentException);
}

// Which lock a second handle gets while a first one holds a lock.
struct LockCase {
    uint32_t first;
    uint32_t second;
    bool conflicts;
};

class FileHandleLockTest : public FileHandleTest, public ::testing::WithParamInterface<LockCase> {};

TEST_P(FileHandleLockTest, SecondHandleGetsTheLockOnlyWithoutConflict) {
    const LockCase& c = GetParam();
    Ref<FileHandle> first = Opened("f", FileHandle::kOpenAlways, FileHandle::kRead | c.first);
    Ref<FileHandle> second = Handle("f");
    if (c.conflicts) {
        try {
            second->Open(FileHandle::kOpenExisting, FileHandle::kRead | c.second);
            FAIL() << "no exception";
        } catch (const FileIOLockFailedException& e) {
            EXPECT_EQ(e.GetMessage(), "FileIO error : Failed to lock file " + PathOf("f"));
        }
        EXPECT_FALSE(second->IsOpen());
        first->Close();
    }
    second->Open(FileHandle::kOpenExisting, FileHandle::kRead | c.second);
    EXPECT_TRUE(second->IsOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Combinations, FileHandleLockTest,
    ::testing::Values(LockCase{FileHandle::kLockExclusive, FileHandle::kLockExclusive, true},
                      LockCase{FileHandle::kLockExclusive, FileHandle::kLockShared, true},
                      LockCase{FileHandle::kLockShared, FileHandle::kLockExclusive, true},
                      LockCase{FileHandle::kLockShared, FileHandle::kLockShared, false},
                      LockCase{0, FileHandle::kLockExclusive, false}));

// Regression: a truncating open must not destroy the data of the handle that holds the lock.
TEST_F(FileHandleTest, TruncatingOpenThatLosesTheLockLeavesTheDataAlone) {
    Put("f", "owned data");
    Ref<FileHandle> owner =
        Opened("f", FileHandle::kOpenExisting, FileHandle::kRead | FileHandle::kLockExclusive);
    for (int32_t mode : {FileHandle::kCreateAlways, FileHandle::kTruncateExisting}) {
        Ref<FileHandle> intruder = Handle("f");
        EXPECT_THROW(intruder->Open(mode, FileHandle::kWrite | FileHandle::kLockExclusive),
                     FileIOLockFailedException);
    }
    EXPECT_EQ(Get("f"), "owned data");
}

TEST_F(FileHandleTest, DroppingAnOpenHandleReleasesItsLock) {
    Opened("f", FileHandle::kCreateNew, FileHandle::kWrite | FileHandle::kLockExclusive);
    Ref<FileHandle> next =
        Opened("f", FileHandle::kOpenExisting, FileHandle::kWrite | FileHandle::kLockExclusive);
    EXPECT_TRUE(next->IsOpen());
}

// Root ignores file permissions, so the refusal is checked in a child that runs as nobody.
void OpenAsNobody(const std::string& path) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
        std::_Exit(3);
    }
    try {
        Ref<FileHandle> handle;
        GetSystemFactory().CreateFileHandle(path, handle);
        handle->Open(FileHandle::kOpenExisting, FileHandle::kRead);
        std::_Exit(4);
    } catch (const FileIOPermissionDeniedException& e) {
        std::_Exit(e.GetMessage() == "FileIO error: Permission denied for file " + path ? 0 : 5);
    } catch (...) {
        std::_Exit(6);
    }
}

TEST_F(FileHandleTest, RefusedAccessThrowsPermissionDenied) {
    Put("secret", "x");
    ASSERT_EQ(::chmod(PathOf("secret").c_str(), 0600), 0);
    ASSERT_EQ(::chmod(_dir.c_str(), 0755), 0);
    EXPECT_EXIT(OpenAsNobody(PathOf("secret")), ::testing::ExitedWithCode(0), "");
}

// The mapping of lower-level result codes to exceptions.
struct ResultCase {
    int32_t result;
    const char* expected;  // the message, or "" when nothing is thrown
};

class FileIoResultTest : public ::testing::TestWithParam<ResultCase> {};

TEST_P(FileIoResultTest, ResultCodeBecomesItsException) {
    const ResultCase& c = GetParam();
    std::string message;
    try {
        FileIo::CheckResult(c.result, ENOSPC, "write", "/x/y");
    } catch (const PosixSystemException& e) {
        EXPECT_EQ(c.result, FileIo::kPlatformError);
        EXPECT_EQ(e.GetErrorCode(), ENOSPC);
        message = e.GetMessage();
    } catch (const FileIOException& e) {
        message = e.GetMessage();
    }
    EXPECT_EQ(message, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, FileIoResultTest,
    ::testing::Values(
        ResultCase{FileIo::kOk, ""}, ResultCase{FileIo::kInvalid, "Unkown file io error"},
        ResultCase{FileIo::kPlatformError, "write /x/y: No space left on device"},
        ResultCase{FileIo::kAlreadyExists, "FileIO error : File already exists /x/y"},
        ResultCase{FileIo::kLockFailed, "FileIO error : Failed to lock file /x/y"},
        ResultCase{FileIo::kEndOfFile, "Unkown file io error"},
        ResultCase{FileIo::kNotFound, "FileIO error: Couldnot find file /x/y"},
        ResultCase{FileIo::kPermissionDenied, "FileIO error: Permission denied for file /x/y"},
        ResultCase{8, "Unkown file io error"}, ResultCase{-1, "Unkown file io error"}));

TEST(FileIoResultMapping, EndOfFileIsSuccessOnlyWhereAllowedAndErrnoMapsToCodes) {
    EXPECT_NO_THROW(FileIo::CheckResult(FileIo::kEndOfFile, 0, "read", "/p", true));
    EXPECT_EQ(FileIo::ResultFromErrno(ENOENT), FileIo::kNotFound);
    EXPECT_EQ(FileIo::ResultFromErrno(EEXIST), FileIo::kAlreadyExists);
    EXPECT_EQ(FileIo::ResultFromErrno(EACCES), FileIo::kPermissionDenied);
    EXPECT_EQ(FileIo::ResultFromErrno(EROFS), FileIo::kPermissionDenied);
    EXPECT_EQ(FileIo::ResultFromErrno(EWOULDBLOCK), FileIo::kLockFailed);
    EXPECT_EQ(FileIo::ResultFromErrno(ENOTDIR), FileIo::kPlatformError);
    EXPECT_EQ(FileIo::ResultFromErrno(EIO), FileIo::kPlatformError);
}

}  // namespace
}  // namespace Tarvos::System
