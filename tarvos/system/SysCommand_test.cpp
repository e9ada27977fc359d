#include "tarvos/system/SysCommand.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/StringWriter.h"
#include "tarvos/service/Log.h"
#include "tarvos/service/LoggerImpl.h"
#include "tarvos/system/SysCommandBase.h"
#include "tarvos/system/SystemFactory.h"

namespace Tarvos::System {
namespace {

// Installs a default logger over a StringWriter for the test's duration, so that commands made by
// the factory log there.
class LoggedTest : public ::testing::Test {
protected:
    void SetUp() override {
        _previous = Service::TryGetDefaultLogger();
        CreateStringWriter(_output);
        Ref<Service::Logger> root;
        Service::CreateRootLogger("root", _output, nullptr, root);
        root->SetLevel(Service::LogLevel::Trivia);
        Service::SetDefaultLogger(root);
    }
    void TearDown() override { Service::SetDefaultLogger(_previous); }

    bool Logged(const std::string& text) const {
        return _output->ToString().find(text) != std::string::npos;
    }

    Ref<StringWriter> _output;
    Ref<Service::Logger> _previous;
};

class SysCommandTest : public LoggedTest {
protected:
    Ref<SysCommand> Make(const std::string& program, const std::vector<std::string>& arguments) {
        Ref<SysCommand> command;
        GetSystemFactory().CreateSysCommand(command);
        command->SetProgram(program);
        command->SetArguments(arguments);
        return command;
    }
    Ref<SysCommand> Started(const std::string& program, const std::vector<std::string>& arguments,
                            bool merge = false) {
        Ref<SysCommand> command = Make(program, arguments);
        EXPECT_TRUE(command->Start(merge)) << _output->ToString();
        return command;
    }
    Ref<SysCommand> Shell(const std::string& script, bool merge = false) {
        return Started("/bin/sh", {"-c", script}, merge);
    }
    // Everything the channel delivers until its end.
    static std::string ReadAll(SysCommand& command, int channel) {
        std::string all;
        std::string piece;
        while (!command.IsAtEnd(channel)) {
            command.ReadBytes(piece, channel, 4096, true);
            all += piece;
        }
        return all;
    }
    static int32_t ExitCodeAfterWait(SysCommand& command) {
        EXPECT_TRUE(command.Wait(60));
        int32_t code = -12345;
        EXPECT_TRUE(command.GetExitCode(code));
        return code;
    }
    // The first line of the command's output as a pid.
    static pid_t ReadPid(SysCommand& command) {
        std::string line;
        command.ReadLine(line, 1);
        return static_cast<pid_t>(std::stol(line));
    }
    // Whether `pid` is gone for good: not our child any more, and no process (not even a zombie)
    // carries the pid.
    static bool FullyReaped(pid_t pid) {
        errno = 0;
        const bool notChild = ::waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD;
        errno = 0;
        const bool noProcess = ::kill(pid, 0) < 0 && errno == ESRCH;
        return notChild && noProcess;
    }
};

// ---------------------------------------------------------------------------------------------
// Arguments

class SysCommandArgumentTest : public SysCommandTest,
                               public ::testing::WithParamInterface<std::string> {};

TEST_P(SysCommandArgumentTest, ArgumentReachesTheChildUnchanged) {
    // A name without "/" is looked up in PATH.
    const Ref<SysCommand> command = Started("printf", {"<%s>", GetParam(), "", "next"});
    EXPECT_EQ(ReadAll(*command, 1), "<" + GetParam() + "><><next>");
    EXPECT_EQ(ExitCodeAfterWait(*command), 0);
}

INSTANTIATE_TEST_SUITE_P(Texts, SysCommandArgumentTest,
                         ::testing::Values("he said \"hi\"", "two  blanks and\ttab",
                                           "first line\nsecond line", "trailing backslash\\",
                                           "\\\"escaped\\\" already", "'single' $HOME * ; |", ""));

// ---------------------------------------------------------------------------------------------
// Channels

TEST_F(SysCommandTest, MergedErrorOutputArrivesInPipeOrderOnEveryChannel) {
    const std::string script = "printf out1; printf err1 >&2; printf out2; printf err2 >&2";
    const Ref<SysCommand> command = Shell(script, true);
    EXPECT_EQ(ReadAll(*command, 2), "out1err1out2err2");
    EXPECT_TRUE(command->IsAtEnd(1));
}

TEST_F(SysCommandTest, UnmergedChannelsAreSeparateAndThreeIsTheOutput) {
    const Ref<SysCommand> command = Shell("printf out; printf err >&2");
    EXPECT_EQ(ReadAll(*command, 2), "err");
    EXPECT_EQ(ReadAll(*command, 3), "out");
    EXPECT_TRUE(command->IsAtEnd(1));
}

TEST_F(SysCommandTest, ReadLineHandsOutLinesThenTheRestThenNothing) {
    const Ref<SysCommand> command = Started("/bin/printf", {"a\nb"});
    std::string line;
    command->ReadLine(line, 1);
    EXPECT_EQ(line, "a\n");
    command->ReadLine(line, 1);
    EXPECT_EQ(line, "b");
    EXPECT_TRUE(command->IsAtEnd(1));
    command->ReadLine(line, 1);
    EXPECT_EQ(line, "");
}

TEST_F(SysCommandTest, ChildClosingOutputWithoutWritingIsAnEmptyEnd) {
    const Ref<SysCommand> command = Started("/bin/true", {});
    std::string piece = "stale";
    command->ReadBytes(piece, 1, 100, false);
    EXPECT_EQ(piece, "");
    EXPECT_TRUE(command->IsAtEnd(1));
    EXPECT_EQ(ExitCodeAfterWait(*command), 0);
}

// ---------------------------------------------------------------------------------------------
// Input

TEST_F(SysCommandTest, InputIsEchoedAndClosingItEndsTheChild) {
    const Ref<SysCommand> command = Started("/bin/cat", {});
    ASSERT_TRUE(command->WriteInput("first\n"));
    std::string line;
    command->ReadLine(line, 1);
    EXPECT_EQ(line, "first\n");
    ASSERT_TRUE(command->Write("second"));
    command->CloseInput();
    EXPECT_EQ(ReadAll(*command, 1), "second");
    EXPECT_EQ(ExitCodeAfterWait(*command), 0);
    EXPECT_FALSE(command->Write("late"));
    EXPECT_TRUE(Logged("Error " + std::to_string(EBADF) + " writing"));
}

TEST_F(SysCommandTest, LargeInputIsWrittenWholeWhileAnotherThreadReads) {
    const Ref<SysCommand> command = Started("/bin/cat", {});
    std::string input;
    for (int i = 0; input.size() < 1 << 20; ++i) {
        input += std::to_string(i) + "\n";
    }
    std::string echoed;
    std::thread reader([&] { echoed = ReadAll(*command, 1); });
    const bool written = command->Write(input);
    command->CloseInput();
    reader.join();
    EXPECT_TRUE(written);
    EXPECT_EQ(echoed.size(), input.size());
    EXPECT_TRUE(echoed == input);
}

TEST_F(SysCommandTest, WritingToAClosedInputFailsWithoutSigpipe) {
    const Ref<SysCommand> command = Started("/bin/true", {});
    ASSERT_TRUE(command->Wait(60));
    // Under the default disposition a raised SIGPIPE would end this test program here.
    EXPECT_FALSE(command->Write(std::string(100000, 'x')));
    EXPECT_TRUE(Logged("Error " + std::to_string(EPIPE) + " writing")) << _output->ToString();
    sigset_t pending;
    sigemptyset(&pending);
    ASSERT_EQ(::sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    sigset_t mask;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, nullptr, &mask), 0);
    EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);
}

