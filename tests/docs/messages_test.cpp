// The message table in docs/messages.md against the driver's code: every format the driver hands
// to err() must have its row, and every row must still be a message the driver can log. Plant
// engineers look messages up in that table, so a reworded or new message must not slip past it.
//
// The driver's sources are read as text from the tree this build was configured from
// (VPIVG_SOURCE_DIR). A test program run where that tree cannot be read (a copied-out Windows
// build) skips instead of failing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifndef VPIVG_SOURCE_DIR
#define VPIVG_SOURCE_DIR ""
#endif

namespace {

namespace fs = std::filesystem;

// One err(level, "format", ...) call found in a source file.
struct LogCall {
    std::string format;               // the literal as written, adjacent literals joined
    std::optional<int> level;         // when the level is a number or a named constant
    std::string where;                // file:line, for the failure text
};

// What the scanner could not read as a call with a literal format.
struct ScanResult {
    std::vector<LogCall> calls;
    std::vector<std::string> problems;
};

bool IsIdentifierChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// A tiny C++ reader: enough to tell code from comments, string and character literals, so that
// "err(" inside a comment or a string is never taken for a call.
class Scanner {
public:
    Scanner(std::string text, std::string file) : text_(std::move(text)), file_(std::move(file)) {}

    ScanResult Scan() {
        ReadLevelConstants();
        ScanResult result;
        std::size_t i = 0;
        while (i < text_.size()) {
            if (SkipNonCode(&i)) continue;
            if (text_.compare(i, 3, "err") == 0 && (i == 0 || !IsIdentifierChar(text_[i - 1])) &&
                (i + 3 >= text_.size() || !IsIdentifierChar(text_[i + 3])) &&
                (i == 0 || text_[i - 1] != '.') && (i < 2 || text_.compare(i - 2, 2, "->") != 0)) {
                std::size_t open = i + 3;
                SkipBlanks(&open);
                if (open < text_.size() && text_[open] == '(') {
                    ReadCall(i, open + 1, &result);
                    i = open + 1;
                    continue;
                }
            }
            ++i;
        }
        return result;
    }

private:
    // Skips one comment, string or character literal starting at *i; false when *i is code.
    bool SkipNonCode(std::size_t* i) const {
        const std::size_t at = *i;
        if (text_.compare(at, 2, "//") == 0) {
            std::size_t end = text_.find('\n', at);
            *i = end == std::string::npos ? text_.size() : end;
            return true;
        }
        if (text_.compare(at, 2, "/*") == 0) {
            std::size_t end = text_.find("*/", at + 2);
            *i = end == std::string::npos ? text_.size() : end + 2;
            return true;
        }
        if (text_[at] == '"' || text_[at] == '\'') {
            *i = LiteralEnd(at);
            return true;
        }
        return false;
    }

    // Index just past the literal that opens at `at` (a quote), escapes honoured.
    std::size_t LiteralEnd(std::size_t at) const {
        const char quote = text_[at];
        std::size_t i = at + 1;
        while (i < text_.size() && text_[i] != quote) {
            if (text_[i] == '\\') ++i;
            ++i;
        }
        return std::min(i + 1, text_.size());
    }

    void SkipBlanks(std::size_t* i) const {
        while (*i < text_.size()) {
            if (std::isspace(static_cast<unsigned char>(text_[*i]))) {
                ++*i;
            } else if (text_.compare(*i, 2, "//") == 0 || text_.compare(*i, 2, "/*") == 0) {
                SkipNonCode(i);
            } else {
                break;
            }
        }
    }

