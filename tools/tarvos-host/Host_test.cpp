// End-to-end tests of tarvos-host: each runs the built program over a configuration written by
// the test, with the test plug-ins of testplugins/, and checks its exit status, its standard
// error and the trace the plug-ins leave.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Plugin(const std::string& name) {
    return std::string(TARVOS_TEST_PLUGIN_DIR) + "/lib" + name + ".so";
}

// One run of the host in a directory of its own.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        _dir = fs::temp_directory_path() /
               ("tarvos-host-test-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(_dir);
        fs::create_directories(_dir);
    }
    void TearDown() override {
        if (_pid > 0) {
            kill(_pid, SIGKILL);
            waitpid(_pid, nullptr, 0);
        }
        fs::remove_all(_dir);
    }

    // A configuration with the given plug-ins ("name" -> library path) and extra XML inside the
    // root element; the plug-ins trace into trace.txt.
    std::string WriteConfig(const std::vector<std::pair<std::string, std::string>>& plugins,
                            const std::string& extra = "") {
        std::ostringstream xml;
        xml << "<config>\n<log><outputToConsole>false</outputToConsole>"
            << "<directory>" << (_dir / "log").string() << "</directory><name>host</name></log>\n"
            << "<app><shutdownWaitTimeInSecs>1</shutdownWaitTimeInSecs></app>\n<plugins>\n";
        for (const auto& [name, path] : plugins) {
            xml << "<" << name << "><path>" << path << "</path></" << name << ">\n";
        }
        xml << "</plugins>\n<test>";
        for (const char* name : {"alpha", "beta"}) {
            xml << "<" << name << "><trace>" << Trace() << "</trace></" << name << ">";
        }
        xml << "</test>\n" << extra << "</config>\n";
        const fs::path path = _dir / "host.xml";
        std::ofstream(path) << xml.str();
        return path.string();
    }

    std::string Trace() const { return (_dir / "trace.txt").string(); }
    std::string TraceText() const { return ReadFile(Trace()); }
    std::string LogText() const { return ReadFile(_dir / "log" / "host-0.log"); }
    std::string Err() const { return ReadFile(_dir / "stderr.txt"); }

    void Start(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {TARVOS_HOST_PROGRAM};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> raw;
        for (std::string& arg : argv) {
            raw.push_back(arg.data());
        }
        raw.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, (_dir / "stdout.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, (_dir / "stderr.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(posix_spawn(&_pid, raw[0], &actions, nullptr, raw.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }

    // The exit status, or -1 when the host did not end within `seconds` (it is then killed).
    int Wait(int seconds = 30) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            const pid_t done = waitpid(_pid, &status, WNOHANG);
            if (done == _pid) {
                _pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    // Waits until the trace holds `text` (bounded).
    bool WaitForTrace(const std::string& text, int seconds = 30) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            if (TraceText().find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    void Signal(int signal) { ASSERT_EQ(kill(_pid, signal), 0); }

    fs::path _dir;
    pid_t _pid = -1;
};

TEST_F(HostTest, WrongCommandLineIsAUsageError) {
    Start({});
    EXPECT_EQ(Wait(), 2);
    EXPECT_EQ(Err(), std::string("Usage: ") + TARVOS_HOST_PROGRAM + " <configFile>\n");
}

TEST_F(HostTest, MissingConfigurationFailsWithTheFileNamed) {
    const std::string missing = (_dir / "absent.xml").string();
    Start({missing});
    EXPECT_EQ(Wait(), 1);
    EXPECT_NE(Err().find(missing), std::string::npos) << Err();
}

// The whole life: both plug-ins initialise, then start, in load order; SIGTERM stops them last
// loaded first; the process exits with the code a plug-in set.
TEST_F(HostTest, RunsPluginsAndStopsInOrderOnSigterm) {
    Start({WriteConfig({{"a", Plugin("plugin_alpha")}, {"b", Plugin("plugin_beta")}})});
    ASSERT_TRUE(WaitForTrace("beta start")) << Err();
    Signal(SIGTERM);
    EXPECT_EQ(Wait(), 0) << Err();
    EXPECT_EQ(TraceText(),
              "alpha init\nbeta init\nalpha start\nbeta start\n"
              "beta stop\nbeta finished\nalpha stop\nalpha finished\n");
    EXPECT_NE(LogText().find("Received signal 15"), std::string::npos) << LogText();
}

TEST_F(HostTest, ExitsWithTheApplicationsExitCode) {
    const std::string config = WriteConfig({{"a", Plugin("plugin_alpha")}});
    // Add the exit code setting to alpha's test section.
    std::string text = ReadFile(config);
    text.replace(text.find("</trace></alpha>"), 16, "</trace><exitCode>7</exitCode></alpha>");
    std::ofstream(config) << text;
    Start({config});
    ASSERT_TRUE(WaitForTrace("alpha start")) << Err();
    Signal(SIGINT);
    EXPECT_EQ(Wait(), 7) << Err();
}

struct BadPlugin {
    std::string library;
    std::string setting;   // inserted into alpha's test section
    std::string expected;  // in standard error
};

class HostBadPluginTest : public HostTest, public ::testing::WithParamInterface<BadPlugin> {};

// Start-up failures name the plug-in and the reason, exit with 1 and leave nothing running;
// a plug-in loaded before the failing one is stopped.
TEST_P(HostBadPluginTest, StartUpFailureNamesThePluginAndExits) {
    const BadPlugin& bad = GetParam();
    const std::string config =
        WriteConfig({{"b", Plugin("plugin_beta")}, {"x", Plugin(bad.library)}});
    std::string text = ReadFile(config);
    text.replace(text.find("</trace></alpha>"), 16, "</trace>" + bad.setting + "</alpha>");
    std::ofstream(config) << text;
    Start({config});
    EXPECT_EQ(Wait(), 1) << Err();
    EXPECT_NE(Err().find(bad.expected), std::string::npos) << Err();
    EXPECT_NE(Err().find("plug-in 1 (" + Plugin(bad.library) + ")"), std::string::npos) << Err();
    EXPECT_NE(TraceText().find("beta finished"), std::string::npos) << TraceText();
}

INSTANTIATE_TEST_SUITE_P(
    Failures, HostBadPluginTest,
    ::testing::Values(BadPlugin{"plugin_no_entry", "", "does not export TarvosPluginEntry"},
                      BadPlugin{"plugin_alpha", "<initThrows>true</initThrows>",
                                "alpha refuses to initialise"},
                      BadPlugin{"plugin_missing", "", "Cannot load shared library"}),
    [](const ::testing::TestParamInfo<BadPlugin>& info) {
        return info.param.library + (info.param.setting.empty() ? "" : "_throwing");
    });

TEST_F(HostTest, DuplicatePluginNameFails) {
    Start({WriteConfig({{"a", Plugin("plugin_alpha")}, {"b", Plugin("plugin_alpha_twin")}})});
    EXPECT_EQ(Wait(), 1) << Err();
    EXPECT_NE(Err().find("Already Exists"), std::string::npos) << Err();
    EXPECT_NE(Err().find("plugin_alpha_twin"), std::string::npos) << Err();
}

TEST_F(HostTest, FailingSecondStartUpStepFailsTheStart) {
    const std::string config = WriteConfig({{"a", Plugin("plugin_alpha")}});
    std::string text = ReadFile(config);
    text.replace(text.find("</trace></alpha>"), 16,
                 "</trace><startThrows>true</startThrows></alpha>");
    std::ofstream(config) << text;
    Start({config});
    EXPECT_EQ(Wait(), 1) << Err();
    EXPECT_NE(Err().find("plug-in alpha: alpha refuses to start"), std::string::npos) << Err();
    EXPECT_NE(TraceText().find("alpha finished"), std::string::npos);
}

// A plug-in that needs 3 s to finish is waited for, in 1-second steps.
TEST_F(HostTest, ShutdownWaitsForASlowPlugin) {
    const std::string config = WriteConfig({{"a", Plugin("plugin_alpha")}});
    std::string text = ReadFile(config);
    text.replace(text.find("</trace></alpha>"), 16,
                 "</trace><stopDelayMillis>3000</stopDelayMillis></alpha>");
    std::ofstream(config) << text;
    Start({config});
    ASSERT_TRUE(WaitForTrace("alpha start")) << Err();
    Signal(SIGTERM);
    EXPECT_EQ(Wait(60), 0) << Err();
    EXPECT_NE(TraceText().find("alpha finished"), std::string::npos);
    EXPECT_NE(LogText().find("Waiting for plug-in alpha to stop"), std::string::npos);
}

// A task that stays busy for minutes (on a worker or on the main thread, which serves as one)
// does not keep the process alive past the shutdown wait.
TEST_F(HostTest, BusyTaskDoesNotKeepTheProcessAlive) {
    const std::string config = WriteConfig({{"a", Plugin("plugin_alpha")}});
    std::string text = ReadFile(config);
    text.replace(text.find("</trace></alpha>"), 16,
                 "</trace><busyTaskSeconds>600</busyTaskSeconds></alpha>");
    std::ofstream(config) << text;
    Start({config});
    ASSERT_TRUE(WaitForTrace("alpha start")) << Err();
    Signal(SIGTERM);
    EXPECT_EQ(Wait(60), 0) << Err();
}

TEST_F(HostTest, SecondSignalDuringShutdownEndsAtOnce) {
    const std::string config = WriteConfig({{"a", Plugin("plugin_alpha")}});
    std::string text = ReadFile(config);
    text.replace(text.find("</trace></alpha>"), 16,
                 "</trace><stopDelayMillis>600000</stopDelayMillis></alpha>");
    std::ofstream(config) << text;
    Start({config});
    ASSERT_TRUE(WaitForTrace("alpha start")) << Err();
    Signal(SIGTERM);
    ASSERT_TRUE(WaitForTrace("alpha stop"));
    Signal(SIGTERM);
    EXPECT_EQ(Wait(), 128 + SIGTERM);
    EXPECT_NE(Err().find("second signal"), std::string::npos) << Err();
    EXPECT_EQ(TraceText().find("alpha finished"), std::string::npos);
}

// The demo application serves its www folder and "/hello" over HTTP; the document root
// defaults to the www folder beside the configuration file.
std::string HttpGet(uint16_t port, const std::string& uri) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "GET " + uri + " HTTP/1.0\r\n\r\n";
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[4096];
        pollfd ready{fd, POLLIN, 0};
        while (poll(&ready, 1, 20000) == 1) {
            const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;
            }
            reply.append(buffer, static_cast<size_t>(got));
        }
    }
    close(fd);
    return reply;
}

TEST_F(HostTest, DemoServesItsDocumentsAndHello) {
    fs::copy(TARVOS_DEMO_WWW, _dir / "www", fs::copy_options::recursive);
    const std::string config = WriteConfig(
        {{"demo", TARVOS_DEMO_PLUGIN}},
        "<demo><heartbeatSeconds>60</heartbeatSeconds><http><port>0</port></http></demo>\n"
        "<level id=\"demo\"><logName>Demo</logName><logLevel>verbose</logLevel></level>\n");
    Start({config});
    uint16_t port = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (port == 0 && std::chrono::steady_clock::now() < deadline) {
        const std::string log = LogText();
        const size_t at = log.find("Serving http://127.0.0.1:");
        if (at != std::string::npos) {
            port = static_cast<uint16_t>(std::stoi(log.substr(at + 25)));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ASSERT_NE(port, 0) << LogText() << Err();
    const std::string hello = HttpGet(port, "/hello");
    EXPECT_EQ(hello.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << hello;
    EXPECT_NE(hello.find("Content-Type: text/plain\r\nContent-Length: 13\r\n\r\nhello, world\n"),
              std::string::npos)
        << hello;
    const std::string index = HttpGet(port, "/");
    EXPECT_NE(index.find("Content-Type: text/html\r\n"), std::string::npos) << index;
    EXPECT_NE(index.find("<title>Tarvos demo</title>"), std::string::npos);
    EXPECT_NE(HttpGet(port, "/tarvos.png").find("Content-Type: image/png\r\n"), std::string::npos);
    EXPECT_EQ(HttpGet(port, "/../host.xml").rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    Signal(SIGTERM);
    EXPECT_EQ(Wait(), 0) << Err();
    EXPECT_NE(LogText().find("' verbose "), std::string::npos);
    EXPECT_NE(LogText().find("GET /hello"), std::string::npos);
    EXPECT_NE(LogText().find("Sent " + (_dir / "www" / "index.html").string()), std::string::npos)
        << LogText();
}

}  // namespace
