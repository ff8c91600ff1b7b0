// The init file reader on arbitrary file content: ReadInitLine through fmemopen, and
// ReadInitFile on a real vpiVG<nn>.int in a private working directory. statusWait must end up
// as a plain reading of the first line says.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.hpp"
#include "lifecycle/lifecycle.hpp"

namespace {

VpiInstance* instance = nullptr;

// The kept characters of the first line: at most 20 examined, at most 8 kept, printable only.
std::string KeptLine(const std::string& content) {
    std::string kept;
    std::size_t examined = 0;
    for (std::size_t at = 0; at < content.size() && examined < 20 && kept.size() < 8; ++at) {
        const char c = content[at];
        if (c == '\n') break;
        if (static_cast<signed char>(c) > ' ') kept.push_back(c);
        ++examined;
    }
    return kept;
}

int ExpectedWait(const std::string& content) {
    std::string kept = KeptLine(content);
    for (char& c : kept) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (kept.size() < 5 || kept.compare(0, 5, "TIME=") != 0) return -1;
    const auto value = static_cast<std::uint32_t>(fuzzsupport::PlainAtoi(kept.substr(5)));
    return value >= 30 && value <= 120 ? static_cast<int>(value) : -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    instance = fuzzsupport::FreshRuntimeAndInstance();
    char pattern[] = "/tmp/vpivg-initfuzz-XXXXXX";
    const char* dir = mkdtemp(pattern);
    FUZZ_CHECK(dir != nullptr && chdir(dir) == 0, "no private directory");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 200) return 0;
    const std::string content(reinterpret_cast<const char*>(data), size);

    // The line reader alone, on the content in memory (a NUL is a character like any other).
    std::vector<char> memory(content.begin(), content.end());
    memory.push_back('\0');
    if (std::FILE* file = fmemopen(memory.data(), content.size() + 1, "r")) {
        char buffer[32];
        std::memset(buffer, 0, sizeof buffer);
        FUZZ_CHECK(ReadInitLine(file, buffer), "ReadInitLine failed");
        std::fclose(file);
        FUZZ_CHECK(std::strlen(buffer) <= 8, "kept %zu characters", std::strlen(buffer));
        for (std::size_t at = 9; at < sizeof buffer; ++at) {
            FUZZ_CHECK(buffer[at] == 0, "wrote past the 9-character buffer at %zu", at);
        }
    }

    // The whole reader on a real file; VPI 7 reads vpiVG07.int.
    if (std::FILE* file = std::fopen("vpiVG07.int", "wb")) {
        std::fwrite(content.data(), 1, content.size(), file);
        std::fclose(file);
    }
    VpiRequest request{};
    request.instance = instance;
    request.command = CmdStart;
    request.vpiNumber = 7;
    instance->statusWait = 60;
    const bool stored = ReadInitFile(&request);
    const int valid = ExpectedWait(content);  // -1: the wait stays 60
    const int expected = valid < 0 ? 60 : valid;
    FUZZ_CHECK(instance->statusWait == expected, "statusWait %u, expected %d",
               instance->statusWait, expected);
    FUZZ_CHECK(stored == (valid >= 0), "stored %d, expected %d", stored ? 1 : 0,
               valid >= 0 ? 1 : 0);
    return 0;
}
