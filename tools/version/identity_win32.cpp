// Windows: the driver's identity is its version resource, the one Explorer's file properties
// show. It is read from the module the process loaded, not from a file found by name, so it is
// the build the host really runs.
#include <windows.h>

#include <vector>

#include "version_text.hpp"

namespace {

std::string Narrow(const wchar_t* text, UINT length) {
    if (length == 0) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                   nullptr, nullptr);
    if (size <= 0) return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr,
                        nullptr);
    while (!out.empty() && out.back() == '\0') out.pop_back();
    return out;
}

std::string StringValue(std::vector<char>& block, const wchar_t* name) {
    std::wstring path = L"\\StringFileInfo\\040904B0\\";
    path += name;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), path.c_str(), &value, &length) || !value) return {};
    return Narrow(static_cast<const wchar_t*>(value), length);
}

std::string SystemMessage(DWORD code) {
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) --n;
    std::string out(text, n);
    return (out.empty() ? std::string("error") : out) + " (" + std::to_string(code) + ")";
}

}  // namespace

std::optional<DriverIdentity> ReadDriverIdentity(const void* codeAddress, std::string* why) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(codeAddress), &module)) {
        *why = "no loaded library holds that address: " + SystemMessage(GetLastError());
        return std::nullopt;
    }
    char path[MAX_PATH + 1] = {};
    DWORD pathLength = GetModuleFileNameA(module, path, MAX_PATH);
    DriverIdentity identity;
    identity.file.assign(path, pathLength);
    std::string name = identity.file.empty() ? std::string("the library") : identity.file;

    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16) /* RT_VERSION */);
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    DWORD size = found ? SizeofResource(module, found) : 0;
    if (!data || size == 0) {
        *why = name + " carries no version resource (a build from before versions, or not vpivg)";
        return std::nullopt;
    }
    // VerQueryValue may work in the block it is given: hand it a copy, never the mapped image.
    std::vector<char> block(static_cast<const char*>(data), static_cast<const char*>(data) + size);
    identity.version = StringValue(block, L"ProductVersion");
    std::string comments = StringValue(block, L"Comments");
    const std::string prefix = "revision ";
    if (comments.rfind(prefix, 0) == 0) identity.revision = comments.substr(prefix.size());
    if (identity.version.empty() || identity.revision.empty()) {
        *why = name + "'s version resource has no vpivg ProductVersion and revision";
        return std::nullopt;
    }
    return identity;
}
