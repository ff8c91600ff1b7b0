#if defined(_WIN32)
// The win32 null-modem cable: a pair of COM ports that scripts/wine-env.sh made from a socat
// pseudo-terminal pair and announced as VPIVG_TEST_COM_PAIRS="COM1=COM21,COM2=COM22,...". The
// driver gets the first name, the test talks through the second.
//
// Test programs run in parallel, so a pair is claimed with a named mutex: named objects live in
// the wineserver and are shared by every test process, and a process that dies abandons its
// mutex, which frees the pair for the next one.
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "testline.hpp"

namespace {

struct ComPair {
    std::string driverSide;
    std::string testSide;
};

std::vector<ComPair> ConfiguredPairs() {
    std::vector<ComPair> pairs;
    const char* text = std::getenv("VPIVG_TEST_COM_PAIRS");
    if (!text) return pairs;
    std::string all = text;
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find(',', start);
        if (end == std::string::npos) end = all.size();
        std::string item = all.substr(start, end - start);
        std::size_t eq = item.find('=');
        if (eq != std::string::npos && eq > 0 && eq + 1 < item.size()) {
            pairs.push_back({item.substr(0, eq), item.substr(eq + 1)});
        }
        start = end + 1;
    }
    return pairs;
}

// COM10 and above are reachable only through the device namespace; the form works for all.
std::string DevicePath(const std::string& name) { return "\\\\.\\" + name; }

// Raw 9600 8N1, no flow control, and reads that return at once with what is waiting, so
// Read() can keep its own deadline.
HANDLE OpenRaw(const std::string& name, std::string* why) {
    HANDLE h = CreateFileA(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (why) *why = "cannot open " + name + " (error " + std::to_string(GetLastError()) + ")";
        return INVALID_HANDLE_VALUE;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    if (!SetCommState(h, &dcb) || !SetCommTimeouts(h, &timeouts)) {
        if (why) *why = "cannot set up " + name + " (error " + std::to_string(GetLastError()) + ")";
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

// Reads and discards until the line has been quiet for `quietMs` (bytes may still be on their
// way through socat when a pair changes hands).
void DrainHandle(HANDLE h, int quietMs) {
    PurgeComm(h, PURGE_RXCLEAR);
    char buffer[4096];
    int quiet = 0;
    while (quiet < quietMs) {
        DWORD got = 0;
        if (!ReadFile(h, buffer, sizeof buffer, &got, nullptr)) return;
        if (got > 0) {
            quiet = 0;
        } else {
            Sleep(5);
            quiet += 5;
        }
    }
}

// Pairs this process holds: a mutex is recursive for its owning thread, so the named mutex alone
// would hand one pair twice to a test that opens two lines.
std::mutex claimedLock;
std::set<std::size_t> claimed;

class ComLine final : public TestLine {
public:
    ComLine(std::size_t index, HANDLE claim, HANDLE port, std::string name)
        : index_(index), claim_(claim), port_(port), name_(std::move(name)) {}
    ~ComLine() override {
        CloseHandle(port_);
        ReleaseMutex(claim_);  // fails harmlessly when another thread ends the test
        CloseHandle(claim_);
        std::lock_guard<std::mutex> lock(claimedLock);
        claimed.erase(index_);
    }
    const std::string& DeviceName() const override { return name_; }
    bool Write(std::string_view bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            DWORD wrote = 0;
            if (!WriteFile(port_, bytes.data() + done, static_cast<DWORD>(bytes.size() - done),
                           &wrote, nullptr)) {
                return false;
            }
            if (wrote == 0) Sleep(1);
            done += wrote;
        }
        return true;
    }
    std::string Read(std::size_t want, int timeoutMs) override {
        std::string out;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        char buffer[4096];
        while (out.size() < want) {
            DWORD got = 0;
            if (!ReadFile(port_, buffer, sizeof buffer, &got, nullptr)) break;
            if (got > 0) {
                out.append(buffer, got);
                continue;
            }
            if (std::chrono::steady_clock::now() >= deadline) break;
            Sleep(2);
        }
        return out;
    }
    void Drain() override { DrainHandle(port_, 20); }

private:
    std::size_t index_;
    HANDLE claim_;
    HANDLE port_;
    std::string name_;
};

// Claims pair `index` for this process, or returns null when another holds it.
HANDLE TryClaim(std::size_t index) {
    {
        std::lock_guard<std::mutex> lock(claimedLock);
        if (!claimed.insert(index).second) return nullptr;
    }
    std::string name = "vpivg-test-pair-" + std::to_string(index);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    if (mutex) {
        DWORD waited = WaitForSingleObject(mutex, 0);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return mutex;
        CloseHandle(mutex);
    }
    std::lock_guard<std::mutex> lock(claimedLock);
    claimed.erase(index);
    return nullptr;
}

}  // namespace

std::unique_ptr<TestLine> TestLine::Open(std::string* why) {
    std::vector<ComPair> pairs = ConfiguredPairs();
    if (pairs.empty()) {
        if (why) {
            *why = "no COM pairs configured (VPIVG_TEST_COM_PAIRS is unset: run the win32 tests "
                   "through scripts/wine-env.sh)";
        }
        return nullptr;
    }
    // Other test programs may hold every pair for a moment; wait for one to come free.
    for (int attempt = 0; attempt < 600; ++attempt) {
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            HANDLE claim = TryClaim(i);
            if (!claim) continue;
            std::string reason;
            HANDLE port = OpenRaw(pairs[i].testSide, &reason);
            if (port == INVALID_HANDLE_VALUE) {
                ReleaseMutex(claim);
                CloseHandle(claim);
                std::lock_guard<std::mutex> lock(claimedLock);
                claimed.erase(i);
                if (why) *why = reason;
                return nullptr;
            }
            // Whatever the previous holder left on either side is not this test's.
            HANDLE driverSide = OpenRaw(pairs[i].driverSide, nullptr);
            if (driverSide != INVALID_HANDLE_VALUE) {
                DrainHandle(driverSide, 20);
                CloseHandle(driverSide);
            }
            DrainHandle(port, 20);
            return std::make_unique<ComLine>(i, claim, port, pairs[i].driverSide);
        }
        Sleep(100);
    }
    if (why) *why = "every COM pair stayed in use for a minute";
    return nullptr;
}

void SleepMs(int ms) { Sleep(static_cast<DWORD>(ms)); }
#endif
