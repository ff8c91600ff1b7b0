// The few calls the tool library needs from a POSIX system: error texts and files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "os.hpp"
#include "ports.hpp"

namespace vpitools {

const unsigned long kFileExistsError = EEXIST;

unsigned long LastOsError() { return static_cast<unsigned long>(errno); }

void ClearOsError() { errno = 0; }

std::string OsErrorText(unsigned long error) {
    char buffer[256];
    // The GNU strerror_r gives its text back; it may or may not use the buffer.
    const char* text = strerror_r(static_cast<int>(error), buffer, sizeof buffer);
    std::string result = text ? text : "error " + std::to_string(error);
    if (!result.empty() && result[0] >= 'A' && result[0] <= 'Z') result[0] = static_cast<char>(result[0] - 'A' + 'a');
    return result;
}

std::FILE* CreateOutputFile(const std::string& path, OpenMode mode, unsigned long* error) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (mode == OpenMode::New) flags |= O_EXCL;
    if (mode == OpenMode::Replace) flags |= O_TRUNC;
    if (mode == OpenMode::Append) flags |= O_APPEND;
    int fd;
    do {
        fd = open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = LastOsError();
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        *error = LastOsError();
        close(fd);
    }
    return file;
}

long long FileSize(std::FILE* file) {
    struct stat info {};
    if (fstat(fileno(file), &info) != 0) return -1;
    return static_cast<long long>(info.st_size);
}

bool CutFile(std::FILE* file, long long size) {
    return ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
}


}  // namespace vpitools
