// The per-VPI init file: one line "TIME=<ms>" that sets how long a "!STATUS" read waits for a
// report. It is optional; without a good line the wait stays as the start set it.
#include <cstdio>
#include <cstring>

#include <zelpro/zelpro.h>

#include "lifecycle/lifecycle.hpp"
#include "platform.hpp"

namespace {

constexpr int kMostExamined = 20;
constexpr int kMostKept = 8;
constexpr std::uint32_t kShortestWait = 30;
constexpr std::uint32_t kLongestWait = 120;

}  // namespace

bool ReadInitLine(std::FILE* file, char* buffer) {
    int examined = 0;
    int kept = 0;
    while (examined < kMostExamined && kept < kMostKept) {
        const int character = std::fgetc(file);
        if (character == EOF) break;
        if (character == '\n') break;
        // Blanks and control characters may stand anywhere ("time = 45"); bytes above 0x7F
        // are negative as signed chars and dropped with them.
        if (static_cast<signed char>(character) > ' ') {
            buffer[kept++] = static_cast<char>(character);
        }
        ++examined;
    }
    return true;
}

bool ReadInitFile(VpiRequest* request) {
    // 16 characters hold the name of every VPI number from -99999 to 999999. A number outside
    // that range would be cut short and could name some other VPI's file, so nothing is opened
    // and the file counts as missing.
    char fileName[16];
    const int length = std::snprintf(fileName, sizeof fileName, "vpiVG%.2d.int", request->vpiNumber);
    std::FILE* file = nullptr;
    if (length > 0 && static_cast<std::size_t>(length) < sizeof fileName) {
        file = std::fopen(fileName, "r");
    }
    if (file == nullptr) {
        err(32, "VpiVG: Init File %s not found ! ", fileName);
        return false;
    }

    char line[kMostKept + 1] = {};
    ReadInitLine(file, line);
    UpperAscii(line);
    if (std::strncmp(line, "TIME=", 5) != 0) {
        err(32, "VpiVG: Invalid line (%s) in Init File %s ", line, fileName);
        std::fclose(file);
        return false;
    }
    const char* number = line + 5;
    // Taken as unsigned so a negative time fails the range check like a large one.
    const auto wait = static_cast<std::uint32_t>(TextToInteger(number, std::strlen(number)));
    if (wait < kShortestWait || wait > kLongestWait) {
        err(32, "VpiVG: Invalid time (%s) in Init File %s ", number, fileName);
        std::fclose(file);
        return false;
    }
    request->instance->statusWait = static_cast<std::uint16_t>(wait);
    std::fclose(file);
    return true;
}
