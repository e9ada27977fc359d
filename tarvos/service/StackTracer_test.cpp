#include "tarvos/service/StackTracer.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <latch>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/service/Log.h"
#include "tarvos/service/LogManagerImpl.h"
#include "tarvos/service/LoggerImpl.h"
#include "tarvos/service/StackTraceManager.h"
#include "tarvos/service/internal/LogTestSupport.h"

namespace Tarvos::Service {
namespace {

class StackTracerTest : public ::testing::Test {
protected:
    void SetUp() override {
        _output = new MemoryWriter();
        CreateLogManager(_manager);
        CreateRootLogger("App", _output, _manager, _root);
        SetDefaultLogger(_root);
    }
    void TearDown() override {
        EnableStackTracer(false);
        SetDefaultLogger(nullptr);
        _manager->Clear();
    }

    // The messages, checked to come from the "StackTracer" logger at level info, with the
    // durations replaced by "N" after checking they are whole milliseconds.
    std::vector<std::string> Messages() const {
        std::vector<LogLine> lines;
        EXPECT_TRUE(ParseLogLines(_output->Text(), lines)) << _output->Text();
        std::vector<std::string> messages;
        for (const LogLine& line : lines) {
            EXPECT_EQ(line.name + " " + line.level, "StackTracer info");
            std::string message = line.message;
            const size_t open = message.rfind(" (");
            if (message.ends_with(" ms)") && open != std::string::npos) {
                const std::string millis = message.substr(open + 2, message.size() - open - 6);
                EXPECT_FALSE(millis.empty());
                EXPECT_EQ(millis.find_first_not_of("0123456789"), std::string::npos) << message;
                message = message.substr(0, open) + " (N ms)";
            }
            messages.push_back(message);
        }
        return messages;
    }

    Ref<MemoryWriter> _output;
    Ref<LogManager> _manager;
    Ref<Logger> _root;
};

TEST_F(StackTracerTest, NestedScopesIndentOneBlankPerLevelAndPairEntryWithExit) {
    { TARVOS_TRACE_SCOPE("off"); }
    EXPECT_EQ(_output->Text(), "");
    EnableStackTracer(true);
    {
        TARVOS_TRACE_SCOPE("outer");
        { TARVOS_TRACE_SCOPE("inner"); }
        TARVOS_TRACE_SCOPE("sibling");
    }
    const std::string id = "[" + std::to_string(::syscall(SYS_gettid)) + "]";
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{id + " Enter outer", id + "  Enter inner",
                                        id + "  Exit inner (N ms)", id + "  Enter sibling",
                                        id + "  Exit sibling (N ms)", id + " Exit outer (N ms)"}));
}

// A scope logs its exit exactly when it logged its entry, whatever happens to the switch in
// between, so the indentation is never taken or given back twice.
TEST_F(StackTracerTest, SwitchingWhileScopesAreOpenKeepsEntriesAndExitsPaired) {
    const std::string id = "[" + std::to_string(::syscall(SYS_gettid)) + "]";
    {
        TARVOS_TRACE_SCOPE("enteredOff");
        EnableStackTracer(true);
    }
    {
        TARVOS_TRACE_SCOPE("enteredOn");
        EnableStackTracer(false);
        TARVOS_TRACE_SCOPE("untraced");
    }
    EnableStackTracer(true);
    { TARVOS_TRACE_SCOPE("again"); }
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{id + " Enter enteredOn", id + " Exit enteredOn (N ms)",
                                        id + " Enter again", id + " Exit again (N ms)"}));
}

// A traced scope inside the logger's output would take the manager's lock a second time on the
// same thread (a panic); it is left untraced instead.
TEST_F(StackTracerTest, ScopeOpenedInsideTheLoggerOutputIsNotTraced) {
    _output->SetDuringWrite([] { TARVOS_TRACE_SCOPE("insideOutput"); });
    EnableStackTracer(true);
    { TARVOS_TRACE_SCOPE("outer"); }
    _output->SetDuringWrite(nullptr);
    EXPECT_EQ(Messages().size(), 2u) << _output->Text();
}

void NestedWork(int depth) {
    static const char* const kNames[] = {"level1", "level2", "level3"};
    TARVOS_TRACE_SCOPE(kNames[depth]);
    if (depth < 2) {
        NestedWork(depth + 1);
    }
}

TEST_F(StackTracerTest, ThreadsKeepTheirOwnIndentation) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    EnableStackTracer(true);
    // Every thread stays until all are done, so that no two of them share a thread id.
    std::latch done(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&done] {
            for (int round = 0; round < kRounds; ++round) {
                NestedWork(0);
            }
            done.arrive_and_wait();
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    // Per thread, the lines must nest properly with one blank per open scope.
    std::map<std::string, std::vector<std::string>> open;
    const std::vector<std::string> messages = Messages();
    ASSERT_EQ(messages.size(), static_cast<size_t>(kThreads * kRounds * 3 * 2));
    for (const std::string& message : messages) {
        const size_t idEnd = message.find(']');
        const size_t blanks = message.find_first_not_of(' ', idEnd + 1) - idEnd - 1;
        const std::string_view rest = std::string_view(message).substr(idEnd + 1 + blanks);
        std::vector<std::string>& stack = open[message.substr(0, idEnd)];
        if (rest.starts_with("Enter ")) {
            stack.push_back(std::string(rest.substr(6)));
            ASSERT_EQ(stack.back(), "level" + std::to_string(stack.size())) << message;
            ASSERT_EQ(blanks, stack.size()) << message;
        } else {
            ASSERT_FALSE(stack.empty()) << message;
            ASSERT_EQ(rest, "Exit " + stack.back() + " (N ms)");
            ASSERT_EQ(blanks, stack.size()) << message;
            stack.pop_back();
        }
    }
    EXPECT_EQ(open.size(), static_cast<size_t>(kThreads));
}

}  // namespace
}  // namespace Tarvos::Service
