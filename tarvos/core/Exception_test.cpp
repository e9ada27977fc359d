#include "tarvos/core/Exception.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tarvos/core/Panic.h"
#include "tarvos/service/Log.h"
#include "tarvos/service/Logger.h"

namespace Tarvos {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// ---------------------------------------------------------------------------------------------
// Messages of every class.

struct MessageCase {
    const char* name;
    std::function<void()> raise;
    std::string message;
};

std::ostream& operator<<(std::ostream& out, const MessageCase& c) {
    return out << c.name;
}

class ExceptionMessageTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ExceptionMessageTest, CarriesItsMessage) {
    try {
        GetParam().raise();
        FAIL() << "nothing thrown";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().message);
        EXPECT_EQ(e.GetMessage(), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllClasses, ExceptionMessageTest,
    ::testing::Values(
        MessageCase{"Exception", [] { throw Exception("given"); }, "given"},
        MessageCase{"NotSupported", [] { throw NotSupportedException(); }, "Not Supported"},
        MessageCase{"AlreadyExists", [] { throw AlreadyExistsException(); }, "Already Exists"},
        MessageCase{"InProgress", [] { throw InProgressException(); },
                    "Operation is already in progress"},
        MessageCase{"NotInProgress", [] { throw NotInProgressException(); },
                    "Operation is not in progress"},
        MessageCase{"InvalidArgument", [] { throw InvalidArgumentException(); },
                    "Invalid argument"},
        MessageCase{"InvalidArgumentText", [] { throw InvalidArgumentException("port"); },
                    "Invalid argument : port"},
        MessageCase{"InvalidState", [] { throw InvalidStateException(); }, "Invalid state"},
        MessageCase{"NotInitialized", [] { throw NotInitializedException(); }, "Not initialized"},
        MessageCase{"AlreadyInitialized", [] { throw AlreadyInitializedException(); },
                    "Already initialized"},
        MessageCase{"NotFound", [] { throw NotFoundException(); }, "Object not found"},
        MessageCase{"Canceled", [] { throw CanceledException(); }, "Operation was canceled"},
        MessageCase{"Timeout", [] { throw TimeoutException(); }, "Operation timed out"},
        MessageCase{"WrongThread", [] { throw WrongThreadException(); }, "Wrong Thread"},
        MessageCase{"TicketExpired", [] { throw TicketExpiredException(); }, ""},
        MessageCase{"IO", [] { throw IOException(); }, "IO error"},
        MessageCase{"NumberFormat", [] { throw NumberFormatException(); },
                    "Error formatting number"},
        MessageCase{"NumberFormatGiven", [] { throw NumberFormatException("bad digits"); },
                    "bad digits"},
        MessageCase{"NumberRange", [] { throw NumberRangeException(); }, "Number range exception"},
        MessageCase{"DateTimeFormat", [] { throw DateTimeFormatException(); },
                    "Error formatting DateTime"},
        MessageCase{"InvalidFormatString", [] { throw InvalidFormatStringException("%1 %3"); },
                    "%1 %3"},
        MessageCase{"TypeMismatch", [] { throw TypeMismatchException("int vs text"); },
                    "int vs text"},
        MessageCase{"FileFormat", [] { throw FileFormatException("line 3"); },
                    "File Format Exception: line 3"},
        MessageCase{"FileIO", [] { throw FileIOException("disk gone"); }, "disk gone"},
        MessageCase{"FileIOAlreadyExists", [] { throw FileIOAlreadyExistsException("/a/b"); },
                    "FileIO error : File already exists /a/b"},
        MessageCase{"FileIONotFound", [] { throw FileIONotFoundException("/a/b"); },
                    "FileIO error: Couldnot find file /a/b"},
        MessageCase{"FileIOLockFailed", [] { throw FileIOLockFailedException("/a/b"); },
                    "FileIO error : Failed to lock file /a/b"},
        MessageCase{"FileIOPermissionDenied", [] { throw FileIOPermissionDeniedException("/a/b"); },
                    "FileIO error: Permission denied for file /a/b"},
        MessageCase{"System", [] { throw SystemException("refused", 111); }, "refused"},
        MessageCase{"Authd", [] { throw AuthdException("no daemon", 7u); }, "no daemon"}),
    [](const ::testing::TestParamInfo<MessageCase>& info) { return info.param.name; });

TEST(ExceptionTreeTest, ClassesAreCaughtThroughTheirBases) {
    EXPECT_THROW(throw NumberRangeException(), NumberFormatException);
    EXPECT_THROW(throw FileIONotFoundException("x"), FileIOException);
    EXPECT_THROW(throw FileIOLockFailedException("x"), FileIOException);
    EXPECT_THROW(throw SystemException("x", 1), Exception);
    EXPECT_THROW(throw Exception("x"), Throwable);
    EXPECT_THROW(throw TimeoutException(), std::exception);
}

TEST(ExceptionTreeTest, ErrorCodesTravelWithTheException) {
    try {
        throw SystemException("refused", -111);
    } catch (const SystemException& e) {
        const SystemException copy(e);
        EXPECT_EQ(copy.GetErrorCode(), -111);
        EXPECT_STREQ(copy.what(), "refused");
    }
    try {
        throw AuthdException("denied", 0xfffffff0u);
    } catch (const AuthdException& e) {
        EXPECT_EQ(e.GetErrorCode(), 0xfffffff0u);
    }
}

// ---------------------------------------------------------------------------------------------
// Backtraces.

TEST(ExceptionBacktraceTest, CopiesShareTheBacktraceObject) {
    const NotFoundException original;
    ASSERT_TRUE(original.GetBacktrace());
    const NotFoundException copy(original);
    EXPECT_EQ(copy.GetBacktrace().Get(), original.GetBacktrace().Get());
    EXPECT_STREQ(copy.what(), "Object not found");

    Exception assigned("other");
    assigned = Exception("third");
    EXPECT_STREQ(assigned.what(), "third");
    EXPECT_NE(assigned.GetBacktrace().Get(), nullptr);
    assigned = original;
    EXPECT_STREQ(assigned.what(), "Object not found");
    EXPECT_EQ(assigned.GetBacktrace().Get(), original.GetBacktrace().Get());
}

TEST(ExceptionBacktraceTest, EachConstructionCapturesItsOwnBacktrace) {
    const Exception a("a");
    const Exception b("b");
    EXPECT_NE(a.GetBacktrace().Get(), b.GetBacktrace().Get());
}

TEST(ExceptionBacktraceTest, BacktraceStringSkipsTheFirstThreeFrames) {
    const Exception e("trace me");
    const auto backtrace = e.GetBacktrace();
    ASSERT_TRUE(backtrace);
    const int frames = backtrace->GetFrameCount();
    ASSERT_GT(frames, 3);
    std::string expected;
    for (int i = 3; i < frames; ++i) {
        expected += "\t-> " + backtrace->GetFrameText(i) + "\n";
    }
    EXPECT_EQ(e.GetBacktraceString(), expected);
    EXPECT_THAT(e.GetBacktraceString(), ::testing::Not(HasSubstr(backtrace->GetFrameText(0))));
}

TEST(ExceptionBacktraceTest, FrameTextsNameTheCallers) {
    const Exception e("where");
    const auto backtrace = e.GetBacktrace();
    // Exported functions of the library resolve to their demangled names.
    const std::string text = backtrace->GetText();
    EXPECT_THAT(text, HasSubstr("libtarvos.so"));
    EXPECT_THAT(text, HasSubstr("(Tarvos::Throwable::Throwable("));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), backtrace->GetFrameCount());
    EXPECT_EQ(backtrace->GetFrameText(-1), "");
    EXPECT_EQ(backtrace->GetFrameText(backtrace->GetFrameCount()), "");
}

