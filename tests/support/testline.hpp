// A null-modem cable for tests.
//
// The driver side has a COM name the driver (or the platform layer) can open; the instrument
// side is the test's to write and read. On native this is an openpty pair whose slave is linked
// as "comN" in a private VPIVG_DEVICE_DIR; on win32 under Wine it is a socat pty pair that the
// test script mapped as two COM ports in the prefix's dosdevices.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

class TestLine {
public:
    // A fresh line, or null (with `why` set) when none can be had on this machine.
    static std::unique_ptr<TestLine> Open(std::string* why = nullptr);
    virtual ~TestLine() = default;

    // The name to give the driver: "COM7" (it fits the 12-byte name field).
    virtual const std::string& DeviceName() const = 0;
    // Instrument side: write these bytes to the driver.
    virtual bool Write(std::string_view bytes) = 0;
    // Instrument side: what the driver sent, waiting up to `timeoutMs` for at least `want`
    // bytes (returns what arrived by then).
    virtual std::string Read(std::size_t want, int timeoutMs) = 0;
    // Throws away whatever waits on the instrument side.
    virtual void Drain() = 0;
};

// Gives `ms` milliseconds to pass, for tests that wait for a thread.
void SleepMs(int ms);

// True when a Windows build runs under Wine, whose COM ports are pseudo-terminals here and whose
// answers differ from Windows' in a few known ways (each test that cares says which).
bool RunningUnderWine();

// Polls `condition` every few milliseconds for at most `timeoutMs`; true once it holds.
template <typename Condition>
bool WaitFor(Condition condition, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 5) {
        if (condition()) return true;
        SleepMs(5);
    }
    return condition();
}