// ---------------------------------------------------------------------------------------------
// Exit, waiting and clean-up

TEST_F(SysCommandTest, WaitZeroOnARunningChildIsFalseUntilItExits) {
    const Ref<SysCommand> command = Shell("read line; exit 7");
    EXPECT_FALSE(command->Wait(0));
    EXPECT_FALSE(command->HasExited());
    int32_t code = -1;
    EXPECT_FALSE(command->GetExitCode(code));
    EXPECT_EQ(code, -1);
    ASSERT_TRUE(command->Write("go\n"));
    EXPECT_EQ(ExitCodeAfterWait(*command), 7);
    EXPECT_TRUE(command->Wait(0));
    EXPECT_TRUE(command->HasExited());
}

TEST_F(SysCommandTest, ChildThatNeverExitsTimesOutAndIsReapedAfterTheKill) {
    const Ref<SysCommand> command = Shell("echo $$; exec sleep 1000");
    const pid_t pid = ReadPid(*command);
    EXPECT_FALSE(command->Wait(1));
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    EXPECT_TRUE(command->Wait(-1));
    EXPECT_EQ(ExitCodeAfterWait(*command), 128 + SIGKILL);
    EXPECT_TRUE(FullyReaped(pid));
}

TEST_F(SysCommandTest, DroppingTheCommandKillsAndReapsARunningChild) {
    pid_t pid = 0;
    {
        const Ref<SysCommand> command = Shell("echo $$; exec sleep 1000");
        pid = ReadPid(*command);
        EXPECT_FALSE(command->HasExited());
    }
    EXPECT_TRUE(FullyReaped(pid));
}

