// The entry point's handler table and the describe command.
#pragma once

#include <vpivg/vpivg.h>

#include <cstddef>
#include <cstdint>

// The entry point (hosts on Windows look it up by name, so the public header leaves it out there).
extern "C" VPI_EXPORT std::int32_t VPI_CALL VpiMain(VpiRequest* request);

using VpiHandler = std::int32_t (*)(VpiRequest* request);

// CmdDescribe: fills the host's DriverInfo; never touches an instance.
std::int32_t HandleDescribe(VpiRequest* request);

// The banner CmdDescribe hands out: 379 bytes of code page 437 text.
extern const char kDriverBanner[];
constexpr std::size_t kDriverBannerLength = 379;
extern const char kDriverName[];
