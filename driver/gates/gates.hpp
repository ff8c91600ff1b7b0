// The gate service: address parsing, reads, refused operations.
#pragma once

#include <cstdint>

#include "instance.hpp"

// Working copies of addresses hold at most this many characters.
constexpr std::size_t kAddressCopySize = 33;

std::int32_t HandleParseAddress(VpiRequest* request);
std::int32_t CheckOrdinaryAddress(VpiRequest* request);

std::int32_t HandleRead(VpiRequest* request);
void ResetInUseGates(VpiInstance* instance);
bool SendPoll(VpiInstance* instance);
std::int32_t ReadOrdinaryGate(VpiRequest* request);

// The 7 bytes of the poll command: "@;390" LF CR.
extern const char kPollCommand[7];

std::int32_t HandleUnsupported4(VpiRequest* request);
std::int32_t HandleBlockRead(VpiRequest* request);
std::int32_t HandleWrite(VpiRequest* request);
std::int32_t HandleBlockWrite(VpiRequest* request);
