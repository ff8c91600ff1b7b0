// The text helpers follow one grammar, whatever the C runtime or the locale would do.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "platform.hpp"

namespace {

std::int64_t Integer(const std::string& text) { return TextToInteger(text.data(), text.size()); }
double Real(const std::string& text) { return TextToReal(text.data(), text.size()); }

// Bit-for-bit, so -0.0 and rounding errors in the last place are caught.
void ExpectSameDouble(double expected, double actual, const std::string& text) {
    EXPECT_EQ(0, std::memcmp(&expected, &actual, sizeof(double)))
        << "\"" << text << "\": expected " << expected << " got " << actual;
}

TEST(TextTest, UpperAsciiChangesOnlyAsciiLetters) {
    char text[] = "i03p07 !status az{`@[\xe4\xfc";
    EXPECT_EQ(text, UpperAscii(text));
    EXPECT_STREQ("I03P07 !STATUS AZ{`@[\xe4\xfc", text);
    char empty[] = "";
    EXPECT_STREQ("", UpperAscii(empty));
}

TEST(TextTest, IntegerGrammar) {
    EXPECT_EQ(42, Integer("42"));
    EXPECT_EQ(-42, Integer(" \t\n\v\f\r-42"));
    EXPECT_EQ(7, Integer("+7"));
    EXPECT_EQ(12, Integer("12 34"));
    EXPECT_EQ(3, Integer("3.9"));
    EXPECT_EQ(0, Integer("0x10"));
    EXPECT_EQ(120, Integer("120;"));
    EXPECT_EQ(7, Integer("007"));
    // No digits: 0.
    EXPECT_EQ(0, Integer(""));
    EXPECT_EQ(0, Integer("abc"));
    EXPECT_EQ(0, Integer("- 5"));
    EXPECT_EQ(0, Integer("+-5"));
    EXPECT_EQ(0, Integer("   "));
}

TEST(TextTest, IntegerStopsAtLengthAndNul) {
    EXPECT_EQ(123, TextToInteger("12345", 3));
    EXPECT_EQ(0, TextToInteger("12345", 0));
    EXPECT_EQ(12, TextToInteger("12\0" "34", 5));
    EXPECT_EQ(0, TextToInteger(nullptr, 4));
}

TEST(TextTest, IntegerWrapsModulo2To64) {
    EXPECT_EQ(std::numeric_limits<std::int64_t>::max(), Integer("9223372036854775807"));
    EXPECT_EQ(std::numeric_limits<std::int64_t>::min(), Integer("9223372036854775808"));
    EXPECT_EQ(std::numeric_limits<std::int64_t>::min(), Integer("-9223372036854775808"));
    EXPECT_EQ(0, Integer("18446744073709551616"));
    EXPECT_EQ(1, Integer("18446744073709551617"));
    EXPECT_EQ(-1, Integer("18446744073709551615"));
    // The callers' truncation to 16 bits sees the low bits of the wrapped value.
    EXPECT_EQ(1, static_cast<std::int16_t>(Integer("65537")));
    EXPECT_EQ(-1, static_cast<std::int16_t>(Integer("65535")));
}

TEST(TextTest, RealGrammar) {
    const struct {
        const char* text;
        double value;
    } cases[] = {
        {"1.5", 1.5},
        {"  \t-2.25e2", -225.0},
        {"+.5", 0.5},
        {"5.", 5.0},
        {"5.e1", 50.0},
        {"12e-1", 1.2},
        {"1E-3", 0.001},
        {"1.5e3x", 1500.0},
        {"1.5e+3", 1500.0},
        // An exponent needs a digit; otherwise the number ends before the "e".
        {"1e", 1.0},
        {"1e+", 1.0},
        {"1e-x", 1.0},
        {"2E", 2.0},
        {"1e+2e3", 100.0},
        {"1.2.3", 1.2},
        {"007.50", 7.5},
        // No number at all.
        {"", 0.0},
        {".", 0.0},
        {"-.e1", 0.0},
        {"e5", 0.0},
        {"+", 0.0},
        {"- 1", 0.0},
        // Where the C runtime reads more than the grammar allows.
        {"inf", 0.0},
        {"-inf", 0.0},
        {"infinity", 0.0},
        {"nan", 0.0},
        {"NAN(123)", 0.0},
        {"0x1p3", 0.0},
        {"0X10", 0.0},
        {"1,5", 1.0},
        {"3,75e2", 3.0},
    };
    for (const auto& c : cases) ExpectSameDouble(c.value, Real(c.text), c.text);
}

TEST(TextTest, RealStopsAtLengthAndNul) {
    ExpectSameDouble(1.2, TextToReal("1.25", 3), "1.25 (3)");
    ExpectSameDouble(2.0, TextToReal("2e10", 2), "2e10 (2)");
    ExpectSameDouble(2.0, TextToReal("2e10", 1), "2e10 (1)");
    ExpectSameDouble(0.0, TextToReal("2e10", 0), "2e10 (0)");
    ExpectSameDouble(4.5, TextToReal("4.5\0" "6", 5), "4.5 NUL 6");
    ExpectSameDouble(0.0, TextToReal(nullptr, 3), "null");
}

TEST(TextTest, RealIsCorrectlyRounded) {
    const struct {
        const char* text;
        double value;
    } cases[] = {
        {"0.1", 0.1},
        {"0.1000000000000000055511151231257827021181583404541015625", 0.1},
        {"123456789012345678901234567890", 1.2345678901234568e29},
        // Exactly halfway between two doubles: ties to even.
        {"9007199254740993", 9007199254740992.0},
        {"9007199254740995", 9007199254740996.0},
        // Just above halfway, shown only by the 40th digit.
        {"9007199254740993.000000000000000000000001", 9007199254740994.0},
        {"2.2250738585072011e-308", 2.2250738585072011e-308},
        {"1.7976931348623157e308", std::numeric_limits<double>::max()},
        {"4.9406564584124654e-324", std::numeric_limits<double>::denorm_min()},
        {"0.000001e6", 1.0},
        {"100000000000000000000000e-23", 1.0},
        {"-0", -0.0},
        {"-0.000", -0.0},
    };
    for (const auto& c : cases) ExpectSameDouble(c.value, Real(c.text), c.text);
}

TEST(TextTest, RealOutOfRangeBehavesLikeAtof) {
    EXPECT_EQ(std::numeric_limits<double>::infinity(), Real("1e400"));
    EXPECT_EQ(-std::numeric_limits<double>::infinity(), Real("-1e400"));
    EXPECT_EQ(std::numeric_limits<double>::infinity(), Real("0.00001e999999999999999"));
    ExpectSameDouble(0.0, Real("1e-400"), "1e-400");
    ExpectSameDouble(-0.0, Real("-1e-400"), "-1e-400");
    ExpectSameDouble(0.0, Real("123456e-99999999999"), "123456e-99999999999");
    ExpectSameDouble(0.0, Real("0.0e99999"), "0.0e99999");
}

TEST(TextTest, RealIgnoresTheLocale) {
    const char* saved = std::setlocale(LC_NUMERIC, nullptr);
    const std::string restore = saved ? saved : "C";
    bool switched = false;
    // Linux names first, then the Windows C runtime's.
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8",
                             "German_Germany.1252", "de-DE", "French_France.1252", "fr-FR"}) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr) {
            switched = true;
            break;
        }
    }
    ExpectSameDouble(1.5, Real("1.5"), "1.5");
    ExpectSameDouble(1.0, Real("1,5"), "1,5");
    std::setlocale(LC_NUMERIC, restore.c_str());
    if (!switched) GTEST_SKIP() << "no locale with a decimal comma installed";
}

}  // namespace
