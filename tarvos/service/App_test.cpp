#include "tarvos/service/AppImpl.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tarvos/authorize/ImpersonateManager.h"
#include "tarvos/core/Exception.h"
#include "tarvos/core/SessionPool.h"
#include "tarvos/service/ConfigFactory.h"
#include "tarvos/service/Log.h"
#include "tarvos/service/LoggerImpl.h"
#include "tarvos/service/StackTraceManager.h"
#include "tarvos/service/Tester.h"
#include "tarvos/service/internal/LogTestSupport.h"
#include "tarvos/system/Thread.h"

namespace Tarvos::Service {
namespace {

namespace fs = std::filesystem;

// Starts an application over an XML configuration text (without plug-ins) and shuts it down at
// the end; the log goes to a rotating file in a temporary directory unless the text says
// otherwise.
class AppTest : public ::testing::Test {
protected:
    void SetUp() override {
        _dir = fs::temp_directory_path() /
               ("tarvos-app-test-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(_dir);
        fs::create_directories(_dir);
        _cwd = fs::current_path();
        _app = new AppImpl();
    }
    void TearDown() override {
        _app->StopThreadPool();
        _app->Shutdown();
        fs::current_path(_cwd);
        fs::remove_all(_dir);
    }

    // `log` goes inside <log>; `rest` after it.
    void Start(const std::string& log, const std::string& rest = "") {
        _text = "<config><log><outputToConsole>false</outputToConsole><directory>" +
                (_dir / "log").string() + "</directory><name>app</name>" + log + "</log>" + rest +
                "</config>";
        Ref<Config> config;
        CreateXmlStringConfig(&_text, config);
        config->Load();
        _app->SetConfig(config);
        _app->Init("", "", nullptr);
    }

    std::string LogText() const {
        std::ifstream in(_dir / "log" / "app-0.log");
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Whether the log file holds `text`, waiting for the log's periodic flush (bounded).
    bool Logged(const std::string& text) const {
        for (int i = 0; i < 500; ++i) {
            if (LogText().find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    fs::path _dir;
    fs::path _cwd;
    std::string _text;
    Ref<AppImpl> _app;
};

TEST_F(AppTest, StartSetsUpLoggingPoolAndSessionsAndShutdownUndoesIt) {
    Start("");
    const Ref<Logger> logger = _app->GetLogger();
    ASSERT_TRUE(logger);
    EXPECT_EQ(logger->GetName(), "App");
    EXPECT_EQ(logger->GetLevel(), LogLevel::Info);
    EXPECT_EQ(TryGetDefaultLogger(), logger);
    EXPECT_TRUE(_app->GetLogManager()->IsRegistered("App"));
    EXPECT_TRUE(_app->GetSessionPool());
    // The start-up thread has become a pool thread.
    ASSERT_NE(System::Thread::TryGetCurrent(), nullptr);
    EXPECT_EQ(System::Thread::TryGetCurrent()->GetThreadPool(), _app->GetThreadPool());
    EXPECT_TRUE(Logged("Current working directory: " + _cwd.string())) << LogText();

    _app->StopThreadPool();
    _app->Shutdown();
    EXPECT_EQ(System::Thread::TryGetCurrent(), nullptr);
    EXPECT_FALSE(TryGetDefaultLogger());
    EXPECT_FALSE(_app->GetThreadPool());
    EXPECT_FALSE(_app->GetLogger());
}

TEST_F(AppTest, UnknownLevelFallsBackToInfoWithAWarning) {
    Start("<level>loud</level>");
    EXPECT_EQ(_app->GetLogger()->GetLevel(), LogLevel::Info);
    EXPECT_TRUE(Logged("warning")) << LogText();
    EXPECT_TRUE(Logged("Unrecognized Log Level 'loud' in configuration file")) << LogText();
}

TEST_F(AppTest, UnreadableLogSettingIsReportedAndStartGoesOn) {
    Start("<maxFileNum>many</maxFileNum><level>verbose</level>");
    EXPECT_TRUE(Logged("Failed to read log parameters from configuration: ")) << LogText();
    EXPECT_TRUE(_app->GetThreadPool());
}

// Every "level" child of the root becomes a setting of the log manager; a prefix setting then
// applies to loggers created later.
TEST_F(AppTest, LevelEntriesBecomeLogManagerSettings) {
    Start("<level>warning</level>",
          "<level id=\"1\"><logName>Http</logName><logLevel>trivia</logLevel>"
          "<prefix>true</prefix></level>"
          "<level id=\"2\"><logName>Db</logName><logLevel>error</logLevel></level>");
    EXPECT_EQ(_app->GetLogger()->GetLevel(), LogLevel::Warning);
    Ref<Logger> http;
    _app->GetLogger()->CreateLogger("HttpClient", http);
    EXPECT_EQ(http->GetLevel(), LogLevel::Trivia);
    Ref<Logger> db;
    _app->GetLogger()->CreateLogger("Db", db);
    EXPECT_EQ(db->GetLevel(), LogLevel::Error);
    Ref<Logger> other;
    _app->GetLogger()->CreateLogger("Dbx", other);
    EXPECT_EQ(other->GetLevel(), LogLevel::Warning);
}

TEST_F(AppTest, WorkingDirectoryIsChangedAndLogged) {
    const fs::path work = _dir / "work";
    fs::create_directories(work);
    Start("", "<workingDir>" + work.string() + "</workingDir>");
    EXPECT_EQ(fs::current_path(), work);
    EXPECT_TRUE(Logged("Current working directory: " + work.string())) << LogText();
}

TEST_F(AppTest, MissingWorkingDirectoryFailsTheStart) {
    EXPECT_THROW(Start("", "<workingDir>" + (_dir / "absent").string() + "</workingDir>"),
                 SystemException);
}

TEST_F(AppTest, GivenLoggerServesAsTheApplicationLogger) {
    Ref<MemoryWriter> output(new MemoryWriter());
    Ref<Logger> logger;
    CreateRootLogger("Host", output, nullptr, logger);
    _text = "<config/>";
    Ref<Config> config;
    CreateXmlStringConfig(&_text, config);
    config->Load();
    _app->SetConfig(config);
    _app->Init("", "", logger);
    EXPECT_EQ(_app->GetLogger(), logger);
    EXPECT_EQ(TryGetDefaultLogger(), logger);
    EXPECT_NE(output->Text().find("Current working directory: "), std::string::npos);
}

TEST_F(AppTest, ServiceRegistry) {
    Start("");
    Ref<Object> service(new ObjectImpl());
    _app->RegisterService("clock", service);
    EXPECT_THROW(_app->RegisterService("clock", Ref<Object>(new ObjectImpl())),
                 AlreadyExistsException);
    EXPECT_THROW(_app->RegisterService("null", nullptr), InvalidArgumentException);
    Ref<Object> found;
    EXPECT_TRUE(_app->FindService("clock", found));
    EXPECT_EQ(found, service);
    EXPECT_FALSE(_app->FindService("calendar", found));
    App::ServiceMap services;
    _app->GetServices(services);
    EXPECT_EQ(services.size(), 1u);
    EXPECT_TRUE(_app->UnregisterService("clock"));
    EXPECT_FALSE(_app->UnregisterService("clock"));
    _app->GetServices(services);
    EXPECT_TRUE(services.empty());
}

TEST_F(AppTest, PluginListRules) {
    // Without "plugins": an error only when plug-ins are required.
    Start("");
    try {
        _app->LoadPlugins(true);
        FAIL() << "no exception";
    } catch (const Exception& failure) {
        EXPECT_EQ(failure.GetMessage(), "Could not find any plugins in config file");
    }
    EXPECT_NO_THROW(_app->LoadPlugins(false));
}

TEST_F(AppTest, DisabledOrPathlessPluginsAndSwitchedOffLoadingAreSkipped) {
    Start("",
          "<plugins><a><enabled>false</enabled><path>/nonexistent/a.so</path></a>"
          "<b><comment>no path</comment></b></plugins>");
    EXPECT_NO_THROW(_app->LoadPlugins(true));
    App::PluginMap plugins;
    _app->GetPlugins(plugins);
    EXPECT_TRUE(plugins.empty());
    EXPECT_TRUE(Logged("Trying a")) << LogText();
    EXPECT_TRUE(Logged("Trying b")) << LogText();
}

TEST_F(AppTest, LoadingSwitchedOffIgnoresEvenAMissingPluginsNode) {
    Start("", "<tarvos><loadPlugins>false</loadPlugins></tarvos>");
    EXPECT_NO_THROW(_app->LoadPlugins(true));
}

TEST_F(AppTest, EnabledPluginThatCannotLoadIsNamed) {
    Start("", "<plugins><a><path>/nonexistent/a.so</path></a></plugins>");
    EXPECT_THROW(_app->LoadPlugins(true), SystemException);
    EXPECT_EQ(_app->GetStartFailure(), "plug-in 0 (/nonexistent/a.so)");
}

// The diagnostics and impersonation switches under "tarvos/" take effect at start-up and are
// undone by Shutdown.
TEST_F(AppTest, SwitchesTurnOnDiagnosticsAndImpersonationUntilShutdown) {
    Start("",
          "<tarvos><useStackTracer>true</useStackTracer><impersonate>true</impersonate>"
          "<testTriggers><Store.WriteFails>true</Store.WriteFails></testTriggers></tarvos>");
    EXPECT_TRUE(IsStackTracerEnabled());
    Ref<Impersonate::ImpersonateManager> manager;
    EXPECT_NO_THROW(Impersonate::GetImpersonateManager(manager));
    EXPECT_TRUE(TARVOS_TF("Store.WriteFails"));
    EXPECT_FALSE(TARVOS_TF("Store.ReadFails"));
    // A second application (on a thread of its own: this one belongs to the first one's pool)
    // cannot make a second impersonation manager.
    std::thread([] {
        Ref<AppImpl> second(new AppImpl());
        std::string text =
            "<config><log><outputToConsole>false</outputToConsole></log>"
            "<tarvos><impersonate>true</impersonate></tarvos></config>";
        Ref<Config> config;
        CreateXmlStringConfig(&text, config);
        config->Load();
        second->SetConfig(config);
        EXPECT_THROW(second->Init("", "", nullptr), AlreadyInitializedException);
        second->StopThreadPool();
        second->Shutdown();
    }).join();

    _app->StopThreadPool();
    _app->Shutdown();
    EXPECT_THROW(Impersonate::GetImpersonateManager(manager), NotInitializedException);
    EXPECT_FALSE(TARVOS_TF("Store.WriteFails"));
    EnableStackTracer(false);
}

// A configured resource checker above its hard limit stops the pool, which ends Run.
TEST_F(AppTest, ResourceCheckerAboveItsHardLimitStopsTheApplication) {
    Start("",
          "<resourceChecker><descriptors><intervalSecs>1</intervalSecs>"
          "<hardLimit>1</hardLimit></descriptors></resourceChecker>");
    std::atomic<bool> ran{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 3000 && !ran; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!ran) {
            ADD_FAILURE() << "the checker did not stop the application within 30 s";
            _app->StopThreadPool();
        }
    });
    _app->Run();
    ran = true;
    watchdog.join();
    EXPECT_TRUE(_app->GetThreadPool()->IsShuttingDown());
    EXPECT_TRUE(Logged("exceeds hard limit 1. Shutting down process.")) << LogText();
}

TEST_F(AppTest, ExitCodeIsZeroUntilSet) {
    EXPECT_EQ(_app->GetExitCode(), 0);
    _app->SetExitCode(3);
    EXPECT_EQ(_app->GetExitCode(), 3);
    _app->SetExitCode(0);
    EXPECT_EQ(_app->GetExitCode(), 0);
}

TEST_F(AppTest, CommandLineNeedsExactlyOneConfigurationFile) {
    const char* argv[] = {"host", "a.xml", "b.xml"};
    try {
        _app->Init(3, argv);
        FAIL() << "no exception";
    } catch (const Exception& failure) {
        EXPECT_EQ(failure.GetMessage(), "Usage: host <configFile>");
    }
}

TEST_F(AppTest, ChannelsAreNamedBoundedQueues) {
    Start("");
    Ref<Channel> writer;
    Ref<Channel> reader;
    _app->OpenChannel("events", 2, writer);
    _app->OpenChannel("events", 0, reader);
    EXPECT_EQ(writer, reader);
    EXPECT_TRUE(writer->Write("one"));
    EXPECT_TRUE(writer->Write("two"));
    EXPECT_FALSE(writer->Write("three"));  // full
    std::string message;
    ASSERT_TRUE(reader->Read(message));
    EXPECT_EQ(message, "one");
    EXPECT_TRUE(_app->CloseChannel("events"));
    EXPECT_FALSE(_app->CloseChannel("events"));
    EXPECT_FALSE(writer->Write("four"));  // closed
    ASSERT_TRUE(reader->Read(message));   // what waits can still be read
    EXPECT_EQ(message, "two");
    EXPECT_FALSE(reader->Read(message));
    EXPECT_THROW(_app->OpenChannel("", 0, writer), InvalidArgumentException);
}

}  // namespace
}  // namespace Tarvos::Service
