// What the host writes besides the screen: the log (every message, dated, one line per received
// report), the init file (its own, kept up to date; never the plant's) and the CSV (whole rows,
// or a clear failure).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "csvrecord.hpp"
#include "eventlog.hpp"
#include "initfile.hpp"
#include "formatting.hpp"
#include "host_testing.hpp"

#if !defined(_WIN32)
#include <sys/mount.h>
#include <unistd.h>
#endif

using namespace vpihost;
namespace fs = std::filesystem;

namespace {

using hosttest::FreshFolder;
using hosttest::ReadAll;

// The driver's received-data dump as its err calls deliver it, one byte a line.
void DumpAsTheDriverDoes(EventLog& log, int level, const std::string& bytes) {
    log.Driver(level, "");
    log.Driver(level, "***** Start Printing Received Data *****");
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "Buf[%zu] = %x(h)", i, static_cast<unsigned char>(bytes[i]));
        log.Driver(level, line);
    }
    log.Driver(level, "***** End Of Received Data Buffer *****");
    log.Driver(level, "");
}

}  // namespace

TEST(HostLog, TheByteTraceIsOneEscapedLinePerReportAndTheFileKeepsEveryLineDated) {
    fs::path folder = FreshFolder("log");
    EventLog log(true);
    std::string why;
    ASSERT_TRUE(log.OpenFile((folder / "host.log").string(), 64, &why)) << why;
    log.Host("started");
    log.Driver(8, "VPIVG: The following data Data Receieved for VPI 4");
    DumpAsTheDriverDoes(log, 8, "a;1;2\\x\n\r");
    log.Driver(0, "VPIVG: Read Packet failed!");
    DumpAsTheDriverDoes(log, 0, std::string("a;\x01", 3));
    log.CloseFile();

    std::vector<std::string> plain = log.TakePlain();
    ASSERT_EQ(plain.size(), 4u);
    EXPECT_NE(plain[1].find("[8] VPI 4 received 9 bytes: a;1;2\\\\x\\n\\r"), std::string::npos) << plain[1];
    EXPECT_NE(plain[2].find("[0] VPIVG: Read Packet failed!"), std::string::npos);
    EXPECT_NE(plain[3].find("[0] received 3 bytes: a;\\x01"), std::string::npos) << plain[3];

    std::istringstream file(ReadAll(folder / "host.log"));
    std::string line;
    int lines = 0;
    // Date, time to the millisecond, UTC: the CSV's clock.
    const std::regex dated(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (host: |\[\d+\] ).*)");
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();  // Windows line ends
        ++lines;
        EXPECT_TRUE(std::regex_match(line, dated)) << line;
    }
    EXPECT_EQ(lines, 4);
    EXPECT_FALSE(log.TakeFailure());
    fs::remove_all(folder);
}

TEST(HostLog, TheFileRotatesAtItsSizeLimit) {
    fs::path folder = FreshFolder("rotate");
    {
        EventLog log(false);
        std::string why;
        ASSERT_TRUE(log.OpenFile((folder / "host.log").string(), 16, &why)) << why;
        for (int i = 0; i < 2000; ++i) log.Host("event " + std::to_string(i) + std::string(40, '.'));
    }
    EXPECT_LE(fs::file_size(folder / "host.log"), 16u * 1024u);
    // The names the guide gives: the number before the last extension, or at the end.
    EXPECT_TRUE(fs::exists(folder / "host.1.log"));
    EXPECT_TRUE(fs::exists(folder / "host.2.log"));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator{}), kLogFilesKept);
    {
        EventLog log(false);
        std::string why;
        ASSERT_TRUE(log.OpenFile((folder / "bare").string(), 16, &why)) << why;
        for (int i = 0; i < 1000; ++i) log.Host("event " + std::to_string(i) + std::string(40, '.'));
    }
    EXPECT_TRUE(fs::exists(folder / "bare.1"));
    fs::remove_all(folder);
}

