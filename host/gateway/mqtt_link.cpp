#include "mqtt_link.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>

#include <mosquitto.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace gateway {

namespace {

// How long a broker may take to answer a CONNECT (or to grant the subscriptions).
constexpr auto kAnswerWait = std::chrono::seconds(10);
// Messages handed to libmosquitto and not yet sent or acknowledged: past this the link leaves
// the rest in its own bounded queue, so a slow broker cannot make the client's memory grow.
constexpr std::size_t kMostInFlight = 1000;
constexpr std::size_t kDrainBatch = 500;
constexpr auto kOverflowSaidEvery = std::chrono::minutes(1);
// A checkpoint confirms what went before it: one once this many reports went out since the last,
// or this long after the first report it covers, so the store lets go of delivered reports soon without doubling the
// messages under load.
constexpr std::size_t kCheckpointEvery = 500;
constexpr auto kCheckpointPeriod = std::chrono::milliseconds(100);
// The store's drops and failures are said at most this often (each with what it lost since).
constexpr auto kStoreTroubleSaidEvery = std::chrono::minutes(1);
// A turn that found nothing to forward although the forwarder said there was (a store read
// failing) waits this long before the next try instead of spinning.
constexpr int kEmptyTakeWaitMs = 10;

EpochMs WallNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

SteadyMs SteadyNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string UtcText(EpochMs ms) {
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm parts{};
    char text[32] = "?";
    if (gmtime_r(&seconds, &parts) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

// A turn's publishes are corked: the socket holds its small writes back from the turn's first
// publish until the turn has written them all, so the reports of one turn leave in as few
// segments as fit. With TCP_NODELAY (which a lone report needs, so as not to wait for an
// acknowledgement) every publish would be a segment of its own, and on a busy link those
// segments cost more than the rest of the turn. The cork is only ever an optimisation: a socket
// that refuses it sends as before.
bool SetCork(int sock, int on) { return ::setsockopt(sock, IPPROTO_TCP, TCP_CORK, &on, sizeof on) == 0; }

MqttLink* Self(void* user) { return static_cast<MqttLink*>(user); }

void ConnectCallback(mosquitto*, void* user, int rc) {
    // A refusal subscribes and publishes nothing, and must be said before the broker's hang-up
    // that follows it in the same turn of the loop.
    if (rc != 0) {
        Self(user)->OnConnect(rc);
        return;
    }
    Self(user)->Defer([link = Self(user), rc] { link->OnConnect(rc); });
}
void DisconnectCallback(mosquitto*, void* user, int rc) { Self(user)->OnDisconnect(rc); }
void SubscribeCallback(mosquitto*, void* user, int mid, int count, const int* granted) {
    std::vector<int> copy(granted, granted + (granted ? count : 0));
    Self(user)->Defer([link = Self(user), mid, copy = std::move(copy)] {
        link->OnSubscribe(mid, static_cast<int>(copy.size()), copy.data());
    });
}
void PublishCallback(mosquitto*, void* user, int mid) { Self(user)->OnPublish(mid); }
void MessageCallback(mosquitto*, void* user, const mosquitto_message* message) {
    // The message is libmosquitto's only during the call: the deferred work keeps a copy.
    if (!message) return;
    auto copy = std::make_shared<mosquitto_message>();
    if (mosquitto_message_copy(copy.get(), message) != MOSQ_ERR_SUCCESS) return;
    std::shared_ptr<mosquitto_message> owned(copy.get(), [copy](mosquitto_message* m) { mosquitto_message_free_contents(m); });
    Self(user)->Defer([link = Self(user), owned] { link->OnMessage(owned.get()); });
}
void LogCallback(mosquitto*, void* user, int level, const char* text) { Self(user)->OnLibraryLog(level, text); }

int VerifyCallback(int ok, X509_STORE_CTX* store) {
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* link = ssl ? static_cast<MqttLink*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl))) : nullptr;
    return link ? link->OnVerify(ok, store) : ok;
}

std::string OpenSslError() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "no reason given";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