// ---------------------------------------------------------------------------------------------
// Failures

TEST_F(SysCommandTest, MissingProgramFailsToStartAndLogs) {
    const Ref<SysCommand> command = Make("/nonexistent/tarvos-no-such-program", {});
    EXPECT_FALSE(command->Start(false));
    EXPECT_TRUE(Logged("'SysCommandPosix' error")) << _output->ToString();
    EXPECT_TRUE(Logged("error " + std::to_string(ENOENT) + " creating process"))
        << _output->ToString();
    EXPECT_FALSE(command->Wait(0));
    EXPECT_FALSE(command->Write("x"));
}

// ---------------------------------------------------------------------------------------------
// The buffering over a scripted ReadRaw

// Hands out scripted chunks per pipe; an empty chunk is the end, "!" an error.
class ScriptedCommand final : public SysCommandBase {
public:
    explicit ScriptedCommand(const Ref<Service::Logger>& logger) : SysCommandBase(logger) {}

    std::deque<std::string> chunks[2];
    int reads = 0;

    bool Start(bool) override { return true; }
    bool Wait(int32_t) override { return true; }
    bool HasExited() override { return true; }
    bool GetExitCode(int32_t&) override { return false; }
    bool Write(const std::string&) override { return false; }
    void CloseInput() override {}
    bool ReadRaw(int channel, char* buffer, int32_t length, int32_t& bytesRead) override {
        ++reads;
        bytesRead = 0;
        std::deque<std::string>& queue = chunks[PipeIndex(channel)];
        if (queue.empty() || queue.front().empty() || queue.front() == "!") {
            return false;
        }
        std::string& next = queue.front();
        const size_t n = std::min(next.size(), static_cast<size_t>(length));
        next.copy(buffer, n);
        next.erase(0, n);
        if (next.empty()) {
            queue.pop_front();
        }
        bytesRead = static_cast<int32_t>(n);
        return true;
    }
};

class SysCommandBaseTest : public LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        _command = new ScriptedCommand(Service::GetDefaultLogger());
    }
    Ref<ScriptedCommand> _command;
};

TEST_F(SysCommandBaseTest, ReadErrorEndsTheChannelInsteadOfReadingForever) {
    _command->chunks[0] = {"ab", "!"};
    std::string piece;
    _command->ReadBytes(piece, 1, 10, true);
    EXPECT_EQ(piece, "ab");
    EXPECT_TRUE(_command->IsAtEnd(1));
    const int reads = _command->reads;
    _command->ReadLine(piece, 1);
    EXPECT_EQ(piece, "");
    EXPECT_EQ(_command->reads, reads);
}

TEST_F(SysCommandBaseTest, LineSplitOverReadsAndSeveralLinesInOneRead) {
    _command->chunks[0] = {"par", "tial\nx\ny", "z\n", ""};
    std::string line;
    _command->ReadLine(line, 1);
    EXPECT_EQ(line, "partial\n");
    EXPECT_TRUE(Logged("3 bytes read, par")) << _output->ToString();
    _command->ReadLine(line, 1);
    EXPECT_EQ(line, "x\n");
    _command->ReadLine(line, 1);
    EXPECT_EQ(line, "yz\n");
    EXPECT_FALSE(_command->IsAtEnd(1));  // the end is not known before a read finds it
    _command->ReadLine(line, 1);
    EXPECT_EQ(line, "");
    EXPECT_TRUE(_command->IsAtEnd(1));
}

}  // namespace
}  // namespace Tarvos::System
