#include "broker.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace brokertest {

namespace {

bool Run(const std::string& command, std::string* why) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    if (status == 0) return true;
    *why = "'" + command + "' failed (status " + std::to_string(status) + ")";
    return false;
}

bool Listening(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

bool TestCa::Make(const fs::path& folder, std::string* why) {
    fs::create_directories(folder);
    auto p = [&](const char* name) { return (folder / name).string(); };
    caFile = p("ca.pem");
    serverCert = p("server.pem");
    serverKey = p("server.key");
    otherNameCert = p("other.pem");
    otherNameKey = p("other.key");
    strangerCaFile = p("stranger-ca.pem");
    const std::string ca = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -sha256 ";
    auto leaf = [&](const std::string& key, const std::string& cert, const std::string& san) {
        std::string csr = cert + ".csr", ext = cert + ".ext";
        std::ofstream(ext) << "subjectAltName=" << san << "\nbasicConstraints=CA:FALSE\n";
        return Run("openssl req -newkey rsa:2048 -nodes -keyout " + key + " -out " + csr + " -subj /CN=vpivg-test-broker",
                   why) &&
               Run("openssl x509 -req -in " + csr + " -CA " + caFile.string() + " -CAkey " + p("ca.key") +
                       " -CAcreateserial -days 2 -sha256 -out " + cert + " -extfile " + ext,
                   why);
    };
    return Run(ca + "-keyout " + p("ca.key") + " -out " + caFile.string() + " -subj /CN=vpivg-test-ca", why) &&
           Run(ca + "-keyout " + p("stranger-ca.key") + " -out " + strangerCaFile.string() + " -subj /CN=stranger-ca",
               why) &&
           leaf(serverKey.string(), serverCert.string(), "IP:127.0.0.1") &&
           leaf(otherNameKey.string(), otherNameCert.string(), "DNS:broker.invalid");
}

std::unique_ptr<Broker> Broker::Start(const fs::path& folder, const BrokerOptions& options, std::string* why) {
    if (::access("/usr/sbin/mosquitto", X_OK) != 0) {
        *why = "no /usr/sbin/mosquitto on this machine";
        return nullptr;
    }
    fs::create_directories(folder);
    std::unique_ptr<Broker> broker(new Broker);
    broker->folder_ = folder;
    broker->port_ = options.port ? options.port : FreePort();
    std::ostringstream conf;
    conf << "per_listener_settings false\n";
    // Run as root, mosquitto would change to its own user and lose the test's files.
    if (::getuid() == 0) conf << "user root\n";
    conf << "allow_anonymous " << (options.anonymous ? "true" : "false") << "\n";
    if (!options.users.empty()) {
        fs::path passwords = folder / "passwords";
        std::ofstream(passwords).close();
        for (const auto& [user, password] : options.users) {
            if (!Run("mosquitto_passwd -b " + passwords.string() + " '" + user + "' '" + password + "'", why)) {
                return nullptr;
            }
        }
        conf << "password_file " << passwords.string() << "\n";
    }
    conf << "listener " << broker->port_ << " 127.0.0.1\n";
    if (options.tls) {
        broker->tlsPort_ = FreePort();
        conf << "listener " << broker->tlsPort_ << " 127.0.0.1\n"
             << "cafile " << options.tls->caFile.string() << "\ncertfile " << options.tls->serverCert.string()
             << "\nkeyfile " << options.tls->serverKey.string() << "\n";
        broker->otherPort_ = FreePort();
        conf << "listener " << broker->otherPort_ << " 127.0.0.1\n"
             << "cafile " << options.tls->caFile.string() << "\ncertfile " << options.tls->otherNameCert.string()
             << "\nkeyfile " << options.tls->otherNameKey.string() << "\n";
    }
    if (options.persistent) {
        conf << "persistence true\npersistence_location " << folder.string() << "/\n"
             << "queue_qos0_messages true\nmax_queued_messages 0\nmax_queued_bytes 0\n";
    }
    conf << "log_dest file " << (folder / "broker.log").string() << "\nlog_type all\n";
    fs::path confFile = folder / "mosquitto.conf";
    std::ofstream(confFile) << conf.str();

    pid_t pid = ::fork();
    if (pid < 0) {
        *why = std::string("fork: ") + std::strerror(errno);
        return nullptr;
    }
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        ::execl("/usr/sbin/mosquitto", "mosquitto", "-c", confFile.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    broker->pid_ = pid;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        bool up = Listening(broker->port_) && (!options.tls || (Listening(broker->tlsPort_) && Listening(broker->otherPort_)));
        if (up) return broker;
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            broker->pid_ = -1;
            *why = "mosquitto ended at its start: " + ReadAll(folder / "broker.log");
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    *why = "mosquitto did not listen within 10 s: " + broker->Log();
    return nullptr;
}

Broker::~Broker() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGCONT);  // a paused broker would not take the SIGTERM
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 250; ++i) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

