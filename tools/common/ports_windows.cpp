// Ports on Windows: the system's serial-port map, names as the system takes them, and the
// system's word for an open that failed.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>

#include "port_names.hpp"

namespace vpitools {

std::vector<PortEntry> ListPorts() {
    std::vector<PortEntry> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return ports;
    }
    // Each value maps a device ("\Device\Serial0") to the name to open ("COM1").
    for (DWORD index = 0;; ++index) {
        char device[256];
        DWORD deviceSize = sizeof device;
        BYTE data[256];
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        const LONG result =
            RegEnumValueA(key, index, device, &deviceSize, nullptr, &type, data, &dataSize);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_SZ) continue;
        data[dataSize] = '\0';
        std::string name(reinterpret_cast<const char*>(data));
        while (!name.empty() && name.back() == '\0') name.pop_back();
        ports.push_back({name, device});
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end(), [](const PortEntry& a, const PortEntry& b) {
        const int na = ComNumber(a.name), nb = ComNumber(b.name);
        return na != nb ? na < nb : a.name < b.name;
    });
    return ports;
}

std::string ResolvePort(const std::string& name) { return name; }

std::string PortKey(const std::string& name) {
    if (IsNulName(name)) return "NUL";
    if (const int number = ComNumber(name)) return "COM" + std::to_string(number);
    std::string key = StripDevicePrefix(name);
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    });
    return key;
}

PortDiagnosis DiagnosePort(const std::string& name, unsigned long osError) {
    PortDiagnosis result;
    result.name = name;
    result.device = name;
    DWORD error = osError;
    if (error == 0) {
        // Try it as the driver does: exclusive, read and write.
        HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
            result.reason = "opens now; it may have been busy for a moment";
            return result;
        }
        error = GetLastError();
    }
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            result.reason = "no such port";
            if (ComNumber(name) >= 10 && name.rfind("\\\\.\\", 0) != 0) {
                // Windows finds COM10 and above only under their device name: say so when
                // that name would have worked.
                const std::string device = "\\\\.\\COM" + std::to_string(ComNumber(name));
                HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                            nullptr, OPEN_EXISTING, 0, nullptr);
                if (handle != INVALID_HANDLE_VALUE) {
                    CloseHandle(handle);
                    result.reason += "; COM10 and above are written " + device;
                }
            }
            break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            result.reason = "busy: another program has it open (" + OsErrorText(error) + ")";
            break;
        default:
            result.reason = OsErrorText(error);
    }
    return result;
}

}  // namespace vpitools
