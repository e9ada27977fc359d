#include "tarvos/service/LogManagerImpl.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/service/LoggerImpl.h"

namespace Tarvos::Service {
namespace {

class LogManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        CreateLogManager(_manager);
        CreateRootLogger("Root", nullptr, _manager, _root);
    }
    void TearDown() override { _manager->Clear(); }

    Ref<Logger> Make(const std::string& name) {
        Ref<Logger> logger;
        _root->CreateLogger(name, logger);
        return logger;
    }
    std::vector<LogManager::LevelSetting> Settings() {
        std::vector<std::pair<std::string, std::string>> loggers;
        std::vector<LogManager::LevelSetting> settings;
        _manager->List(loggers, settings);
        return settings;
    }

    Ref<LogManager> _manager;
    Ref<Logger> _root;
};

TEST_F(LogManagerTest, PrefixSettingReachesEveryLoggerStartingWithIt) {
    Ref<Logger> http = Make("Http");
    Ref<Logger> client = Make("HttpClient");
    Ref<Logger> app = Make("App");
    _manager->SetLevel("Http", "trivia", true);
    EXPECT_EQ(http->GetLevel(), LogLevel::Trivia);
    EXPECT_EQ(client->GetLevel(), LogLevel::Trivia);
    EXPECT_EQ(app->GetLevel(), LogLevel::Info);

    _manager->SetLevel("Http", "error", false);
    EXPECT_EQ(http->GetLevel(), LogLevel::Error);
    EXPECT_EQ(client->GetLevel(), LogLevel::Trivia);
}

TEST_F(LogManagerTest, LaterLoggersGetTheLastMatchingSetting) {
    _manager->SetLevel("Soap", "verbose", true);
    _manager->SetLevel("SoapClient", "panic", false);
    EXPECT_EQ(Make("SoapClient")->GetLevel(), LogLevel::Panic);
    EXPECT_EQ(Make("SoapServer")->GetLevel(), LogLevel::Verbose);
    _manager->SetLevel("Soap", "warning", true);  // also drops the narrower exact setting
    EXPECT_EQ(Make("SoapClient")->GetLevel(), LogLevel::Warning);
    ASSERT_EQ(Settings().size(), 1u);
}

TEST_F(LogManagerTest, SettingsReplaceTheirPredecessors) {
    _manager->SetLevel("A", "error", false);
    _manager->SetLevel("B", "error", true);
    _manager->SetLevel("A", "trivia", false);  // replaces the first, moves to the end
    _manager->SetLevel("Bx", "quiet", false);
    _manager->SetLevel("B", "verbose", true);  // drops "B" prefix and "Bx"
    const auto settings = Settings();
    ASSERT_EQ(settings.size(), 2u);
    EXPECT_EQ(settings[0].name, "A");
    EXPECT_EQ(settings[0].levelName, "trivia");
    EXPECT_FALSE(settings[0].prefix);
    EXPECT_EQ(settings[1].name, "B");
    EXPECT_TRUE(settings[1].prefix);
}

TEST_F(LogManagerTest, RegistrationBookkeeping) {
    Ref<Logger> logger = Make("Journal");
    EXPECT_TRUE(_manager->IsRegistered("Journal"));
    _manager->Register(logger, "Journal");  // already there: stays one entry
    EXPECT_FALSE(_manager->Unregister(_root, "Journal"));
    EXPECT_TRUE(_manager->Unregister(logger, "Journal"));
    EXPECT_FALSE(_manager->Unregister(logger, "Journal"));
    EXPECT_FALSE(_manager->IsRegistered("Journal"));
    EXPECT_THROW(_manager->Register(nullptr, "X"), InvalidArgumentException);
}

TEST_F(LogManagerTest, ListIsSortedWithCurrentLevels) {
    Ref<Logger> b = Make("B");
    Ref<Logger> a = Make("A");
    a->SetLevel(LogLevel::Quiet);
    std::vector<std::pair<std::string, std::string>> loggers;
    std::vector<LogManager::LevelSetting> settings;
    _manager->List(loggers, settings);
    using Entry = std::pair<std::string, std::string>;
    EXPECT_EQ(loggers, (std::vector<Entry>{{"A", "quiet"}, {"B", "info"}, {"Root", "info"}}));
}

TEST_F(LogManagerTest, ClearReleasesTheLoggers) {
    Ref<Logger> logger = Make("Held");
    auto* object = dynamic_cast<ObjectImpl*>(logger.Get());
    const int32_t withManager = object->GetRefCount();
    _manager->Clear();
    EXPECT_FALSE(_manager->IsRegistered("Held"));
    EXPECT_EQ(object->GetRefCount(), withManager - 1);
}

// Settings applied while loggers register and rename on other threads: no deadlock between the
// manager's lock and the loggers' locks, and the final setting wins for every "Net" logger.
TEST_F(LogManagerTest, ConcurrentSettingsRegistrationsAndRenames) {
    std::vector<Ref<Logger>> loggers(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            loggers[t] = Make("Net" + std::to_string(t));
            for (int i = 0; i < 200; ++i) {
                loggers[t]->SetName("Net" + std::to_string(t) + "-" + std::to_string(i % 3));
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        _manager->SetLevel("Net", i % 2 ? "verbose" : "error", true);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    _manager->SetLevel("Net", "quiet", true);
    for (const Ref<Logger>& logger : loggers) {
        EXPECT_EQ(logger->GetLevel(), LogLevel::Quiet);
    }
}

}  // namespace
}  // namespace Tarvos::Service
