#include <gtest/gtest.h>

#include "ids.hpp"

namespace gateway {
namespace {

TEST(GatewayIds, SparkplugIdsAcceptPlainAndUtf8Names) {
    EXPECT_EQ(CheckSparkplugId("vpivg"), "");
    EXPECT_EQ(CheckSparkplugId("Line 3 analyser"), "");
    EXPECT_EQ(CheckSparkplugId("Ofen-\xC3\xBC-\xE2\x82\xAC-\xF0\x9F\x98\x80"), "");
}

}  // namespace
}  // namespace gateway
