// The few calls the tool library needs from Windows: error texts and files.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include "os.hpp"
#include "ports.hpp"

namespace vpitools {

const unsigned long kFileExistsError = ERROR_FILE_EXISTS;

unsigned long LastOsError() { return GetLastError(); }

void ClearOsError() { SetLastError(0); }

std::string OsErrorText(unsigned long error) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result;
    if (n != 0 && text != nullptr) result.assign(text, n);
    if (text != nullptr) LocalFree(text);
    // The system's texts end in ".\r\n"; ours go inside a sentence.
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                               result.back() == '.' || result.back() == ' ')) {
        result.pop_back();
    }
    if (result.empty()) result = "error";
    if (result[0] >= 'A' && result[0] <= 'Z') result[0] = static_cast<char>(result[0] - 'A' + 'a');
    return result + " (error " + std::to_string(error) + ")";
}

std::FILE* CreateOutputFile(const std::string& path, OpenMode mode, unsigned long* error) {
    const DWORD disposition = mode == OpenMode::New       ? CREATE_NEW
                              : mode == OpenMode::Replace ? CREATE_ALWAYS
                                                          : OPEN_ALWAYS;
    // Appending asks for FILE_APPEND_DATA alone, so every write goes to the end.
    const DWORD access = mode == OpenMode::Append ? FILE_APPEND_DATA : GENERIC_WRITE;
    HANDLE handle = CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle),
                                   _O_WRONLY | _O_BINARY | (mode == OpenMode::Append ? _O_APPEND : 0));
    if (fd < 0) {
        *error = GetLastError();
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) {
        *error = GetLastError();
        _close(fd);
    }
    return file;
}

long long FileSize(std::FILE* file) {
    LARGE_INTEGER size{};
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (!GetFileSizeEx(handle, &size)) return -1;
    return size.QuadPart;
}

bool CutFile(std::FILE* file, long long size) {
    return _chsize_s(_fileno(file), size) == 0;
}


}  // namespace vpitools
