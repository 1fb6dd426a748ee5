// SPDX-License-Identifier: Apache-2.0
#include "window/window_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "base/messages.h"
#include "base/one_line.h"
#include "runtime/program_info.h"

namespace {
const char kWindowHelp[] =
    "Usage: vantrel [OPTION]...\n"
    "Shows Vantrel's built-in scene, a closed box lit by its ceiling with three\n"
    "spheres on the floor, in a 640 x 480 window, and refines the picture for as\n"
    "long as the window stays open: every frame traces one more light path for\n"
    "every pixel. Close the window, or press Ctrl+C in the terminal, to stop.\n"
    "Without a display, vantrel-render renders the picture to an image file.\n"
    "\n"
    "Options:\n"
    "  -h, --help         Print this help and exit\n"
    "  --version          Print the version, the CUDA backend's GPUs, the CPU\n"
    "                     passes (and the one this processor uses) and the\n"
    "                     compiler, and exit\n"
    "  -display DISPLAY   The X display to open (default: $DISPLAY)\n"
    "  -geometry WxH+X+Y  The window's size and place, or either alone (a size\n"
    "                     up to the screen's, a corner on the screen)\n"
    "  -iconic, -direct, -indirect, -gldebug, -sync\n"
    "                     GLUT's own options, passed to GLUT like the two above;\n"
    "                     any other argument is refused (exit status 2)\n";

// GLUT's own options (freeglut's glutInit reads them and takes them out of
// argv); the first two take a value, the next argument whatever it looks like
// ("-geometry -0-0" is a position).
constexpr const char* kGlutOptionsWithValue[] = {"-display", "-geometry"};
constexpr const char* kGlutFlags[] = {"-direct", "-indirect", "-iconic", "-gldebug", "-sync"};

template <size_t N>
bool is_one_of(const char* argument, const char* const (&names)[N])
{
    return std::any_of(std::begin(names), std::end(names),
                       [&](const char* name) { return std::strcmp(argument, name) == 0; });
}

int print_or_fail(const std::string& text)
{
    std::fputs(text.c_str(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        print_message(std::string("cannot write to standard output: ") + std::strerror(errno));
        return 1;
    }
    return 0;
}
}  // namespace

std::optional<int> read_window_options(int argc, const char* const* argv, CWindowOptions& options)
{
    options = {};
    options.display = std::getenv("DISPLAY");
    // --help and --version answer wherever they stand; the first argument
    // that is not GLUT's is named only when neither is there.
    std::string wrong;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0)
            return print_or_fail(kWindowHelp);
        if (std::strcmp(argument, "--version") == 0)
            return print_or_fail(version_text(kWindowProgram) + "\n");
        if (is_one_of(argument, kGlutFlags))
            continue;
        if (is_one_of(argument, kGlutOptionsWithValue)) {
            if (++i == argc) {
                if (wrong.empty())
                    wrong = std::string(argument) + " needs a value";
            } else if (std::strcmp(argument, "-display") == 0) {
                options.display = argv[i];
                if (argv[i][0] == '\0' && wrong.empty())
                    wrong = "-display's value is empty";
            } else {
                // Its fit on the screen is checked once the display is open (window_display_check).
                CGeometryArgument geometry{i, {}};
                const std::string misread = read_window_geometry(argv[i], &geometry.geometry);
                if (misread.empty())
                    options.geometries.push_back(geometry);
                else if (wrong.empty())
                    wrong = misread;
            }
        } else if (wrong.empty()) {
            wrong = std::string(argument[0] == '-' ? "unknown option '" : "unexpected argument '") +
                    one_line(argument) + "'";
        }
    }
    if (wrong.empty())
        return std::nullopt;
    print_message(wrong + " (see " + kWindowProgram + " --help)");
    return kUsageStatus;
}
