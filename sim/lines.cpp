// The simulator's ends of the cable: a serial device through the platform's Win32 names, and
// (native) a bare descriptor such as a pseudo-terminal master.
#if defined(_WIN32) && !defined(NOMINMAX)
#define NOMINMAX
#endif
#include <algorithm>
#include <chrono>
#include <thread>

#include "platform.hpp"
#include "ports.hpp"
#include "lines.hpp"

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace vpisim {

namespace {

// The longest single wait for the first byte of a read: short, so the loop above sees a stop
// request soon, and the same on both systems.
constexpr DWORD kReadSliceMs = 50;
// How long a write may wait for the far end to take the bytes: the serial port's own timeout.
constexpr DWORD kWriteTimeoutMs = kLineWriteTimeoutMs;

class SerialLine final : public SimLine {
public:
    SerialLine(HANDLE handle, std::string name) : handle_(handle), name_(std::move(name)) {}
    ~SerialLine() override {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }

    bool Write(std::string_view bytes) override {
        if (!lost_.empty()) return false;
        std::size_t done = 0;
        while (done < bytes.size()) {
            DWORD written = 0;
            DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 4096));
            vpitools::ClearOsError();
            if (!WriteFile(handle_, bytes.data() + done, chunk, &written, nullptr)) {
                Lose(vpitools::LastOsError());
                return false;
            }
            // Nothing taken within the write timeout: nobody reads the far end. The line is
            // still there; this report is not.
            if (written == 0) return false;
            done += written;
        }
        return true;
    }

    // Waits for the first byte with a read of one byte (so a line that hangs up fails the read
    // at once instead of looking quiet), then takes whatever else the input queue holds.
    std::string Read(std::size_t max, int timeoutMs) override {
        std::string out;
        if (!lost_.empty() || max == 0) return out;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.empty()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) return out;
            if (!Take(&out, 1, std::min<DWORD>(static_cast<DWORD>(left), kReadSliceMs))) return out;
        }
        DWORD errors = 0;
        COMSTAT stat{};
        vpitools::ClearOsError();
        if (!ClearCommError(handle_, &errors, &stat)) {
            Lose(vpitools::LastOsError());
            return out;
        }
        if (stat.cbInQue > 0) {
            Take(&out, std::min<std::size_t>(stat.cbInQue, max - out.size()), 0);
        }
        return out;
    }

    std::string Lost() const override { return lost_; }

private:
    // Appends up to `want` bytes, waiting at most `waitMs` for them (0: only what is there).
    bool Take(std::string* out, std::size_t want, DWORD waitMs) {
        if (waitMs != timeoutMs_) {
            COMMTIMEOUTS timeouts{};
            // A plain total timeout: the read ends when all bytes came or the time is up.
            timeouts.ReadTotalTimeoutConstant = waitMs == 0 ? 1 : waitMs;
            timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
            vpitools::ClearOsError();
            if (!SetCommTimeouts(handle_, &timeouts)) {
                Lose(vpitools::LastOsError());
                return false;
            }
            timeoutMs_ = waitMs;
        }
        const std::size_t had = out->size();
        out->resize(had + want);
        DWORD got = 0;
        vpitools::ClearOsError();
        const BOOL ok = ReadFile(handle_, out->data() + had, static_cast<DWORD>(want), &got, nullptr);
        out->resize(had + got);
        if (!ok) {
            Lose(vpitools::LastOsError());
            return false;
        }
        return true;
    }

    // The port failed under us (adapter pulled, far end gone): say why once and let go of it,
    // so the look at the device afterwards does not find it held by ourselves.
    void Lose(unsigned long osError) {
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        vpitools::PortDiagnosis look = vpitools::DiagnosePort(name_);
        if (look.reason.rfind("no such device", 0) == 0) {
            lost_ = look.device.empty() || look.device == name_
                        ? "the device is gone"
                        : "the device " + look.device + " is gone";
        } else if (osError != 0) {
            lost_ = vpitools::OsErrorText(osError) + " (the device or its far end went away)";
        } else {
            lost_ = "the line hung up (the device or its far end went away)";
        }
    }

    HANDLE handle_;
    std::string name_;
    DWORD timeoutMs_ = kReadSliceMs;  // the read timeout the port holds (set at open)
    std::string lost_;
};

