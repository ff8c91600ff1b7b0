#include "initfile.hpp"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vpihost {

const char* const kInitFileMark =
    "; written by vpivg-host from its status-wait setting; it rewrites this file while this line stands";

std::string InitFileName(int vpiNumber) {
    char name[32];
    std::snprintf(name, sizeof name, "vpiVG%.2d.int", vpiNumber);
    return name;
}

namespace {

std::filesystem::path InitFilePath(const std::string& folder, int vpiNumber) {
    return folder.empty() ? std::filesystem::path(InitFileName(vpiNumber))
                          : std::filesystem::path(folder) / InitFileName(vpiNumber);
}

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The host's mark stands alone on the second line.
bool Marked(const std::string& text) {
    std::size_t firstEnd = text.find('\n');
    std::string second = firstEnd == std::string::npos ? "" : text.substr(firstEnd + 1);
    if (std::size_t end = second.find('\n'); end != std::string::npos) second.resize(end);
    if (!second.empty() && second.back() == '\r') second.pop_back();
    return second == kInitFileMark;
}

}  // namespace

InitFileResult WriteInitFile(const std::string& folder, int vpiNumber, int statusWait,
                             std::string* why) {
    const std::filesystem::path path = InitFilePath(folder, vpiNumber);
    const std::string wanted = "TIME=" + std::to_string(statusWait) + "\n" + kInitFileMark + "\n";
    std::error_code error;
    if (std::filesystem::exists(path, error)) {
        std::string current = ReadText(path);
        if (!Marked(current)) return InitFileResult::Foreign;
        if (current == wanted) return InitFileResult::Unchanged;
    }
    std::filesystem::path side = path;
    side += ".new";
    std::FILE* file = std::fopen(side.string().c_str(), "wb");
    if (!file) {
        *why = "cannot write " + side.string() + ": " + std::strerror(errno);
        return InitFileResult::Failed;
    }
    errno = 0;
    bool ok = std::fwrite(wanted.data(), 1, wanted.size(), file) == wanted.size() && std::fflush(file) == 0;
    int writeError = errno ? errno : EIO;
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        writeError = errno ? errno : EIO;
    }
    if (!ok) {
        *why = "cannot write " + path.string() + ": " + std::strerror(writeError);
        std::filesystem::remove(side, error);
        return InitFileResult::Failed;
    }
    std::filesystem::rename(side, path, error);
    if (error) {
        *why = "cannot write " + path.string() + ": " + error.message();
        std::filesystem::remove(side, error);
        return InitFileResult::Failed;
    }
    return InitFileResult::Written;
}

InitFileRemoval RemoveInitFile(const std::string& folder, int vpiNumber, std::string* why) {
    const std::filesystem::path path = InitFilePath(folder, vpiNumber);
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return InitFileRemoval::Absent;
    if (!Marked(ReadText(path))) return InitFileRemoval::Foreign;
    if (!std::filesystem::remove(path, error) && error) {
        *why = "cannot remove " + path.string() + ": " + error.message();
        return InitFileRemoval::Failed;
    }
    return InitFileRemoval::Removed;
}

int StatusWaitFromFile(const std::string& folder, int vpiNumber) {
    std::ifstream in(InitFilePath(folder, vpiNumber), std::ios::binary);
    if (!in) return kDriverStatusWaitMs;
    // As the driver reads it: at most 20 characters of the first line, of which it keeps the
    // first 8 that are neither blanks, control characters nor bytes above 0x7F.
    std::string kept;
    for (int examined = 0; examined < 20 && kept.size() < 8; ++examined) {
        int c = in.get();
        if (c == EOF || c == '\n') break;
        if (c > ' ' && c < 0x80) kept += static_cast<char>(std::toupper(c));
    }
    if (kept.rfind("TIME=", 0) != 0) return kDriverStatusWaitMs;
    long wait = 0;
    for (char c : kept.substr(5)) {
        if (c < '0' || c > '9') break;
        wait = wait * 10 + (c - '0');
    }
    return wait >= 30 && wait <= 120 ? static_cast<int>(wait) : kDriverStatusWaitMs;
}

}  // namespace vpihost
