// The entry point's handler table and the describe command.
#pragma once

#include <cstdint>

#include "records.hpp"

#if defined(_WIN32)
#define VPI_CALL __stdcall
#define VPI_EXPORT
#else
#define VPI_CALL
#define VPI_EXPORT __attribute__((visibility("default")))
#endif

extern "C" VPI_EXPORT std::int32_t VPI_CALL VpiMain(VpiRequest* request);

using VpiHandler = std::int32_t (*)(VpiRequest* request);

// CmdDescribe: fills the host's DriverInfo; never touches an instance.
std::int32_t HandleDescribe(VpiRequest* request);

// The banner CmdDescribe hands out: 379 bytes of code page 437 text.
extern const char kDriverBanner[];
constexpr std::size_t kDriverBannerLength = 379;
extern const char kDriverName[];
