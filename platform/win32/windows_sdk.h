// The Windows SDK headers the Win32 backend needs, included once, in one
// order. The HID headers declare plain C functions without their own
// extern "C" guard in some SDK versions, hence the wrapper.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// <windows.h> must come first: the other SDK headers use its types.
#include <windows.h>
// (separate block so that include sorting keeps the order)
#include <setupapi.h>

extern "C" {
#include <hidsdi.h>
}
