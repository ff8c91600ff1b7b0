#include "configtext.hpp"

namespace vpihost {

namespace {

bool IsAscii(char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; }

// Walks the text keeping line and column (in characters: UTF-8 continuation bytes do not count).
class Cursor {
public:
    explicit Cursor(std::string_view text) : text_(text) {}

    bool AtEnd() const { return at_ >= text_.size(); }
    char Peek(std::size_t ahead = 0) const { return at_ + ahead < text_.size() ? text_[at_ + ahead] : '\0'; }
    bool LooksAt(std::string_view s) const { return text_.substr(at_, s.size()) == s; }
    void Step() {
        if (AtEnd()) return;
        if (text_[at_] == '\n') {
            ++line_;
            column_ = 1;
        } else if ((static_cast<unsigned char>(text_[at_]) & 0xC0) != 0x80) {
            ++column_;
        }
        ++at_;
    }
    void Step(std::size_t n) {
        for (std::size_t i = 0; i < n && !AtEnd(); ++i) Step();
    }
    // The closing delimiter of a multi-line string may carry up to two more quotes of its kind,
    // which belong to the string.
    void StepOverClosing(char quote) {
        std::size_t run = 0;
        while (Peek(run) == quote && run < 5) ++run;
        Step(run);
    }
    TextPlace Here(std::string what) const { return TextPlace{line_, column_, std::move(what)}; }

private:
    std::string_view text_;
    std::size_t at_ = 0;
    int line_ = 1;
    int column_ = 1;
};

const char* const kOutside =
    "a character that is not ASCII outside quotes; only strings and comments may hold one";
const char* const kAfterBackslash =
    "a character that is not ASCII right after a backslash in a string; write it as \\uXXXX";

enum class In { Settings, Comment, Basic, MultiBasic, Literal, MultiLiteral };

// A quote opens a string only where a key or a value can begin: at the start of a line, after
// "=", "[", ",", "{" or the "." of a dotted key. Elsewhere it is one more character of a bare word
// the reader is reading through (and classifying), as in `10'x'`.
bool StringMayStartAfter(char last) {
    return last == '\n' || last == '=' || last == '[' || last == ',' || last == '{' || last == '.';
}

}  // namespace

std::optional<TextPlace> FindCharacterTheReaderCannotTake(std::string_view text) {
    Cursor c(text);
    In in = In::Settings;
    char last = '\n';  // the last character of the settings that was not a blank
    while (!c.AtEnd()) {
        const char ch = c.Peek();
        switch (in) {
        case In::Settings:
            if (!IsAscii(ch)) return c.Here(kOutside);
            if (ch == '#') {
                in = In::Comment;
            } else if (!StringMayStartAfter(last)) {
                // A quote here is part of a bare word.
            } else if (c.LooksAt("\"\"\"")) {
                in = In::MultiBasic;
                c.Step(2);
            } else if (c.LooksAt("'''")) {
                in = In::MultiLiteral;
                c.Step(2);
            } else if (ch == '"') {
                in = In::Basic;
            } else if (ch == '\'') {
                in = In::Literal;
            }
            if (ch != ' ' && ch != '\t' && ch != '\r') last = ch;
            c.Step();
            continue;
        case In::Comment:
            if (ch == '\n') {
                in = In::Settings;
                last = '\n';
            }
            c.Step();
            continue;
        case In::Literal:
            if (ch == '\'' || ch == '\n') in = In::Settings;
            if (ch == '\n') last = '\n';
            c.Step();
            continue;
        case In::MultiLiteral:
            if (c.LooksAt("'''")) {
                c.StepOverClosing('\'');
                in = In::Settings;
            } else {
                c.Step();
            }
            continue;
        case In::Basic:
        case In::MultiBasic:
            if (ch == '\\') {
                c.Step();
                bool trimmed = false;
                if (in == In::MultiBasic) {
                    // A line-ending backslash trims the white space and line ends after it; the
                    // reader classifies every character it trims and the first one it keeps.
                    while (c.Peek() == ' ' || c.Peek() == '\t' || c.Peek() == '\r' || c.Peek() == '\n') {
                        c.Step();
                        trimmed = true;
                    }
                }
                if (!c.AtEnd() && !IsAscii(c.Peek())) return c.Here(kAfterBackslash);
                // An escape takes the one character after the backslash; after a trim, the kept
                // character (perhaps the closing quotes) is read as any other.
                if (!trimmed) c.Step();
                continue;
            }
            if (in == In::Basic && (ch == '"' || ch == '\n')) {
                in = In::Settings;
                if (ch == '\n') last = '\n';
                c.Step();
            } else if (in == In::MultiBasic && c.LooksAt("\"\"\"")) {
                c.StepOverClosing('"');
                in = In::Settings;
            } else {
                c.Step();
            }
            continue;
        }
    }
    return std::nullopt;
}

}  // namespace vpihost
