// The instrument data path: report thread, receiver, parser, publisher.
#pragma once

#include <cstdint>

#include "instance.hpp"

// One parsed report.
struct MeasurementRecord {
    std::uint16_t headerNumber;
    std::uint16_t value01;
    std::uint16_t value02;
    std::uint32_t value03;
    std::uint16_t streamNumber;
    float parameters[100];
};

// 1 when the text is accepted, 0 when rejected. Writes only the fields it reaches.
int ParsePacket(const char* text, MeasurementRecord* record);
// Finds the first ';' at or after `position`: stores the characters before it in `length` and
// returns 1, or returns 0 leaving `length` unchanged.
int NextSeparator(const char* position, std::uint16_t* length);

void PublishPacket(VpiInstance* instance, const char* text);

constexpr std::uint32_t kHuntLimit = 1000;
constexpr std::uint32_t kCollectLimit = 1000;
int ReceivePacket(VpiInstance* instance, unsigned char* buffer, std::uint16_t* length);
void DumpBuffer(const unsigned char* buffer, std::uint16_t length, int level);

constexpr std::uint32_t kPacketBufferSize = 3000;
void ReportByExceptionThread(void* instance);
