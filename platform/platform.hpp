// The one seam between the driver and the operating system.
//
// The driver is written against the Win32 names it needs. On the win32 target those are the
// system's own; on native a small layer of ours provides exactly that subset with the semantics
// the driver relies on. Nothing else in the driver may include an OS header.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <process.h>
#else
#include "native/win32api.hpp"
#endif

#include "text.hpp"