// A logger that keeps the messages it is given; optionally mirrors them to standard error
// (for death tests, whose only witness is the child's output).
class RecordingLogger final : public Service::Logger, public ObjectImpl {
public:
    struct Message {
        int32_t level;
        std::string text;
    };

    explicit RecordingLogger(bool mirrorToStderr = false) : _mirror(mirrorToStderr) {}

    void SetName(const std::string&) override {}
    std::string GetName() const override { return "recording"; }
    void CreateLogger(const std::string&, int32_t, Ref<Logger>& logger) override { logger = this; }
    void CreateLogger(const std::string&, Ref<Logger>& logger) override { logger = this; }
    void SetLevel(int32_t) override {}
    bool SetLevelByName(const std::string&) override { return true; }
    std::string GetLevelName() const override { return "trivia"; }
    int32_t GetLevel() const override { return Service::LogLevel::Trivia; }
    bool IsEnabled(int32_t) const override { return true; }
    void BeginMessage(int32_t level) override { messages.push_back({level, ""}); }
    void WriteString(const char* data, int32_t length) override {
        messages.back().text.append(data, static_cast<size_t>(length));
    }
    void EndMessage() override {
        if (_mirror) {
            const std::string line = "[logged " + std::to_string(messages.back().level) + "]" +
                                     messages.back().text + "[end]\n";
            std::fwrite(line.data(), 1, line.size(), stderr);
        }
    }
    void RecordTrace(int64_t, uintptr_t) override {}
    void LogHistory() override {}
    void WriteHistory(Writer&) override {}