bool IsIpAddress(const std::string& host) {
    return host.find(':') != std::string::npos ||
           std::all_of(host.begin(), host.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

std::once_flag libraryInit;

}  // namespace

const char* StateName(LinkStatus::State state) {
    switch (state) {
        case LinkStatus::State::Idle: return "idle";
        case LinkStatus::State::Connecting: return "connecting";
        case LinkStatus::State::Connected: return "connected";
        case LinkStatus::State::Retrying: return "retrying";
        case LinkStatus::State::Stopped: return "stopped";
    }
    return "?";
}

bool ReadPasswordFile(const std::string& path, std::string* password, std::string* why) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
        *why = path + ": the first line (the password) is empty";
        return false;
    }
    *password = line;
    return true;
}

MqttLink::MqttLink(LinkSettings settings, Protocol& protocol, BdSeqFile& bdSeq, LogFunction log)
    : settings_(std::move(settings)), protocol_(protocol), bdSeq_(bdSeq), log_(std::move(log)) {
    where_ = std::string(settings_.url.tls ? "mqtts://" : "mqtt://") + settings_.url.Text();
}

MqttLink::~MqttLink() {
    Stop();
    if (mosq_) mosquitto_destroy(mosq_);
    if (sslContext_) SSL_CTX_free(static_cast<SSL_CTX*>(sslContext_));
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool MqttLink::Start(std::string* why) {
    std::call_once(libraryInit, [] {
        mosquitto_lib_init();
        // A TLS write to a broker that has just gone would otherwise end the whole program
        // with SIGPIPE; the write's error is what the link needs, and it handles it.
        struct sigaction current {};
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            std::signal(SIGPIPE, SIG_IGN);
        }
    });
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        *why = std::string("cannot make the MQTT link's wake-up: ") + std::strerror(errno);
        return false;
    }
    mosq_ = mosquitto_new(settings_.clientId.c_str(), true, this);
    if (!mosq_) {
        *why = std::string("cannot make the MQTT client: ") + std::strerror(errno);
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // A report is one small message: Nagle's algorithm would hold it until the broker's TCP
    // acknowledgement of the one before, which delayed acknowledgement keeps back for 40 ms.
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    // The library's own limit on unacknowledged QoS 1 messages is 20; past it, it holds the rest
    // and sends one per acknowledgement, each as a segment of its own outside the turn's cork.
    // On a busy link nearly every report became a segment, and a broker a round trip away would
    // take no more than 20 a round trip. The link bounds its messages in flight itself
    // (kMostInFlight), so the library's limit is set to the same.
    mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, static_cast<int>(kMostInFlight));
    mosquitto_connect_callback_set(mosq_, ConnectCallback);
    mosquitto_disconnect_callback_set(mosq_, DisconnectCallback);
    mosquitto_subscribe_callback_set(mosq_, SubscribeCallback);
    mosquitto_publish_callback_set(mosq_, PublishCallback);
    mosquitto_message_callback_set(mosq_, MessageCallback);
    // The library formats a debug line for every packet whenever a log callback is set; only a
    // TLS link has use for its words (the reason a handshake failed).
    if (settings_.url.tls) mosquitto_log_callback_set(mosq_, LogCallback);
    if (!settings_.user.empty()) {
        int rc = mosquitto_username_pw_set(mosq_, settings_.user.c_str(),
                                           settings_.password.empty() ? nullptr : settings_.password.c_str());
        if (rc != MOSQ_ERR_SUCCESS) {
            *why = std::string("mqtt-user: ") + mosquitto_strerror(rc);
            return false;
        }
    }
    if (settings_.url.tls) {
        // The link's own TLS context: its certificate check records why a broker was refused
        // (unknown CA, wrong host name, expired), which the library alone would not say.
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        if (!ctx) {
            *why = "cannot make a TLS context: " + OpenSslError();
            return false;
        }
        sslContext_ = ctx;
        SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
        SSL_CTX_set_app_data(ctx, this);
        if (settings_.caFile.empty()) {
            if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
                *why = "cannot load this machine's CA certificates: " + OpenSslError();
                return false;
            }
        } else if (SSL_CTX_load_verify_locations(ctx, settings_.caFile.c_str(), nullptr) != 1) {
            *why = "mqtt-ca-file " + settings_.caFile + ": " + OpenSslError();
            return false;
        }
        if (!settings_.certFile.empty()) {
            if (SSL_CTX_use_certificate_chain_file(ctx, settings_.certFile.c_str()) != 1) {
                *why = "mqtt-cert-file " + settings_.certFile + ": " + OpenSslError();
                return false;
            }
            if (SSL_CTX_use_PrivateKey_file(ctx, settings_.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
                *why = "mqtt-key-file " + settings_.keyFile + ": " + OpenSslError();
                return false;
            }
            if (SSL_CTX_check_private_key(ctx) != 1) {
                *why = "mqtt-key-file " + settings_.keyFile + " is not the key of mqtt-cert-file " +
                       settings_.certFile;
                return false;
            }
        }
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, VerifyCallback);
        X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
        int set = IsIpAddress(settings_.url.host)
                      ? X509_VERIFY_PARAM_set1_ip_asc(param, settings_.url.host.c_str())
                      : X509_VERIFY_PARAM_set1_host(param, settings_.url.host.c_str(), 0);
        if (set != 1) {
            *why = "mqtt-url: cannot check the broker's certificate against " + settings_.url.host;
            return false;
        }
        mosquitto_int_option(mosq_, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
        int rc = mosquitto_void_option(mosq_, MOSQ_OPT_SSL_CTX, ctx);
        if (rc != MOSQ_ERR_SUCCESS) {
            *why = std::string("this libmosquitto takes no TLS context: ") + mosquitto_strerror(rc);
            return false;
        }
    }
    SetState(LinkStatus::State::Connecting);
    thread_ = std::thread([this] { Run(); });
    return true;
}

