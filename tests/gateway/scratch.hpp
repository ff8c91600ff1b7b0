// Scratch folders for the store and forwarding tests, and small file systems of a set size or
// read-only, mounted for one test, for a full disk and an unwritable store that are real.
#pragma once

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "scratch_folder.hpp"

namespace gatewaytest {

using testsupport::FreshFolder;
using testsupport::ReadAll;

// A tmpfs at `folder` for the life of the object. Mounting needs the right to (root, or a
// container that allows it); Mounted() says whether it worked and Why() why not.
class Tmpfs {
public:
    Tmpfs(const std::filesystem::path& folder, const std::string& options) : folder_(folder) {
        std::filesystem::create_directories(folder);
        if (mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0) {
            mounted_ = true;
        } else {
            why_ = std::string("cannot mount a tmpfs on ") + folder.string() + ": " + std::strerror(errno);
        }
    }
    ~Tmpfs() {
        if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
    }
    Tmpfs(const Tmpfs&) = delete;
    Tmpfs& operator=(const Tmpfs&) = delete;

    bool Mounted() const { return mounted_; }
    const std::string& Why() const { return why_; }
    // The same file system, read-only from now on (files open for writing make this fail).
    bool RemountReadOnly() {
        return mount("tmpfs", folder_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    std::filesystem::path folder_;
    bool mounted_ = false;
    std::string why_;
};

}  // namespace gatewaytest
