// The report text parser: which texts are accepted, and what lands in the record.
//
// Every text is handed over in a heap block of exactly its size, so a sanitizer build catches
// any read past the terminating NUL. Parameter values are checked against an independent
// conversion: the float of the C library's reading of the same decimal text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "datapath/datapath.hpp"

namespace {

// The 37-character header: start, header number, the four tagged fields, ending with ";".
const std::string H = "a;12345;01;07;02;03;03;1234567;04;05;";

constexpr float kUntouched = -42.0f;

struct Parsed {
    int result;
    MeasurementRecord record;
};

Parsed Parse(const std::string& text) {
    auto exact = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(exact.get(), text.c_str(), text.size() + 1);
    Parsed parsed{};
    for (float& slot : parsed.record.parameters) slot = kUntouched;
    parsed.result = ParsePacket(exact.get(), &parsed.record);
    return parsed;
}

float FloatOf(const char* decimal) { return static_cast<float>(std::strtod(decimal, nullptr)); }

struct Fixed {
    std::uint16_t header, v01, v02;
    std::uint32_t v03;
    std::uint16_t stream;
};

struct AcceptedCase {
    const char* why;
    std::string text;
    std::optional<Fixed> fixed;                          // checked when given
    std::vector<std::pair<int, const char*>> parameters;  // slot, decimal text
};

void ExpectAccepted(const AcceptedCase& c) {
    SCOPED_TRACE(std::string(c.why) + ": " + c.text);
    const Parsed parsed = Parse(c.text);
    ASSERT_EQ(parsed.result, 1);
    if (c.fixed) {
        EXPECT_EQ(parsed.record.headerNumber, c.fixed->header);
        EXPECT_EQ(parsed.record.value01, c.fixed->v01);
        EXPECT_EQ(parsed.record.value02, c.fixed->v02);
        EXPECT_EQ(parsed.record.value03, c.fixed->v03);
        EXPECT_EQ(parsed.record.streamNumber, c.fixed->stream);
    }
    std::vector<bool> expected(100, false);
    for (const auto& [slot, decimal] : c.parameters) {
        expected[slot] = true;
        EXPECT_EQ(parsed.record.parameters[slot], FloatOf(decimal)) << "slot " << slot;
    }
    for (int slot = 0; slot < 100; ++slot) {
        if (!expected[slot]) {
            EXPECT_EQ(parsed.record.parameters[slot], kUntouched) << slot;
        }
    }
}

TEST(ParsePacket, RejectsMalformedFrames) {
    const std::string shortest = "a;123;01;07;02;03;03;12345;04;05;X";
    ASSERT_EQ(shortest.size(), 34u);
    const std::vector<std::pair<const char*, std::string>> rejected = {
        {"34 characters, well formed", shortest},
        {"empty text", ""},
        {"no ';' at position 1", "a:12345;01;07;02;03;03;1234567;04;05;"},
        {"';' at position 2 instead of 1", "aa;12345;01;07;02;03;03;1234567;04;05;"},
        {"6-character header number", "a;123456;01;07;02;03;03;1234567;04;05;"},
        {"no separator at all", std::string("a;") + std::string(40, '1')},
        {"1-character value of 01", "a;12345;01;7;02;03;03;1234567;04;05;XYZ"},
        {"3-character value of 01", "a;12345;01;007;02;03;03;1234567;04;05;"},
        {"1-character value of 02", "a;12345;01;07;02;3;03;1234567;04;05;XYZ"},
        {"3-character value of 04", "a;12345;01;07;02;03;03;1234567;04;005;"},
        {"8-character value of 03", "a;12345;01;07;02;03;03;12345678;04;05;"},
        {"tag '1 ' in place of 01", "a;12345;1 ;07;02;03;03;1234567;04;05;"},
        {"tag 001 in place of 01", "a;12345;001;07;02;03;03;1234567;04;05;"},
        {"tags out of order", "a;12345;02;07;01;03;03;1234567;04;05;"},
        {"tag 05 in place of 04", "a;12345;01;07;02;03;03;1234567;05;05;"},
        {"stream value without ';'", "a;12345;01;07;02;03;03;1234567;04;05"},
        {"tag 04 without ';' after it", "a;12345;01;07;02;03;03;1234567;04XXXX"},
        {"parameter 06 missing", H + "05;1.0;07;2.0000"},
        {"first parameter numbered 06", H + "06;1.0"},
        {"1-character parameter tag", H + "5;1.0"},
        {"3-character parameter tag", H + "005;1.0"},
        {"empty parameter tag", H + ";1.0"},
    };
    for (const auto& [why, text] : rejected) {
        EXPECT_EQ(Parse(text).result, 0) << why << ": " << text;
    }
}

TEST(ParsePacket, AcceptsFramesAndFillsTheFixedFields) {
    const std::string at35 = "a;12;01;07;02;03;03;12345;04;05;XYZ";
    ASSERT_EQ(at35.size(), 35u);
    const std::vector<AcceptedCase> accepted = {
        {"35 characters", at35, Fixed{12, 7, 3, 12345, 5}, {}},
        {"H alone", H, Fixed{12345, 7, 3, 1234567, 5}, {}},
        {"H and junk", H + "XYZ", Fixed{12345, 7, 3, 1234567, 5}, {}},
        {"position 0 not examined", "Z" + H.substr(1), Fixed{12345, 7, 3, 1234567, 5}, {}},
        {"empty header number", "a;;01;07;02;03;03;1234567;04;05;XYZ",
         Fixed{0, 7, 3, 1234567, 5}, {}},
        {"empty 03 value", "a;12345;01;07;02;03;03;;04;05;XYZWV", Fixed{12345, 7, 3, 0, 5}, {}},
        {"header number above 65535 keeps its low 16 bits",
         "a;99999;01;07;02;03;03;1234567;04;05;", Fixed{99999 & 0xFFFF, 7, 3, 1234567, 5}, {}},
        {"negative fields wrap", "a;-1;01;-1;02;-9;03;-5;04;-1;XYZWVUTSR",
         Fixed{65535, 65535, 65527, 4294967291u, 65535}, {}},
        {"blank before a digit", "a; 42;01; 7;02;+3;03;  -0;04; 9;XYZWVU",
         Fixed{42, 7, 3, 0, 9}, {}},
        {"conversion stops at the first stranger", "a;12x45;01;7x;02;x3;03;0x10;04;5.;XYZW",
         Fixed{12, 7, 0, 0, 5}, {}},
    };
    for (const auto& c : accepted) ExpectAccepted(c);
}

TEST(ParsePacket, ParameterValuesAndTheirEnds) {
    const std::vector<AcceptedCase> accepted = {
        {"last value without ';'", H + "05;1.2345", std::nullopt, {{5, "1.2345"}}},
        {"short value", H + "05;1.5", std::nullopt, {{5, "1.5"}}},
        {"last value followed by ';'", H + "05;1.2345;", std::nullopt, {{5, "1.2345"}}},
        {"two parameters", H + "05;1.2345;06;2.5000", std::nullopt,
         {{5, "1.2345"}, {6, "2.5000"}}},
        {"each value from its own characters", H + "05;12.345;06;3.25;07;1.2345",
         std::nullopt, {{5, "12.345"}, {6, "3.25"}, {7, "1.2345"}}},
        {"tag +5", H + "+5;2.5", std::nullopt, {{5, "2.5"}}},
        {"tag blank-5", H + " 5;2.5", std::nullopt, {{5, "2.5"}}},
        {"tag 5x", H + "5x;2.5", std::nullopt, {{5, "2.5"}}},
        {"zero is stored", H + "05;0.000;06;-0.1", std::nullopt, {{5, "0"}, {6, "-0.1"}}},
        {"exponents", H + "05;1e3;06;-2.5E-1;07;.5e+2;08;7.", std::nullopt,
         {{5, "1000"}, {6, "-0.25"}, {7, "50"}, {8, "7"}}},
        {"leading white space", H + "05; \t8.25", std::nullopt, {{5, "8.25"}}},
        // The documented conversion knows no infinity, NaN, hexadecimal or decimal comma.
        {"no inf/nan/hex/comma", H + "05;inf;06;nan;07;0x1p3;08;1,5;09;-infinity",
         std::nullopt, {{5, "0"}, {6, "0"}, {7, "0"}, {8, "1"}, {9, "0"}}},
        {"incomplete exponent", H + "05;2e;06;3e+", std::nullopt, {{5, "2"}, {6, "3"}}},
        {"empty value", H + "05;;06;4", std::nullopt, {{5, "0"}, {6, "4"}}},
        {"rounded through double", H + "05;0.1;06;16777217;07;3.4028235677973366e38",
         std::nullopt, {{5, "0.1"}, {6, "16777217"}, {7, "3.4028235677973366e38"}}},
    };
    for (const auto& c : accepted) ExpectAccepted(c);
}

TEST(ParsePacket, CarriesParametersFiveToNinetyNine) {
    std::string text = H;
    std::vector<std::string> decimals;
    for (int n = 5; n <= 99; ++n) decimals.push_back(std::to_string(n) + "." + std::to_string(n));
    for (int n = 5; n <= 99; ++n) {
        text += (n < 10 ? "0" : "") + std::to_string(n) + ";" + decimals[n - 5] + ";";
    }
    text += "100;junk;XX;not looked at";  // past parameter 99 nothing is examined
    AcceptedCase c{"parameters 5 to 99", text, Fixed{12345, 7, 3, 1234567, 5}, {}};
    for (int n = 5; n <= 99; ++n) c.parameters.emplace_back(n, decimals[n - 5].c_str());
    ExpectAccepted(c);
}

TEST(ParsePacket, EveryCutOfAReportStaysInsideTheText) {
    // A report cut anywhere: accepted once the four tagged fields are complete (37 characters),
    // and a cut value reads as the characters that are there.
    const std::string full = H + "05;12.5;06;-3.75;07;1e2";
    for (std::size_t cut = 0; cut <= full.size(); ++cut) {
        const std::string text = full.substr(0, cut);
        SCOPED_TRACE(text);
        const Parsed parsed = Parse(text);
        EXPECT_EQ(parsed.result, cut >= H.size() ? 1 : 0);
    }
    const Parsed mid = Parse(H + "05;12.5;06;-3.");
    ASSERT_EQ(mid.result, 1);
    EXPECT_EQ(mid.record.parameters[6], -3.0f);
}

TEST(ParsePacket, RecordOnlyWrittenAsFarAsReached) {
    // Fields are written as they are reached; the caller ignores them after a rejection, but the
    // parser must not touch the parameter slots of a text that never got there.
    const Parsed parsed = Parse("a;12345;01;07;02;03;03;1234567;05;05;1.0;06;2");
    EXPECT_EQ(parsed.result, 0);
    for (float slot : parsed.record.parameters) EXPECT_EQ(slot, kUntouched);
}

TEST(ParsePacket, TextsLongerThanAnyReportAreRejected) {
    // A packet buffer holds at most 2999 characters of text; a longer text cannot be a report,
    // and its values could not fit the parser's scratch.
    const std::string fits = H + "05;" + std::string(2999 - H.size() - 3, '1');
    ASSERT_EQ(fits.size(), 2999u);
    EXPECT_EQ(Parse(fits).result, 1);
    EXPECT_EQ(Parse(fits + "1").result, 0);
}

TEST(NextSeparator, FindsTheFirstSeparatorOnly) {
    std::uint16_t length = 77;
    EXPECT_EQ(NextSeparator("ab;c;d", &length), 1);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(NextSeparator(";x", &length), 1);
    EXPECT_EQ(length, 0);
    length = 77;
    EXPECT_EQ(NextSeparator("abc", &length), 0);
    EXPECT_EQ(length, 77);
    EXPECT_EQ(NextSeparator("", &length), 0);
    EXPECT_EQ(length, 77);
}

}  // namespace
