#include "tarvos/system/RolloverWriter.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Version.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/SystemFactory.h"

namespace Tarvos::System {
namespace {

const std::string kNotice = "Log is being rotated....";

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Header(int section) {
    return "Log for " TARVOS_PRODUCT_NAME ", pid=" + std::to_string(getpid()) +
           ", version=" TARVOS_VERSION_TEXT ", build=" TARVOS_BUILD_ID
           ", option=Release, section=" +
           std::to_string(section) + "\n";
}

class RolloverTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvos-rollover-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        _dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(_dir); }

    Ref<RolloverWriter> Open(int64_t maxSize, int32_t count, bool log = true) {
        Ref<RolloverWriter> writer;
        if (log) {
            GetSystemFactory().CreateRolloverLogWriter(_dir, "app", maxSize, count, writer);
        } else {
            GetSystemFactory().CreateRolloverWriter(_dir, "app", maxSize, count, writer);
        }
        return writer;
    }
    std::string File(int index) const { return ReadAll(FileName(index)); }
    std::string FileName(int index) const {
        return _dir + "/app-" + std::to_string(index) + ".log";
    }
    std::string Index() const { return ReadAll(_dir + "/app-index"); }
    static void Put(RolloverWriter& writer, const std::string& data) {
        writer.Write(data.data(), static_cast<int32_t>(data.size()));
    }

    std::string _dir;
};

TEST_F(RolloverTest, FirstStartWritesHeaderIndexAndLink) {
    Ref<RolloverWriter> writer = Open(1000, 3);
    Put(*writer, "hello");
    writer->Flush();
    EXPECT_EQ(File(0), Header(1) + "hello");
    EXPECT_EQ(Index(), "0");
    EXPECT_EQ(std::filesystem::read_symlink(_dir + "/app.log"), "app-0.log");
}

TEST_F(RolloverTest, MessageIsSplitAtTheExactLimit) {
    Ref<RolloverWriter> writer = Open(1000, 3);
    Put(*writer, std::string(900, 'a'));
    Put(*writer, std::string(100, 'b') + std::string(200, 'c'));
    writer->Close();
    EXPECT_EQ(File(0), Header(1) + std::string(900, 'a') + std::string(100, 'b') + kNotice);
    EXPECT_EQ(File(1), Header(2) + std::string(200, 'c'));
    EXPECT_EQ(Index(), "1");
    EXPECT_EQ(std::filesystem::read_symlink(_dir + "/app.log"), "app-1.log");
}

TEST_F(RolloverTest, FilesCycleAndTheReusedFileIsTruncated) {
    Ref<RolloverWriter> writer = Open(4, 3);
    std::vector<int32_t> indexes;
    for (const char* chunk : {"0000", "1111", "2222", "3333"}) {
        Put(*writer, chunk);
        indexes.push_back(writer->GetCurrentIndex());
    }
    writer->Close();
    EXPECT_EQ(indexes, (std::vector<int32_t>{0, 1, 2, 0}));
    EXPECT_EQ(Index(), "0");
    EXPECT_EQ(File(0), Header(4) + "3333");
}

TEST_F(RolloverTest, RestartContinuesAfterTheIndexedFile) {
    Ref<RolloverWriter> first = Open(4, 3);
    Put(*first, "00001");
    first->Close();
    first.Reset();
    Ref<RolloverWriter> second = Open(4, 3);
    Put(*second, "x");
    second->Close();
    EXPECT_EQ(File(1), Header(2) + "1");
    EXPECT_EQ(File(2), Header(2) + "x");
    EXPECT_EQ(Index(), "2");

    second.Reset();
    Ref<RolloverWriter> third = Open(4, 3);
    EXPECT_EQ(third->GetCurrentIndex(), 0);
}

TEST_F(RolloverTest, MissingOrGarbledIndexAppendsToFileZeroWithItsRemainingRoom) {
    std::ofstream(FileName(0)) << "12345";
    std::ofstream(_dir + "/app-index") << "7";  // out of range for 3 files
    Ref<RolloverWriter> writer = Open(8, 3);
    Put(*writer, "abcX");
    writer->Close();
    EXPECT_EQ(File(0), "12345" + Header(1) + "abc" + kNotice);
    EXPECT_EQ(File(1), Header(2) + "X");
}

