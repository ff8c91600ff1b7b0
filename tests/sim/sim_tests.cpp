// The simulator must speak exactly the report format the driver parses, drift its values so
// every report moves every gate, spoil reports only the way it says it did, and answer polls.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <set>

#include "datapath/datapath.hpp"
#include "simcore.hpp"
#include "text.hpp"

using namespace vpisim;

namespace {

// A line that keeps what the simulator writes and feeds it scripted input.
class FakeLine final : public SimLine {
public:
    bool Write(std::string_view bytes) override {
        std::lock_guard lock(mutex_);
        written_.emplace_back(bytes);
        return true;
    }
    std::string Read(std::size_t max, int timeoutMs) override {
        {
            std::lock_guard lock(mutex_);
            if (!input_.empty()) {
                std::string chunk = input_.front().substr(0, max);
                input_.pop_front();
                return chunk;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 5)));
        return {};
    }
    void Feed(std::string bytes) {
        std::lock_guard lock(mutex_);
        input_.push_back(std::move(bytes));
    }
    std::vector<std::string> Written() {
        std::lock_guard lock(mutex_);
        return written_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> written_;
    std::deque<std::string> input_;
};

float AsDriverFloat(const std::string& text) {
    return static_cast<float>(TextToReal(text.c_str(), text.size()));
}

// Runs the simulator on a fake line until it has sent `count` reports.
std::vector<std::string> Produce(SimOptions options, std::uint64_t count,
                                 std::vector<SentReport>* sent) {
    FakeLine line;
    options.maxReports = count;
    options.resyncPauseMs = 0;
    options.intervalMs = 1;
    Simulator sim(line, options);
    std::atomic<bool> stop{false};
    sim.Run(stop);
    *sent = sim.Sent();
    return line.Written();
}

std::string StripTrailer(const std::string& bytes) {
    EXPECT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\n\r");
    return bytes.substr(0, bytes.size() - 2);
}

}  // namespace

TEST(SimReport, FormattedReportsParseBackToTheSentValues) {
    for (int lastParameter : {5, 6, 12, 30, 99}) {
        SimOptions options;
        options.streams = {1, 7, 42, 99};
        options.lastParameter = lastParameter;
        std::vector<SentReport> sent;
        auto written = Produce(options, 8, &sent);
        ASSERT_EQ(written.size(), sent.size());
        for (std::size_t i = 0; i < sent.size(); ++i) {
            const SentReport& report = sent[i];
            SCOPED_TRACE(report.LogLine());
            std::string text = StripTrailer(written[i]);
            EXPECT_EQ(text.rfind("a;", 0), 0u);
            EXPECT_LE(text.size() + 2, 1001u) << "the receiver keeps at most 1001 characters";
            MeasurementRecord record{};
            ASSERT_EQ(ParsePacket(text.c_str(), &record), 1);
            EXPECT_EQ(record.value01, report.value01);
            EXPECT_EQ(record.value02, report.value02);
            EXPECT_EQ(record.value03, static_cast<std::uint32_t>(report.value03));
            EXPECT_EQ(record.streamNumber, report.stream);
            EXPECT_EQ(report.parameters.size(), static_cast<std::size_t>(lastParameter - 4));
            for (const auto& [number, value] : report.parameters) {
                EXPECT_EQ(record.parameters[number], AsDriverFloat(value)) << "parameter " << number;
                EXPECT_NE(record.parameters[number], 0.0f) << "a zero parameter is never published";
            }
        }
    }
}

TEST(SimReport, LayoutMatchesTheInstrument) {
    SentReport report;
    report.stream = 5;
    report.value01 = 7;
    report.value02 = 3;
    report.value03 = 1234567;
    report.parameters = {{5, "1.2345"}, {6, "20.9460"}};
    EXPECT_EQ(FormatReport(12345, report), "a;12345;01;07;02;03;03;1234567;04;05;05;1.2345;06;20.9460");
}

