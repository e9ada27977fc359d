// End-to-end tests of the tarvos-config program: each runs the built binary and checks its exit
// status, standard output, standard error and the files it leaves.

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace {

using Names = std::vector<std::string>;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

class ConfigToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base ? base : "/tmp") + "/tarvos-config-tool-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        ASSERT_NE(::mkdtemp(buffer.data()), nullptr);
        _dir = buffer.data();
        _outputs = _dir + "-outputs";
        ASSERT_EQ(::mkdir(_outputs.c_str(), 0700), 0);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(_dir, ignored);
        std::filesystem::remove_all(_outputs, ignored);
    }

    std::string File(const std::string& name) const { return _dir + "/" + name; }

    Names Entries() const {
        Names names;
        for (const auto& entry : std::filesystem::directory_iterator(_dir)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // Runs the program with `arguments` in the test directory.
    Result Run(const std::vector<std::string>& arguments) {
        const std::string out = _outputs + "/out";
        const std::string err = _outputs + "/err";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addchdir_np(&actions, _dir.c_str());
        std::vector<char*> argv;
        std::string program = TARVOS_CONFIG_PROGRAM;
        argv.push_back(program.data());
        std::vector<std::string> copies = arguments;
        for (std::string& argument : copies) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        pid_t pid = -1;
        Result result;
        const int spawned =
            posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            ADD_FAILURE() << "posix_spawn: " << spawned;
            return result;
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0) {
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = ReadFile(out);
        result.err = ReadFile(err);
        return result;
    }

    // Expects a failure with `status` and one line on standard error naming `file` and
    // containing `problem`; nothing on standard output.
    void ExpectFailure(const Result& result, int status, const std::string& file,
                       const std::string& problem) {
        EXPECT_EQ(result.status, status) << result.err;
        EXPECT_EQ(result.out, "");
        ASSERT_FALSE(result.err.empty());
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(result.err.rfind("tarvos-config: " + file + ": ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(problem), std::string::npos) << result.err;
    }

    std::string _dir;
    std::string _outputs;
};

const char kSample[] =
    "<?xml version=\"1.0\"?>\n"
    "<Service>\n"
    "  <app><shutdownWaitTimeInSecs>15</shutdownWaitTimeInSecs></app>\n"
    "  <plugins>\n"
    "    <plugin id=\"0000\"><path>a.so</path></plugin>\n"
    "    <plugin id=\"0001\"><path>b.so</path></plugin>\n"
    "  </plugins>\n"
    "</Service>\n";

// ---------------------------------------------------------------------------------------------
// Usage

TEST_F(ConfigToolTest, HelpExplainsEveryCommandWithAnExample) {
    for (const char* option : {"--help", "-h"}) {
        const Result result = Run({option});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        for (const char* command :
             {"get FILE PATH", "set FILE PATH VALUE", "remove FILE PATH", "list FILE [PATH]",
              "dump FILE", "convert IN OUT", "check FILE", "--xml", "--flat",
              "Example: tarvos-config get", "Example: tarvos-config set",
              "Example: tarvos-config remove", "Example: tarvos-config list",
              "Example: tarvos-config dump", "Example: tarvos-config convert",
              "Example: tarvos-config check", "Exit status"}) {
            EXPECT_NE(result.out.find(command), std::string::npos) << command;
        }
    }
}

TEST_F(ConfigToolTest, UsageErrorsExitWithTwoAndOneLine) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no command"},
        {{"frob", "a.xml"}, "unknown command frob"},
        {{"get", "a.xml"}, "wrong number of arguments for get"},
        {{"set", "a.xml", "p"}, "wrong number of arguments for set"},
        {{"list", "a.xml", "p", "q"}, "wrong number of arguments for list"},
        {{"--bogus", "dump", "a.xml"}, "unknown option --bogus"},
        {{"get", "a.xml", "--xml", "p"},
         "--xml and --flat must stand before the FILE they apply to"},
        {{"--xml", "--flat", "dump", "a.xml"},
         "--xml and --flat must stand before the FILE they apply to"},
    };
    for (const auto& [arguments, problem] : cases) {
        SCOPED_TRACE(problem);
        const Result result = Run(arguments);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "tarvos-config: " + problem + " (see tarvos-config --help)\n");
    }
    EXPECT_EQ(Entries(), Names{});
}

// ---------------------------------------------------------------------------------------------
// Reading commands

