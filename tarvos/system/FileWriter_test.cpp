#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/system/FileReader.h"
#include "tarvos/system/FileWriter.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/SystemFactory.h"

// Fault injection: this binary interposes write(2) for the library. Calls pass straight to the
// next definition (libc, or a sanitizer's interceptor) unless the calling thread armed a hook.
namespace {
thread_local std::function<ssize_t(int, const void*, size_t)>* t_writeHook = nullptr;

ssize_t RealWrite(int fd, const void* data, size_t size) {
    using WriteFunction = ssize_t (*)(int, const void*, size_t);
    static const auto next = reinterpret_cast<WriteFunction>(dlsym(RTLD_NEXT, "write"));
    return next(fd, data, size);
}
}  // namespace

// Exported explicitly: the build hides symbols by default, and a hidden definition would not
// interpose for the library.
extern "C" __attribute__((visibility("default"))) ssize_t write(int fd, const void* data,
                                                                size_t size) {
    if (t_writeHook != nullptr) {
        return (*t_writeHook)(fd, data, size);
    }
    return RealWrite(fd, data, size);
}

namespace Tarvos::System {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvos-file-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        _dir = pattern;
    }
    void TearDown() override {
        t_writeHook = nullptr;
        std::filesystem::remove_all(_dir);
    }
    std::string PathOf(const std::string& name) const { return _dir + "/" + name; }
    Ref<FileWriter> OpenWriter(const std::string& name, bool append) {
        Ref<FileWriter> writer;
        GetSystemFactory().CreateFileWriter(PathOf(name), append, writer);
        return writer;
    }
    // Arms a write hook for the calling thread until the test ends.
    void HookWrites(std::function<ssize_t(int, const void*, size_t)> hook) {
        _hook = std::move(hook);
        t_writeHook = &_hook;
    }

    std::string _dir;
    std::function<ssize_t(int, const void*, size_t)> _hook;
};

TEST_F(FileTest, AppendKeepsContentsAndTruncateReplacesThem) {
    std::ofstream(PathOf("f")) << "old";
    Ref<FileWriter> appender = OpenWriter("f", true);
    appender->Write("new", 3);
    appender->Close();
    EXPECT_EQ(ReadAll(PathOf("f")), "oldnew");
    Ref<FileWriter> truncater = OpenWriter("f", false);
    truncater->Write("x", 1);
    truncater->Close();
    EXPECT_EQ(ReadAll(PathOf("f")), "x");
}

TEST_F(FileTest, LargeWriteGoesOutInChunksOf10240) {
    std::vector<size_t> calls;
    HookWrites([&](int fd, const void* data, size_t size) {
        calls.push_back(size);
        return RealWrite(fd, data, size);
    });
    Ref<FileWriter> writer = OpenWriter("big", false);
    const std::string data(25000, 'z');
    writer->Write(data.data(), static_cast<int32_t>(data.size()));
    writer->Close();
    EXPECT_EQ(calls, (std::vector<size_t>{10240, 10240, 4520}));
    EXPECT_EQ(ReadAll(PathOf("big")), data);
}

TEST_F(FileTest, ShortWritesAndInterruptionsAreResumed) {
    int calls = 0;
    HookWrites([&](int fd, const void* data, size_t size) -> ssize_t {
        if (++calls % 2 == 1) {
            errno = EINTR;
            return -1;
        }
        return RealWrite(fd, data, std::min<size_t>(size, 7));
    });
    Ref<FileWriter> writer = OpenWriter("short", false);
    const std::string data = "a text that needs several short writes";
    writer->Write(data.data(), static_cast<int32_t>(data.size()));
    writer->Close();
    EXPECT_EQ(ReadAll(PathOf("short")), data);
}

TEST_F(FileTest, FailedWriteThrowsWithErrnoAndPath) {
    Ref<FileWriter> writer = OpenWriter("full", false);
    HookWrites([](int, const void*, size_t) -> ssize_t {
        errno = ENOSPC;
        return -1;
    });
    try {
        writer->Write("abc", 3);
        FAIL() << "no exception";
    } catch (const PosixSystemException& e) {
        EXPECT_EQ(e.GetErrorCode(), ENOSPC);
        EXPECT_NE(e.GetMessage().find(PathOf("full")), std::string::npos) << e.GetMessage();
    }
}

