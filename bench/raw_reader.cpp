// Baseline: the plainest reader of the same pseudo-terminal, with no driver at all. Reads until
// it has seen N report trailers ("\n\r"), either in bulk (4096 bytes per read()) or one byte
// per read() - the ceiling for any reader that asks the OS for one byte at a time.
//
//   vpivg-bench-raw DEVICE bulk|byte N
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

double Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s DEVICE bulk|byte N\n", argv[0]);
        return 2;
    }
    const bool bulk = std::strcmp(argv[2], "bulk") == 0;
    const long want = std::atol(argv[3]);
    const int fd = open(argv[1], O_RDONLY | O_NOCTTY);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &raw);

    unsigned char buffer[4096];
    const std::size_t ask = bulk ? sizeof buffer : 1;
    long reports = 0;
    std::uint64_t bytes = 0;
    unsigned char previous = 0;
    double start = 0;
    double cpuStart = 0;
    while (reports < want) {
        const ssize_t n = read(fd, buffer, ask);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (bytes == 0) {
            start = Now();
            cpuStart = CpuSeconds();
        }
        bytes += static_cast<std::uint64_t>(n);
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == '\r' && previous == '\n') ++reports;
            previous = buffer[i];
        }
    }
    const double seconds = Now() - start;
    const double cpu = CpuSeconds() - cpuStart;
    std::printf("{\"mode\": \"%s\", \"reports\": %ld, \"bytes\": %llu, \"seconds\": %.4f, "
                "\"cpu_s\": %.4f, \"reports_per_s\": %.1f, \"bytes_per_s\": %.1f}\n",
                bulk ? "bulk" : "byte", reports, static_cast<unsigned long long>(bytes), seconds,
                cpu, static_cast<double>(reports) / seconds, static_cast<double>(bytes) / seconds);
    close(fd);
    return reports == want ? 0 : 1;
}