void MqttLink::Wake() {
    std::uint64_t one = 1;
    // A full counter already wakes the thread; nothing else can go wrong with an eventfd.
    if (::write(wakeFd_, &one, sizeof one) < 0 && errno != EAGAIN) {
        return;
    }
}

void MqttLink::Enqueue(Item item) {
    bool say = false;
    std::uint64_t dropped = 0;
    {
        std::lock_guard lock(queueMutex_);
        if (queue_.size() >= settings_.queueLimit) {
            dropped = ++overflowed_;
            auto now = Clock::now();
            if (overflowSaid_ == 0 || now - overflowSaidAt_ >= kOverflowSaidEvery) {
                say = true;
                overflowSaid_ = dropped;
                overflowSaidAt_ = now;
            }
        } else {
            queue_.push_back(std::move(item));
        }
    }
    if (say) {
        log_("MQTT " + where_ + ": the queue to the broker is full (" + std::to_string(settings_.queueLimit) +
             " entries); " + std::to_string(dropped) + " reports and link changes dropped since the start");
    }
    if (dropped == 0) Wake();
}

void MqttLink::Report(const gateway::Report& report) {
    if (forwarder_) {
        if (forwarder_->Add(report, SteadyNowMs())) Wake();
        return;
    }
    Enqueue(report);
}

void MqttLink::UseStore(Forwarder& forwarder, std::string checkpointTopic, std::string storeName) {
    forwarder_ = &forwarder;
    checkpointTopic_ = std::move(checkpointTopic);
    storeName_ = std::move(storeName);
}
void MqttLink::Link(int vpi, bool up, EpochMs now) { Enqueue(LinkChange{vpi, up, now}); }

std::vector<int> MqttLink::TakePolls() {
    std::lock_guard lock(queueMutex_);
    std::vector<int> polls;
    polls.swap(polls_);
    return polls;
}

LinkStatus MqttLink::Status() const {
    LinkStatus status;
    {
        std::lock_guard lock(statusMutex_);
        status = status_;
    }
    std::lock_guard lock(queueMutex_);
    status.overflowed = overflowed_;
    if (forwarder_) status.store = forwarder_->Status();
    return status;
}

void MqttLink::SetState(LinkStatus::State state, const std::string& error) {
    std::lock_guard lock(statusMutex_);
    status_.state = state;
    status_.bdSeq = bdSeqNow_;
    if (!error.empty()) status_.lastError = error;
}

void MqttLink::Stop() {
    if (stopped_) return;
    stopped_ = true;
    if (thread_.joinable()) {
        stopping_ = true;
        Wake();
        thread_.join();
    }
    SetState(LinkStatus::State::Stopped);
}