BYTE ParityCode(vpitools::Parity parity) {
    switch (parity) {
        case vpitools::Parity::None: return NOPARITY;
        case vpitools::Parity::Odd: return ODDPARITY;
        case vpitools::Parity::Even: return EVENPARITY;
        case vpitools::Parity::Mark: return MARKPARITY;
        case vpitools::Parity::Space: return SPACEPARITY;
    }
    return NOPARITY;
}

BYTE StopBitsCode(vpitools::StopBits stopBits) {
    switch (stopBits) {
        case vpitools::StopBits::One: return ONESTOPBIT;
        case vpitools::StopBits::OnePointFive: return ONE5STOPBITS;
        case vpitools::StopBits::Two: return TWOSTOPBITS;
    }
    return ONESTOPBIT;
}

}  // namespace

std::unique_ptr<SimLine> OpenSerialLine(const vpitools::LineOptions& options, std::string* why) {
    const std::string& name = options.port;
    if (name.empty() || name.size() > 255) {
        if (why) *why = "bad device name '" + name + "'";
        return nullptr;
    }
    vpitools::ClearOsError();
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        const unsigned long error = vpitools::LastOsError();
        if (why) *why = "cannot open " + vpitools::DiagnosePort(name, error).Text();
        return nullptr;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        CloseHandle(handle);
        if (why) *why = name + " is not a serial device";
        return nullptr;
    }
    dcb.BaudRate = options.baud;
    dcb.fBinary = 1;
    dcb.fParity = options.parity == vpitools::Parity::None ? 0 : 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.ByteSize = static_cast<BYTE>(options.dataBits);
    dcb.Parity = ParityCode(options.parity);
    dcb.StopBits = StopBitsCode(options.stopBits);
    vpitools::ClearOsError();
    if (!SetCommState(handle, &dcb)) {
        const unsigned long error = vpitools::LastOsError();
        CloseHandle(handle);
        if (why) {
            *why = "cannot set " + name + " to " + vpitools::Describe(options) +
                   (error ? ": " + vpitools::OsErrorText(error) : std::string());
        }
        return nullptr;
    }
    // The write timeout holds from the first report on: a far end that takes nothing costs a
    // report, not the run.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = kReadSliceMs;
    timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    vpitools::ClearOsError();
    if (!SetCommTimeouts(handle, &timeouts)) {
        const unsigned long error = vpitools::LastOsError();
        CloseHandle(handle);
        if (why) *why = "cannot set the timeouts of " + name + ": " + vpitools::OsErrorText(error);
        return nullptr;
    }
    return std::make_unique<SerialLine>(handle, name);
}

#if !defined(_WIN32)
namespace {

// The longest single wait of a write for room on the line, so a stop is seen soon.
constexpr int kWriteSliceMs = 100;

class DescriptorLine final : public SimLine {
public:
    DescriptorLine(int fd, int writeTimeoutMs) : fd_(fd), writeTimeoutMs_(writeTimeoutMs) {
        // A blocking descriptor would hold a write for as long as nobody reads the far end.
        const int flags = fcntl(fd_, F_GETFL);
        if (flags >= 0) (void)fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    }

    bool Write(std::string_view bytes) override {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(writeTimeoutMs_);
        std::size_t done = 0;
        while (done < bytes.size()) {
            if (interrupted_) return false;
            ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n >= 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            // Nothing taken within the write timeout: nobody reads the far end.
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p{fd_, POLLOUT, 0};
            (void)poll(&p, 1, static_cast<int>(std::min<long long>(left, kWriteSliceMs)));
        }
        return true;
    }

    void Interrupt(bool interrupted) override { interrupted_ = interrupted; }

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
    int writeTimeoutMs_;
    std::atomic<bool> interrupted_{false};
};

}  // namespace

std::unique_ptr<SimLine> MakeDescriptorLine(int fd, int writeTimeoutMs) {
    return std::make_unique<DescriptorLine>(fd, writeTimeoutMs);
}
#endif

}  // namespace vpisim