    std::vector<Message> messages;

private:
    const bool _mirror;
};

class DefaultLoggerTest : public ::testing::Test {
protected:
    void SetUp() override { Service::SetDefaultLogger(logger); }
    void TearDown() override { Service::SetDefaultLogger(nullptr); }

    Ref<RecordingLogger> logger{new RecordingLogger()};
};

TEST_F(DefaultLoggerTest, LogBacktraceWritesTheMessageAndTheFramesAtErrorLevel) {
    const InvalidStateException e;
    e.LogBacktrace();
    ASSERT_EQ(logger->messages.size(), 2u);
    EXPECT_EQ(logger->messages[0].level, Service::LogLevel::Error);
    EXPECT_EQ(logger->messages[0].text, "\n\nException: Invalid state");
    EXPECT_EQ(logger->messages[1].level, Service::LogLevel::Error);
    EXPECT_EQ(logger->messages[1].text, "Backtrace:\n" + e.GetBacktraceString());
}

TEST_F(DefaultLoggerTest, LogBacktraceTakesTheMessageLiterally) {
    const Exception e("100% of %1 and %");
    e.LogBacktrace();
    ASSERT_FALSE(logger->messages.empty());
    EXPECT_EQ(logger->messages[0].text, "\n\nException: 100% of %1 and %");
}

TEST(ExceptionLogTest, LogBacktraceWithoutDefaultLoggerDoesNothing) {
    Service::SetDefaultLogger(nullptr);
    EXPECT_NO_THROW(Exception("quiet").LogBacktrace());
}

// ---------------------------------------------------------------------------------------------
// The switches.

// Clears every override and switch variable before and after each test.
class ExceptionSwitchTest : public ::testing::Test {
protected:
    void SetUp() override { ClearAll(); }
    void TearDown() override { ClearAll(); }

    static void ClearAll() {
        for (const char* name :
             {kExceptionDumpSwitch, kExceptionSpinSwitch, kExceptionBreakSwitch}) {
            SetExceptionSwitchOverride(name, nullptr);
            unsetenv(name);
        }
    }

    // What making `e` printed to standard error.
    static std::string StderrOf(const std::function<void()>& make) {
        ::testing::internal::CaptureStderr();
        make();
        return ::testing::internal::GetCapturedStderr();
    }

    static std::string ExpectedDump(const Throwable& e) {
        return "Exception encountered: \n" + e.GetMessage() + "\nBacktrace generated: \n\n" +
               e.GetBacktrace()->GetText() + "\n";
    }
};

TEST_F(ExceptionSwitchTest, SwitchesOffPrintNothing) {
    EXPECT_EQ(StderrOf([] { Exception e("silent"); }), "");
}

TEST_F(ExceptionSwitchTest, DumpOverrideWritesMessageAndBacktrace) {
    static volatile bool on = true;
    SetExceptionSwitchOverride(kExceptionDumpSwitch, &on);
    std::unique_ptr<Exception> made;
    const std::string output = StderrOf([&] { made = std::make_unique<Exception>("dumped"); });
    EXPECT_EQ(output, ExpectedDump(*made));
}

TEST_F(ExceptionSwitchTest, OverrideIsReadAnewForEachException) {
    static volatile bool flag = false;
    SetExceptionSwitchOverride(kExceptionDumpSwitch, &flag);
    EXPECT_EQ(StderrOf([] { Exception e("off"); }), "");
    flag = true;
    EXPECT_THAT(StderrOf([] { Exception e("now on"); }),
                StartsWith("Exception encountered: \nnow on\n"));
    flag = false;
}

