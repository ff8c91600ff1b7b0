// A real mosquitto for the tests: started on 127.0.0.1 on free ports with a config file the
// test writes, stopped at the end; a test CA and broker certificates made with openssl; and a
// subscriber on libmosquitto that records what the broker delivers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/types.h>

struct mosquitto;

namespace brokertest {

// Certificates made by openssl for one test run: a CA and a broker certificate it signed for
// 127.0.0.1, a second broker certificate for another name only, and a CA that signed neither.
struct TestCa {
    std::filesystem::path caFile, serverCert, serverKey;
    std::filesystem::path otherNameCert, otherNameKey;  // for "broker.invalid" only
    std::filesystem::path strangerCaFile;
    // False with `why` when openssl is missing or fails.
    bool Make(const std::filesystem::path& folder, std::string* why);
};

struct BrokerOptions {
    bool anonymous = true;
    // user -> password, written with mosquitto_passwd; logins are then required.
    std::vector<std::pair<std::string, std::string>> users;
    const TestCa* tls = nullptr;  // also a TLS listener, and one with the other-name certificate
    int port = 0;                 // the plain listener's port; 0: a free one
    // Sessions and their queued messages (QoS 0 too, without limit) kept across a restart in
    // the same folder, so a subscriber with a lasting session misses nothing of an outage.
    bool persistent = false;
};

class Broker {
public:
    // Null with `why` when mosquitto cannot be started here (the test then skips).
    static std::unique_ptr<Broker> Start(const std::filesystem::path& folder, const BrokerOptions& options,
                                         std::string* why);
    ~Broker();
    int Port() const { return port_; }
    int TlsPort() const { return tlsPort_; }
    int OtherNameTlsPort() const { return otherPort_; }
    std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    std::string Log() const;
    // Stops the broker's process where it is (SIGSTOP) and lets it go on (SIGCONT): it then reads
    // and acknowledges nothing, as a broker a long round trip away has not yet done.
    void Pause();
    void Resume();
    // The bytes clients have sent on the plain port that the broker has not read yet.
    std::size_t UnreadBytes() const;

private:
    Broker() = default;
    pid_t pid_ = -1;
    int port_ = 0, tlsPort_ = 0, otherPort_ = 0;
    std::filesystem::path folder_;
};

// A port on 127.0.0.1 nothing listens on (taken from the system, then let go).
int FreePort();

struct Message {
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retain = false;
    std::chrono::steady_clock::time_point at;
};

class Subscriber {
public:
    // Connects to 127.0.0.1:port and subscribes to `topics`; waits for the grants. With a
    // `lastingId`, the session outlives the connection (clean session off, under that client
    // id): the broker keeps it and what comes for it while the subscriber is away, and the
    // subscriber connects again on its own after a broker restart.
    Subscriber(int port, const std::vector<std::string>& topics, const std::string& lastingId = {});
    ~Subscriber();
    bool Ok() const { return ok_; }
    std::vector<Message> Messages() const;
    // Waits until `done` holds for the messages so far, or `timeout` passed; returns whether it held.
    bool WaitFor(const std::function<bool(const std::vector<Message>&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool Publish(const std::string& topic, const std::string& payload, int qos = 1, bool retain = false);
    void Clear();

    void Received(Message message);

private:
    mosquitto* mosq_ = nullptr;
    bool ok_ = false;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Message> messages_;
};

std::size_t Count(const std::vector<Message>& messages, const std::string& topic);

}  // namespace brokertest
