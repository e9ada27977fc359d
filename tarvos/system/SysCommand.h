#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tarvos/core/Ref.h"

namespace Tarvos::System {

// An external program run as a child process whose standard input, output and error output are
// pipes owned by this object. Made by SystemFactory::CreateSysCommand; its log lines go to the
// logger "SysCommandPosix".
//
// The program is started with an argument vector, never through a shell: every argument reaches
// the child exactly as given (quotes, blanks and line feeds included). The child runs with the
// parent's environment and working directory.
//
// Output channels are selected by number: 1 the output, 2 the error output, 3 also the output;
// any other number is an assertion failure. When the command was started with mergeStderr, the
// error output goes into the output pipe and every channel number reads that one pipe.
//
// Failures of the platform are reported by a false result and a line in the log, never by an
// exception. Reading after the end of a channel returns empty results.
//
// A child that still runs when the object is destroyed is killed (SIGKILL) and reaped by the
// destructor, so no zombie is left behind; call Wait first to let it finish on its own.
//
// Thread-safety: the setters and Start are externally synchronised (call them before sharing the
// object). After Start, one thread may read a channel while another writes the input and a third
// waits for the exit; readers of one channel are serialised by that channel's lock.
class TARVOS_API SysCommand : public virtual Object {
public:
    // The program: a path, or a name looked up in PATH when it contains no "/".
    virtual void SetProgram(const std::string& program) = 0;
    virtual std::string GetProgram() const = 0;
    // The arguments after the program name (the child sees the program as its argv[0]).
    virtual void SetArguments(const std::vector<std::string>& arguments) = 0;
    virtual std::vector<std::string> GetArguments() const = 0;
    // A list kept with the command and handed back unchanged; it does not affect the start.
    virtual void SetExtraList(const std::vector<std::string>& list) = 0;
    virtual std::vector<std::string> GetExtraList() const = 0;

    // Creates the pipes and starts the program. False (with an error line in the log) when a
    // pipe or the process cannot be made, or when the command was started before.
    virtual bool Start(bool mergeStderr) = 0;
    // Waits at most `seconds` (negative: without limit) for the child's end. True once it has
    // ended (its exit code is then known); false on a time-out or a failed wait (logged).
    virtual bool Wait(int32_t seconds) = 0;
    // Writes `text` to the child's input; as Write.
    virtual bool WriteInput(const std::string& text) = 0;
    // Hands out up to `count` bytes of `channel` into `out`. Reads once when fewer are buffered,
    // or until `count` bytes or the end of the channel when `waitForAll` is set.
    virtual void ReadBytes(std::string& out, int channel, int32_t count, bool waitForAll) = 0;
    // Hands out the next line of `channel` including its line feed, or what remains before the
    // end of the channel when no line feed follows.
    virtual void ReadLine(std::string& out, int channel) = 0;
    // Whether the end of `channel` was reached and everything read was handed out.
    virtual bool IsAtEnd(int channel) = 0;
    // Whether the child has ended (looks without waiting).
    virtual bool HasExited() = 0;
    // The child's exit code once it has ended: its exit status, or 128 + the signal number when
    // a signal ended it. False, leaving `code` untouched, while it runs or before Start.
    virtual bool GetExitCode(int32_t& code) = 0;
    // One blocking read of at most `length` bytes from `channel`'s pipe into `buffer`; the count
    // goes to `bytesRead`. False at the end of the channel (no log line) or on an error (logged).
    virtual bool ReadRaw(int channel, char* buffer, int32_t length, int32_t& bytesRead) = 0;
    // Writes every byte of `text` to the child's input, blocking until the pipe took them. False
    // (logged) when the child closed its input or the write fails. Never raises SIGPIPE.
    virtual bool Write(const std::string& text) = 0;
    // Closes the child's input so that it reads end of file; later writes fail. Idempotent.
    virtual void CloseInput() = 0;
};

}  // namespace Tarvos::System