void MqttLink::Connect() {
    std::string why;
    std::optional<int> fromStore;
    if (forwarder_) {
        fromStore = forwarder_->NextBdSeq(&why);
        if (!fromStore) log_("MQTT store " + storeName_ + ": " + why + "; the bdSeq comes from " + bdSeq_.Path());
        why.clear();
    }
    bdSeqNow_ = fromStore ? static_cast<std::uint64_t>(*fromStore) : bdSeq_.Next(&why);
    if (!why.empty()) log_("MQTT: " + why);
    OutMessage will = protocol_.Will(bdSeqNow_);
    mosquitto_will_clear(mosq_);
    if (!will.topic.empty()) {
        int rc = mosquitto_will_set(mosq_, will.topic.c_str(), static_cast<int>(will.payload.size()),
                                    will.payload.data(), will.qos, will.retain);
        if (rc != MOSQ_ERR_SUCCESS) log_("MQTT: the will cannot be set: " + std::string(mosquitto_strerror(rc)));
    }
    tlsError_.clear();
    phase_ = Phase::Connecting;
    phaseDeadline_ = Clock::now() + kAnswerWait;
    SetState(LinkStatus::State::Connecting);
    errno = 0;
    int rc = mosquitto_connect_async(mosq_, settings_.url.host.c_str(), settings_.url.port, settings_.keepaliveS);
    if (rc == MOSQ_ERR_SUCCESS) return;
    std::string reason = rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno))
                         : rc == MOSQ_ERR_EAI ? "cannot find the host " + settings_.url.host
                                              : std::string(mosquitto_strerror(rc));
    if (rc == MOSQ_ERR_TLS) reason = "TLS: " + TlsReason();
    Failed(reason);
}

std::string MqttLink::TlsReason() {
    return tlsError_.empty() ? std::string("the TLS handshake failed") : tlsError_;
}

void MqttLink::Failed(const std::string& reason) {
    bool wasSession = phase_ == Phase::Session || phase_ == Phase::Closing;
    if (wasSession) protocol_.OnDisconnected();
    StopForwarding();
    phase_ = Phase::Down;
    subscribing_.clear();
    awaited_.clear();
    inFlight_.clear();
    if (stopping_) {
        SetState(LinkStatus::State::Stopped, reason);
        log_("MQTT " + where_ + ": " + reason);
        return;
    }
    int wait = backoffS_;
    backoffS_ = std::min(backoffS_ * 2, settings_.maxBackoffS);
    nextAttempt_ = Clock::now() + std::chrono::seconds(wait);
    {
        std::lock_guard lock(statusMutex_);
        status_.retryInS = wait;
    }
    SetState(LinkStatus::State::Retrying, reason);
    log_("MQTT " + where_ + ": " + (wasSession ? "connection lost: " : "") + reason + "; retrying in " +
         std::to_string(wait) + " s");
}

void MqttLink::OnConnect(int rc) {
    if (phase_ != Phase::Connecting) return;
    if (rc != 0) {
        // The broker answered and said no: the reason is its CONNACK's.
        Failed(std::string("the broker refused the connection: ") + mosquitto_connack_string(rc));
        mosquitto_disconnect(mosq_);
        return;
    }
    phase_ = Phase::Subscribing;
    phaseDeadline_ = Clock::now() + kAnswerWait;
    subscribing_.clear();
    for (const Subscription& s : protocol_.Subscriptions()) {
        int mid = 0;
        int result = mosquitto_subscribe(mosq_, &mid, s.topic.c_str(), s.qos);
        if (result != MOSQ_ERR_SUCCESS) {
            Failed("cannot subscribe to " + s.topic + ": " + mosquitto_strerror(result));
            mosquitto_disconnect(mosq_);
            return;
        }
        subscribing_.insert(mid);
    }
    if (subscribing_.empty()) StartSession();
}

void MqttLink::OnSubscribe(int mid, int count, const int* granted) {
    if (phase_ != Phase::Subscribing || subscribing_.erase(mid) == 0) return;
    for (int i = 0; i < count; ++i) {
        if (granted[i] > 2) log_("MQTT " + where_ + ": the broker refused a subscription (its access rules?)");
    }
    if (subscribing_.empty()) StartSession();
}

