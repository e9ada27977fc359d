#include "tarvos/core/Base64.h"

#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace Tarvos {
namespace {

struct Vector {
    const char* plain;
    const char* encoded;
};

// The test vectors of RFC 4648, section 10, and a user:password pair.
void PrintTo(const Vector& vector, std::ostream* out) {
    *out << ::testing::PrintToString(std::string(vector.encoded));
}

class Base64VectorTest : public ::testing::TestWithParam<Vector> {};

TEST_P(Base64VectorTest, EncodesAndDecodesBothWays) {
    EXPECT_EQ(Base64Encode(GetParam().plain), GetParam().encoded);
    std::string decoded = "stale";
    ASSERT_TRUE(Base64Decode(GetParam().encoded, decoded));
    EXPECT_EQ(decoded, GetParam().plain);
}

INSTANTIATE_TEST_SUITE_P(
    Rfc4648, Base64VectorTest,
    ::testing::Values(Vector{"", ""}, Vector{"f", "Zg=="}, Vector{"fo", "Zm8="},
                      Vector{"foo", "Zm9v"}, Vector{"foob", "Zm9vYg=="},
                      Vector{"fooba", "Zm9vYmE="}, Vector{"foobar", "Zm9vYmFy"},
                      Vector{"Aladdin:open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="}));

TEST(Base64Test, EveryByteValueSurvivesARoundTrip) {
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    std::string back;
    ASSERT_TRUE(Base64Decode(Base64Encode(all), back));
    EXPECT_EQ(back, all);
    EXPECT_EQ(Base64Encode("\xff\xfe"), "//4=");
}

TEST(Base64Test, MalformedTextIsRefusedAndLeavesTheOutputAlone) {
    for (const char* bad : {"Zg", "Zm9", "Zg=", "Z===", "Zm9v!A==", "Zm 9v",
                            "Zg==Zg==", "=Zg=", "Zm9vYmFy\n", "-_8="}) {
        std::string out = "kept";
        EXPECT_FALSE(Base64Decode(bad, out)) << bad;
        EXPECT_EQ(out, "kept") << bad;
    }
}

}  // namespace
}  // namespace Tarvos
