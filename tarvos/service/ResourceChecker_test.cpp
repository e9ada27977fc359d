#include "tarvos/service/ResourceChecker.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/service/AppImpl.h"
#include "tarvos/service/ConfigFactory.h"
#include "tarvos/service/Log.h"
#include "tarvos/service/LoggerImpl.h"
#include "tarvos/service/internal/LogTestSupport.h"
#include "tarvos/system/SystemFactory.h"
#include "tarvos/system/Thread.h"

namespace Tarvos::Service {
namespace {

bool WaitUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Reports a value the test sets, counting the checks and whether they ran on pool threads.
class FakeChecker final : public ResourceChecker {
public:
    using ResourceChecker::ResourceChecker;

    std::atomic<int32_t> value{0};
    std::atomic<int> checks{0};
    std::atomic<int> offPool{0};
    std::atomic<bool> failing{false};

protected:
    int32_t GetCurrentValue() override {
        ++checks;
        if (System::Thread::TryGetCurrent() == nullptr) {
            ++offPool;
        }
        if (failing) {
            throw std::runtime_error("probe broke");
        }
        return value;
    }
};

class ResourceCheckerTest : public ::testing::Test {
protected:
    void SetUp() override {
        _output = new MemoryWriter();
        CreateRootLogger("checker", _output, nullptr, _logger);
        _logger->SetLevel(LogLevel::Trivia);
    }
    void TearDown() override {
        if (_entered) {
            _pool->LeaveThread();
        }
        if (_pool) {
            _pool->Shutdown();
            _pool->WaitForThreads(-1);
        }
    }

    Ref<FakeChecker> Make(int32_t intervalSecs, int32_t softLimit, int32_t hardLimit) {
        return Ref<FakeChecker>(
            new FakeChecker(nullptr, _logger, intervalSecs, softLimit, hardLimit));
    }
    // A pool the test's own thread belongs to (Start and Stop need one).
    void EnterPool() {
        System::GetSystemFactory().CreateThreadPool(nullptr, _pool);
        _pool->EnterThread();
        _entered = true;
    }
    std::vector<LogLine> Lines() {
        std::vector<LogLine> lines;
        EXPECT_TRUE(ParseLogLines(_output->Text(), lines)) << _output->Text();
        return lines;
    }
    int CountMessages(const std::string& message) {
        int count = 0;
        for (const LogLine& line : Lines()) {
            count += line.message == message ? 1 : 0;
        }
        return count;
    }
    // Waits longer than two intervals of one second, so that a timer left behind would fire.
    static void OutlastTwoIntervals() {
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    }