    std::string Where(std::size_t at) const {
        return file_ + ":" + std::to_string(1 + std::count(text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
    }

    // `constexpr int kLevelInfo = 32;` and the like, so named levels can be checked too.
    void ReadLevelConstants() {
        static const std::regex kConstant(
            R"((?:constexpr|const)\s+(?:int|unsigned|std::int32_t|std::uint8_t)\s+(\w+)\s*=\s*(\d+)\s*;)");
        for (auto it = std::sregex_iterator(text_.begin(), text_.end(), kConstant);
             it != std::sregex_iterator(); ++it) {
            constants_[(*it)[1].str()] = std::stoi((*it)[2].str());
        }
    }

    std::optional<int> Level(std::string text) const {
        text.erase(std::remove_if(text.begin(), text.end(),
                                  [](char c) { return std::isspace(static_cast<unsigned char>(c)); }),
                   text.end());
        if (!text.empty() && std::all_of(text.begin(), text.end(),
                                         [](char c) { return c >= '0' && c <= '9'; })) {
            return std::stoi(text);
        }
        auto constant = constants_.find(text);
        if (constant != constants_.end()) return constant->second;
        return std::nullopt;  // a variable: the level is decided at run time
    }

    // Reads the arguments of the call whose "(" ends just before `i`.
    void ReadCall(std::size_t name, std::size_t i, ScanResult* result) const {
        // First argument: up to the comma at depth 0.
        const std::size_t levelStart = i;
        int depth = 0;
        while (i < text_.size()) {
            if (SkipNonCode(&i)) continue;
            const char c = text_[i];
            if (c == '(' || c == '[' || c == '{') ++depth;
            if (c == ')' || c == ']' || c == '}') {
                if (depth == 0) break;
                --depth;
            }
            if (c == ',' && depth == 0) break;
            ++i;
        }
        if (i >= text_.size() || text_[i] != ',') {
            result->problems.push_back(Where(name) + ": err( without a format argument");
            return;
        }
        const std::string levelText = text_.substr(levelStart, i - levelStart);
        ++i;

        // Second argument: one or more adjacent string literals, and nothing else.
        std::string format;
        bool any = false;
        SkipBlanks(&i);
        while (i < text_.size() && text_[i] == '"') {
            const std::size_t end = LiteralEnd(i);
            format += text_.substr(i + 1, end - i - 2);
            any = true;
            i = end;
            SkipBlanks(&i);
        }
        if (!any || i >= text_.size() || (text_[i] != ',' && text_[i] != ')')) {
            result->problems.push_back(Where(name) +
                                       ": the format of this err() call is not a plain string "
                                       "literal, so the message table cannot be checked against it");
            return;
        }
        result->calls.push_back(LogCall{format, Level(levelText), Where(name)});
    }

    std::string text_;
    std::string file_;
    std::map<std::string, int> constants_;
};

ScanResult ScanText(const std::string& text, const std::string& file = "test.cpp") {
    return Scanner(text, file).Scan();
}

// One row of the message table: the format between `"` and `"`, and the levels its level
// column names.
struct TableRow {
    std::string format;
    std::set<int> levels;
    int line = 0;
};

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Rows whose first cell is a code span holding a double-quoted text; every other line of the
// page (prose, headers, other tables) is not a message entry.
std::vector<TableRow> ReadTable(const std::string& page) {
    std::vector<TableRow> rows;
    std::istringstream lines(page);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("|", 0) != 0) continue;
        std::vector<std::string> cells;
        std::size_t start = 1;
        for (std::size_t bar = line.find('|', start); bar != std::string::npos;
             bar = line.find('|', start)) {
            cells.push_back(line.substr(start, bar - start));
            start = bar + 1;
        }
        if (cells.size() < 2) continue;
        const std::string first = Trim(cells[0]);
        if (first.size() < 4 || first.rfind("`\"", 0) != 0 ||
            first.compare(first.size() - 2, 2, "\"`") != 0) {
            continue;
        }
        TableRow row;
        row.format = first.substr(2, first.size() - 4);
        row.line = number;
        static const std::regex kNumber(R"(\d+)");
        const std::string levels = cells[1];
        for (auto it = std::sregex_iterator(levels.begin(), levels.end(), kNumber);
             it != std::sregex_iterator(); ++it) {
            row.levels.insert(std::stoi(it->str()));
        }
        rows.push_back(row);
    }
    return rows;
}

std::optional<std::string> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

fs::path SourceDir() { return fs::path(VPIVG_SOURCE_DIR); }

// --- the reader itself ----------------------------------------------------------------------

TEST(MessageScanner, FindsCallsAndJoinsSplitLiterals) {
    const ScanResult found = ScanText(
        "void f() {\n"
        "    err(32, \"VPIVG: one %d\", x);\n"
        "    err(kLevelInfo,\n"
        "        \"VPIVG: split \"\n"
        "        \"across lines\");\n"
        "    err(level & 0xFF, \"\");\n"
        "}\n"
        "constexpr int kLevelInfo = 32;\n");
    ASSERT_TRUE(found.problems.empty());
    ASSERT_EQ(found.calls.size(), 3u);
    EXPECT_EQ(found.calls[0].format, "VPIVG: one %d");
    EXPECT_EQ(found.calls[0].level, 32);
    EXPECT_EQ(found.calls[1].format, "VPIVG: split across lines");
    EXPECT_EQ(found.calls[1].level, 32);
    EXPECT_EQ(found.calls[1].where, "test.cpp:3");
    EXPECT_EQ(found.calls[2].format, "");
    EXPECT_FALSE(found.calls[2].level.has_value());
}

TEST(MessageScanner, IgnoresCommentsStringsAndOtherNames) {
    const ScanResult found = ScanText(
        "// err(32, \"in a line comment\");\n"
        "/* err(32, \"in a block comment\"); */\n"
        "const char* s = \"err(32, \\\"in a string\\\")\";\n"
        "int n = Zel5err(1, 2) + errors(3) + obj.err(4, \"member\") + p->err(5, \"member\");\n"
        "err(8, \"kept: a ')' and a ',' inside\", Value(a, b));\n");
    ASSERT_TRUE(found.problems.empty());
    ASSERT_EQ(found.calls.size(), 1u);
    EXPECT_EQ(found.calls[0].format, "kept: a ')' and a ',' inside");
    EXPECT_EQ(found.calls[0].level, 8);
}

TEST(MessageScanner, ReportsFormatsItCannotCheck) {
    EXPECT_EQ(ScanText("err(32, text);").problems.size(), 1u);
    EXPECT_EQ(ScanText("err(32, \"a\" + suffix);").problems.size(), 1u);
    EXPECT_EQ(ScanText("err(32);").problems.size(), 1u);
}

TEST(MessageTable, ReadsOnlyQuotedFirstCells) {
    const auto rows = ReadTable(
        "| Message | Level |\n"
        "|---|---|\n"
        "| `\"VPIVG: Comms fail! Vpi=%d \"` | 32 | when |\n"
        "| `\"\"` | 8 or 0 | blank line |\n"
        "| `CmdStart` | 1 | not a message |\n"
        "text | `\"not a row\"` | 3 |\n");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].format, "VPIVG: Comms fail! Vpi=%d ");
    EXPECT_EQ(rows[0].levels, (std::set<int>{32}));
    EXPECT_EQ(rows[1].format, "");
    EXPECT_EQ(rows[1].levels, (std::set<int>{0, 8}));
}

