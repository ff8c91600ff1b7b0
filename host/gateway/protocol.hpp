// The protocol side of the gateway: turns what the host sees (reports, link changes, the
// broker's messages) into MQTT messages. It knows nothing of sockets; the MQTT link drives it,
// so the session rules (births, sequence numbers, deaths) are testable without a broker.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report.hpp"

namespace gateway {

struct OutMessage {
    std::string topic;
    std::string payload;  // bytes: a protobuf payload or UTF-8 JSON
    int qos = 0;
    bool retain = false;
};

struct Subscription {
    std::string topic;
    int qos = 1;
};

// What a message from the broker asks the host to do.
struct Actions {
    std::vector<int> polls;   // VPIs whose "!POLL" the host is to read
    bool reconnect = false;   // end this session: the link sends OnStop's messages, disconnects
                              // and connects again (a primary host went offline)
    std::vector<std::string> notes;  // what was wrong with a message that was ignored (a bad
                                     // payload, an unknown device or metric), for the log
};

class Protocol {
public:
    virtual ~Protocol() = default;

    // The CONNECT's will, for the connection numbered `bdSeq`.
    virtual OutMessage Will(std::uint64_t bdSeq) const = 0;
    // Subscribed before anything of OnConnected is published.
    virtual std::vector<Subscription> Subscriptions() const = 0;
    // A new connection, accepted by the broker, subscriptions granted.
    virtual std::vector<OutMessage> OnConnected(std::uint64_t bdSeq, EpochMs now) = 0;
    virtual void OnDisconnected() = 0;
    // What to publish for a report, and for a link change of a VPI ("!STATUS" 1 or 0). Called
    // while disconnected too: the protocol then keeps the state the next session needs and
    // returns nothing to send.
    virtual std::vector<OutMessage> OnReport(const Report& report, EpochMs now) = 0;
    virtual std::vector<OutMessage> OnLink(int vpi, bool up, EpochMs now) = 0;
    virtual std::vector<OutMessage> OnMessage(const std::string& topic, std::string_view payload,
                                              EpochMs now, Actions* actions) = 0;
    // A planned stop (or a reconnect asked for by OnMessage): sent before DISCONNECT.
    virtual std::vector<OutMessage> OnStop(EpochMs now) = 0;
    // Whether a report given now would be published. A store hands reports over only then, so
    // none is confirmed and let go while the session is not yet publishing (a Sparkplug node
    // waiting for its primary host).
    virtual bool Publishing() const = 0;
};

}  // namespace gateway