std::string Broker::Log() const { return ReadAll(folder_ / "broker.log"); }

void Broker::Pause() {
    if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void Broker::Resume() {
    if (pid_ > 0) ::kill(pid_, SIGCONT);
}

std::size_t Broker::UnreadBytes() const {
    // The kernel's table of TCP sockets: "sl local rem st tx_queue:rx_queue ...", addresses as
    // hex ip:port. The broker's end of each connection has the listener's port as its own.
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    std::size_t unread = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        if (!(fields >> slot >> local >> remote >> state >> queues)) continue;
        const auto colon = local.find(':');
        const auto queueColon = queues.find(':');
        if (colon == std::string::npos || queueColon == std::string::npos || state != "01") continue;
        if (std::stoi(local.substr(colon + 1), nullptr, 16) != port_) continue;
        unread += std::stoul(queues.substr(queueColon + 1), nullptr, 16);
    }
    return unread;
}

namespace {

void OnMessage(mosquitto*, void* user, const mosquitto_message* m) {
    Message message;
    message.topic = m->topic;
    if (m->payload) message.payload.assign(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen));
    message.qos = m->qos;
    message.retain = m->retain;
    message.at = std::chrono::steady_clock::now();
    static_cast<Subscriber*>(user)->Received(std::move(message));
}

}  // namespace

Subscriber::Subscriber(int port, const std::vector<std::string>& topics, const std::string& lastingId) {
    mosquitto_lib_init();
    static int serial = 0;
    std::string id = lastingId.empty() ? "vpivg-test-sub-" + std::to_string(::getpid()) + "-" + std::to_string(++serial)
                                       : lastingId;
    mosq_ = mosquitto_new(id.c_str(), lastingId.empty(), this);
    if (!mosq_) return;
    mosquitto_message_callback_set(mosq_, OnMessage);
    if (mosquitto_connect(mosq_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) return;
    for (const std::string& topic : topics) {
        if (mosquitto_subscribe(mosq_, nullptr, topic.c_str(), 1) != MOSQ_ERR_SUCCESS) return;
    }
    // Back on its feet soon after a broker restart.
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    if (mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) return;
    // The grants come back in order after the CONNACK; a short settle is enough on loopback,
    // and a round trip of our own proves the subscriptions are in place.
    std::string probe = "vpivg-test/probe/" + id;
    mosquitto_subscribe(mosq_, nullptr, probe.c_str(), 1);
    mosquitto_publish(mosq_, nullptr, probe.c_str(), 1, "p", 1, false);
    ok_ = WaitFor([&](const std::vector<Message>& m) { return Count(m, probe) > 0; }, std::chrono::seconds(5));
    // Retained messages that came before the probe stay: they are what a late subscriber reads.
    std::lock_guard lock(mutex_);
    std::erase_if(messages_, [&](const Message& m) { return m.topic == probe; });
}

Subscriber::~Subscriber() {
    if (!mosq_) return;
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
}

void Subscriber::Received(Message message) {
    std::lock_guard lock(mutex_);
    messages_.push_back(std::move(message));
    changed_.notify_all();
}

std::vector<Message> Subscriber::Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

void Subscriber::Clear() {
    std::lock_guard lock(mutex_);
    messages_.clear();
}

bool Subscriber::WaitFor(const std::function<bool(const std::vector<Message>&)>& done,
                         std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(messages_); });
}

bool Subscriber::Publish(const std::string& topic, const std::string& payload, int qos, bool retain) {
    return mosq_ && mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                      qos, retain) == MOSQ_ERR_SUCCESS;
}

std::size_t Count(const std::vector<Message>& messages, const std::string& topic) {
    std::size_t n = 0;
    for (const Message& m : messages) n += m.topic == topic;
    return n;
}

}  // namespace brokertest
