#include "initfile.hpp"

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

InitFileResult WriteInitFile(const std::string& folder, int vpiNumber, int statusWait,
                             std::string* why) {
    std::filesystem::path path = folder.empty() ? std::filesystem::path(InitFileName(vpiNumber))
                                                : std::filesystem::path(folder) / InitFileName(vpiNumber);
    const std::string wanted = "TIME=" + std::to_string(statusWait) + "\n" + kInitFileMark + "\n";
    std::error_code error;
    if (std::filesystem::exists(path, error)) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        std::string current = text.str();
        std::size_t firstEnd = current.find('\n');
        std::string second = firstEnd == std::string::npos ? "" : current.substr(firstEnd + 1);
        if (std::size_t end = second.find('\n'); end != std::string::npos) second.resize(end);
        if (!second.empty() && second.back() == '\r') second.pop_back();
        if (second != kInitFileMark) return InitFileResult::Foreign;
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

}  // namespace vpihost
