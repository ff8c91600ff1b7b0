// Baseline under Wine: the plainest Win32 reader of a COM port, one byte per ReadFile, no driver.
// Reads until it has seen N report trailers ("\n\r"); the ceiling for any Windows program that
// asks for one byte at a time on this port.
//
//   vpivg-bench-raw-win COMn N
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

double Now() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double CpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s COMn N\n", argv[0]);
        return 2;
    }
    const long want = std::atol(argv[2]);
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\%s", argv[1]);
    HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open %s\n", name);
        return 1;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    SetCommState(port, &dcb);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 10000;  // the feeder starts a little later
    SetCommTimeouts(port, &timeouts);

    long reports = 0;
    std::uint64_t bytes = 0;
    unsigned char previous = 0;
    double start = 0;
    double cpuStart = 0;
    while (reports < want) {
        unsigned char received = 0;
        DWORD got = 0;
        if (!ReadFile(port, &received, 1, &got, nullptr) || got == 0) break;
        if (bytes == 0) {
            start = Now();
            cpuStart = CpuSeconds();
        }
        ++bytes;
        if (received == '\r' && previous == '\n') ++reports;
        previous = received;
    }
    const double seconds = Now() - start;
    const double cpu = CpuSeconds() - cpuStart;
    std::printf("{\"mode\": \"byte\", \"reports\": %ld, \"bytes\": %llu, \"seconds\": %.4f, "
                "\"cpu_s\": %.4f, \"reports_per_s\": %.1f, \"bytes_per_s\": %.1f}\n",
                reports, static_cast<unsigned long long>(bytes), seconds, cpu,
                static_cast<double>(reports) / seconds, static_cast<double>(bytes) / seconds);
    CloseHandle(port);
    return reports == want ? 0 : 1;
}
