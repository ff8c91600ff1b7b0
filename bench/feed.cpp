// The instrument side of the benchmarks: one pseudo-terminal per line, linked as <dir>/com<n>
// so the driver opens it as "COMn" (VPIVG_DEVICE_DIR, or a Wine prefix's dosdevices folder).
//
// Writing begins only once every line's far end has been opened (and a start delay has passed,
// to let the driver's report thread past its start pause), then either
//   - unthrottled: reports back to back, each write() blocking until the pty takes it, or
//   - paced: each line at a given line rate (bytes/s) or at random intervals, never blocking:
//     a report that finds the previous one still unwritten is an overrun, lost as a UART would
//     lose it (its sequence number is skipped, so the reader sees the gap).
// With --stamps, the monotonic time after each report's last byte went into the pty is kept per
// report, for the latency figures. With --started, a file is made the moment writing begins, so a
// measurement window can be set against it.
//
//   vpivg-bench-feed --dir D [--first 1] [--lines 1] [--kind short|full] [--count N]
//                    [--seconds S] [--line-bps B | --interval-ms LO,HI] [--start-delay-ms MS]
//                    [--stamps FILE] [--started FILE] [--open-timeout-s S]
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "rawpty.hpp"
#include "reports.hpp"

namespace {

using vpibench::ReportKind;

std::int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void SleepUntilNs(std::int64_t when) {
    timespec at{static_cast<time_t>(when / 1000000000), static_cast<long>(when % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

struct Stamp {
    std::uint32_t line;
    std::uint32_t sequence;
    std::int64_t ns;
};

struct Line {
    int master = -1;
    std::string link;
    std::uint32_t sequence = 0;
    std::uint64_t written = 0;
    std::uint64_t overruns = 0;
    std::string pending;
    std::uint32_t pendingSequence = 0;
    std::int64_t next = 0;
};

struct Options {
    std::string dir;
    int first = 1;
    int lines = 1;
    ReportKind kind = ReportKind::Short;
    std::uint64_t count = 0;
    double seconds = 0;
    double lineBps = 0;
    double intervalLoMs = 0;
    double intervalHiMs = 0;
    int startDelayMs = 0;
    std::string stamps;
    std::string started;
    int openTimeoutS = 60;
};

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return false;
        const char* v = argv[++i];
        if (a == "--dir") o->dir = v;
        else if (a == "--first") o->first = std::atoi(v);
        else if (a == "--lines") o->lines = std::atoi(v);
        else if (a == "--kind") { if (!vpibench::KindFromName(v, &o->kind)) return false; }
        else if (a == "--count") o->count = std::strtoull(v, nullptr, 10);
        else if (a == "--seconds") o->seconds = std::atof(v);
        else if (a == "--line-bps") o->lineBps = std::atof(v);
        else if (a == "--interval-ms") {
            if (std::sscanf(v, "%lf,%lf", &o->intervalLoMs, &o->intervalHiMs) != 2) return false;
        }
        else if (a == "--start-delay-ms") o->startDelayMs = std::atoi(v);
        else if (a == "--stamps") o->stamps = v;
        else if (a == "--started") o->started = v;
        else if (a == "--open-timeout-s") o->openTimeoutS = std::atoi(v);
        else return false;
    }
    return !o->dir.empty() && o->lines >= 1 && (o->count > 0 || o->seconds > 0);
}

// The far end is open once the master no longer reports a hang-up.
bool FarEndOpen(int master) {
    pollfd p{master, 0, 0};
    return poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

bool WriteBlocking(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 100);
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes what the pty takes now, leaving the rest in `pending` when it is full; false only when
// the write itself fails.
bool WriteSome(Line& line) {
    while (!line.pending.empty()) {
        const ssize_t n = write(line.master, line.pending.data(), line.pending.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN;
        }
        line.pending.erase(0, static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        std::fprintf(stderr, "usage: see the comment at the top of bench/feed.cpp\n");
        return 2;
    }
    const bool paced = o.lineBps > 0 || o.intervalHiMs > 0;
    std::vector<Line> lines(static_cast<std::size_t>(o.lines));
    for (int i = 0; i < o.lines; ++i) {
        Line& line = lines[static_cast<std::size_t>(i)];
        int slave = -1;
        if (!vpibench::OpenRawPty(&line.master, &slave)) return 1;
        line.link = o.dir + "/com" + std::to_string(o.first + i);
        unlink(line.link.c_str());
        if (symlink(ttyname(slave), line.link.c_str()) != 0) {
            std::perror("symlink");
            return 1;
        }
        close(slave);
        if (paced) fcntl(line.master, F_SETFL, fcntl(line.master, F_GETFL) | O_NONBLOCK);
    }
    // Until every reader is there.
    const std::int64_t openDeadline = NowNs() + std::int64_t{o.openTimeoutS} * 1000000000;
    for (;;) {
        bool all = true;
        for (const Line& line : lines) all = all && FarEndOpen(line.master);
        if (all) break;
        if (NowNs() > openDeadline) {
            std::fprintf(stderr, "vpivg-bench-feed: the far ends were not opened in time\n");
            return 1;
        }
        usleep(2000);
    }
    SleepUntilNs(NowNs() + std::int64_t{o.startDelayMs} * 1000000);
    if (!o.started.empty()) {
        FILE* file = std::fopen(o.started.c_str(), "w");
        if (file == nullptr || std::fclose(file) != 0) {
            std::fprintf(stderr, "vpivg-bench-feed: %s: %s\n", o.started.c_str(), std::strerror(errno));
            return 1;
        }
    }

    std::vector<Stamp> stamps;
    if (!o.stamps.empty()) stamps.reserve(o.count > 0 ? o.count * lines.size() : 1 << 20);
    const std::size_t lineLength = vpibench::LineLength(o.kind);
    const std::int64_t start = NowNs();
    const std::int64_t end =
        o.seconds > 0 ? start + static_cast<std::int64_t>(o.seconds * 1e9) : INT64_MAX;
    std::uint64_t total = 0;
    bool failed = false;

    if (!paced) {
        // Several reports per write(), so the feeder is never what limits the reader.
        Line& line = lines[0];
        std::string batch;
        while ((o.count == 0 || line.sequence < o.count) && NowNs() < end) {
            batch.clear();
            const std::uint32_t from = line.sequence;
            while (batch.size() < 4096 && (o.count == 0 || line.sequence < o.count)) {
                batch += vpibench::ReportLine(o.kind, line.sequence++);
            }
            if (!WriteBlocking(line.master, batch)) {
                failed = true;
                break;
            }
            const std::int64_t now = NowNs();
            for (std::uint32_t s = from; s < line.sequence; ++s) {
                if (!o.stamps.empty()) stamps.push_back({0, s, now});
                ++line.written;
                ++total;
            }
        }
    } else {
        std::mt19937 random(12345);
        std::uniform_real_distribution<double> spacing(o.intervalLoMs, o.intervalHiMs);
        const double periodNs = o.lineBps > 0 ? 1e9 * static_cast<double>(lineLength) / o.lineBps
                                              : 0.0;
        auto nextInterval = [&]() -> std::int64_t {
            if (periodNs > 0) return static_cast<std::int64_t>(periodNs);
            return static_cast<std::int64_t>(spacing(random) * 1e6);
        };
        // Spread the lines over one period so they do not all write at the same instant.
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const double first = periodNs > 0 ? periodNs : o.intervalHiMs * 1e6;
            lines[i].next = start + static_cast<std::int64_t>(first * static_cast<double>(i) /
                                                              static_cast<double>(lines.size()));
        }
        for (;;) {
            std::size_t due = 0;
            for (std::size_t i = 1; i < lines.size(); ++i) {
                if (lines[i].next < lines[due].next) due = i;
            }
            Line& line = lines[due];
            if (o.count > 0 && line.sequence >= o.count) {
                line.next = INT64_MAX;
                bool done = true;
                for (const Line& l : lines) done = done && l.sequence >= o.count;
                if (done) break;
                continue;
            }
            if (line.next >= end) break;
            SleepUntilNs(line.next);
            const std::uint32_t sequence = line.sequence++;
            line.next += nextInterval();
            if (!line.pending.empty() && !(WriteSome(line) && line.pending.empty())) {
                ++line.overruns;  // the previous report still waits: this one is lost
                continue;
            }
            line.pending = vpibench::ReportLine(o.kind, sequence);
            if (!WriteSome(line)) {
                failed = true;
                break;
            }
            ++line.written;
            ++total;
            if (!o.stamps.empty() && line.pending.empty()) {
                stamps.push_back({static_cast<std::uint32_t>(due), sequence, NowNs()});
            }
        }
        // Let unfinished reports out.
        for (Line& line : lines) {
            for (int tries = 0; tries < 200 && !line.pending.empty(); ++tries) {
                WriteSome(line);
                usleep(1000);
            }
        }
    }
    const double elapsed = static_cast<double>(NowNs() - start) / 1e9;

    if (!o.stamps.empty()) {
        const std::string temporary = o.stamps + ".part";
        FILE* file = std::fopen(temporary.c_str(), "wb");
        if (file == nullptr) {
            std::fprintf(stderr, "vpivg-bench-feed: %s: %s\n", temporary.c_str(), std::strerror(errno));
            return 1;
        }
        const bool written = std::fwrite(stamps.data(), sizeof(Stamp), stamps.size(), file) ==
                             stamps.size();
        if (std::fclose(file) != 0 || !written ||
            std::rename(temporary.c_str(), o.stamps.c_str()) != 0) {  // complete, or not there
            std::fprintf(stderr, "vpivg-bench-feed: writing %s: %s\n", o.stamps.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    std::uint64_t overruns = 0;
    for (const Line& line : lines) overruns += line.overruns;
    std::printf("{\"lines\": %d, \"kind\": \"%s\", \"written\": %llu, \"overruns\": %llu, "
                "\"bytes\": %llu, \"seconds\": %.3f}\n",
                o.lines, vpibench::KindName(o.kind), static_cast<unsigned long long>(total),
                static_cast<unsigned long long>(overruns),
                static_cast<unsigned long long>(total * lineLength), elapsed);
    std::fflush(stdout);
    // The masters stay open until every reader has gone: closing them earlier would hang up a
    // line whose reader still has reports queued.
    const std::int64_t goneDeadline = NowNs() + std::int64_t{120} * 1000000000;
    for (;;) {
        bool anyOpen = false;
        for (const Line& line : lines) anyOpen = anyOpen || FarEndOpen(line.master);
        if (!anyOpen || NowNs() > goneDeadline) break;
        usleep(5000);
    }
    for (Line& line : lines) {
        unlink(line.link.c_str());
        close(line.master);
    }
    return failed ? 1 : 0;
}
