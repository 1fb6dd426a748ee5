// SPDX-License-Identifier: Apache-2.0
#include "window/window_geometry.h"

#include <algorithm>

#include "base/one_line.h"
#include "runtime/program_info.h"

namespace {
// Beyond any screen X can have (its sizes are 16 bits): longer numbers stop
// growing here rather than overflow.
constexpr long kBeyondAnyScreen = 1L << 20;

bool read_number(const char*& at, long* value)
{
    const char* start = at;
    *value = 0;
    for (; *at >= '0' && *at <= '9'; ++at)
        *value = std::min(*value * 10 + (*at - '0'), kBeyondAnyScreen);
    return at != start;
}

// "+N" or "-N".
bool read_offset(const char*& at, long* value)
{
    if (*at != '+' && *at != '-')
        return false;
    ++at;
    return read_number(at, value);
}

std::string quoted(const char* text) { return "-geometry '" + one_line(text) + "'"; }

std::string screen_text(long width, long height)
{
    return "the " + std::to_string(width) + "x" + std::to_string(height) + " screen";
}
}  // namespace

std::string read_window_geometry(const char* text, CWindowGeometry* geometry)
{
    CWindowGeometry read;
    const char* at = text;
    bool ok = true;
    if (*at != '+' && *at != '-') {
        ok = read_number(at, &read.width) && (*at == 'x' || *at == 'X') && read_number(++at, &read.height);
        read.sized = ok;
    }
    if (ok && *at != '\0') {
        ok = read_offset(at, &read.x) && read_offset(at, &read.y);
        read.placed = ok;
    }
    if (!ok || *at != '\0')
        return quoted(text) + " is not WIDTHxHEIGHT, WIDTHxHEIGHT+X+Y or +X+Y";
    if (read.sized && (read.width == 0 || read.height == 0))
        return quoted(text) + " has a width or height of 0";
    *geometry = read;
    return {};
}

std::string window_geometry_misfit(const char* text, const CWindowGeometry& geometry, long screen_width,
                                   long screen_height)
{
    if (geometry.sized && (geometry.width > screen_width || geometry.height > screen_height))
        return quoted(text) + " is larger than " + screen_text(screen_width, screen_height);
    if (geometry.placed && (geometry.x >= screen_width || geometry.y >= screen_height))
        return quoted(text) + " puts the window off " + screen_text(screen_width, screen_height);
    return {};
}
