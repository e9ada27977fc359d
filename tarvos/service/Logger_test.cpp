#include "tarvos/service/LoggerImpl.h"

#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Panic.h"
#include "tarvos/service/Log.h"
#include "tarvos/service/LogManagerImpl.h"
#include "tarvos/service/internal/LogTestSupport.h"
#include "tarvos/system/RolloverWriter.h"
#include "tarvos/system/SystemFactory.h"

namespace Tarvos::Service {
namespace {

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        _output = new MemoryWriter();
        CreateLogManager(_manager);
        CreateRootLogger("App", _output, _manager, _logger);
    }
    void TearDown() override { _manager->Clear(); }

    // The message parts of the lines written so far.
    std::vector<std::string> Messages() const {
        std::vector<LogLine> lines;
        EXPECT_TRUE(ParseLogLines(_output->Text(), lines)) << _output->Text();
        std::vector<std::string> messages;
        for (const LogLine& line : lines) {
            messages.push_back(line.message);
        }
        return messages;
    }

    Ref<MemoryWriter> _output;
    Ref<LogManager> _manager;
    Ref<Logger> _logger;
};

// An object whose printable form is made by logging: formatting it nests one message inside
// another on the same thread.
class ChattyObject final : public ObjectImpl {
public:
    explicit ChattyObject(Ref<Logger> logger) : _logger(std::move(logger)) {}
    std::string ToString() const override {
        Log(_logger, LogLevel::Info, "inner %1 %2", 1, std::string(100, 'i'));
        return "chatty";
    }

private:
    Ref<Logger> _logger;
};

TEST_F(LoggerTest, MessageFormattedWhileAnotherIsFormattedKeepsBothIntact) {
    Ref<ChattyObject> chatty(new ChattyObject(_logger));
    Log(_logger, LogLevel::Info, "outer %1 %2 %3", std::string(200, 'o'), chatty, 3);
    Log(_logger, LogLevel::Info, "after %1", 4);
    EXPECT_EQ(Messages(), (std::vector<std::string>{"inner 1 " + std::string(100, 'i'),
                                                    "outer " + std::string(200, 'o') + " chatty 3",
                                                    "after 4"}));
}

TEST_F(LoggerTest, LineHasHeaderMessageAndLineEnd) {
    Log(_logger, LogLevel::Info, "Current working directory: %1", "/work");
    std::vector<LogLine> lines;
    ASSERT_TRUE(ParseLogLines(_output->Text(), lines)) << _output->Text();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].name, "App");
    EXPECT_EQ(lines[0].level, "info");
    EXPECT_EQ(lines[0].threadId, syscall(SYS_gettid));
    EXPECT_EQ(lines[0].message, "Current working directory: /work");
}

