#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "testline.hpp"

namespace {

// One private device folder per test process, so parallel test processes never share names.
const std::string& DeviceDir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/vpivg-devices-XXXXXX";
        const char* made = mkdtemp(pattern);
        std::string path = made ? made : "/tmp";
        setenv("VPIVG_DEVICE_DIR", path.c_str(), 1);
        return path;
    }();
    return dir;
}

class PtyLine final : public TestLine {
public:
    PtyLine(int master, int slave, std::string name, std::string link)
        : master_(master), slave_(slave), name_(std::move(name)), link_(std::move(link)) {}
    ~PtyLine() override {
        std::filesystem::remove(link_);
        close(master_);
        close(slave_);
    }
    const std::string& DeviceName() const override { return name_; }
    bool Write(std::string_view bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN) {
                    pollfd p{master_, POLLOUT, 0};
                    poll(&p, 1, 100);
                    continue;
                }
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    std::string Read(std::size_t want, int timeoutMs) override {
        std::string out;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < want) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            if (left < 0) break;
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
            char buffer[4096];
            ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) break;
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }
    void Drain() override {
        char buffer[4096];
        while (read(master_, buffer, sizeof buffer) > 0) {
        }
    }

private:
    int master_;
    int slave_;  // held open so the line never hangs up while the driver reopens it
    std::string name_;
    std::string link_;
};

std::atomic<int> nextNumber{1};

}  // namespace

std::unique_ptr<TestLine> TestLine::Open(std::string* why) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        if (why) *why = "openpty failed";
        return nullptr;
    }
    // Not inherited by programs a test starts: a child holding the master open would keep the
    // line from ever hanging up, and leak it.
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    int number = nextNumber++;
    std::string name = "COM" + std::to_string(number);
    std::string link = DeviceDir() + "/com" + std::to_string(number);
    std::filesystem::remove(link);
    char slaveName[128] = {};
    if (ttyname_r(slave, slaveName, sizeof slaveName) != 0) {  // ttyname's buffer is shared
        close(master);
        close(slave);
        if (why) *why = "ttyname_r failed";
        return nullptr;
    }
    std::filesystem::create_symlink(slaveName, link);
    return std::make_unique<PtyLine>(master, slave, name, link);
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
#endif