TEST(HostLog, AFileThatCannotBeMadeIsNamedWithTheReason) {
    // A folder that is a file: no one, root included, can make a log below it.
    fs::path folder = FreshFolder("nolog");
    std::ofstream(folder / "plain-file") << "x";
    std::string path = (folder / "plain-file" / "host.log").string();
    EventLog log(false);
    std::string why;
    EXPECT_FALSE(log.OpenFile(path, 64, &why));
    EXPECT_NE(why.find("cannot write " + path), std::string::npos) << why;
    fs::remove_all(folder);
}

TEST(HostInitFile, TheHostKeepsItsOwnFileUpToDateAndNeverTouchesThePlants) {
    fs::path folder = FreshFolder("init");
    std::string why;
    ASSERT_EQ(WriteInitFile(folder.string(), 3, 60, &why), InitFileResult::Written) << why;
    std::string text = ReadAll(folder / "vpiVG03.int");
    // The driver reads the first line only; the mark stands on the second.
    EXPECT_EQ(text.substr(0, text.find('\n')), "TIME=60");
    EXPECT_NE(text.find(kInitFileMark), std::string::npos);

    EXPECT_EQ(WriteInitFile(folder.string(), 3, 60, &why), InitFileResult::Unchanged);
    // A changed status wait reaches the driver on the next start.
    ASSERT_EQ(WriteInitFile(folder.string(), 3, 45, &why), InitFileResult::Written) << why;
    text = ReadAll(folder / "vpiVG03.int");
    EXPECT_EQ(text.substr(0, text.find('\n')), "TIME=45");

    for (const std::string& plant : {std::string("TIME=90\n"), std::string("TIME=90"), std::string("time = 90\n; mine\n")}) {
        std::ofstream(folder / "vpiVG07.int", std::ios::binary) << plant;
        EXPECT_EQ(WriteInitFile(folder.string(), 7, 45, &why), InitFileResult::Foreign);
        EXPECT_EQ(ReadAll(folder / "vpiVG07.int"), plant);
    }
    EXPECT_FALSE(fs::exists(folder / "vpiVG03.int.new"));

    // Without the setting the host's own file goes, a plant's stays; the wait is read as the
    // driver reads it.
    EXPECT_EQ(StatusWaitFromFile(folder.string(), 3), 45);
    EXPECT_EQ(RemoveInitFile(folder.string(), 3, &why), InitFileRemoval::Removed);
    EXPECT_FALSE(fs::exists(folder / "vpiVG03.int"));
    EXPECT_EQ(RemoveInitFile(folder.string(), 3, &why), InitFileRemoval::Absent);
    EXPECT_EQ(StatusWaitFromFile(folder.string(), 3), kDriverStatusWaitMs);
    EXPECT_EQ(RemoveInitFile(folder.string(), 7, &why), InitFileRemoval::Foreign);
    EXPECT_EQ(ReadAll(folder / "vpiVG07.int"), "time = 90\n; mine\n");
    EXPECT_EQ(StatusWaitFromFile(folder.string(), 7), 90);
    for (const char* plant : {"TIME=200\n", "TIME=20\n", "WAIT=90\n", ""}) {
        std::ofstream(folder / "vpiVG07.int", std::ios::binary) << plant;
        EXPECT_EQ(StatusWaitFromFile(folder.string(), 7), kDriverStatusWaitMs) << plant;
    }
    fs::remove_all(folder);
}

TEST(HostCsv, AnExistingRecordIsKeptUnlessOverwriteIsGiven) {
    fs::path folder = FreshFolder("csv");
    std::ofstream(folder / "values.csv", std::ios::binary) << "earlier run\n";
    CsvRecord csv;
    std::string why;
    EXPECT_FALSE(csv.Open((folder / "values.csv").string(), false, &why));
    EXPECT_NE(why.find("--overwrite"), std::string::npos) << why;
    EXPECT_EQ(ReadAll(folder / "values.csv"), "earlier run\n");
    ASSERT_TRUE(csv.Open((folder / "values.csv").string(), true, &why)) << why;
    csv.Add("2024-05-01T12:34:56.789Z,1,I01P05,1.5");
    csv.Close();
    EXPECT_EQ(ReadAll(folder / "values.csv"), "time,vpi,address,value\n2024-05-01T12:34:56.789Z,1,I01P05,1.5\n");
    fs::remove_all(folder);
}

