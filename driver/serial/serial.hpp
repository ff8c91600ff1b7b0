// The serial port layer: the only code that touches the serial device, and the port commands.
#pragma once

#include <cstdint>

#include "instance.hpp"

// Result codes of the handle operations.
constexpr int kSerialOk = 0;
constexpr int kSerialOpenFailed = 1;   // cannot open, or cannot set timeouts; failed drain read
constexpr int kSerialShortWrite = 2;
constexpr int kSerialNoLineState = 4;
constexpr int kSerialStateRefused = 5;
constexpr int kSerialRequestFailed = 7;

int SerialOpen(const char* name, const LineParams& line, std::uint32_t lineFlags, HANDLE* handle);
int SerialClose(HANDLE handle);
// Returns the previous total read timeout in 10 ms units (0 when it cannot be read or written).
std::int32_t SerialSetReadTimeout(HANDLE handle, std::int32_t timeout);
int SerialReadExact(HANDLE handle, void* buffer, std::uint32_t count, std::int32_t* done);
int SerialWriteExact(HANDLE handle, const void* buffer, std::int32_t count, std::int32_t* done);
int SerialDrainInput(HANDLE handle);
int SerialSendBreak(std::uint32_t milliseconds, HANDLE handle);
int SerialSleep(std::uint32_t milliseconds);

// The operations the rest of the driver calls.
HANDLE PortOpen(const PortSettings& settings);  // null on any failure
bool PortRead(VpiInstance* instance, void* buffer, std::uint32_t count);
bool PortWrite(VpiInstance* instance, const void* buffer, std::uint32_t count);

// Port commands.
std::int32_t HandleClosePort(VpiRequest* request);
std::int32_t HandleOpenPort(VpiRequest* request);
std::int32_t HandleSetPort(VpiRequest* request);