void MqttLink::StartSession() {
    phase_ = Phase::Session;
    backoffS_ = 1;
    {
        std::lock_guard lock(statusMutex_);
        status_.retryInS = 0;
    }
    // The births (or the retained status) are on their way before the link says it is up: a
    // reader of the log or of the status that then subscribes finds them retained.
    Publish(protocol_.OnConnected(bdSeqNow_, WallNowMs()));
    Uncork();
    SetState(LinkStatus::State::Connected);
    log_("MQTT " + where_ + ": connected (bdSeq " + std::to_string(bdSeqNow_) + ")");
}

void MqttLink::OnDisconnect(int rc) {
    int error = errno;
    if (phase_ == Phase::Down) return;  // already said why
    if (phase_ == Phase::Closing && rc == 0) {
        protocol_.OnDisconnected();
        StopForwarding();
        phase_ = Phase::Down;
        awaited_.clear();
        inFlight_.clear();
        if (reconnectAfterClose_ && !stopping_) {
            log_("MQTT " + where_ + ": session ended, as the broker's message asked; connecting again");
            nextAttempt_ = Clock::now();
            SetState(LinkStatus::State::Connecting);
        }
        return;
    }
    std::string reason;
    if (rc == MOSQ_ERR_TLS || !tlsError_.empty()) {
        reason = "TLS: " + TlsReason();
    } else if (rc == MOSQ_ERR_ERRNO && error != 0) {
        reason = std::strerror(error);
    } else if (rc == MOSQ_ERR_KEEPALIVE) {
        reason = "the broker stopped answering (keepalive)";
    } else if (rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO) {
        reason = phase_ == Phase::Connecting ? "the broker closed the connection before answering"
                                             : "the broker closed the connection";
    } else {
        reason = mosquitto_strerror(rc);
    }
    Failed(reason);
}

void MqttLink::RunDeferred() {
    std::vector<std::function<void()>> work;
    work.swap(deferred_);
    for (auto& step : work) step();
}

void MqttLink::OnPublish(int mid) {
    if (inFlight_.erase(mid) == 0) sentAtOnce_.insert(mid);
    awaited_.erase(mid);
    if (auto checkpoint = checkpoints_.find(mid); checkpoint != checkpoints_.end()) {
        // The store's removal writes to the disk: not inside libmosquitto's callback.
        Defer([this, token = checkpoint->second] { forwarder_->Confirmed(token); });
        checkpoints_.erase(checkpoint);
    }
    std::lock_guard lock(statusMutex_);
    status_.published++;
}

void MqttLink::OnMessage(const mosquitto_message* message) {
    if (phase_ != Phase::Session || !message || !message->topic) return;
    Actions actions;
    std::string_view payload(static_cast<const char*>(message->payload),
                             message->payload ? static_cast<std::size_t>(message->payloadlen) : 0);
    auto now = WallNowMs();
    Publish(protocol_.OnMessage(message->topic, payload, now, &actions));
    for (const std::string& note : actions.notes) log_("MQTT " + where_ + ": " + note);
    if (!actions.polls.empty()) {
        std::lock_guard lock(queueMutex_);
        polls_.insert(polls_.end(), actions.polls.begin(), actions.polls.end());
    }
    if (actions.reconnect) BeginClose(true);
}

void MqttLink::OnLibraryLog(int level, const char* text) {
    // The library's own account of a TLS failure, when the certificate check said nothing.
    if ((level & MOSQ_LOG_ERR) && text && tlsError_.empty() && std::strstr(text, "OpenSSL") != nullptr) {
        tlsError_ = text;
    }
}

int MqttLink::OnVerify(int ok, void* storeContext) {
    if (!ok && tlsError_.empty()) {
        auto* store = static_cast<X509_STORE_CTX*>(storeContext);
        int error = X509_STORE_CTX_get_error(store);
        tlsError_ = std::string("the broker's certificate is refused: ") + X509_verify_cert_error_string(error);
    }
    return ok;
}

