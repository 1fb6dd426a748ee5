// SPDX-License-Identifier: Apache-2.0
#include "window/swap_control.h"

#include <GL/glx.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/messages.h"

namespace {
// The extensions' entry points, with the signatures the extensions give them.
using CSwapIntervalExt = void (*)(Display*, GLXDrawable, int);
using CSwapIntervalMesa = int (*)(unsigned int);
using CSwapIntervalSgi = int (*)(int);

// Whole names only: GLX_EXT_swap_control_tear does not offer GLX_EXT_swap_control.
bool names_extension(const char* extensions, const char* name)
{
    const size_t length = std::strlen(name);
    for (const char* at = extensions; (at = std::strstr(at, name)) != nullptr; at += length) {
        const bool starts = at == extensions || at[-1] == ' ';
        const bool ends = at[length] == ' ' || at[length] == '\0';
        if (starts && ends)
            return true;
    }
    return false;
}

template <typename Function>
Function look_up(const char* name)
{
    return reinterpret_cast<Function>(glXGetProcAddress(reinterpret_cast<const GLubyte*>(name)));
}
}  // namespace

CSwapControl choose_swap_control(const char* extensions)
{
    if (extensions == nullptr)
        return CSwapControl::none;
    if (names_extension(extensions, "GLX_EXT_swap_control"))
        return CSwapControl::ext;
    if (names_extension(extensions, "GLX_MESA_swap_control"))
        return CSwapControl::mesa;
    if (names_extension(extensions, "GLX_SGI_swap_control"))
        return CSwapControl::sgi;
    return CSwapControl::none;
}

bool keeps_display_refresh(const char* value, bool* unknown)
{
    *unknown = false;
    if (value == nullptr || value[0] == '\0' || std::strcmp(value, "0") == 0)
        return false;
    if (std::strcmp(value, "1") == 0)
        return true;
    *unknown = true;
    return false;
}

const char* request_unsynced_swaps()
{
    bool unknown = false;
    if (keeps_display_refresh(std::getenv("VANTREL_VSYNC"), &unknown))
        return "VANTREL_VSYNC=1: the driver's swap interval is kept";
    if (unknown)
        print_message("VANTREL_VSYNC is neither 0 nor 1; buffer swaps do not wait for the display's refresh "
                      "(VANTREL_VSYNC=1 makes them wait)");
    Display* display = glXGetCurrentDisplay();
    const GLXDrawable drawable = glXGetCurrentDrawable();
    if (display == nullptr || drawable == 0)
        return "no current GLX context: nothing requested";
    // The extensions usable on this display, the client's and the server's
    // alike: a library may know an extension that the driver does not offer.
    switch (choose_swap_control(glXQueryExtensionsString(display, DefaultScreen(display)))) {
    case CSwapControl::ext:
        if (const auto set = look_up<CSwapIntervalExt>("glXSwapIntervalEXT")) {
            set(display, drawable, 0);
            return "swap interval 0 requested through GLX_EXT_swap_control";
        }
        return "GLX_EXT_swap_control offered without glXSwapIntervalEXT: nothing requested";
    case CSwapControl::mesa:
        if (const auto set = look_up<CSwapIntervalMesa>("glXSwapIntervalMESA"))
            return set(0) == 0 ? "swap interval 0 set through GLX_MESA_swap_control"
                               : "GLX_MESA_swap_control refused swap interval 0";
        return "GLX_MESA_swap_control offered without glXSwapIntervalMESA: nothing requested";
    case CSwapControl::sgi:
        // Interval 0 lies outside this extension's definition: some drivers
        // take it as "no wait", others (Mesa) refuse it and keep the refresh.
        if (const auto set = look_up<CSwapIntervalSgi>("glXSwapIntervalSGI"))
            return set(0) == 0 ? "swap interval 0 set through GLX_SGI_swap_control"
                               : "GLX_SGI_swap_control refused swap interval 0";
        return "GLX_SGI_swap_control offered without glXSwapIntervalSGI: nothing requested";
    case CSwapControl::none:
        break;
    }
    return "no swap-control extension offered: nothing requested";
}