    Ref<MemoryWriter> _output;
    Ref<Logger> _logger;
    Ref<System::ThreadPool> _pool;
    bool _entered = false;
};

// ---------------------------------------------------------------------------------------------
// One check (without an application: the log line shows the verdict)

struct Verdict {
    const char* name;
    int32_t softLimit;
    int32_t hardLimit;
    int32_t value;
    const char* level;
    const char* message;
};

class ResourceCheckerVerdictTest : public ResourceCheckerTest,
                                   public ::testing::WithParamInterface<Verdict> {};

TEST_P(ResourceCheckerVerdictTest, CheckLogsAndActsOnTheLimits) {
    const Verdict& v = GetParam();
    const Ref<FakeChecker> checker = Make(10, v.softLimit, v.hardLimit);
    checker->value = v.value;
    checker->Check();
    const std::vector<LogLine> lines = Lines();
    ASSERT_EQ(lines.size(), 1u) << _output->Text();
    EXPECT_EQ(lines[0].level, v.level);
    EXPECT_EQ(lines[0].message, v.message);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ResourceCheckerVerdictTest,
    ::testing::Values(Verdict{"AboveSoftWithHardOff", 100, 0, 150, "warning",
                              "Current value 150 exceeds soft limit 100."},
                      Verdict{"EqualToSoft", 100, 0, 100, "trivia", "Current usage is 100."},
                      Verdict{"EqualToHard", 0, 200, 200, "trivia", "Current usage is 200."},
                      Verdict{"EqualToHardAboveSoft", 100, 200, 200, "warning",
                              "Current value 200 exceeds soft limit 100."},
                      Verdict{"AboveHard", 100, 200, 201, "error",
                              "Current value 201 exceeds hard limit 200. Shutting down process."},
                      Verdict{"LimitsOff", 0, 0, 2000000000, "trivia",
                              "Current usage is 2000000000."},
                      Verdict{"NegativeLimitsAreOff", -5, -1, 7, "trivia", "Current usage is 7."}),
    [](const ::testing::TestParamInfo<Verdict>& info) { return std::string(info.param.name); });

TEST_F(ResourceCheckerTest, FailingMeasurementIsLogged) {
    const Ref<FakeChecker> checker = Make(10, 1, 1);
    checker->failing = true;
    checker->Check();
    const std::vector<LogLine> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, "error");
    EXPECT_EQ(lines[0].message, "Resource check failed: probe broke");
}

// ---------------------------------------------------------------------------------------------
// Start and Stop

TEST_F(ResourceCheckerTest, ZeroIntervalOrNoLimitLogsTheSettingsAndSchedulesNothing) {
    for (const Ref<FakeChecker>& checker : {Make(0, 100, 200), Make(5, 0, -1)}) {
        checker->Start();  // needs no pool: nothing is scheduled
        checker->Stop();   // logs only when a check was scheduled
    }
    EXPECT_EQ(CountMessages("Check resources every 0 secs, soft limit 100, hard limit 200."), 1);
    EXPECT_EQ(CountMessages("Check resources every 5 secs, soft limit 0, hard limit -1."), 1);
    EXPECT_EQ(CountMessages("Resource checker stopped."), 0);
}

TEST_F(ResourceCheckerTest, ChecksRepeatOnPoolWorkersUntilStop) {
    EnterPool();
    const Ref<FakeChecker> checker = Make(1, 100, 0);
    checker->value = 150;
    checker->Start();
    EXPECT_EQ(CountMessages("Check resources every 1 secs, soft limit 100, hard limit 0."), 1);
    ASSERT_TRUE(WaitUntil([&] { return checker->checks >= 2; }));
    checker->Stop();
    const int checks = checker->checks;
    EXPECT_EQ(CountMessages("Resource checker stopped."), 1);
    EXPECT_EQ(CountMessages("Current value 150 exceeds soft limit 100."), checks);
    EXPECT_EQ(checker->offPool.load(), 0);
    OutlastTwoIntervals();
    EXPECT_EQ(checker->checks.load(), checks);
    checker->Stop();  // stopping again logs nothing
    EXPECT_EQ(CountMessages("Resource checker stopped."), 1);
}

TEST_F(ResourceCheckerTest, RestartAndStopOffThePoolLeaveOnlyStaleTimersThatDoNothing) {
    EnterPool();
    const Ref<FakeChecker> checker = Make(1, 100, 0);
    checker->Start();
    checker->Start();
    std::thread stranger([&] { checker->Stop(); });
    stranger.join();
    EXPECT_EQ(CountMessages("Resource checker stopped."), 1);
    OutlastTwoIntervals();
    EXPECT_EQ(checker->checks.load(), 0);
    // The fired stale timer let go of its reference: only the test's is left.
    EXPECT_TRUE(WaitUntil([&] { return checker->GetRefCount() == 1; }));
}

// ---------------------------------------------------------------------------------------------
// With a real application

TEST(ResourceCheckerAppTest, HardLimitBreachEndsTheApplicationsRun) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("tarvos-resource-checker-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::string text = "<config><log><outputToConsole>false</outputToConsole><directory>" +
                       (dir / "log").string() + "</directory><name>app</name></log></config>";
    Ref<Config> config;
    CreateXmlStringConfig(&text, config);
    config->Load();
    const Ref<AppImpl> app(new AppImpl());
    app->SetConfig(config);
    app->Init("", "", nullptr);

    Ref<MemoryWriter> output(new MemoryWriter());
    Ref<Logger> logger;
    CreateRootLogger("checker", output, nullptr, logger);
    const Ref<FakeChecker> checker(new FakeChecker(app, logger, 1, 0, 10));
    checker->value = 11;
    checker->Start();  // the start-up thread is a thread of the application's pool

    // Ends Run should the checker fail to, so that a fault cannot hang the test.
    std::atomic<bool> finished{false};
    std::atomic<bool> watchdogFired{false};
    std::thread watchdog([&] {
        if (!WaitUntil([&] { return finished.load(); })) {
            watchdogFired = true;
            app->StopThreadPool();
        }
    });
    app->Run();
    finished = true;
    watchdog.join();
    EXPECT_FALSE(watchdogFired.load());
    EXPECT_GE(checker->checks.load(), 1);
    EXPECT_NE(output->Text().find("exceeds hard limit 10. Shutting down process."),
              std::string::npos);
    checker->Stop();
    app->Shutdown();
    fs::remove_all(dir);
}

// ---------------------------------------------------------------------------------------------
// The process checkers and their configuration

class DescriptorProbe final : public DescriptorResourceChecker {
public:
    using DescriptorResourceChecker::DescriptorResourceChecker;
    using DescriptorResourceChecker::GetCurrentValue;
};

class MemoryProbe final : public MemoryResourceChecker {
public:
    using MemoryResourceChecker::GetCurrentValue;
    using MemoryResourceChecker::MemoryResourceChecker;
};

TEST_F(ResourceCheckerTest, DescriptorCountFollowsOpenedDescriptors) {
    const Ref<DescriptorProbe> probe(new DescriptorProbe(nullptr, _logger, 0, 0, 0));
    const int32_t before = probe->GetCurrentValue();
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const int third = ::dup(fds[0]);
    EXPECT_EQ(probe->GetCurrentValue(), before + 3);
    ::close(fds[0]);
    ::close(fds[1]);
    ::close(third);
    EXPECT_EQ(probe->GetCurrentValue(), before);
}

TEST_F(ResourceCheckerTest, ResidentMemoryGrowsWithTouchedMemory) {
    const Ref<MemoryProbe> probe(new MemoryProbe(nullptr, _logger, 0, 0, 0));
    const int32_t before = probe->GetCurrentValue();
    EXPECT_GT(before, 0);
    // 64 MiB written page by page must become resident.
    std::vector<char> block(64u << 20);
    for (size_t i = 0; i < block.size(); i += 4096) {
        block[i] = static_cast<char>(i);
    }
    EXPECT_GE(probe->GetCurrentValue(), before + 32);
    EXPECT_NE(block[4096], 7);  // keeps the writes
}

TEST_F(ResourceCheckerTest, ConfigurationMakesAndStartsTheConfiguredCheckers) {
    Ref<Config> config;
    CreateScratchConfig(config);
    Ref<Config::View> root;
    config->GetRootView(root);
    root->Set("resourceChecker/memory/softLimit", "1000");
    root->Set("resourceChecker/memory/hardLimit", "2000");
    std::vector<Ref<ResourceChecker>> checkers;
    StartResourceCheckers(nullptr, root, _logger, checkers);
    ASSERT_EQ(checkers.size(), 1u);
    EXPECT_TRUE(RefCast<MemoryResourceChecker>(checkers[0]));
    EXPECT_EQ(checkers[0]->GetIntervalSecs(), 0);
    const std::vector<LogLine> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].name, "MemoryResourceChecker");
    EXPECT_EQ(lines[0].message, "Check resources every 0 secs, soft limit 1000, hard limit 2000.");

    root->Set("resourceChecker/descriptors/intervalSecs", "0");
    root->Set("resourceChecker/descriptors/hardLimit", "500");
    checkers.clear();
    StartResourceCheckers(nullptr, root, _logger, checkers);
    ASSERT_EQ(checkers.size(), 2u);
    EXPECT_TRUE(RefCast<DescriptorResourceChecker>(checkers[1]));
    EXPECT_EQ(checkers[1]->GetHardLimit(), 500);
    EXPECT_EQ(checkers[1]->GetSoftLimit(), 0);

    root->Set("resourceChecker/descriptors/softLimit", "many");
    checkers.clear();
    EXPECT_THROW(StartResourceCheckers(nullptr, root, _logger, checkers), NumberFormatException);
}

}  // namespace
}  // namespace Tarvos::Service
