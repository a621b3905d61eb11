// The escape codec of the command line and the log.
#include "escape.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvexsim {
namespace {

struct EscapeCase {
    std::string text;
    std::string bytes;
};

class EscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTest, RoundTrips) {
    std::string bytes;
    ASSERT_TRUE(Unescape(GetParam().text, &bytes));
    EXPECT_EQ(bytes, GetParam().bytes);
    EXPECT_EQ(Escape(bytes), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EscapeTest,
    ::testing::Values(EscapeCase{"UTID\\r", "UTID\r"}, EscapeCase{"a\\nb\\tc", "a\nb\tc"},
                      EscapeCase{"\\\\", "\\"},
                      EscapeCase{"\\x00\\x7F\\xFF", std::string("\0\x7F\xFF", 3)},
                      EscapeCase{"", ""}));

TEST(EscapeTest, ShortFormsDecode) {
    std::string bytes;
    ASSERT_TRUE(Unescape("A\\0B\\x0d\\x1f", &bytes));
    EXPECT_EQ(bytes, std::string("A\0B\r\x1F", 5));
}

class BadEscapeTest : public ::testing::TestWithParam<std::string> {};

TEST_P(BadEscapeTest, Rejected) {
    std::string bytes = "kept";
    EXPECT_FALSE(Unescape(GetParam(), &bytes));
    EXPECT_EQ(bytes, "kept");
}

INSTANTIATE_TEST_SUITE_P(Table, BadEscapeTest,
                         ::testing::Values("\\", "ab\\", "\\q", "\\x", "\\x1", "\\xG0", "\\x0g"));

}  // namespace
}  // namespace tarvexsim