TEST_F(FileTest, ClosedWriterAndReaderRefuseWork) {
    Ref<FileWriter> writer = OpenWriter("c", false);
    writer->Close();
    EXPECT_THROW(writer->Write("a", 1), NotInitializedException);
    writer->Close();  // a second Close is harmless

    Ref<FileReader> reader;
    GetSystemFactory().CreateFileReader(PathOf("c"), reader);
    reader->Close();
    char byte;
    EXPECT_THROW(reader->Read(&byte, 1), NotInitializedException);
}

TEST_F(FileTest, OpeningInMissingDirectoryNamesThePath) {
    const std::string path = PathOf("missing/f");
    try {
        Ref<FileWriter> writer;
        GetSystemFactory().CreateFileWriter(path, false, writer);
        FAIL() << "no exception";
    } catch (const PosixSystemException& e) {
        EXPECT_EQ(e.GetErrorCode(), ENOENT);
        EXPECT_NE(e.GetMessage().find(path), std::string::npos);
    }
    Ref<FileReader> reader;
    EXPECT_THROW(GetSystemFactory().CreateFileReader(path, reader), PosixSystemException);
}

// Regression: dropping a writer or reader that was never closed (an error path unwinding past
// Close) must close it, keep the data, and leave the process running.
TEST_F(FileTest, DroppingUnclosedWriterAndReaderClosesThem) {
    const auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    const auto before = openDescriptors();
    {
        Ref<FileWriter> writer = OpenWriter("d", false);
        writer->Write("kept", 4);
        Ref<FileReader> reader;
        GetSystemFactory().CreateFileReader(PathOf("d"), reader);
    }
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(ReadAll(PathOf("d")), "kept");
}

TEST_F(FileTest, ReaderDeliversContentThenEndOfFile) {
    std::ofstream(PathOf("empty")).close();
    std::ofstream(PathOf("r")) << "0123456789";
    Ref<FileReader> reader;
    char buffer[8];
    GetSystemFactory().CreateFileReader(PathOf("empty"), reader);
    EXPECT_EQ(reader->Read(buffer, sizeof buffer), -1);
    GetSystemFactory().CreateFileReader(PathOf("r"), reader);
    EXPECT_EQ(reader->Read(buffer, 0), 0);
    EXPECT_EQ(reader->Read(buffer, sizeof buffer), 8);
    EXPECT_EQ(reader->Read(buffer, sizeof buffer), 2);
    EXPECT_EQ(std::string(buffer, 2), "89");
    EXPECT_EQ(reader->Read(buffer, sizeof buffer), -1);
}

TEST_F(FileTest, AppendingWritersCreateTheFileAndNeverOverwriteEachOther) {
    Ref<FileWriter> first = OpenWriter("shared", true);
    Ref<FileWriter> second = OpenWriter("shared", true);
    first->Write("1a", 2);
    second->Write("2a", 2);
    first->Write("1b", 2);
    first->Close();
    second->Close();
    EXPECT_EQ(ReadAll(PathOf("shared")), "1a2a1b");
}

TEST_F(FileTest, EmptyWriteIssuesNoPlatformWriteAndNegativeLengthIsRefused) {
    Ref<FileWriter> writer = OpenWriter("w", false);
    int calls = 0;
    HookWrites([&](int fd, const void* data, size_t size) {
        ++calls;
        return RealWrite(fd, data, size);
    });
    writer->Write("", 0);
    EXPECT_THROW(writer->Write("abc", -1), InvalidArgumentException);
    EXPECT_EQ(calls, 0);
    writer->Write("abc", 3);
    EXPECT_EQ(calls, 1);
}

TEST_F(FileTest, ReadingADirectoryThrowsNamingThePath) {
    ASSERT_EQ(mkdir(PathOf("dir").c_str(), 0700), 0);
    Ref<FileReader> reader;
    GetSystemFactory().CreateFileReader(PathOf("dir"), reader);
    char buffer[4];
    try {
        reader->Read(buffer, sizeof buffer);
        FAIL() << "no exception";
    } catch (const PosixSystemException& e) {
        EXPECT_EQ(e.GetErrorCode(), EISDIR);
        EXPECT_NE(e.GetMessage().find(PathOf("dir")), std::string::npos);
    }
    reader->Close();
}

TEST_F(FileTest, ConsoleWriterWritesToStandardOutput) {
    const int saved = dup(STDOUT_FILENO);
    const int file = open(PathOf("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(file, 0);
    dup2(file, STDOUT_FILENO);
    Ref<Writer> console;
    GetSystemFactory().CreateConsoleWriter(console);
    console->Write("line\r\n", 6);
    console->Flush();
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(file);
    EXPECT_EQ(ReadAll(PathOf("stdout")), "line\r\n");
}

}  // namespace
}  // namespace Tarvos::System
