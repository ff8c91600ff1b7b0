// The stand-in host runtime's control side: what the host program and the tests use to set up
// the gate database, stop clients and watch the log. The driver never sees this; it only calls
// the Zel5* functions and err.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#if defined(_WIN32)
#if defined(ZELPRO_BUILDING)
#define ZELCTL_API __declspec(dllexport)
#else
#define ZELCTL_API __declspec(dllimport)
#endif
#else
#define ZELCTL_API __attribute__((visibility("default")))
#endif

namespace zelpro {

namespace detail {
// The callbacks below are called from inside the runtime, but an exception they throw is stopped
// here, in the module that installs them: not every target can unwind from one module into
// another (the 32-bit Windows toolchain keeps each DLL's unwinding to itself), and a throw must
// never reach the driver's C call anyway.
template <typename... Args>
std::function<void(Args...)> Contained(std::function<void(Args...)> callback) {
    if (!callback) return callback;
    return [inner = std::move(callback)](Args... args) {
        try {
            inner(args...);
        } catch (...) {
        }
    };
}
ZELCTL_API void InstallGateWriteHook(std::function<void(std::uint32_t, double)> hook);
ZELCTL_API void InstallClientWaitHook(std::function<void(unsigned char)> hook);
ZELCTL_API void InstallLogSink(std::function<void(int, const std::string&)> sink);
}  // namespace detail

// Status codes the runtime answers with (0 is success everywhere).
constexpr unsigned short kOk = 0;
constexpr unsigned short kBadArgument = 1;   // null pointer, over-long text, bad id
constexpr unsigned short kUnknownClient = 2;
constexpr unsigned short kFull = 3;          // no free client slot or gate id
constexpr unsigned short kUnknownGate = 4;   // no gate with that id
constexpr unsigned short kNoSuchAddress = 5; // lookup: no gate with that address
constexpr unsigned short kInjectedFault = 9; // a fault the test or soak asked for

constexpr std::size_t kMaxAddressLength = 32;  // longer address texts are refused
constexpr std::size_t kMaxClientNameLength = 31;
constexpr std::uint32_t kMaxGateId = 65534;
constexpr std::size_t kMaxLogLineLength = 2047;  // err cuts a longer line to this many characters

// Log levels the driver uses.
constexpr int kLevelFailedPacket = 0;
constexpr int kLevelTrace = 8;
constexpr int kLevelInfo = 32;

struct LogLine {
    int level;
    std::string text;
};

struct GateInfo {
    std::uint32_t id;
    unsigned vpi;
    std::string address;
    int gateType;
    double value;
    std::uint64_t writes;  // successful Zel5PutGateVal calls
};

struct ClientInfo {
    unsigned char id;
    std::string name;
    bool stopping;  // the host told it to stop; Zel5WaitMsg now answers 0
};

struct CommStatus {
    int a, b, c;
    std::uint64_t reports;  // how many times the driver reported it
};

// One recorded call of a Zel5* function (recording is off unless switched on). Fields a call
// does not have stay 0 or empty; Zel5MkClient records its name in `address`, the id it gave in
// `client` and its first reserved word in `mode`; Zel5SetPlcCommStatus records its first word in
// `mode` (all three are in CommStatusOf).
struct CallRecord {
    std::string function;  // "Zel5PutGateVal", ...
    unsigned client;
    unsigned vpi;
    std::string address;
    std::uint32_t gateId;
    int mode;
    double value;
    unsigned short status;
};

// Everything back to a fresh runtime: no gates, no clients, empty log, default settings.
ZELCTL_API void Reset();

// Gate database. AddGate picks the lowest free id unless one is given; it fails (returns
// nullopt) for an over-long address, an id above 65534 or an id already taken, and also for an
// empty address, a VPI above 255 or an address that VPI already has in any letter case (such a
// gate could never be found, or a lookup would be ambiguous). Addresses are found without regard
// to letter case; Gate() gives them as they were added.
ZELCTL_API std::optional<std::uint32_t> AddGate(unsigned vpi, const std::string& address,
                                                int gateType,
                                                std::optional<std::uint32_t> id = std::nullopt);
ZELCTL_API bool RemoveGate(std::uint32_t id);
ZELCTL_API std::optional<GateInfo> Gate(std::uint32_t id);
ZELCTL_API std::optional<std::uint32_t> FindGate(unsigned vpi, const std::string& address);
ZELCTL_API bool SetGateValue(std::uint32_t id, double value);
ZELCTL_API std::vector<GateInfo> Gates();
// Called after every successful Zel5PutGateVal, on the caller's thread (keep it short), with no
// runtime lock held; several driver threads may call it at the same time. Replacing or clearing
// the hook waits for the calls of the old one still running, so what it used may go after.
using GateWriteHook = std::function<void(std::uint32_t id, double value)>;
inline void SetGateWriteHook(GateWriteHook hook) { detail::InstallGateWriteHook(detail::Contained(std::move(hook))); }

// Clients and the message wait. Zel5WaitMsg returns 1 at the next tick of the host's clock
// (every 20 ms by default, counted from when the tick was set; every waiting client is answered
// on the same tick) and 0 at once, and from then on, when the client has been told to stop. A
// client that looked up or wrote a gate since its last wait gets its 1 at once (up to 64 times
// in a row), so a VPI whose line brings several reports per tick works them off without
// waiting a tick for each.
ZELCTL_API void SetTickMilliseconds(unsigned milliseconds);
// Called as a client enters Zel5WaitMsg, on the caller's thread (keep it short), with no runtime
// lock held; several driver threads may call it at the same time. A driver thread waits between
// the reports it publishes, so the wait marks the end of one report's gate writes.
using ClientWaitHook = std::function<void(unsigned char client)>;
inline void SetClientWaitHook(ClientWaitHook hook) { detail::InstallClientWaitHook(detail::Contained(std::move(hook))); }
ZELCTL_API std::vector<ClientInfo> Clients();
ZELCTL_API std::optional<unsigned char> FindClient(const std::string& name);
ZELCTL_API bool StopClient(unsigned char id);
// The slot pointer Zel5MkClient received for a live client (null for none), and a write of a
// new id through it, as a host runtime that kept the pointer may do at any time.
ZELCTL_API std::uint32_t* ClientSlotOf(unsigned char id);
ZELCTL_API bool WriteClientSlot(unsigned char id, std::uint32_t value);
ZELCTL_API void StopAllClients();

// Communication status per VPI, as the driver last reported it.
ZELCTL_API std::optional<CommStatus> CommStatusOf(unsigned vpi);

// The log. Lines at level 0 and 32 are shown; level 8 (the byte trace) only when asked; any
// other level is shown like 32. The sink receives the shown lines (default: standard error, as
// "[level] text"), one at a time, with no runtime lock held; a line the sink itself logs goes to
// standard error. Capture keeps every line, whatever its level, until it is taken. err returns
// the length of the line it kept, 0 for a line neither shown nor captured (it is not even
// formatted), or -1 for a null or unusable format.
ZELCTL_API void ShowTrace(bool show);
using LogSink = std::function<void(int level, const std::string& text)>;
// Empty: back to standard error. Like the gate-write hook, replacing or clearing the sink waits
// for the lines it is still showing.
inline void SetLogSink(LogSink sink) { detail::InstallLogSink(detail::Contained(std::move(sink))); }
ZELCTL_API void StartCapture();
ZELCTL_API std::vector<LogLine> TakeCapture();  // also stops the capture
ZELCTL_API std::vector<LogLine> PeekCapture();

// Call recording, for tests that check what the driver asked of the host and in which order.
ZELCTL_API void StartRecording();
ZELCTL_API std::vector<CallRecord> TakeRecording();  // also stops the recording

// Fault injection, for tests and the soak: the next `count` calls of the named kind fail with
// kInjectedFault (count < 0: every call until set back to 0).
enum class Fault { Lookup, PutValue, GetValue, MakeClient };
ZELCTL_API void InjectFault(Fault fault, int count);

}  // namespace zelpro
