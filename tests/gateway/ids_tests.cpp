// The ids and topic prefixes the settings check before a session starts: each refusal quotes
// what was given and says what is wrong with it.
#include <gtest/gtest.h>

#include "ids.hpp"

namespace gateway {
namespace {

void ExpectRefused(const std::string& problem, const std::string& quoted, const std::string& why) {
    EXPECT_NE(problem.find(quoted), std::string::npos) << problem;
    EXPECT_NE(problem.find(why), std::string::npos) << problem;
}

TEST(GatewayIds, SparkplugIdsAcceptPlainAndUtf8Names) {
    EXPECT_EQ(CheckSparkplugId("vpivg"), "");
    EXPECT_EQ(CheckSparkplugId("Line 3 analyser"), "");
    EXPECT_EQ(CheckSparkplugId("Ofen-\xC3\xBC-\xE2\x82\xAC-\xF0\x9F\x98\x80"), "");
    EXPECT_EQ(CheckSparkplugId("host.example-1_a"), "");
}

TEST(GatewayIds, SparkplugIdsRefuseTopicCharactersEmptinessAndBrokenText) {
    ExpectRefused(CheckSparkplugId("a/b"), "\"a/b\"", "'/'");
    ExpectRefused(CheckSparkplugId("a+b"), "\"a+b\"", "'+'");
    ExpectRefused(CheckSparkplugId("#"), "\"#\"", "'#'");
    EXPECT_NE(CheckSparkplugId(""), "");
    ExpectRefused(CheckSparkplugId("tab\there"), "\"tab\\x09here\"", "control character");
    ExpectRefused(CheckSparkplugId(std::string("nul\0x", 5)), "\"nul\\x00x\"", "control character");
    // Not UTF-8: a Latin-1 byte, a lone continuation, an overlong '/', a surrogate, past
    // U+10FFFF, a sequence cut short. The bytes are shown escaped.
    const char* broken[] = {"Ofen-\xFC", "\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                            "ab\xE2\x82"};
    for (const char* id : broken) {
        const std::string problem = CheckSparkplugId(id);
        EXPECT_NE(problem.find("UTF-8"), std::string::npos) << id << ": " << problem;
        EXPECT_NE(problem.find("\\x"), std::string::npos) << problem;
    }
    ExpectRefused(CheckSparkplugId("Ofen-\xFC"), "\"Ofen-\\xfc\"", "at byte 6");
}

TEST(GatewayIds, TopicPrefixesAreLevelsWithoutWildcardsOrBrokerTopics) {
    EXPECT_EQ(CheckTopicPrefix("vpivg/gw1"), "");
    EXPECT_EQ(CheckTopicPrefix("site/hall 2/\xC3\xBC"), "");
    EXPECT_EQ(CheckTopicPrefix("single"), "");
    ExpectRefused(CheckTopicPrefix("vpivg/+/x"), "\"vpivg/+/x\"", "'+'");
    ExpectRefused(CheckTopicPrefix("vpivg/#"), "\"vpivg/#\"", "'#'");
    ExpectRefused(CheckTopicPrefix("$SYS/vpivg"), "\"$SYS/vpivg\"", "'$'");
    ExpectRefused(CheckTopicPrefix("vpivg/"), "\"vpivg/\"", "'/'");
    EXPECT_NE(CheckTopicPrefix(""), "");
    EXPECT_NE(CheckTopicPrefix("a\xFF"), "");
}

TEST(GatewayIds, DeviceNamesAreIdsAndUniqueAndTheRefusalNamesTheVpi) {
    EXPECT_EQ(CheckDeviceNames({Device{1, "VPI1", {}}, Device{2, "Oven", {}}}), "");
    ExpectRefused(CheckDeviceNames({Device{1, "VPI1", {}}, Device{4, "Oven/2", {}}}), "VPI 4",
                  "\"Oven/2\"");
    ExpectRefused(CheckDeviceNames({Device{1, "Oven", {}}, Device{3, "Oven", {}}}), "VPI 3",
                  "taken");
}

}  // namespace
}  // namespace gateway
