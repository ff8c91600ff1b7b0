#include "number_list.hpp"

#include <algorithm>

namespace vpitools {

namespace {

std::string_view Trim(std::string_view text) {
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// Plain decimal digits only: no sign, and short enough that the value cannot overflow.
bool Number(std::string_view text, int* out) {
    text = Trim(text);
    if (text.empty() || text.size() > 6) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    *out = value;
    return true;
}

}  // namespace

bool ParseNumberList(std::string_view text, int low, int high, std::vector<int>* numbers,
                     std::string* why) {
    auto fail = [&](const std::string& what) {
        if (why) *why = what;
        return false;
    };
    if (Trim(text).empty()) return fail("empty list");
    std::vector<int> result;
    while (true) {
        std::size_t comma = text.find(',');
        std::string_view item = Trim(text.substr(0, comma));
        std::size_t dash = item.find('-');
        int first = 0, last = 0;
        if (dash == std::string_view::npos) {
            if (!Number(item, &first)) return fail("'" + std::string(item) + "' is not a number");
            last = first;
        } else {
            if (!Number(item.substr(0, dash), &first) || !Number(item.substr(dash + 1), &last)) {
                return fail("'" + std::string(item) + "' is not a range like 1-3");
            }
            if (last < first) return fail("range " + std::string(item) + " runs backwards");
        }
        if (first < low || last > high) {
            return fail(std::string(item) + " is outside " + std::to_string(low) + ".." +
                        std::to_string(high));
        }
        for (int v = first; v <= last; ++v) result.push_back(v);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    std::sort(result.begin(), result.end());
    result.erase(std::unique(result.begin(), result.end()), result.end());
    *numbers = std::move(result);
    return true;
}

}  // namespace vpitools
