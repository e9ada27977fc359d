#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "tarvos/core/Export.h"
#include "tarvos/core/Ref.h"
#include "tarvos/system/Backtrace.h"

namespace Tarvos {

// Root of every exception of the library. Each exception carries a message and the backtrace
// captured where it was made. Copies share the backtrace. Exceptions are thrown by value and
// caught by const reference; they are not reference-counted objects.
//
// Making an exception (every constructor that takes a message, not a copy) also acts on three
// process-wide switches, read anew each time: TARVOS_EXCEPTION_DUMP writes the message and the
// backtrace to standard error, TARVOS_EXCEPTION_BREAK stops in an attached debugger,
// TARVOS_EXCEPTION_SPIN parks the thread until a debugger releases it. A switch is decided by its
// override slot when one is set (SetExceptionSwitchOverride), else by the environment variable
// of that name, which is on when set to anything but "0".
class TARVOS_API Throwable : public std::exception {
public:
    explicit Throwable(const std::string& message);
    Throwable(const Throwable& other);
    Throwable& operator=(const Throwable& other);
    ~Throwable() override;

    const char* what() const noexcept override;
    // The backtrace captured at construction (shared by copies).
    virtual Ref<System::Backtrace> GetBacktrace() const;
    // Logs "\n\nException: <message>" and "Backtrace:\n<frames>" to the default logger at level
    // error; does nothing when no default logger is set. Never throws.
    virtual void LogBacktrace() const;
    // Frames from the fourth on (the first three are the capturing machinery), each as
    // "\t-> " and the frame text.
    virtual std::string GetBacktraceString() const;

    const std::string& GetMessage() const noexcept;

private:
    struct Record;
    std::unique_ptr<Record> _record;
};

class TARVOS_API Exception : public Throwable {
public:
    explicit Exception(const std::string& message) : Throwable(message) {}
};

// Exceptions with a fixed message.
#define TARVOS_FIXED_EXCEPTION(Name, Base, Message)      \
    class TARVOS_API Name : public Base {                \
    public:                                              \
        Name() : Base(Message) {}                        \
                                                         \
    protected:                                           \
        explicit Name(const std::string& m) : Base(m) {} \
    };

TARVOS_FIXED_EXCEPTION(NotSupportedException, Exception, "Not Supported")
TARVOS_FIXED_EXCEPTION(AlreadyExistsException, Exception, "Already Exists")
TARVOS_FIXED_EXCEPTION(InProgressException, Exception, "Operation is already in progress")
TARVOS_FIXED_EXCEPTION(NotInProgressException, Exception, "Operation is not in progress")
TARVOS_FIXED_EXCEPTION(InvalidStateException, Exception, "Invalid state")
TARVOS_FIXED_EXCEPTION(NotInitializedException, Exception, "Not initialized")
TARVOS_FIXED_EXCEPTION(AlreadyInitializedException, Exception, "Already initialized")
TARVOS_FIXED_EXCEPTION(NotFoundException, Exception, "Object not found")
TARVOS_FIXED_EXCEPTION(CanceledException, Exception, "Operation was canceled")
TARVOS_FIXED_EXCEPTION(TimeoutException, Exception, "Operation timed out")
TARVOS_FIXED_EXCEPTION(WrongThreadException, Exception, "Wrong Thread")
TARVOS_FIXED_EXCEPTION(TicketExpiredException, Exception, "")
TARVOS_FIXED_EXCEPTION(IOException, Exception, "IO error")
TARVOS_FIXED_EXCEPTION(DateTimeFormatException, Exception, "Error formatting DateTime")

#undef TARVOS_FIXED_EXCEPTION

// "Invalid argument", or "Invalid argument : " followed by a text.
class TARVOS_API InvalidArgumentException : public Exception {
public:
    InvalidArgumentException() : Exception("Invalid argument") {}
    explicit InvalidArgumentException(const std::string& text)
        : Exception("Invalid argument : " + text) {}
};

// "Error formatting number", or a given message.
class TARVOS_API NumberFormatException : public Exception {
public:
    NumberFormatException() : Exception("Error formatting number") {}
    explicit NumberFormatException(const std::string& message) : Exception(message) {}
};

class TARVOS_API NumberRangeException : public NumberFormatException {
public:
    NumberRangeException() : NumberFormatException("Number range exception") {}
};

// Thrown by the message formatter; the message is the offending format text.
class TARVOS_API InvalidFormatStringException : public Exception {
public:
    explicit InvalidFormatStringException(const std::string& format) : Exception(format) {}
};

class TARVOS_API TypeMismatchException : public Exception {
public:
    explicit TypeMismatchException(const std::string& message) : Exception(message) {}
};

// "File Format Exception: " followed by the given text.
class TARVOS_API FileFormatException : public Exception {
public:
    explicit FileFormatException(const std::string& text)
        : Exception("File Format Exception: " + text) {}
};

class TARVOS_API FileIOException : public Exception {
public:
    explicit FileIOException(const std::string& message) : Exception(message) {}
};

class TARVOS_API FileIOAlreadyExistsException : public FileIOException {
public:
    explicit FileIOAlreadyExistsException(const std::string& path)
        : FileIOException("FileIO error : File already exists " + path) {}
};

class TARVOS_API FileIONotFoundException : public FileIOException {
public:
    explicit FileIONotFoundException(const std::string& path)
        : FileIOException("FileIO error: Couldnot find file " + path) {}
};

class TARVOS_API FileIOLockFailedException : public FileIOException {
public:
    explicit FileIOLockFailedException(const std::string& path)
        : FileIOException("FileIO error : Failed to lock file " + path) {}
};

class TARVOS_API FileIOPermissionDeniedException : public FileIOException {
public:
    explicit FileIOPermissionDeniedException(const std::string& path)
        : FileIOException("FileIO error: Permission denied for file " + path) {}
};

// A failure reported by the platform, with its error code (errno on this platform; see
// System::PosixSystemException).
class TARVOS_API SystemException : public Exception {
public:
    SystemException(const std::string& message, int32_t errorCode)
        : Exception(message), _errorCode(errorCode) {}
    int32_t GetErrorCode() const noexcept { return _errorCode; }

private:
    int32_t _errorCode;
};

// A failure of the authentication daemon connection, with its error code.
class TARVOS_API AuthdException : public Exception {
public:
    AuthdException(const std::string& message, uint32_t errorCode)
        : Exception(message), _errorCode(errorCode) {}
    uint32_t GetErrorCode() const noexcept { return _errorCode; }

private:
    uint32_t _errorCode;
};

// Names of the three exception switches.
inline constexpr const char kExceptionDumpSwitch[] = "TARVOS_EXCEPTION_DUMP";
inline constexpr const char kExceptionSpinSwitch[] = "TARVOS_EXCEPTION_SPIN";
inline constexpr const char kExceptionBreakSwitch[] = "TARVOS_EXCEPTION_BREAK";

// Sets (or, with null, clears) the override slot of one exception switch: while set, the byte it
// points to decides the switch instead of the environment. The byte must outlive its
// registration. An unknown switch name throws InvalidArgumentException. Thread-safe.
TARVOS_API void SetExceptionSwitchOverride(const std::string& switchName,
                                           const volatile bool* flag);

}  // namespace Tarvos
