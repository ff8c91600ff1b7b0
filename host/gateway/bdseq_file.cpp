#include "bdseq_file.hpp"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

namespace gateway {

namespace {

std::string Reason() { return std::strerror(errno); }

// Writes `text` to `path` whole or not at all: a side file, synced, then renamed over it.
bool WriteWhole(const std::string& path, const std::string& text, std::string* why) {
    const std::string side = path + ".new";
    int fd = ::open(side.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *why = "cannot write " + side + ": " + Reason();
        return false;
    }
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *why = "cannot write " + side + ": " + Reason();
            ::close(fd);
            ::unlink(side.c_str());
            return false;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        *why = "cannot write " + side + " to disk: " + Reason();
        ::close(fd);
        ::unlink(side.c_str());
        return false;
    }
    if (::close(fd) != 0) {
        *why = "cannot write " + side + ": " + Reason();
        ::unlink(side.c_str());
        return false;
    }
    if (::rename(side.c_str(), path.c_str()) != 0) {
        *why = "cannot rename " + side + " to " + path + ": " + Reason();
        ::unlink(side.c_str());
        return false;
    }
    return true;
}

}  // namespace

BdSeqFile::BdSeqFile(std::string path) : path_(std::move(path)) {}

std::optional<std::uint64_t> BdSeqFile::Last(std::string* why) const {
    std::ifstream in(path_, std::ios::binary);
    if (!in) {
        if (errno != ENOENT) *why = "cannot read " + path_ + ": " + Reason();
        return std::nullopt;
    }
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    unsigned value = 0;
    auto result = std::from_chars(line.data(), line.data() + line.size(), value);
    if (line.empty() || result.ec != std::errc() || result.ptr != line.data() + line.size() || value > 255) {
        *why = path_ + " holds no number from 0 to 255 ('" + line.substr(0, 20) + "')";
        return std::nullopt;
    }
    return value;
}

std::uint64_t BdSeqFile::Next(std::string* why) {
    std::string readWhy;
    std::optional<std::uint64_t> last = last_ ? last_ : Last(&readWhy);
    std::uint64_t next = last ? (*last + 1) % 256 : 0;
    last_ = next;
    if (!WriteWhole(path_, std::to_string(next) + "\n", why)) return next;
    if (!readWhy.empty()) *why = readWhy + "; started again from 0";
    return next;
}

}  // namespace gateway
