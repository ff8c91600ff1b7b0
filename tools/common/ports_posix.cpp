// Ports on Linux: the device folders, the driver's name resolution, and a look at a port that
// would not open (does it exist, may we open it, who holds it).
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "port_names.hpp"

namespace vpitools {

namespace {

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(dir);
    return names;
}

// "ttyS10" after "ttyS9": the number at the end counts as a number.
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t ia = a.find_last_not_of("0123456789") + 1;
    std::size_t ib = b.find_last_not_of("0123456789") + 1;
    if (a.compare(0, ia, b, 0, ib) != 0 || ia == a.size() || ib == b.size()) return a < b;
    return std::strtoul(a.c_str() + ia, nullptr, 10) < std::strtoul(b.c_str() + ib, nullptr, 10);
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return "";
    return resolved;
}

// Whether the process whose descriptors are listed in `fdFolder` has `device` open.
bool HoldsDevice(const std::string& fdFolder, const struct stat& device) {
    for (const std::string& fd : FolderEntries(fdFolder)) {
        struct stat target {};
        if (stat((fdFolder + "/" + fd).c_str(), &target) != 0) continue;
        if (S_ISCHR(target.st_mode) && target.st_rdev == device.st_rdev) return true;
    }
    return false;
}

// The other processes that have `device` open, as "1234 (socat)", from /proc; empty where
// /proc does not say (another user's processes are hidden from us unless we are root).
std::vector<std::string> Holders(const struct stat& device) {
    std::vector<std::string> holders;
    const pid_t self = getpid();
    for (const std::string& pid : FolderEntries("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        if (std::strtol(pid.c_str(), nullptr, 10) == self) continue;
        if (!HoldsDevice("/proc/" + pid + "/fd", device)) continue;
        std::string command;
        std::ifstream comm("/proc/" + pid + "/comm");
        std::getline(comm, command);
        holders.push_back(pid + (command.empty() ? "" : " (" + command + ")"));
    }
    return holders;
}

std::string PermissionText(const std::string& device, const struct stat& info) {
    char mode[11] = "----------";
    mode[0] = S_ISCHR(info.st_mode) ? 'c' : '-';
    const mode_t bits[9] = {S_IRUSR, S_IWUSR, S_IXUSR, S_IRGRP, S_IWGRP,
                            S_IXGRP, S_IROTH, S_IWOTH, S_IXOTH};
    for (int i = 0; i < 9; ++i) {
        if (info.st_mode & bits[i]) mode[i + 1] = "rwx"[i % 3];
    }
    std::string owner = std::to_string(info.st_uid);
    if (const passwd* user = getpwuid(info.st_uid)) owner = user->pw_name;
    std::string group = std::to_string(info.st_gid);
    if (const struct group* g = getgrgid(info.st_gid)) group = g->gr_name;
    std::string text = "permission denied: " + device + " is " + mode + " " + owner + ":" + group;
    if (info.st_mode & S_IRWXG) text += "; add this user to group " + group + " and log in again";
    return text;
}

}  // namespace