#if !defined(_WIN32)
// A full disk: the record stops after its last whole row, and the failure names the file and
// the reason. A 64 KiB tmpfs fills in a moment.
TEST(HostCsv, AFullDiskEndsTheRecordAfterItsLastWholeRow) {
    fs::path folder = FreshFolder("full");
    if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0) {
        int error = errno;
        fs::remove_all(folder);
        GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(error) << "); run as root";
    }
    fs::path file = folder / "values.csv";
    {
        CsvRecord csv;
        std::string why;
        ASSERT_TRUE(csv.Open(file.string(), false, &why)) << why;
        bool failed = false;
        for (int i = 0; i < 20000 && !failed; ++i) {
            for (int k = 0; k < 7; ++k) csv.Add(IsoTimestamp(std::chrono::system_clock::now()) + ",1,I01P05," + std::to_string(i * 7 + k));
            failed = !csv.Flush();
        }
        ASSERT_TRUE(failed) << "64 KiB never filled";
        auto failure = csv.TakeFailure();
        ASSERT_TRUE(failure);
        EXPECT_NE(failure->find(file.string()), std::string::npos) << *failure;
        EXPECT_NE(failure->find("space"), std::string::npos) << *failure;
        EXPECT_FALSE(csv.TakeFailure()) << "told once";
        csv.Close();
    }
    std::string text = ReadAll(file);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << "no half row at the end";
    std::istringstream rows(text);
    std::string row;
    std::getline(rows, row);
    EXPECT_EQ(row, "time,vpi,address,value");
    while (std::getline(rows, row)) EXPECT_EQ(std::count(row.begin(), row.end(), ','), 3) << row;

    // The log on the same full disk: the failure is named once and the file stops.
    EventLog log(false);
    std::string why;
    fs::path logFile = folder / "host.log";
    ASSERT_TRUE(log.OpenFile(logFile.string(), 1024, &why)) << why;
    for (int i = 0; i < 100 && !log.FileFailed(); ++i) log.Host("event " + std::to_string(i));
    EXPECT_TRUE(log.FileFailed());
    auto failure = log.TakeFailure();
    ASSERT_TRUE(failure);
    EXPECT_NE(failure->find("cannot write " + logFile.string()), std::string::npos) << *failure;
    EXPECT_FALSE(log.TakeFailure());
    log.Host("after the failure: kept for the screen only");
    EXPECT_EQ(log.Pane(1).back().find("after the failure") != std::string::npos, true);
    log.CloseFile();
    umount(folder.c_str());
    fs::remove_all(folder);
}
#endif

TEST(HostText, BannerTimestampsValuesBytesAndWidths) {
    std::string banner = "\xda\xc4\xbf\n\xb3\xdb\xb2\xb1\xb0 V\xb3\n\xc0\xc4\xd9\n";
    EXPECT_EQ(Cp437ToUtf8(banner), "┌─┐\n│█▓▒░ V│\n└─┘\n");
    auto when = std::chrono::system_clock::time_point(std::chrono::milliseconds(1714566896789LL));
    EXPECT_EQ(IsoTimestamp(when), "2024-05-01T12:34:56.789Z");
    EXPECT_EQ(TimeOfDay(when), "12:34:56");
    EXPECT_EQ(FormatGateValue(static_cast<float>(78.0842), 3), "78.0842");
    EXPECT_EQ(FormatGateValue(static_cast<float>(0.1), 3), "0.1");
    EXPECT_EQ(FormatGateValue(1234567, 5), "1234567");
    EXPECT_EQ(FormatGateValue(0, 3), "0");
    EXPECT_EQ(EscapeBytes(std::string("a;\x02\xff\\\n\r", 7)), "a;\\x02\\xFF\\\\\\n\\r");
    // Escapes take no room and survive the cut; a box character is one column.
    EXPECT_EQ(FitWidth("\x1b[1mVPI\x1b[0m 12345", 5), "\x1b[1mVPI\x1b[0m 1");
    EXPECT_EQ(FitWidth("┌──┐", 2), "┌─");
}
