// CmdDescribe: what the host learns before it creates any VPI.
#include "frame.hpp"
#include "instance.hpp"

// Code page 437 box drawing, so the banner lines up in a fixed-width console.
#define TL "\xDA"
#define TR "\xBF"
#define BL "\xC0"
#define BR "\xD9"
#define VB "\xB3"
#define H10 "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"
#define H60 H10 H10 H10 H10 H10 H10
#define FULL "\xDB"
#define DARK "\xB2"
#define MEDIUM "\xB1"
#define LIGHT "\xB0"
#define SIX(c) c c c c c c

const char kDriverName[] = "VI Dov Udozevez";

const char kDriverBanner[] =
    "\n"
    TL H60 TR "\n"
    VB " " FULL FULL FULL FULL FULL SIX(DARK) SIX(MEDIUM) SIX(LIGHT)
    " V P I V G   "
    LIGHT LIGHT LIGHT LIGHT SIX(MEDIUM) SIX(DARK) FULL FULL FULL FULL FULL "  " VB "\n"
    VB "     VG Gas Analysis mass spectrometer driver installed.    " VB "\n"
    VB "                 VG Communications Protocol.                " VB "\n"
    VB "                        Version 7.00                        " VB "\n"
    BL H60 BR "\n";

static_assert(sizeof(kDriverBanner) - 1 == kDriverBannerLength, "the banner is 379 bytes");

std::int32_t HandleDescribe(VpiRequest* request) {
    auto* info = static_cast<DriverInfo*>(request->args);
    if (info == nullptr) return 1;  // nowhere to describe ourselves to
    info->constant70 = 70;
    info->name = kDriverName;
    info->banner = kDriverBanner;
    info->instanceSize = sizeof(VpiInstance);
    info->constant4 = 4;
    info->defaultLine = LineParams{9600, 8, 0, 0};
    info->constant3 = 3;
    return 0;
}
