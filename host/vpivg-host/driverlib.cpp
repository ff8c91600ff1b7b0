#include "driverlib.hpp"

#include <filesystem>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace vpihost {

std::string ProgramFolder() {
#if defined(_WIN32)
    char path[1024];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return "";
    return std::filesystem::path(std::string(path, n)).parent_path().string();
#else
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? "" : self.parent_path().string();
#endif
}

VpiMainFunction LoadDriver(const std::string& path, std::string* why) {
#if defined(_WIN32)
    std::string file = path.empty() ? DefaultDriverPath() : path;
    HMODULE module = LoadLibraryA(file.c_str());
    if (!module) {
        *why = "cannot load " + file + " (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    FARPROC entry = GetProcAddress(module, "VpiMain");
    if (!entry) entry = GetProcAddress(module, "_VpiMain@4");
    if (!entry) {
        *why = file + " exports no VpiMain";
        return nullptr;
    }
    return reinterpret_cast<VpiMainFunction>(reinterpret_cast<void*>(entry));
#else
    std::string file = path.empty() ? DefaultDriverPath() : path;
    void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* text = dlerror();
        *why = "cannot load " + file + ": " + (text ? text : "unknown error");
        return nullptr;
    }
    void* entry = dlsym(library, "VpiMain");
    if (!entry) {
        *why = file + " exports no VpiMain";
        return nullptr;
    }
    return reinterpret_cast<VpiMainFunction>(entry);
#endif
}

}  // namespace vpihost
