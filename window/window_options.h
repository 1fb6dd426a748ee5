// SPDX-License-Identifier: Apache-2.0
#pragma once
// vantrel's command line, read once before GLUT sees it: its own --help and
// --version, answered before GLUT or any window is touched, and GLUT's
// options, which freeglut's glutInit reads and takes out of argv.

#include <optional>
#include <vector>

#include "window/window_geometry.h"

// A -geometry on the command line: argv[index] is its value.
struct CGeometryArgument {
    int index;
    CWindowGeometry geometry;
};

struct CWindowOptions {
    // The display GLUT opens: the last -display's value, else $DISPLAY; null
    // when neither is there, empty when DISPLAY is set but empty.
    const char* display = nullptr;
    std::vector<CGeometryArgument> geometries;
};

// -h, --help or --version prints its text on stdout and gives exit status 0
// (1 when stdout cannot be written); an argument that is not one of GLUT's
// options (with its value), or a -geometry value that is not a geometry, is
// bad input, named in one line on stderr with a pointer to --help, exit
// status 2; nothing, with `options` filled, when the command line is GLUT's
// options alone.
std::optional<int> read_window_options(int argc, const char* const* argv, CWindowOptions& options);
