#include "tarvos/service/internal/TraceHistory.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/service/Log.h"
#include "tarvos/service/LoggerImpl.h"
#include "tarvos/service/internal/LogTestSupport.h"

// The history is reached through the logger, as host programs reach it.
namespace Tarvos::Service {
namespace {

class TraceHistoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        _output = new MemoryWriter();
        CreateRootLogger("App", _output, nullptr, _logger);
    }
    std::vector<std::string> LoggedEntries() {
        _output->Reset();
        _logger->LogHistory();
        std::vector<std::string> entries;
        std::istringstream lines(_output->Text());
        std::string line;
        while (std::getline(lines, line)) {
            entries.push_back(line.substr(line.find("] ") + 2, line.size() - line.find("] ") - 3));
        }
        return entries;
    }
    std::string Written() {
        Ref<MemoryWriter> out = new MemoryWriter();
        _logger->WriteHistory(*out);
        return out->Text();
    }

    Ref<MemoryWriter> _output;
    Ref<Logger> _logger;
};

TEST_F(TraceHistoryTest, WriteHistoryPrintsTheWholeRingInArrayOrder) {
    _logger->RecordTrace(0x2a, 0x1234);
    _logger->RecordTrace(7, 0);  // ignored
    const std::string text = Written();
    const std::string empty = "Thread: 0000000000000000 EIP : 00000000\r\n";
    std::string expected = "\n****** EIP HISTORY ******\n";
    expected += "Thread: 000000000000002a EIP : 00001234\r\n";
    for (int i = 1; i < TraceHistory::kSize; ++i) {
        expected += empty;
    }
    EXPECT_EQ(text, expected);
}

TEST_F(TraceHistoryTest, LogHistoryWalksBackFromTheNewestAndStopsAtAnEmptyEntry) {
    for (uintptr_t address = 1; address <= 3; ++address) {
        _logger->RecordTrace(5, address);
    }
    EXPECT_EQ(LoggedEntries(),
              (std::vector<std::string>{"Thread: 0000000000000005 EIP : 00000003",
                                        "Thread: 0000000000000005 EIP : 00000002",
                                        "Thread: 0000000000000005 EIP : 00000001"}));
}

TEST_F(TraceHistoryTest, FullRingShowsAtMost1023NewestEntries) {
    for (uintptr_t address = 1; address <= 1030; ++address) {
        _logger->RecordTrace(1, address);
    }
    const std::vector<std::string> entries = LoggedEntries();
    ASSERT_EQ(entries.size(), 1023u);
    EXPECT_EQ(entries.front(), "Thread: 0000000000000001 EIP : 00000406");  // 1030
    EXPECT_EQ(entries.back(), "Thread: 0000000000000001 EIP : 00000008");   // 1030 - 1022
    // In ring order the newest sits in slot 1029 % 1024 = 5 and the slot after it is empty.
    std::istringstream lines(Written().substr(std::strlen("\n****** EIP HISTORY ******\n")));
    std::vector<std::string> slots;
    for (std::string line; std::getline(lines, line);) {
        slots.push_back(line);
    }
    ASSERT_EQ(slots.size(), 1024u);
    EXPECT_EQ(slots[5], "Thread: 0000000000000001 EIP : 00000406\r");
    EXPECT_EQ(slots[6], "Thread: 0000000000000000 EIP : 00000000\r");
    EXPECT_EQ(slots[7], "Thread: 0000000000000001 EIP : 00000008\r");
}

TEST_F(TraceHistoryTest, DisabledLogCallsAreRecordedWithTheCallingThread) {
    Log(_logger, LogLevel::Trivia, "not written");
    EXPECT_EQ(_output->Text(), "");
    const std::vector<std::string> entries = LoggedEntries();
    ASSERT_EQ(entries.size(), 1u);
    char expected[40];
    snprintf(expected, sizeof expected,
             "Thread: %016llx EIP : ", static_cast<unsigned long long>(syscall(SYS_gettid)));
    EXPECT_EQ(entries[0].rfind(expected, 0), 0u) << entries[0];
    EXPECT_NE(entries[0], std::string(expected) + "00000000");
}

TEST_F(TraceHistoryTest, ConcurrentRecordingKeepsTheWalkBounded) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (uintptr_t i = 1; i <= 5000; ++i) {
                _logger->RecordTrace(t + 1, i);
            }
        });
    }
    std::thread reader([this] {
        for (int i = 0; i < 20; ++i) {
            EXPECT_LE(LoggedEntries().size(), 1023u);
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    reader.join();
    for (const std::string& text : LoggedEntries()) {
        unsigned long long thread = 0;
        unsigned long long address = 0;
        ASSERT_EQ(sscanf(text.c_str(), "Thread: %16llx EIP : %8llx", &thread, &address), 2);
        EXPECT_TRUE(thread >= 1 && thread <= 4 && address >= 1 && address <= 5000) << text;
    }
}

}  // namespace
}  // namespace Tarvos::Service