TEST_F(RolloverTest, PlainWriterKeepsIndexWithoutHeadersNoticesOrLink) {
    Ref<RolloverWriter> writer = Open(3, 2, false);
    Put(*writer, "abcdefg");
    writer->Close();
    EXPECT_EQ(File(0), "g");
    EXPECT_EQ(File(1), "def");
    EXPECT_EQ(Index(), "0");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(_dir + "/app.log")));
}

// A limit below the header length must still end: headers are not counted, so each file takes
// one byte of data.
TEST_F(RolloverTest, TinyLimitMakesProgress) {
    Ref<RolloverWriter> writer = Open(1, 2);
    Put(*writer, "abcdefghij");
    writer->Close();
    EXPECT_EQ(File(0), Header(9) + "i" + kNotice);
    EXPECT_EQ(File(1), Header(10) + "j");
}

TEST_F(RolloverTest, InvalidSettingsAndMissingDirectoryAreRefused) {
    EXPECT_THROW(Open(0, 3), InvalidArgumentException);
    EXPECT_THROW(Open(100, 0), InvalidArgumentException);
    const std::string dir = _dir;
    _dir += "/missing";
    EXPECT_THROW(Open(100, 3), PosixSystemException);
    _dir = dir;
}

// Flush must leave the file open: logging goes on after it. Close ends the output.
TEST_F(RolloverTest, FlushKeepsWritingAndCloseEndsIt) {
    Ref<RolloverWriter> writer = Open(1000, 3);
    Put(*writer, "one ");
    writer->Flush();
    EXPECT_EQ(File(0), Header(1) + "one ");
    Put(*writer, "two");
    writer->Close();
    EXPECT_EQ(File(0), Header(1) + "one two");
    EXPECT_THROW(Put(*writer, "three"), NotInitializedException);
}

// Without Flush or Close, the background flusher writes out the buffer and publishes the index
// file and link of a rotation.
TEST_F(RolloverTest, BufferAndIndexReachTheDiskWhenWritingStops) {
    Ref<RolloverWriter> writer = Open(8, 3);
    Put(*writer, "12345678quiet");
    const auto settled = [&] {
        return File(1) == Header(2) + "quiet" && Index() == "1" &&
               std::filesystem::read_symlink(_dir + "/app.log") == "app-1.log";
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!settled() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(settled());
}

TEST_F(RolloverTest, FailedRotationIsRetriedByTheNextWrite) {
    std::filesystem::create_directory(FileName(1));  // the next file cannot be opened
    Ref<RolloverWriter> writer = Open(4, 3);
    EXPECT_THROW(Put(*writer, "abcdef"), PosixSystemException);
    EXPECT_EQ(writer->GetCurrentIndex(), 0);
    std::filesystem::remove(FileName(1));
    Put(*writer, "gh");
    writer->Close();
    EXPECT_EQ(File(0), Header(1) + "abcd" + kNotice + kNotice);
    EXPECT_EQ(File(1), Header(2) + "gh");
}

// Concurrent writers: every record lands whole in the stream formed by the files in order, even
// where a record is split between two files.
TEST_F(RolloverTest, ConcurrentWritesStayWholeAcrossRotations) {
    constexpr int kThreads = 4;
    constexpr int kRecords = 400;
    Ref<RolloverWriter> writer = Open(1000, 64);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRecords; ++i) {
                char record[32];
                snprintf(record, sizeof record, "<%d:%05d:padding>", t, i);
                Put(*writer, record);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const int last = writer->GetCurrentIndex();
    writer->Close();
    std::string stream;
    for (int index = 0; index <= last; ++index) {
        std::string text = File(index);
        ASSERT_EQ(text.rfind(Header(index + 1), 0), 0u) << index;
        text.erase(0, Header(index + 1).size());
        if (index < last) {
            ASSERT_TRUE(text.ends_with(kNotice)) << index;
            text.resize(text.size() - kNotice.size());
            ASSERT_EQ(text.size(), 1000u);
        }
        stream += text;
    }
    std::vector<int> next(kThreads, 0);
    std::istringstream records(stream);
    std::string record;
    while (std::getline(records, record, '>')) {
        int thread = -1;
        int number = -1;
        ASSERT_EQ(sscanf(record.c_str(), "<%d:%d:padding", &thread, &number), 2) << record;
        ASSERT_EQ(number, next[thread]++);
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kRecords));
}

}  // namespace
}  // namespace Tarvos::System
