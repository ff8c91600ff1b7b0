// The simulator's ends of the cable: a serial device through the platform's Win32 names, and
// (native) a bare descriptor such as a pseudo-terminal master.
#if defined(_WIN32) && !defined(NOMINMAX)
#define NOMINMAX
#endif
#include <algorithm>
#include <chrono>
#include <thread>

#include "platform.hpp"
#include "simcore.hpp"

#if !defined(_WIN32)
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace vpisim {

namespace {

class SerialLine final : public SimLine {
public:
    explicit SerialLine(HANDLE handle) : handle_(handle) {}
    ~SerialLine() override { CloseHandle(handle_); }

    bool Write(std::string_view bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            DWORD written = 0;
            DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 4096));
            if (!WriteFile(handle_, bytes.data() + done, chunk, &written, nullptr)) return false;
            if (written == 0) return false;
            done += written;
        }
        return true;
    }

    // Reads only what the input queue holds, so a read never waits out the port's total
    // timeout; between looks it sleeps a few milliseconds until the caller's deadline.
    std::string Read(std::size_t max, int timeoutMs) override {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::string out;
        while (true) {
            DWORD errors = 0;
            COMSTAT stat{};
            if (!ClearCommError(handle_, &errors, &stat)) return out;
            if (stat.cbInQue > 0) {
                DWORD want = static_cast<DWORD>(std::min<std::size_t>(stat.cbInQue, max));
                out.resize(want);
                DWORD got = 0;
                if (!ReadFile(handle_, out.data(), want, &got, nullptr)) got = 0;
                out.resize(got);
                return out;
            }
            if (std::chrono::steady_clock::now() >= deadline) return out;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

private:
    HANDLE handle_;
};

}  // namespace

std::unique_ptr<SimLine> OpenSerialLine(const std::string& name, unsigned baud,
                                        std::string* why) {
    if (name.empty() || name.size() > 255) {
        if (why) *why = "bad device name";
        return nullptr;
    }
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        if (why) *why = "cannot open " + name;
        return nullptr;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        CloseHandle(handle);
        if (why) *why = name + " is not a serial device";
        return nullptr;
    }
    dcb.BaudRate = baud;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(handle, &dcb)) {
        CloseHandle(handle);
        if (why) *why = "cannot set the line of " + name;
        return nullptr;
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 1000;
    timeouts.WriteTotalTimeoutConstant = 5000;
    SetCommTimeouts(handle, &timeouts);
    return std::make_unique<SerialLine>(handle);
}

#if !defined(_WIN32)
namespace {

class DescriptorLine final : public SimLine {
public:
    explicit DescriptorLine(int fd) : fd_(fd) {}

    bool Write(std::string_view bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN) {
                    pollfd p{fd_, POLLOUT, 0};
                    poll(&p, 1, 100);
                    continue;
                }
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    std::string Read(std::size_t max, int timeoutMs) override {
        pollfd p{fd_, POLLIN, 0};
        int ready = poll(&p, 1, timeoutMs);
        if (ready <= 0 || !(p.revents & POLLIN)) {
            // A pseudo-terminal master reports POLLHUP while nobody holds the slave open;
            // don't spin on it.
            if (ready > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
            return {};
        }
        std::string out(max, '\0');
        ssize_t n = read(fd_, out.data(), max);
        out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return out;
    }

private:
    int fd_;
};

}  // namespace

std::unique_ptr<SimLine> MakeDescriptorLine(int fd) { return std::make_unique<DescriptorLine>(fd); }
#endif

}  // namespace vpisim
