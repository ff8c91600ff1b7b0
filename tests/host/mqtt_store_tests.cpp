// The gateway's store end to end: the broker goes away mid-run and comes back, and every report
// the simulator sent reaches the subscriber, live or afterwards as historical data, each copy of
// a report sent twice the same as the first.
#if defined(VPIVG_HAVE_MQTT)
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "gateway_run.hpp"

using namespace gatewayrun;

namespace {

// One report as the subscriber got it: its values, the times it carried and its flag.
struct Published {
    Values values;
    std::vector<std::string> times;
    bool historical = false;
};

std::vector<Published> SparkplugReports(const std::vector<Message>& messages) {
    std::vector<Published> out;
    for (const Message& m : messages) {
        if (m.topic != "spBv1.0/vpivg/DDATA/NODE/Analyser") continue;
        auto payload = gatewaytest::Unpack(m.payload);
        if (!payload) continue;
        Published p;
        int stream = 0;
        p.values = Decoded(*payload, &stream);
        std::size_t flagged = 0;
        for (std::size_t i = 0; i < payload->n_metrics; ++i) {
            p.times.push_back(std::to_string(payload->metrics[i]->timestamp));
            flagged += payload->metrics[i]->has_is_historical && payload->metrics[i]->is_historical;
        }
        EXPECT_TRUE(flagged == 0 || flagged == payload->n_metrics) << "a report is historical as a whole";
        p.historical = flagged > 0;
        out.push_back(std::move(p));
    }
    return out;
}

std::vector<Published> JsonReports(const std::vector<Message>& messages) {
    std::vector<Published> out;
    for (const Message& m : messages) {
        if (m.topic.rfind("vpivg/NODE/Analyser/I", 0) != 0) continue;
        auto json = nlohmann::json::parse(m.payload);
        Published p;
        for (const auto& [name, value] : json["values"].items()) p.values[std::stoi(name.substr(1))] = value.get<double>();
        p.times.push_back(json["time"].get<std::string>());
        p.historical = json["historical"].get<bool>();
        out.push_back(std::move(p));
    }
    return out;
}

class HostMqttStore : public ::testing::TestWithParam<std::string> {};

TEST_P(HostMqttStore, ABrokerOutageLosesNoReportAndASecondCopyIsTheSame) {
    std::string why;
    const fs::path brokerFolder = hosttest::FreshFolder("outage-broker");
    brokertest::BrokerOptions options;
    options.persistent = true;
    auto broker = Broker::Start(brokerFolder, options, &why);
    if (!broker) GTEST_SKIP() << why;
    options.port = broker->Port();

    Plan plan;
    plan.format = GetParam();
    plan.outageAtS = 6.5;
    plan.outageS = 2.5;
    plan.runS = 15;
    // Stopped in order, so the broker keeps the subscriber's session for its restart.
    plan.brokerDown = [&] { broker.reset(); };
    plan.brokerUp = [&] {
        broker = Broker::Start(brokerFolder, options, &why);
        ASSERT_NE(broker, nullptr) << why;
    };
    Outcome run;
    if (!RunGateway(plan, *broker, &run)) GTEST_SKIP() << "no test line on this machine";

    const std::vector<Published> published =
        plan.format == "json" ? JsonReports(run.messages) : SparkplugReports(run.messages);
    std::map<Values, std::vector<const Published*>> copies;
    for (const Published& p : published) copies[p.values].push_back(&p);
    std::size_t intact = 0, historical = 0;
    for (const auto& report : run.sent) {
        if (!report.Intact()) continue;
        ++intact;
        EXPECT_EQ(copies.count(Sent(report)), 1u) << "report " << report.sequence << " did not arrive\n" << run.screen;
    }
    EXPECT_EQ(copies.size(), intact) << "every report published is one the simulator sent";
    for (const auto& [values, same] : copies) {
        for (const Published* copy : same) {
            EXPECT_EQ(copy->times, same.front()->times) << "a second copy carries the first one's times";
            historical += copy->historical;
        }
    }
    EXPECT_GT(intact, 40u);
    EXPECT_GT(historical, 5u) << "what came during the outage is sent afterwards as historical data";
    EXPECT_NE(run.screen.find("connection lost"), std::string::npos) << run.screen;
    fs::remove_all(brokerFolder);
}

INSTANTIATE_TEST_SUITE_P(BothFormats, HostMqttStore, ::testing::Values("sparkplug", "json"));

}  // namespace
#endif