std::vector<PortEntry> ListPorts() {
    std::vector<PortEntry> ports;
    std::vector<std::string> names;
    for (const std::string& name : FolderEntries("/dev")) {
        if (name.rfind("ttyS", 0) == 0 || name.rfind("ttyUSB", 0) == 0 ||
            name.rfind("ttyACM", 0) == 0) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    ports.reserve(names.size());
    for (const std::string& name : names) ports.push_back({"/dev/" + name, ""});
    // The stable names: they survive a re-plug that renumbers ttyUSB0 as ttyUSB1.
    std::vector<std::string> links = FolderEntries("/dev/serial/by-id");
    std::sort(links.begin(), links.end());
    ports.reserve(ports.size() + links.size());
    for (const std::string& link : links) {
        const std::string path = "/dev/serial/by-id/" + link;
        std::string target = RealPath(path);
        ports.push_back({path, target.empty() ? "(dangling link)" : target});
    }
    return ports;
}

std::string ResolvePort(const std::string& name) {
    if (name.empty()) return "";
    if (name[0] == '/') return name;
    if (IsNulName(name)) return "/dev/null";
    const int number = ComNumber(name);
    if (number == 0) return "";
    const char* dir = std::getenv("VPIVG_DEVICE_DIR");
    if (dir != nullptr && dir[0] != '\0') return std::string(dir) + "/com" + std::to_string(number);
    return "/dev/ttyS" + std::to_string(number - 1);
}

std::string PortKey(const std::string& name) {
    const std::string device = ResolvePort(name);
    if (!device.empty()) {
        std::string real = RealPath(device);
        if (!real.empty()) return real;
    }
    if (IsNulName(name)) return "NUL";
    if (const int number = ComNumber(name)) return "COM" + std::to_string(number);
    return device.empty() ? name : device;
}

PortDiagnosis DiagnosePort(const std::string& name, unsigned long osError) {
    PortDiagnosis result;
    result.name = name;
    result.device = ResolvePort(name);
    if (result.device.empty()) {
        result.reason = "not a port name (COM1, COM2, ..., NUL or a path beginning with /)";
        return result;
    }
    struct stat link {};
    struct stat info {};
    if (lstat(result.device.c_str(), &link) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            result.reason = OsErrorText(LastOsError());
            return result;
        }
        result.reason = "no such device";
        if (ComNumber(name) != 0 && std::getenv("VPIVG_DEVICE_DIR") != nullptr) {
            result.reason += " (no link com" + std::to_string(ComNumber(name)) +
                             " in VPIVG_DEVICE_DIR)";
        }
        return result;
    }
    if (stat(result.device.c_str(), &info) != 0) {
        char target[PATH_MAX];
        ssize_t n = readlink(result.device.c_str(), target, sizeof target - 1);
        target[n > 0 ? n : 0] = '\0';
        result.reason = std::string("no such device: the link points to ") +
                        (n > 0 ? target : "nothing") + ", which is gone (adapter unplugged?)";
        return result;
    }
    const std::string real = RealPath(result.device);
    if (!real.empty() && real != result.device) result.device += " -> " + real;
    if (access(real.empty() ? result.device.c_str() : real.c_str(), R_OK | W_OK) != 0 &&
        errno == EACCES) {
        result.reason = PermissionText(real.empty() ? result.device : real, info);
        return result;
    }
    if (S_ISCHR(info.st_mode)) {
        std::vector<std::string> holders = Holders(info);
        if (!holders.empty()) {
            result.reason = "busy: held by process";
            if (holders.size() > 1) result.reason += "es";
            for (std::size_t i = 0; i < holders.size(); ++i) {
                result.reason += (i ? ", " : " ") + holders[i];
            }
            return result;
        }
    }
    // Try it as the driver's layer does: a refused exclusive open or lock is a holder that
    // /proc does not show us.
    int fd = open(real.empty() ? result.device.c_str() : real.c_str(),
                  O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // No other process holds it (as far as /proc tells): a refusal may be this process's own
    // open of the device, under another name or not yet let go.
    auto busyText = [&](const char* how) {
        if (S_ISCHR(info.st_mode) && HoldsDevice("/proc/self/fd", info)) {
            return std::string("busy: ") + how + " by this program itself (it holds the device " +
                   "already, perhaps under another name)";
        }
        return std::string("busy: ") + how + " by another process";
    };
    if (fd < 0) {
        const int error = errno;
        result.reason = error == EBUSY ? busyText("opened exclusively")
                                       : OsErrorText(static_cast<unsigned long>(error));
        return result;
    }
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    termios attributes{};
    const bool terminal = tcgetattr(fd, &attributes) == 0;
    close(fd);
    if (locked) {
        result.reason = busyText("locked");
    } else if (!terminal && !S_ISCHR(info.st_mode)) {
        result.reason = "not a serial device";
    } else if (!terminal) {
        result.reason = "not a serial device (" + OsErrorText(ENOTTY) + ")";
    } else if (osError != 0) {
        result.reason = OsErrorText(osError);
    } else {
        result.reason = "opens now; it may have been busy for a moment";
    }
    return result;
}

}  // namespace vpitools