void MqttLink::Cork() {
    if (corkedSock_ >= 0) return;
    const int sock = mosquitto_socket(mosq_);
    if (sock >= 0 && SetCork(sock, 1)) corkedSock_ = sock;
}

void MqttLink::Uncork() {
    if (corkedSock_ < 0) return;
    // Uncorking sends what is held at once. A socket the turn lost is left alone: its number
    // may already be another file's.
    if (mosquitto_socket(mosq_) == corkedSock_) SetCork(corkedSock_, 0);
    corkedSock_ = -1;
}

void MqttLink::Publish(const std::vector<OutMessage>& messages, bool awaited) {
    if (!messages.empty()) Cork();
    for (const OutMessage& m : messages) {
        int mid = 0;
        sentAtOnce_.clear();
        int rc = mosquitto_publish(mosq_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()), m.payload.data(),
                                   m.qos, m.retain);
        if (rc != MOSQ_ERR_SUCCESS) {
            std::lock_guard lock(statusMutex_);
            status_.lastError = "cannot publish to " + m.topic + ": " + mosquitto_strerror(rc);
            continue;
        }
        if (sentAtOnce_.count(mid) > 0) continue;
        inFlight_.insert(mid);
        if (awaited) awaited_.insert(mid);
    }
}

void MqttLink::BeginClose(bool reconnect) {
    auto now = WallNowMs();
    Publish(protocol_.OnStop(now), true);
    phase_ = Phase::Closing;
    phaseDeadline_ = Clock::now() + settings_.stopWait;
    reconnectAfterClose_ = reconnect;
}

void MqttLink::Drain(std::size_t most) {
    std::vector<Item> items;
    {
        std::lock_guard lock(queueMutex_);
        std::size_t n = std::min(most, queue_.size());
        items.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            items.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
    }
    auto now = WallNowMs();
    for (const Item& item : items) {
        std::vector<OutMessage> out;
        if (const auto* report = std::get_if<gateway::Report>(&item)) {
            out = protocol_.OnReport(*report, now);
        } else {
            const auto& change = std::get<LinkChange>(item);
            // The reports the host handed over before this change go out before it.
            if (forwarder_) Forward(ForwardMode::flush);
            out = protocol_.OnLink(change.vpi, change.up, change.now);
        }
        if (phase_ == Phase::Session) Publish(out);
    }
    bool more;
    {
        std::lock_guard lock(queueMutex_);
        more = !queue_.empty();
    }
    if (more) Wake();  // the rest on the next turn, after the socket has had its go
}

