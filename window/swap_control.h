// SPDX-License-Identifier: Apache-2.0
#pragma once
// The window renders back to back: its buffer swaps are not held to the
// display's refresh. Most Linux drivers sync swaps to the refresh by default,
// so at start-up the window asks for swap interval 0 through whichever GLX
// swap-control extension the driver offers. VANTREL_VSYNC=1 keeps the
// driver's refresh.

// The GLX extensions that set the swap interval, in the order they are tried.
enum class CSwapControl { none, ext, mesa, sgi };

// The first of GLX_EXT_swap_control, GLX_MESA_swap_control and
// GLX_SGI_swap_control named in `extensions` (a GLX extension string, names
// separated by spaces; nullptr counts as empty).
CSwapControl choose_swap_control(const char* extensions);

// What VANTREL_VSYNC (its value, nullptr when unset) asks for: true when
// "1", keep the driver's refresh; false when unset, empty or "0". Any other
// value sets *unknown and counts as unset.
bool keeps_display_refresh(const char* value, bool* unknown);

// Called with the window's GL context current: unless VANTREL_VSYNC=1 asks
// otherwise, requests swap interval 0 through the extension the driver offers
// (nothing happens where none is offered). Returns what was done in a few
// words, for the display benchmark; the window prints nothing but a warning
// for an unknown VANTREL_VSYNC value.
const char* request_unsynced_swaps();