// --- the table against the driver ------------------------------------------------------------

TEST(MessageTable, ListsExactlyTheDriversMessages) {
    const fs::path root = SourceDir();
    std::error_code error;
    if (root.empty() || !fs::is_directory(root / "driver", error)) {
        GTEST_SKIP() << "the source tree (" << root.string() << ") cannot be read from here";
    }
    const auto page = ReadFile(root / "docs" / "messages.md");
    ASSERT_TRUE(page.has_value()) << "docs/messages.md is missing";

    std::vector<fs::path> sources;
    for (const auto& entry : fs::recursive_directory_iterator(root / "driver")) {
        if (entry.is_regular_file() && entry.path().extension() == ".cpp") {
            sources.push_back(entry.path());
        }
    }
    std::sort(sources.begin(), sources.end());
    ASSERT_FALSE(sources.empty());

    std::vector<LogCall> calls;
    for (const fs::path& source : sources) {
        const auto text = ReadFile(source);
        ASSERT_TRUE(text.has_value()) << source.string();
        const std::string name = fs::relative(source, root, error).generic_string();
        ScanResult found = Scanner(*text, name).Scan();
        for (const std::string& problem : found.problems) ADD_FAILURE() << problem;
        calls.insert(calls.end(), found.calls.begin(), found.calls.end());
    }
    ASSERT_GT(calls.size(), 20u) << "the driver's err() calls were not found";

    std::map<std::string, TableRow> table;
    for (const TableRow& row : ReadTable(*page)) {
        if (!table.emplace(row.format, row).second) {
            ADD_FAILURE() << "docs/messages.md:" << row.line << " lists \"" << row.format
                          << "\" a second time";
        }
    }

    std::set<std::string> inCode;
    for (const LogCall& call : calls) {
        inCode.insert(call.format);
        auto row = table.find(call.format);
        if (row == table.end()) {
            ADD_FAILURE() << call.where << " logs \"" << call.format
                          << "\", which docs/messages.md does not list; add the row\n"
                          << "| `\"" << call.format << "\"` | "
                          << (call.level ? std::to_string(*call.level) : std::string("?"))
                          << " | when it appears | what to do |";
            continue;
        }
        if (call.level && row->second.levels.count(*call.level) == 0) {
            ADD_FAILURE() << call.where << " logs \"" << call.format << "\" at level "
                          << *call.level << ", but docs/messages.md:" << row->second.line
                          << " does not give that level";
        }
    }
    for (const auto& [format, row] : table) {
        if (inCode.count(format) == 0) {
            ADD_FAILURE() << "docs/messages.md:" << row.line << " lists \"" << format
                          << "\", which no err() call in driver/ logs any more";
        }
    }
}

}  // namespace