void MqttLink::Run() {
    // Named, so that `top -H` and the benchmark tell the link (and the store, which it drives)
    // from the driver's threads.
    pthread_setname_np(pthread_self(), "vpivg-mqtt");
    bool stopBegun = false;
    bool disconnectSent = false;
    Clock::time_point hardDeadline{};
    nextAttempt_ = Clock::now();
    while (true) {
        auto now = Clock::now();
        if (stopping_ && !stopBegun) {
            stopBegun = true;
            hardDeadline = now + settings_.stopWait + std::chrono::seconds(1);
            // What the host handed over before the stop still goes out.
            if (phase_ == Phase::Session) Drain(settings_.queueLimit);
            if (forwarder_ && phase_ == Phase::Session) Forward(ForwardMode::finish);
            if (phase_ == Phase::Session) {
                BeginClose(false);
            } else if (phase_ != Phase::Closing) {
                if (phase_ != Phase::Down) mosquitto_disconnect(mosq_);
                break;
            }
        }
        if (stopBegun && now >= hardDeadline) break;
        if (phase_ == Phase::Down) {
            if (stopping_) break;
            if (now >= nextAttempt_) Connect();
        } else if ((phase_ == Phase::Connecting || phase_ == Phase::Subscribing) && now >= phaseDeadline_) {
            Failed(phase_ == Phase::Connecting ? "no answer from the broker within 10 s"
                                               : "the broker did not grant the subscriptions within 10 s");
            mosquitto_disconnect(mosq_);
        } else if (phase_ == Phase::Closing && !disconnectSent && (awaited_.empty() || now >= phaseDeadline_)) {
            if (!awaited_.empty()) {
                log_("MQTT " + where_ + ": the broker did not confirm the last messages in time");
            }
            disconnectSent = mosquitto_disconnect(mosq_) == MOSQ_ERR_SUCCESS;
            if (!disconnectSent) OnDisconnect(0);
        }
        if (phase_ != Phase::Closing) disconnectSent = false;

        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
        int count = 1;
        int sock = mosquitto_socket(mosq_);
        if (sock >= 0 && phase_ != Phase::Down) {
            fds[1] = {sock, static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)), 0};
            count = 2;
        }
        auto until = now + std::chrono::seconds(1);
        if (phase_ == Phase::Down) until = std::min(until, nextAttempt_);
        int timeout = static_cast<int>(
            std::clamp<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count(), 0, 1000));
        if (forwarder_) {
            int due = ForwardWaitMs();
            if (due >= 0) timeout = std::min(timeout, due);
        }
        Uncork();  // nothing written waits through the wait
        if (::poll(fds, static_cast<nfds_t>(count), timeout) < 0 && errno != EINTR) {
            log_(std::string("MQTT: the link's wait failed: ") + std::strerror(errno));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (fds[0].revents & POLLIN) {
            std::uint64_t counter = 0;
            if (::read(wakeFd_, &counter, sizeof counter) < 0 && errno != EAGAIN) {
                log_(std::string("MQTT: the link's wake-up failed: ") + std::strerror(errno));
            }
        }
        Serve(count == 2 ? fds[1] : pollfd{-1, 0, 0});
        const bool canSend = phase_ != Phase::Closing && (phase_ != Phase::Session || inFlight_.size() < kMostInFlight);
        if (canSend) Drain(kDrainBatch);
        if (forwarder_) Forward(ForwardMode::turn);
        if (canSend && phase_ == Phase::Session) mosquitto_loop_write(mosq_, 16);
        if (forwarder_) SayStoreTrouble(Clock::now());
    }
    Uncork();
    RunDeferred();
    if (phase_ == Phase::Session || phase_ == Phase::Closing) protocol_.OnDisconnected();
    phase_ = Phase::Down;
    if (forwarder_) {
        // Whatever the host handed over is on the disk before the program goes on to exit.
        forwarder_->Flush();
        StopForwarding();
        SayStoreTrouble(Clock::now());
    }
}

// Reads, writes and keepalive as far as they go now; `socket` is what the wait before saw of
// the connection's socket.
void MqttLink::Serve(const pollfd& socket) {
    if (phase_ == Phase::Down || mosquitto_socket(mosq_) < 0) return;
    if (settings_.url.tls) {
        // The library's own loop, which also carries the TLS handshake on. TLS may hold decrypted
        // bytes the socket no longer shows: those are read on at once.
        for (int turn = 0; turn < 16 && phase_ != Phase::Down && mosquitto_socket(mosq_) >= 0; ++turn) {
            int rc = mosquitto_loop(mosq_, 0, 16);
            RunDeferred();
            if (rc != MOSQ_ERR_SUCCESS) {
                // A failed TLS handshake ends the loop without the disconnect callback.
                if (phase_ != Phase::Down) OnDisconnect(rc);
                return;
            }
            auto* ssl = static_cast<SSL*>(mosquitto_ssl_get(mosq_));
            if (!ssl || SSL_pending(ssl) <= 0) return;
        }
        return;
    }
    // A plain socket is served from the wait this thread has just made. The library's own loop
    // would wait on the socket again and read one byte of the wake-up pipe that each publish
    // writes to: two system calls a turn that tell this thread nothing.
    const bool same = socket.fd >= 0 && socket.fd == mosquitto_socket(mosq_);
    int rc = MOSQ_ERR_SUCCESS;
    if (same && (socket.revents & (POLLIN | POLLERR | POLLHUP))) rc = mosquitto_loop_read(mosq_, 16);
    if (rc == MOSQ_ERR_SUCCESS && same && (socket.revents & POLLOUT) && mosquitto_socket(mosq_) >= 0) {
        rc = mosquitto_loop_write(mosq_, 16);
    }
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(mosq_) >= 0) rc = mosquitto_loop_misc(mosq_);
    RunDeferred();
    if (rc != MOSQ_ERR_SUCCESS && phase_ != Phase::Down) OnDisconnect(rc);
}