class LoggerLevelTest : public LoggerTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(LoggerLevelTest, InfoLoggerWritesOnlyLevelsUpToInfo) {
    const int32_t level = GetParam();
    Log(_logger, level, "text");
    EXPECT_EQ(Messages().size(), level <= LogLevel::Info ? 1u : 0u);
    if (level <= LogLevel::Info) {
        EXPECT_NE(_output->Text().find(std::string("' ") + GetLogLevelName(level) + " "),
                  std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(AllLevels, LoggerLevelTest, ::testing::Range(0, 8));

TEST_F(LoggerTest, TextWithoutArgumentsIsNotExpanded) {
    Log(_logger, LogLevel::Info, "100%1 literal %%");
    Log(_logger, LogLevel::Info, "%1 and %2%%", 7, "x");
    EXPECT_EQ(Messages(), (std::vector<std::string>{"100%1 literal %%", "7 and x%"}));
}

TEST_F(LoggerTest, MalformedFormatThrowsAndLeavesTheLoggerUsable) {
    EXPECT_THROW(Log(_logger, LogLevel::Info, "%1 %2", 1), InvalidFormatStringException);
    Log(_logger, LogLevel::Info, "after");
    EXPECT_EQ(Messages(), std::vector<std::string>{"after"});
}

TEST_F(LoggerTest, FailingOutputNeverFailsTheCaller) {
    _output->SetFailing(true);
    EXPECT_NO_THROW(Log(_logger, LogLevel::Error, "lost %1", 1));
    EXPECT_NO_THROW(Log(_logger, LogLevel::Info, "lost too"));
    _output->SetFailing(false);
    Log(_logger, LogLevel::Info, "kept");
    EXPECT_EQ(Messages(), std::vector<std::string>{"kept"});
}

TEST_F(LoggerTest, SevereLinesFlushTheOutputAtOnce) {
    Log(_logger, LogLevel::Info, "buffered");
    EXPECT_EQ(_output->Flushes(), 0);
    Log(_logger, LogLevel::Warning, "flushed");
    EXPECT_EQ(_output->Flushes(), 1);
    static_cast<Writer&>(*RefCast<LoggerImpl>(_logger)).Flush();
    EXPECT_EQ(_output->Flushes(), 2);
}

TEST_F(LoggerTest, ChildLoggersShareOutputAndTakeThresholdOrLevel) {
    _logger->SetLevel(LogLevel::Verbose);
    Ref<Logger> inherits;
    Ref<Logger> quiet;
    _logger->CreateLogger("Child", inherits);
    _logger->CreateLogger("Quiet", LogLevel::Error, quiet);
    EXPECT_EQ(inherits->GetLevel(), LogLevel::Verbose);
    EXPECT_EQ(quiet->GetLevel(), LogLevel::Error);
    EXPECT_TRUE(_manager->IsRegistered("Child"));
    Log(inherits, LogLevel::Verbose, "from child");
    EXPECT_NE(_output->Text().find("'Child' verbose"), std::string::npos);
}

TEST_F(LoggerTest, UnknownLevelNameChangesNothing) {
    EXPECT_FALSE(_logger->SetLevelByName("Info"));
    EXPECT_EQ(_logger->GetLevelName(), "info");
    EXPECT_TRUE(_logger->SetLevelByName("trivia"));
    EXPECT_EQ(_logger->GetLevel(), LogLevel::Trivia);
}

TEST_F(LoggerTest, RenameMovesRegistrationAndAppliesTheNewNameSetting) {
    _manager->SetLevel("Http", "error", true);
    _logger->SetName("HttpServer");
    EXPECT_EQ(_logger->GetName(), "HttpServer");
    EXPECT_FALSE(_manager->IsRegistered("App"));
    EXPECT_TRUE(_manager->IsRegistered("HttpServer"));
    EXPECT_EQ(_logger->GetLevel(), LogLevel::Error);
    Log(_logger, LogLevel::Error, "renamed");
    EXPECT_NE(_output->Text().find("'HttpServer' error"), std::string::npos);

    // A logger taken out of the manager stays out when renamed.
    ASSERT_TRUE(_manager->Unregister(_logger, "HttpServer"));
    _logger->SetName("Other");
    EXPECT_FALSE(_manager->IsRegistered("Other"));
}

TEST_F(LoggerTest, AsWriterAppendsToTheOpenMessageOrWritesAlone) {
    auto& writer = static_cast<Writer&>(*RefCast<LoggerImpl>(_logger));
    _logger->BeginMessage(LogLevel::Info);
    Format(writer, "%1+%2", 1, 2);
    _logger->EndMessage();
    EXPECT_EQ(Messages(), std::vector<std::string>{"1+2"});
    _output->Reset();
    writer.Write("raw", 3);
    EXPECT_EQ(_output->Text(), "raw");
}

// An output that logs to its own family (directly or through the default logger) must not
// deadlock or panic; its nested line is dropped.
TEST_F(LoggerTest, LoggingFromInsideTheOutputIsDropped) {
    Logger* logger = _logger.Get();
    _output->SetDuringWrite([logger] { Log(logger, LogLevel::Error, "nested"); });
    Log(_logger, LogLevel::Info, "outer");
    _output->SetDuringWrite(nullptr);
    EXPECT_EQ(Messages(), std::vector<std::string>{"outer"});
}

TEST_F(LoggerTest, NullOutputDiscardsLines) {
    Ref<Logger> silent;
    CreateRootLogger("Silent", nullptr, nullptr, silent);
    EXPECT_NO_THROW(Log(silent, LogLevel::Error, "nowhere %1", 1));
    EXPECT_NO_THROW(static_cast<Writer&>(*RefCast<LoggerImpl>(silent)).Flush());
}

TEST_F(LoggerTest, ConcurrentLinesNeverInterleave) {
    constexpr int kThreads = 6;
    constexpr int kLines = 300;
    std::vector<Ref<Logger>> loggers(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        _logger->CreateLogger("T" + std::to_string(t), loggers[t]);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                Log(loggers[t], LogLevel::Info, "thread %1 line %2 %3", t, i, std::string(40, 'x'));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::vector<int> next(kThreads, 0);
    std::vector<LogLine> lines;
    ASSERT_TRUE(ParseLogLines(_output->Text(), lines));
    for (const LogLine& line : lines) {
        int thread = -1;
        int number = -1;
        char tail[64] = "";
        ASSERT_EQ(sscanf(line.message.c_str(), "thread %d line %d %63s", &thread, &number, tail),
                  3);
        ASSERT_EQ(line.name, "T" + std::to_string(thread));
        ASSERT_EQ(std::string(tail), std::string(40, 'x'));
        ASSERT_EQ(number, next[thread]++);
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
}

// PanicExit flushes the default logger, so buffered log lines reach the rotating file.
TEST(LoggerDeathTest, PanicExitFlushesBufferedLogLines) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The death test child runs this body again in a new process: it finds the directory
    // through the environment.
    const char* const kDirVariable = "TARVOS_TEST_PANIC_LOG_DIR";
    if (getenv(kDirVariable) == nullptr) {
        char pattern[] = "/tmp/tarvos-panic-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        setenv(kDirVariable, pattern, 1);
    }
    const std::string dir = getenv(kDirVariable);
    EXPECT_EXIT(
        {
            Ref<System::RolloverWriter> file;
            System::GetSystemFactory().CreateRolloverLogWriter(dir, "app", 1 << 20, 2, file);
            Ref<Logger> logger;
            CreateRootLogger("App", file, nullptr, logger);
            SetDefaultLogger(logger);
            Log(logger, LogLevel::Info, "before the panic");
            PanicExit("boom");
        },
        ::testing::ExitedWithCode(255), "");
    std::ifstream in(dir + "/app-0.log");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("before the panic"), std::string::npos);
    EXPECT_NE(text.str().find("PanicExit: boom"), std::string::npos);
    std::filesystem::remove_all(dir);
    unsetenv(kDirVariable);
}

}  // namespace
}  // namespace Tarvos::Service
