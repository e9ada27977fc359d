#pragma once

#include <string>

#include "tarvos/core/Export.h"

namespace Tarvos {

// Ends the process after a fatal internal error: logs "\n\nPanicExit: <message>" and the
// backtrace to the default logger at level error (standard error when no default logger is
// set), flushes the log, leaves a core dump where the administrator enabled them, and exits with
// status 255. Only the first panicking thread is logged; others wait for the exit.
[[noreturn]] TARVOS_API void PanicExit(const std::string& message);

// Failure paths of the assertion macros below; each ends in PanicExit.
// "Assert failed!", with " PR# : <bug>" appended when bugNumber is positive.
[[noreturn]] TARVOS_API void AssertFailed(const char* file, int line, int bugNumber = 0);
// "Not implemented Assert failed!"
[[noreturn]] TARVOS_API void NotImplementedAssertFailed(const char* file, int line);
// "Not implemented!"
[[noreturn]] TARVOS_API void NotImplemented(const char* file, int line);
// "Not reached!"
[[noreturn]] TARVOS_API void NotReached(const char* file, int line);

}  // namespace Tarvos

// Checks an internal invariant; a failure is a bug in the program and ends the process. Never use
// it for conditions that the environment (input, files, the network) controls.
#define TARVOS_VERIFY(cond)                                \
    do {                                                   \
        if (__builtin_expect(!(cond), 0)) {                \
            ::Tarvos::AssertFailed(__FILE__, __LINE__, 0); \
        }                                                  \
    } while (0)

#define TARVOS_VERIFY_BUG(cond, bugNumber)                           \
    do {                                                             \
        if (__builtin_expect(!(cond), 0)) {                          \
            ::Tarvos::AssertFailed(__FILE__, __LINE__, (bugNumber)); \
        }                                                            \
    } while (0)

#define TARVOS_NOT_IMPLEMENTED_VERIFY(cond)                           \
    do {                                                              \
        if (__builtin_expect(!(cond), 0)) {                           \
            ::Tarvos::NotImplementedAssertFailed(__FILE__, __LINE__); \
        }                                                             \
    } while (0)

#define TARVOS_NOT_IMPLEMENTED() ::Tarvos::NotImplemented(__FILE__, __LINE__)
#define TARVOS_NOT_REACHED() ::Tarvos::NotReached(__FILE__, __LINE__)
