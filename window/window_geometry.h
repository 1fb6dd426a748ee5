// SPDX-License-Identifier: Apache-2.0
#pragma once
// vantrel's -geometry, checked before GLUT reads it. GLUT passes on whatever
// it is given: text that is no geometry, a size of 0 or one far beyond the
// screen reach the X server or the GL driver after start-up, which refuse the
// window in several lines of their own or crash allocating its buffers.

#include <string>

// X's geometry forms: "WIDTHxHEIGHT", "WIDTHxHEIGHT+X+Y" or "+X+Y"; a "-"
// before X or Y counts from the right or bottom edge instead.
struct CWindowGeometry {
    bool sized = false;
    long width = 0;
    long height = 0;
    bool placed = false;
    long x = 0;  // from the edge its sign names; a number too long for any screen reads as a large one
    long y = 0;
};

// What is wrong with `text` as a geometry, for a message ("-geometry 'foo' is
// not ..."); empty when nothing is, and then `geometry` holds it.
std::string read_window_geometry(const char* text, CWindowGeometry* geometry);

// What keeps the window off a screen of that size, for a message; empty when
// it fits: no larger than the screen, and its corner on it, so that at least
// part of the window shows.
std::string window_geometry_misfit(const char* text, const CWindowGeometry& geometry, long screen_width,
                                   long screen_height);