TEST_F(ConfigToolTest, GetPrintsTheValueAndALineFeed) {
    WriteFile(File("app.xml"), kSample);
    Result result = Run({"get", "app.xml", "plugins/plugin[0001]/path"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "b.so\n");
    EXPECT_EQ(result.err, "");

    WriteFile(File("app.conf"), "/a/b = \" spaced \"\n");
    result = Run({"get", "app.conf", "/a/b"});
    EXPECT_EQ(result.out, " spaced \n");
}

TEST_F(ConfigToolTest, GetOfAMissingPathExitsWithOne) {
    WriteFile(File("app.xml"), kSample);
    ExpectFailure(Run({"get", "app.xml", "app/missing"}), 1, "app.xml",
                  "app/missing: does not exist");
    ExpectFailure(Run({"get", "app.xml", "plugins"}), 1, "app.xml", "plugins: has no value");
    ExpectFailure(Run({"get", "app.xml", "a[x"}), 2, "app.xml", "a[x: Invalid argument");
}

TEST_F(ConfigToolTest, ListPrintsChildNames) {
    WriteFile(File("app.xml"), kSample);
    Result result = Run({"list", "app.xml"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "app\nplugins\n");
    result = Run({"list", "app.xml", "plugins"});
    EXPECT_EQ(result.out, "plugin[0000]\nplugin[0001]\n");
    result = Run({"list", "app.xml", "app/shutdownWaitTimeInSecs"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    ExpectFailure(Run({"list", "app.xml", "nothing/here"}), 1, "app.xml",
                  "nothing/here: does not exist");
}

TEST_F(ConfigToolTest, DumpPrintsTheFlatForm) {
    WriteFile(File("app.xml"), kSample);
    const Result result = Run({"dump", "app.xml"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              "/app/shutdownWaitTimeInSecs = \"15\"\n"
              "/plugins/plugin[0000]/path = \"a.so\"\n"
              "/plugins/plugin[0001]/path = \"b.so\"\n");
    WriteFile(File("break.xml"), "<r><a>line\nbreak</a></r>");
    ExpectFailure(Run({"dump", "break.xml"}), 2, "break.xml",
                  "Value with a line break cannot be written in flat form: /a");
}

TEST_F(ConfigToolTest, CheckReportsMalformedLinesAndTheRootElement) {
    WriteFile(File("app.conf"), "/a = \"1\"\n# comment\nbroken\n/b = \"2\"\n");
    Result result = Run({"check", "app.conf"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "malformed lines: 2\n");
    WriteFile(File("app.xml"), kSample);
    result = Run({"check", "app.xml"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "root element: Service\n");
}

TEST_F(ConfigToolTest, UnreadableOrMalformedFilesExitWithTwoNamingTheProblem) {
    ExpectFailure(Run({"get", "missing.xml", "a"}), 2, "missing.xml",
                  "open missing.xml: No such file or directory");
    WriteFile(File("bad.xml"), "<r>\n<a>\n</b>\n</r>\n");
    ExpectFailure(Run({"check", "bad.xml"}), 2, "bad.xml", "line 3: mismatched tag");
    WriteFile(File("dup.xml"), "<r><a/><a/></r>");
    ExpectFailure(Run({"list", "dup.xml"}), 2, "dup.xml",
                  "File Format Exception: Duplicate child: a");
    WriteFile(File("bad.conf"), "/a = \"1\"\n/a/b = \"2\"\n");
    ExpectFailure(Run({"dump", "bad.conf"}), 2, "bad.conf",
                  "line 2: Invalid argument : Cannot create path /a/b. Element a already has "
                  "value 1");
    // The format options override the name.
    WriteFile(File("really-xml.conf"), kSample);
    ExpectFailure(Run({"--xml", "get", "really-xml.conf", "nope"}), 1, "really-xml.conf",
                  "nope: does not exist");
    EXPECT_EQ(Run({"get", "--xml", "really-xml.conf", "app/shutdownWaitTimeInSecs"}).out, "15\n");
}

// ---------------------------------------------------------------------------------------------
// Changing commands

TEST_F(ConfigToolTest, SetCreatesTheFileAndPathAndLeavesNoTemporaryFile) {
    Result result = Run({"set", "new.conf", "a/b[k]", "v 1"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(ReadFile(File("new.conf")), "/a/b[k] = \"v 1\"\n");
    EXPECT_EQ(Run({"set", "new.conf", "a/c", "-5"}).status, 0);
    EXPECT_EQ(Run({"set", "new.conf", "a/d", "--", "--verbose"}).status, 0);
    EXPECT_EQ(ReadFile(File("new.conf")),
              "/a/b[k] = \"v 1\"\n/a/c = \"-5\"\n/a/d = \"--verbose\"\n");
    EXPECT_EQ(Entries(), Names{"new.conf"});

    WriteFile(File("app.xml"), kSample);
    EXPECT_EQ(Run({"set", "app.xml", "app/shutdownWaitTimeInSecs", "30"}).status, 0);
    EXPECT_EQ(Run({"get", "app.xml", "app/shutdownWaitTimeInSecs"}).out, "30\n");
    // The document keeps its root element.
    EXPECT_NE(ReadFile(File("app.xml")).find("<Service>"), std::string::npos);
    EXPECT_EQ(Entries(), (Names{"app.xml", "new.conf"}));
}

TEST_F(ConfigToolTest, SetThatTheTreeRefusesChangesNothing) {
    WriteFile(File("app.xml"), kSample);
    ExpectFailure(Run({"set", "app.xml", "app/shutdownWaitTimeInSecs/x", "1"}), 2, "app.xml",
                  "Invalid argument : Cannot create path app/shutdownWaitTimeInSecs/x. Element "
                  "shutdownWaitTimeInSecs already has value 15");
    ExpectFailure(Run({"set", "app.xml", "plugins", "1"}), 2, "app.xml",
                  "Config::View::Set failed. Node plugins already has a child.");
    EXPECT_EQ(ReadFile(File("app.xml")), kSample);
    EXPECT_EQ(Entries(), Names{"app.xml"});
}

TEST_F(ConfigToolTest, FailedSaveKeepsTheOldFile) {
    WriteFile(File("app.xml"), kSample);
    // The value cannot be written as XML, so the save fails before anything is replaced.
    ExpectFailure(Run({"set", "app.xml", "app/bell", "\x07"}), 2, "app.xml",
                  "Value cannot be written as XML: /app/bell");
    EXPECT_EQ(ReadFile(File("app.xml")), kSample);
    EXPECT_EQ(Entries(), Names{"app.xml"});
}

TEST_F(ConfigToolTest, SetWarnsThatMalformedLinesAreNotWrittenBack) {
    WriteFile(File("app.conf"), "# comment\n/a = \"1\"\n");
    const Result result = Run({"set", "app.conf", "b", "2"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err,
              "tarvos-config: app.conf: warning: 1 malformed lines were skipped and are not "
              "written\n");
    EXPECT_EQ(ReadFile(File("app.conf")), "/a = \"1\"\n/b = \"2\"\n");
}

TEST_F(ConfigToolTest, RemoveDeletesThePathAndEmptiedAncestors) {
    WriteFile(File("app.xml"), kSample);
    EXPECT_EQ(Run({"remove", "app.xml", "plugins/plugin[0000]/path"}).status, 0);
    EXPECT_EQ(Run({"list", "app.xml", "plugins"}).out, "plugin[0001]\n");
    EXPECT_EQ(Run({"remove", "app.xml", "app/shutdownWaitTimeInSecs"}).status, 0);
    EXPECT_EQ(Run({"list", "app.xml"}).out, "plugins\n");
    const std::string before = ReadFile(File("app.xml"));
    ExpectFailure(Run({"remove", "app.xml", "app"}), 1, "app.xml", "app: does not exist");
    EXPECT_EQ(ReadFile(File("app.xml")), before);
    EXPECT_EQ(Entries(), Names{"app.xml"});
}

TEST_F(ConfigToolTest, ConvertChoosesFormatsByNameOrOption) {
    WriteFile(File("app.xml"), kSample);
    EXPECT_EQ(Run({"convert", "app.xml", "app.conf"}).status, 0);
    EXPECT_EQ(ReadFile(File("app.conf")), Run({"dump", "app.xml"}).out);

    // Flat to XML under names that say neither; the new document has the default root name.
    EXPECT_EQ(Run({"convert", "--flat", "app.conf", "--xml", "copy.cfg"}).status, 0);
    const std::string copy = ReadFile(File("copy.cfg"));
    EXPECT_EQ(copy.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ConfigRoot>\n", 0), 0u);
    EXPECT_EQ(Run({"--xml", "dump", "copy.cfg"}).out, ReadFile(File("app.conf")));

    // XML to XML keeps the root element's name.
    EXPECT_EQ(Run({"convert", "app.xml", "copy.XML"}).status, 0);
    EXPECT_EQ(Run({"check", "copy.XML"}).out, "root element: Service\n");
    EXPECT_EQ(Entries(), (Names{"app.conf", "app.xml", "copy.XML", "copy.cfg"}));
}

}  // namespace
