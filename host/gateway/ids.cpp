#include "ids.hpp"

#include <cstdint>
#include <set>

namespace gateway {
namespace {

// Where the text stops being well-formed UTF-8 (no overlong forms, no surrogates, nothing past
// U+10FFFF), or npos when all of it is.
std::size_t BadUtf8At(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t point = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            point = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            point = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            point = lead & 0x07u;
        } else {
            return i;
        }
        if (i + length > text.size()) {
            return i;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0u) != 0x80u) {
                return i;
            }
            point = (point << 6) | (next & 0x3Fu);
        }
        const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
        if (overlong || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) {
            return i;
        }
        i += length;
    }
    return std::string_view::npos;
}

// The text in quotes, with the bytes that would garble a log line (control characters, and
// every non-ASCII byte of text that is not UTF-8) written as \xNN.
std::string Quoted(std::string_view text) {
    const bool utf8 = BadUtf8At(text) == std::string_view::npos;
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || (!utf8 && byte >= 0x80)) {
            static constexpr char kHex[] = "0123456789abcdef";
            quoted += "\\x";
            quoted += kHex[byte >> 4];
            quoted += kHex[byte & 0x0Fu];
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

// What every text that goes into a topic needs: UTF-8, and no control characters (MQTT forbids
// U+0000 in topics, and the rest only make log lines and subscriptions unreadable).
std::string TopicTextProblem(std::string_view text) {
    if (const std::size_t at = BadUtf8At(text); at != std::string_view::npos) {
        return "is not valid UTF-8 (at byte " + std::to_string(at + 1) + ")";
    }
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return "contains a control character";
        }
    }
    return {};
}

}  // namespace

std::string CheckSparkplugId(std::string_view id) {
    if (id.empty()) {
        return "an id must not be empty";
    }
    if (std::string problem = TopicTextProblem(id); !problem.empty()) {
        return "the id " + Quoted(id) + " " + problem;
    }
    for (const char c : {'+', '/', '#'}) {
        if (id.find(c) != std::string_view::npos) {
            return "the id " + Quoted(id) + " contains '" + c +
                   "' (ids must not contain '+', '/' or '#')";
        }
    }
    return {};
}

std::string CheckTopicPrefix(std::string_view prefix) {
    if (prefix.empty()) {
        return "a topic prefix must not be empty";
    }
    if (std::string problem = TopicTextProblem(prefix); !problem.empty()) {
        return "the topic prefix " + Quoted(prefix) + " " + problem;
    }
    for (const char c : {'+', '#'}) {
        if (prefix.find(c) != std::string_view::npos) {
            return "the topic prefix " + Quoted(prefix) + " contains the wildcard '" + c + "'";
        }
    }
    if (prefix.front() == '$') {
        return "the topic prefix " + Quoted(prefix) +
               " begins with '$', which brokers keep for their own topics";
    }
    if (prefix.back() == '/') {
        return "the topic prefix " + Quoted(prefix) +
               " ends in '/', which would leave an empty topic level";
    }
    return {};
}

std::string CheckDeviceNames(const std::vector<Device>& devices) {
    std::set<std::string> seen;
    for (const Device& device : devices) {
        const std::string where = "VPI " + std::to_string(device.vpi) + " name: ";
        if (std::string problem = CheckSparkplugId(device.name); !problem.empty()) {
            return where + problem;
        }
        if (!seen.insert(device.name).second) {
            return where + "the name " + Quoted(device.name) + " is taken by another VPI";
        }
    }
    return {};
}

}  // namespace gateway
