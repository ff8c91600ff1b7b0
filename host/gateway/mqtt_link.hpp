// The wire to the broker: one libmosquitto client on a thread of its own, driving one Protocol.
// The host's threads hand it reports and link changes through a bounded queue and never wait
// for the broker; everything the protocol makes is published from this thread alone. A broker
// that is absent, refuses the login or fails TLS is said in the log and retried with back-off
// (1, 2, 4 .. 30 s) for as long as the host runs.
//
// With a store (UseStore), every report goes to the disk first and leaves it only once the
// broker has it; what the broker did not confirm is sent again, as historical data, after the
// next connect (see forwarder.hpp for the rules, this file for when they are applied).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "bdseq_file.hpp"
#include "forwarder.hpp"
#include "mqtt_url.hpp"
#include "protocol.hpp"

struct mosquitto;
struct pollfd;
struct mosquitto_message;

namespace gateway {

struct LinkSettings {
    MqttUrl url;
    std::string clientId;
    std::string user;            // empty: no login
    std::string password;
    std::string caFile;          // mqtts: the CAs that vouch for the broker
    std::string certFile;        // mqtts: the client's certificate and key, optional
    std::string keyFile;
    int keepaliveS = 30;
    std::size_t queueLimit = 10000;
    int maxBackoffS = 30;
    std::chrono::milliseconds stopWait{2000};  // for the broker to take the last messages
};

struct LinkStatus {
    enum class State { Idle, Connecting, Connected, Retrying, Stopped };
    State state = State::Idle;
    std::uint64_t published = 0;   // messages the broker took (QoS 1) or that were sent (QoS 0)
    std::uint64_t overflowed = 0;  // reports and link changes dropped on a full queue
    std::uint64_t bdSeq = 0;
    int retryInS = 0;
    std::string lastError;         // empty: none since the start
    std::optional<ForwarderStatus> store;  // with a store
};
const char* StateName(LinkStatus::State state);

// The first line of a password file, without its line end. False with `why` when unreadable
// or empty.
bool ReadPasswordFile(const std::string& path, std::string* password, std::string* why);

class MqttLink {
public:
    using LogFunction = std::function<void(const std::string& line)>;
    // `protocol` and `bdSeq` are used only on the link's thread and must outlive the link.
    MqttLink(LinkSettings settings, Protocol& protocol, BdSeqFile& bdSeq, LogFunction log);
    ~MqttLink();
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;

    // Before Start: every report through `forwarder` and its store, confirmed by a QoS 1 message
    // on `checkpointTopic`; the session's bdSeq is then the store's too. `storeName` names the
    // store in the log.
    void UseStore(Forwarder& forwarder, std::string checkpointTopic, std::string storeName);
    // Makes the client (TLS files are read here) and starts the thread. False with `why`.
    bool Start(std::string* why);
    // Any thread; never blocks on the broker.
    void Report(const gateway::Report& report);
    void Link(int vpi, bool up, EpochMs now);
    // The VPIs the broker asked to poll, since the last call.
    std::vector<int> TakePolls();
    LinkStatus Status() const;
    // The planned stop: what is queued goes out, then the protocol's last words (waited for up
    // to stopWait), then DISCONNECT. Also done by the destructor.
    void Stop();

    // libmosquitto's callbacks (on the link's thread, inside its loop).
    void OnConnect(int rc);
    void OnDisconnect(int rc);
    void OnSubscribe(int mid, int count, const int* granted);
    void OnPublish(int mid);
    void OnMessage(const mosquitto_message* message);
    void OnLibraryLog(int level, const char* text);
    int OnVerify(int ok, void* storeContext);
    // What a callback would send or subscribe is done once the loop has returned: libmosquitto
    // holds its own locks while it calls back, and a publish from in there takes them in the
    // other order from the loop's.
    void Defer(std::function<void()> work) { deferred_.push_back(std::move(work)); }

private:
    void RunDeferred();
    void Serve(const pollfd& socket);
    // From a turn's first publish to its end, the socket holds the writes back (TCP_CORK).
    void Cork();
    void Uncork();
    std::vector<std::function<void()>> deferred_;  // the link's thread only
    struct LinkChange {
        int vpi;
        bool up;
        EpochMs now;
    };
    using Item = std::variant<gateway::Report, LinkChange>;
    using Clock = std::chrono::steady_clock;
    enum class Phase { Down, Connecting, Subscribing, Session, Closing };

    void Enqueue(Item item);
    void Run();
    void Connect();
    void Failed(const std::string& reason);
    void StartSession();
    void Publish(const std::vector<OutMessage>& messages, bool awaited = false);
    void BeginClose(bool reconnect);
    void Drain(std::size_t most);
    void Wake();
    // The store's turn: commit what the host added, and in a session hand the protocol what the
    // forwarder gives out, then a checkpoint when one is due. `flush` commits whatever was added
    // (before a link change), `finish` also checkpoints at once and awaits it (the stop).
    enum class ForwardMode { turn, flush, finish };
    void Forward(ForwardMode mode);
    void PublishCheckpoint(bool awaited);
    void StopForwarding();
    void SayStoreTrouble(Clock::time_point now);
    int ForwardWaitMs();
    void SetState(LinkStatus::State state, const std::string& error = {});
    std::string TlsReason();

    LinkSettings settings_;
    Protocol& protocol_;
    BdSeqFile& bdSeq_;
    LogFunction log_;
    std::string where_;  // "mqtt://host:port", for every message about the broker

    mosquitto* mosq_ = nullptr;
    void* sslContext_ = nullptr;
    int wakeFd_ = -1;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    bool stopped_ = false;

    // The queue from the host's threads.
    mutable std::mutex queueMutex_;
    std::deque<Item> queue_;
    std::uint64_t overflowed_ = 0;
    std::uint64_t overflowSaid_ = 0;
    Clock::time_point overflowSaidAt_{};
    std::vector<int> polls_;

    mutable std::mutex statusMutex_;
    LinkStatus status_;

    // The link thread's own.
    Phase phase_ = Phase::Down;
    bool reconnectAfterClose_ = false;
    std::uint64_t bdSeqNow_ = 0;
    int backoffS_ = 1;
    Clock::time_point nextAttempt_{};
    Clock::time_point phaseDeadline_{};
    std::set<int> subscribing_;
    std::set<int> awaited_;   // the last words of a session, until the broker has them
    std::set<int> inFlight_;  // handed to libmosquitto, not yet sent or acknowledged
    // A QoS 0 message libmosquitto wrote inside mosquitto_publish is reported sent before the
    // call returns its mid: it is never in flight (else the set would fill and stop the link).
    std::set<int> sentAtOnce_;
    int corkedSock_ = -1;     // the socket corked in this turn, if any
    std::string tlsError_;    // the certificate check's reason, or the library's TLS line

    // The store's, when there is one (the forwarder's own lock guards it).
    Forwarder* forwarder_ = nullptr;
    std::string checkpointTopic_;
    std::string storeName_;
    bool forwarding_ = false;                    // the forwarder was told Connected
    bool lastTakeEmpty_ = false;
    std::map<int, std::uint64_t> checkpoints_;   // mid -> the forwarder's token
    std::size_t sinceCheckpoint_ = 0;            // reports handed out since the last checkpoint
    Clock::time_point lastCheckpoint_{};
    Clock::time_point nextDropSay_{};
    std::map<std::string, Clock::time_point> errorsSaid_;
};

}  // namespace gateway
