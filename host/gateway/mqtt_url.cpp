#include "mqtt_url.hpp"

#include <charconv>

namespace gateway {

namespace {

bool NameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

}  // namespace

std::string MqttUrl::Text() const {
    std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return shown + ":" + std::to_string(port);
}

std::optional<MqttUrl> ParseMqttUrl(std::string_view text, std::string* why) {
    const std::string expected = "expected mqtt://host[:port] or mqtts://host[:port]";
    MqttUrl url;
    if (text.substr(0, 7) == "mqtt://") {
        text.remove_prefix(7);
    } else if (text.substr(0, 8) == "mqtts://") {
        text.remove_prefix(8);
        url.tls = true;
        url.port = 8883;
    } else {
        *why = expected;
        return std::nullopt;
    }
    if (text.find('@') != std::string_view::npos) {
        // A password in the URL would sit in the process list and in shell histories.
        *why = "no user or password in the url: use mqtt-user and mqtt-password-file";
        return std::nullopt;
    }
    if (!text.empty() && text.back() == '/') text.remove_suffix(1);
    std::string_view host = text;
    std::string_view port;
    if (!text.empty() && text.front() == '[') {
        std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            *why = "the IPv6 address has no closing ']'; " + expected;
            return std::nullopt;
        }
        host = text.substr(1, close - 1);
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            *why = "'" + std::string(rest) + "' after the address; " + expected;
            return std::nullopt;
        }
        if (!rest.empty()) port = rest.substr(1);
        for (char c : host) {
            if (!(c == ':' || c == '.' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
                *why = "'" + std::string(host) + "' is no IPv6 address";
                return std::nullopt;
            }
        }
    } else {
        std::size_t colon = text.find(':');
        if (colon != std::string_view::npos) {
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
            if (port.empty()) {
                *why = "no port after ':'; " + expected;
                return std::nullopt;
            }
        }
        for (char c : host) {
            if (!NameCharacter(c)) {
                *why = c == '/' ? "a path after the host is not taken; " + expected
                                : "the host name holds '" + std::string(1, c) + "'; " + expected;
                return std::nullopt;
            }
        }
    }
    if (host.empty()) {
        *why = "no host; " + expected;
        return std::nullopt;
    }
    if (!port.empty() || text.back() == ':') {
        int number = 0;
        auto result = std::from_chars(port.data(), port.data() + port.size(), number);
        if (port.empty() || result.ec != std::errc() || result.ptr != port.data() + port.size() || number < 1 ||
            number > 65535) {
            *why = "port '" + std::string(port) + "' is not a number from 1 to 65535";
            return std::nullopt;
        }
        url.port = number;
    }
    url.host = std::string(host);
    return url;
}

}  // namespace gateway