TEST_F(ExceptionSwitchTest, OverrideWinsOverTheEnvironment) {
    static volatile bool off = false;
    setenv(kExceptionDumpSwitch, "1", 1);
    SetExceptionSwitchOverride(kExceptionDumpSwitch, &off);
    EXPECT_EQ(StderrOf([] { Exception e("overridden"); }), "");
    SetExceptionSwitchOverride(kExceptionDumpSwitch, nullptr);
    EXPECT_THAT(StderrOf([] { Exception e("env again"); }), HasSubstr("env again"));
}

TEST_F(ExceptionSwitchTest, CopiesDoNotActOnTheSwitches) {
    const Exception original("original");
    static volatile bool on = true;
    SetExceptionSwitchOverride(kExceptionDumpSwitch, &on);
    EXPECT_EQ(StderrOf([&] { Exception copy(original); }), "");
}

TEST_F(ExceptionSwitchTest, UnknownSwitchNameIsRejected) {
    static volatile bool on = true;
    try {
        SetExceptionSwitchOverride("TARVOS_EXCEPTION_DUMPS", &on);
        FAIL() << "accepted an unknown switch";
    } catch (const InvalidArgumentException& e) {
        EXPECT_THAT(e.what(), StartsWith("Invalid argument : "));
        EXPECT_THAT(e.what(), HasSubstr("TARVOS_EXCEPTION_DUMPS"));
    }
    EXPECT_EQ(StderrOf([] { Exception e("still off"); }), "");
}

TEST_F(ExceptionSwitchTest, BreakWithoutDebuggerSaysSoOnStandardError) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("TracerPid:", 0) == 0 && std::atoi(line.c_str() + 10) != 0) {
            GTEST_SKIP() << "a debugger or tracer is attached";
        }
    }
    static volatile bool on = true;
    SetExceptionSwitchOverride(kExceptionBreakSwitch, &on);
    EXPECT_EQ(StderrOf([] { Exception e("break"); }),
              "Debugger break requested, but no debugger is attached\n");
}

struct EnvCase {
    const char* value;
    bool dumps;
};

class ExceptionDumpEnvironmentTest : public ExceptionSwitchTest,
                                     public ::testing::WithParamInterface<EnvCase> {};

TEST_P(ExceptionDumpEnvironmentTest, VariableIsOnUnlessZero) {
    setenv(kExceptionDumpSwitch, GetParam().value, 1);
    std::unique_ptr<Exception> made;
    const std::string output = StderrOf([&] { made = std::make_unique<NotFoundException>(); });
    EXPECT_EQ(output, GetParam().dumps ? ExpectedDump(*made) : "");
}

INSTANTIATE_TEST_SUITE_P(Values, ExceptionDumpEnvironmentTest,
                         ::testing::Values(EnvCase{"1", true}, EnvCase{"0", false},
                                           EnvCase{"", true}, EnvCase{"yes", true},
                                           EnvCase{"00", true}, EnvCase{"0 ", true}));

// ---------------------------------------------------------------------------------------------
// Process-ending paths. Children run the binary afresh (threadsafe style) and never leave a core.

void NoCoreDumps() {
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
}

class PanicDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(PanicDeathTest, PanicExitEndsTheProcessWithStatus255) {
    EXPECT_EXIT(
        {
            NoCoreDumps();
            PanicExit("the end");
        },
        ::testing::ExitedWithCode(255), "PanicExit: the end");
}

TEST_F(PanicDeathTest, PanicExitLogsTheMessageAndTheBacktraceToTheDefaultLogger) {
    EXPECT_EXIT(
        {
            NoCoreDumps();
            Service::SetDefaultLogger(Ref<Service::Logger>(new RecordingLogger(true)));
            PanicExit("logged end");
        },
        ::testing::ExitedWithCode(255),
        "\\[logged 3\\]\n\nPanicExit: logged end\\[end\\]\n"
        "\\[logged 3\\]\n\nException: logged end\\[end\\]\n"
        "\\[logged 3\\]Backtrace:\n");
}