void MqttLink::Forward(ForwardMode mode) {
    const SteadyMs now = SteadyNowMs();
    if (mode == ForwardMode::turn) {
        forwarder_->Commit(now);
    } else {
        forwarder_->Flush();
    }
    // While the last words are awaited nothing new goes out; what is left is sent next time.
    if (phase_ == Phase::Closing) return;
    const bool publishing = phase_ == Phase::Session && protocol_.Publishing();
    if (publishing && !forwarding_) {
        forwarder_->Connected(now);
        forwarding_ = true;
        sinceCheckpoint_ = 0;
        lastCheckpoint_ = Clock::now();
    } else if (!publishing && forwarding_) {
        StopForwarding();
    }
    if (!forwarding_) return;
    lastTakeEmpty_ = false;
    if (inFlight_.size() < kMostInFlight) {
        std::vector<Outgoing> out = forwarder_->Take(now);
        lastTakeEmpty_ = out.empty();
        const EpochMs wall = WallNowMs();
        for (const Outgoing& o : out) Publish(protocol_.OnReport(o.report, wall));
        sinceCheckpoint_ += out.size();
    }
    if (sinceCheckpoint_ > 0 && (mode == ForwardMode::finish || sinceCheckpoint_ >= kCheckpointEvery ||
                                 Clock::now() - lastCheckpoint_ >= kCheckpointPeriod)) {
        PublishCheckpoint(mode == ForwardMode::finish);
    }
}

void MqttLink::PublishCheckpoint(bool awaited) {
    sinceCheckpoint_ = 0;
    lastCheckpoint_ = Clock::now();
    std::optional<std::uint64_t> token = forwarder_->Checkpoint();
    if (!token) return;
    int mid = 0;
    sentAtOnce_.clear();
    int rc = mosquitto_publish(mosq_, &mid, checkpointTopic_.c_str(), 0, nullptr, 1, false);
    if (rc != MOSQ_ERR_SUCCESS) {
        // Those reports stay stored and go again after the next connect.
        std::lock_guard lock(statusMutex_);
        status_.lastError = "cannot publish to " + checkpointTopic_ + ": " + mosquitto_strerror(rc);
        return;
    }
    inFlight_.insert(mid);
    if (awaited) awaited_.insert(mid);
    checkpoints_[mid] = *token;
}

void MqttLink::StopForwarding() {
    if (forwarder_ && forwarding_) forwarder_->Disconnected();
    forwarding_ = false;
    checkpoints_.clear();
    sinceCheckpoint_ = 0;
}

int MqttLink::ForwardWaitMs() {
    const bool canSend = forwarding_ && inFlight_.size() < kMostInFlight;
    SteadyMs due = forwarder_->NextDue(SteadyNowMs(), canSend);
    if (canSend && lastTakeEmpty_ && due == 0) due = kEmptyTakeWaitMs;
    if (forwarding_ && sinceCheckpoint_ > 0) {
        const SteadyMs left = std::max<SteadyMs>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(lastCheckpoint_ + kCheckpointPeriod - Clock::now())
                   .count());
        due = due < 0 ? left : std::min(due, left);
    }
    return due < 0 ? -1 : static_cast<int>(std::min<SteadyMs>(due, 1000));
}

void MqttLink::SayStoreTrouble(Clock::time_point now) {
    if (now >= nextDropSay_) {
        const Dropped dropped = forwarder_->TakeDropped();
        if (dropped.count > 0) {
            log_("MQTT store " + storeName_ + ": full; the " + std::to_string(dropped.count) +
                 " oldest reports were dropped (acquired " + UtcText(dropped.span.firstMs) + " to " +
                 UtcText(dropped.span.lastMs) + ")");
            nextDropSay_ = now + kStoreTroubleSaidEvery;
        }
    }
    for (const std::string& error : forwarder_->TakeErrors()) {
        auto said = errorsSaid_.find(error);
        if (said != errorsSaid_.end() && now - said->second < kStoreTroubleSaidEvery) continue;
        errorsSaid_[error] = now;
        log_("MQTT store: " + error);
    }
}

}  // namespace gateway
