// A check of the config file's characters before the TOML reader sees them.
//
// The TOML reader we build against (toml++ 3.3 as Debian 12 ships it) classifies a non-ASCII
// character wherever it may have to skip white space: at the start of a line, between the parts
// of a setting, inside a number or date, right after a backslash in a string. For most
// non-ASCII characters that classification runs off the end of its own table into undefined
// behaviour. Valid TOML has non-ASCII characters only inside strings and comments, so the host
// finds any other one first and names it, and the reader never meets it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vpihost {

struct TextPlace {
    int line = 0;    // from 1
    int column = 0;  // from 1, in characters
    std::string what;
};

// The first non-ASCII character outside a string or a comment, or one where a backslash in a
// string (an escape, or a line-ending backslash with the white space it trims) would make the
// reader classify it; nullopt when there is none.
std::optional<TextPlace> FindCharacterTheReaderCannotTake(std::string_view text);

}  // namespace vpihost