TEST_F(PanicDeathTest, SecondPanickingThreadIsNotReported) {
    // The child must share the parent's file: fork it rather than run the binary afresh.
    GTEST_FLAG_SET(death_test_style, "fast");
    char path[] = "/tmp/tarvos-panic-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    EXPECT_EXIT(
        {
            NoCoreDumps();
            dup2(fd, STDERR_FILENO);
            std::thread first([] { PanicExit("from a thread"); });
            std::thread second([] { PanicExit("from a thread"); });
            first.join();
            second.join();
        },
        ::testing::ExitedWithCode(255), "");
    close(fd);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    unlink(path);
    const std::string output = text.str();
    size_t reports = 0;
    for (size_t at = output.find("PanicExit: "); at != std::string::npos;
         at = output.find("PanicExit: ", at + 1)) {
        ++reports;
    }
    EXPECT_EQ(reports, 1u) << output;
}

struct AssertionCase {
    const char* name;
    void (*fail)();
    const char* pattern;
};

std::ostream& operator<<(std::ostream& out, const AssertionCase& c) {
    return out << c.name;
}

class AssertionDeathTest : public PanicDeathTest,
                           public ::testing::WithParamInterface<AssertionCase> {};

TEST_P(AssertionDeathTest, FailureEndsTheProcessWithItsMessage) {
    EXPECT_EXIT(
        {
            NoCoreDumps();
            GetParam().fail();
        },
        ::testing::ExitedWithCode(255), GetParam().pattern);
}

INSTANTIATE_TEST_SUITE_P(
    Helpers, AssertionDeathTest,
    ::testing::Values(
        AssertionCase{"Verify", [] { TARVOS_VERIFY(1 + 1 == 3); }, "PanicExit: Assert failed!\n"},
        AssertionCase{"VerifyWithBug", [] { TARVOS_VERIFY_BUG(false, 7); },
                      "PanicExit: Assert failed! PR# : 7\n"},
        AssertionCase{"VerifyWithoutBugNumber", [] { TARVOS_VERIFY_BUG(false, 0); },
                      "PanicExit: Assert failed!\n"},
        AssertionCase{"VerifyWithNegativeBugNumber", [] { TARVOS_VERIFY_BUG(false, -4); },
                      "PanicExit: Assert failed!\n"},
        AssertionCase{"NotImplementedVerify", [] { TARVOS_NOT_IMPLEMENTED_VERIFY(false); },
                      "PanicExit: Not implemented Assert failed!\n"},
        AssertionCase{"NotImplemented", [] { TARVOS_NOT_IMPLEMENTED(); },
                      "PanicExit: Not implemented!\n"},
        AssertionCase{"NotReached", [] { TARVOS_NOT_REACHED(); }, "PanicExit: Not reached!\n"}),
    [](const ::testing::TestParamInfo<AssertionCase>& info) { return info.param.name; });

TEST(AssertionTest, PassingChecksDoNothing) {
    int evaluated = 0;
    TARVOS_VERIFY(++evaluated == 1);
    TARVOS_VERIFY_BUG(++evaluated == 2, 9);
    TARVOS_NOT_IMPLEMENTED_VERIFY(++evaluated == 3);
    EXPECT_EQ(evaluated, 3);
}

TEST_F(PanicDeathTest, SpinSwitchParksTheThreadAndNamesTheProcess) {
    // The spinning thread never comes back; the child reads its announcement from a pipe,
    // repeats it on the real standard error and leaves. alarm() bounds a child that never
    // announces.
    EXPECT_EXIT(
        {
            alarm(60);
            int pipeFds[2];
            if (pipe(pipeFds) != 0) {
                _exit(2);
            }
            const int realStderr = dup(STDERR_FILENO);
            dup2(pipeFds[1], STDERR_FILENO);
            static volatile bool on = true;
            SetExceptionSwitchOverride(kExceptionSpinSwitch, &on);
            std::thread([] { Exception e("spin"); }).detach();
            std::string seen;
            char c = 0;
            while (seen.find('\n') == std::string::npos && read(pipeFds[0], &c, 1) == 1) {
                seen += c;
            }
            const std::string expected =
                "Spinning on exception at pid " + std::to_string(getpid()) + "\n";
            if (write(realStderr, seen.data(), seen.size()) < 0) {
                _exit(3);
            }
            _exit(seen == expected ? 0 : 4);
        },
        ::testing::ExitedWithCode(0), "^Spinning on exception at pid [0-9]+\n$");
}

}  // namespace
}  // namespace Tarvos