TEST(SimValues, DriftStaysPlausibleAndNeverRepeatsAText) {
    StreamValues values(2, 20, 99);
    std::map<int, std::string> previous = values.Next();
    std::map<int, double> first;
    for (const auto& [n, text] : previous) first[n] = std::stod(text);
    for (int round = 0; round < 500; ++round) {
        auto next = values.Next();
        ASSERT_EQ(next.size(), 16u);
        for (const auto& [n, text] : next) {
            EXPECT_NE(text, previous[n]) << "parameter " << n << " repeated in round " << round;
            double v = std::stod(text);
            EXPECT_GT(v, 0.0);
            EXPECT_NEAR(v, first[n], first[n] * 0.08) << ParameterName(n);
            // Fixed decimals: the text keeps its width after the point.
            EXPECT_EQ(text.size() - text.find('.'), previous[n].size() - previous[n].find('.'));
        }
        previous = next;
    }
    EXPECT_EQ(ParameterName(5), "N2");
    EXPECT_EQ(ParameterName(6), "O2");
    EXPECT_EQ(ParameterName(40), "m/z 40");
}

TEST(SimFaults, EachFaultSpoilsTheReportAsItClaims) {
    for (Fault kind : {Fault::Noise, Fault::Cut, Fault::Reversed, Fault::Malformed, Fault::Overlong}) {
        SCOPED_TRACE(FaultName(kind));
        SimOptions options;
        options.streams = {1, 2};
        options.lastParameter = 12;
        options.faults = {FaultRule{kind, 1, 0.0}};
        std::vector<SentReport> sent;
        auto written = Produce(options, 8, &sent);  // covers every malformed variant
        ASSERT_EQ(written.size(), 8u);
        for (std::size_t i = 0; i < written.size(); ++i) {
            const std::string& bytes = written[i];
            EXPECT_EQ(sent[i].fault, kind);
            EXPECT_EQ(sent[i].Intact(), kind == Fault::Noise);
            std::size_t start = bytes.find('a');
            ASSERT_NE(start, std::string::npos);
            std::string packet = bytes.substr(start);
            MeasurementRecord record{};
            switch (kind) {
                case Fault::Noise:
                    EXPECT_GT(start, 0u) << "noise goes ahead of the report";
                    EXPECT_EQ(ParsePacket(StripTrailer(packet).c_str(), &record), 1);
                    break;
                case Fault::Cut:
                    EXPECT_EQ(start, 0u);
                    EXPECT_EQ(packet.find('\n'), std::string::npos);
                    EXPECT_LT(packet.size(), FormatReport(0, sent[i]).size() + 5);
                    break;
                case Fault::Reversed:
                    EXPECT_EQ(packet.substr(packet.size() - 2), "\r\n");
                    EXPECT_EQ(packet.find("\n\r"), std::string::npos);
                    break;
                case Fault::Malformed:
                    EXPECT_EQ(ParsePacket(StripTrailer(packet).c_str(), &record), 0) << packet;
                    break;
                case Fault::Overlong:
                    EXPECT_GT(packet.size(), 1001u) << "longer than the receiver collects";
                    EXPECT_EQ(packet.find('a', 1), std::string::npos)
                        << "the rest must not start a packet of its own";
                    break;
                default:
                    break;
            }
        }
    }
}

TEST(SimFaults, RulesAndOneShotInjectionPickTheRightReports) {
    FakeLine line;
    SimOptions options;
    options.intervalMs = 1;
    options.resyncPauseMs = 0;
    options.maxReports = 12;
    options.faults = {FaultRule{Fault::Cut, 4, 0.0}, FaultRule{Fault::Noise, 3, 0.0}};
    Simulator sim(line, options);
    sim.InjectOnce(Fault::Malformed);
    std::atomic<bool> stop{false};
    sim.Run(stop);
    auto sent = sim.Sent();
    ASSERT_EQ(sent.size(), 12u);
    EXPECT_EQ(sent[0].fault, Fault::Malformed);
    for (std::size_t i = 1; i < sent.size(); ++i) {
        std::uint64_t seq = sent[i].sequence;
        Fault expected = seq % 4 == 0 ? Fault::Cut : seq % 3 == 0 ? Fault::Noise : Fault::None;
        EXPECT_EQ(sent[i].fault, expected) << "sequence " << seq;
    }
}

