#include "tarvos/system/PosixSystemException.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace Tarvos::System {
namespace {

// The system's own text for an errno value, for comparison.
std::string SystemText(int code) {
    char buffer[256];
    return strerror_r(code, buffer, sizeof buffer);
}

class PosixSystemExceptionTest : public ::testing::TestWithParam<int> {};

TEST_P(PosixSystemExceptionTest, CarriesTheCodeAndTheSystemsText) {
    const int code = GetParam();
    const PosixSystemException e(code);
    EXPECT_EQ(e.GetErrorCode(), code);
    EXPECT_EQ(std::string(e.what()), SystemText(code));
    EXPECT_EQ(PosixSystemException::GetErrorText(code), SystemText(code));
}

TEST_P(PosixSystemExceptionTest, ContextPrefixesTheText) {
    const int code = GetParam();
    const PosixSystemException e(code, "open /var/lib/x");
    EXPECT_EQ(e.GetErrorCode(), code);
    EXPECT_EQ(std::string(e.what()), "open /var/lib/x: " + SystemText(code));
}

INSTANTIATE_TEST_SUITE_P(KnownCodes, PosixSystemExceptionTest,
                         ::testing::Values(ENOENT, EACCES, ENOTCONN, EALREADY, EINPROGRESS, EAGAIN,
                                           EPIPE, ECANCELED, EEXIST));

TEST(PosixSystemExceptionUnknownTest, UnknownCodesUseTheUnknownErrorText) {
    EXPECT_EQ(PosixSystemException::GetErrorText(99999), "Unknown error 99999 (0x1869f)\n");
    EXPECT_EQ(PosixSystemException::GetErrorText(-5), "Unknown error -5 (0xfffffffb)\n");
    const PosixSystemException e(4242, "ioctl");
    EXPECT_STREQ(e.what(), "ioctl: Unknown error 4242 (0x1092)\n");
    EXPECT_EQ(e.GetErrorCode(), 4242);
}

TEST(PosixSystemExceptionThrowTest, ThrowPosixErrorReadsErrno) {
    errno = ENOENT;
    try {
        ThrowPosixError("stat /nowhere");
    } catch (const SystemException& e) {
        EXPECT_EQ(e.GetErrorCode(), ENOENT);
        EXPECT_EQ(std::string(e.what()), "stat /nowhere: " + SystemText(ENOENT));
    }
    EXPECT_THROW(ThrowPosixError(EPIPE, "send"), PosixSystemException);
    try {
        ThrowPosixError(EPIPE, "send");
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), "send: " + SystemText(EPIPE));
    }
}

TEST(PosixSystemExceptionThrowTest, CopiesKeepCodeAndMessage) {
    const PosixSystemException original(EACCES, "chmod");
    const PosixSystemException copy(original);
    EXPECT_EQ(copy.GetErrorCode(), EACCES);
    EXPECT_STREQ(copy.what(), original.what());
    EXPECT_EQ(copy.GetBacktrace().Get(), original.GetBacktrace().Get());
}

}  // namespace
}  // namespace Tarvos::System
