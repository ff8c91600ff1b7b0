// A VPI's start (with its init file), warm start and close.
#pragma once

#include <cstdint>
#include <cstdio>

#include "instance.hpp"

std::int32_t HandleStart(VpiRequest* request);
bool ReadInitFile(VpiRequest* request);
// Reads the kept characters of the file's first line into `buffer` (zero-filled, at least 9).
bool ReadInitLine(std::FILE* file, char* buffer);

// The report thread's stack. Sanitizers need more than the 32 KiB the driver asks for.
constexpr unsigned kThreadStackSize = 32768;

std::int32_t HandleWarmStart(VpiRequest* request);
void DiscardPortInput(VpiInstance* instance);
std::int32_t HandleClose(VpiRequest* request);