TEST(SimPoll, AnswersAPollWithAnImmediateReportEvenWhenSplit) {
    FakeLine line;
    SimOptions options;
    options.intervalMs = 60000;  // only the first report comes on its own
    options.streams = {3};
    Simulator sim(line, options);
    sim.Start();
    ASSERT_TRUE([&] {
        for (int i = 0; i < 200 && sim.ReportsSent() < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return sim.ReportsSent() == 1;
    }());
    line.Feed("xx@;3");
    line.Feed("90\n\r");
    for (int i = 0; i < 400 && sim.ReportsSent() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    sim.InjectSilence(60000);
    line.Feed("@;390\n\r");  // a silent instrument answers nothing
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sim.Stop();
    auto sent = sim.Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_FALSE(sent[0].polled);
    EXPECT_TRUE(sent[1].polled);
    EXPECT_EQ(sent[1].fault, Fault::None);
    EXPECT_EQ(sim.PollsAnswered(), 1u);
}

TEST(SimLog, SentLogNamesSequenceStreamFaultAndEveryValue) {
    SentReport report;
    report.sequence = 17;
    report.stream = 2;
    report.value01 = 12;
    report.value02 = 8;
    report.value03 = 17;
    report.fault = Fault::Cut;
    report.parameters = {{5, "78.0842"}, {6, "20.9476"}};
    EXPECT_EQ(report.LogLine(), "seq=17 stream=02 fault=cut 01=12 02=8 03=17 05=78.0842 06=20.9476");
}

TEST(SimCapture, RoundTripsAndRefusesBadLines) {
    std::vector<CaptureChunk> chunks{{0, "@;390\n\r"}, {250, std::string("\x00\xff", 2)}};
    std::string text = "# a capture\n";
    for (const auto& c : chunks) text += FormatCaptureChunk(c) + "\n";
    EXPECT_EQ(FormatCaptureChunk(chunks[0]), "0 403b3339300a0d");
    std::vector<CaptureChunk> back;
    std::string why;
    ASSERT_TRUE(ParseCapture(text, &back, &why)) << why;
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].offsetMs, 250u);
    EXPECT_EQ(back[1].bytes, chunks[1].bytes);
    EXPECT_TRUE(ParseCapture("10 61 3b\r\n\n   \n20 0a0D\n", &back, &why));
    EXPECT_EQ(back[0].bytes, "a;");

    for (const char* bad : {"x 61\n", "10 6\n", "10 6g\n", "20 61\n10 61\n"}) {
        EXPECT_FALSE(ParseCapture(bad, &back, &why)) << bad;
        EXPECT_NE(why.find("line "), std::string::npos);
    }
    EXPECT_FALSE(ParseCapture("1 61\n2 61\n10 zz\n", &back, &why));
    EXPECT_EQ(why.rfind("line 3:", 0), 0u) << why;
}

TEST(SimCapture, HeaderAndEndLineReadBackAndReplaySkipsThem) {
    CaptureHeader header{"2026-12-08T14:03:07.123+01:00", "COM2",
                         "/dev/serial/by-id/usb-My Adapter-if00", "9600 7E2"};
    std::string text = FormatCaptureHeader(header) + "0 61\n15 0a0d\n";
    EXPECT_FALSE(CaptureHasEnd(text)) << "a capture cut short has no end line";
    text += FormatCaptureEnd(3);
    EXPECT_TRUE(CaptureHasEnd(text));
    EXPECT_TRUE(CaptureHasEnd(text + "\n"));

    auto back = ParseCaptureHeader(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->start, header.start);
    EXPECT_EQ(back->port, header.port);
    EXPECT_EQ(back->device, header.device) << "a path with a blank stays whole";
    EXPECT_EQ(back->line, header.line);

    std::vector<CaptureChunk> chunks;
    std::string why;
    ASSERT_TRUE(ParseCapture(text, &chunks, &why)) << why;
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[1].bytes, "\n\r");
    EXPECT_FALSE(ParseCaptureHeader("# a capture\n0 61\n")) << "older captures have none";
    EXPECT_FALSE(ParseCaptureHeader("0 61\n# vpivg-sim capture start=x port=COM1\n"));
}

TEST(SimCapture, ReplayWritesEveryChunkInOrder) {
    FakeLine line;
    std::atomic<bool> stop{false};
    std::vector<CaptureChunk> chunks{{0, "a;1"}, {5, "2;"}, {10, "\n\r"}};
    ASSERT_TRUE(ReplayCapture(line, chunks, stop, 10.0));
    EXPECT_EQ(line.Written(), (std::vector<std::string>{"a;1", "2;", "\n\r"}));
    stop = true;
    EXPECT_FALSE(ReplayCapture(line, {{100000, "x"}}, stop));
}
