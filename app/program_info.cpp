// SPDX-License-Identifier: Apache-2.0
#include "app/program_info.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/window_geometry.h"
#include "engine/cpu_passes.h"

// The build's facts come from CMake (app/CMakeLists.txt), so they follow the
// configuration rather than a copy of it.
#ifndef VANTREL_VERSION
#error "VANTREL_VERSION must be defined by the build"
#endif

namespace {
// "75" -> "7.5", "100" -> "10.0", "90a" -> "9.0a"; empty when `number` does
// not start with at least two digits.
std::string compute_capability(std::string_view number)
{
    size_t digits = 0;
    while (digits < number.size() && number[digits] >= '0' && number[digits] <= '9')
        ++digits;
    if (digits < 2)
        return {};
    return std::string(number.substr(0, digits - 1)) + "." + std::string(number.substr(digits - 1));
}

void append_all(std::string& text, const std::vector<std::string>& items)
{
    for (const std::string& item : items)
        text += " " + item;
}

std::string cpu_passes_text()
{
    std::string text;
    for (const char* name : compiled_cpu_pass_names())
        text += std::string(text.empty() ? "" : " ") + name;
    const char* chosen = chosen_cpu_pass_name();
    text += std::string(" compiled; this processor uses ") + chosen;
    const char* wanted = std::getenv("VANTREL_CPU_PASS");
    if (wanted != nullptr && std::strcmp(wanted, chosen) == 0)
        text += " (asked for by VANTREL_CPU_PASS)";
    return text;
}

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
        std::fprintf(stderr, "vantrel: cannot write to standard output: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}
}  // namespace

std::string cuda_architectures_text(std::string_view architectures)
{
    std::vector<std::string> code, ptx, other;
    size_t start = 0;
    while (start < architectures.size()) {
        const size_t end = std::min(architectures.find_first_of(" ;", start), architectures.size());
        const std::string_view entry = architectures.substr(start, end - start);
        start = end + 1;
        if (entry.empty() || entry == "OFF")  // OFF: no architecture flags, nvcc's own choice
            continue;
        const size_t dash = entry.find('-');
        const std::string_view number = entry.substr(0, dash);
        const std::string_view kind = dash == std::string_view::npos ? "" : entry.substr(dash + 1);
        const std::string capability = compute_capability(number);
        if (capability.empty() || (kind != "" && kind != "real" && kind != "virtual")) {
            other.emplace_back(entry);
            continue;
        }
        if (kind != "virtual")
            code.push_back(capability);
        if (kind != "real")
            ptx.push_back(capability);  // a plain number gives both
    }
    std::string text;
    if (!code.empty()) {
        text = "GPU code for compute capability";
        append_all(text, code);
    }
    if (!ptx.empty()) {
        text += text.empty() ? "PTX" : " and PTX";
        append_all(text, ptx);
        text += " for newer GPUs";
    }
    if (!other.empty()) {
        text += text.empty() ? "CUDA architectures" : ", CUDA architectures";
        append_all(text, other);
    }
    return text.empty() ? "nvcc's default GPU code" : text;
}

std::string version_text(const char* program)
{
    std::string text = std::string(program) + " " + VANTREL_VERSION + "\n";
#if VANTREL_HAVE_CUDA
    text += std::string("CUDA backend: built, ") + cuda_architectures_text(VANTREL_CUDA_ARCHITECTURES) + "\n";
#else
    text += "CUDA backend: not built (CPU only)\n";
#endif
    text += "CPU passes: " + cpu_passes_text() + "\n";
    text += "compiler: " VANTREL_COMPILER;
    return text;
}

CBuildFacts build_facts()
{
    return {VANTREL_VERSION,    VANTREL_BUILD_TYPE,      VANTREL_COMPILER,          VANTREL_CXX_FLAGS,
            VANTREL_PASS_FLAGS, VANTREL_HAVE_CUDA != 0, VANTREL_CUDA_ARCHITECTURES};
}

std::optional<int> window_info_option(int argc, const char* const* argv)
{
    // --help and --version answer wherever they stand; the first argument
    // that is not GLUT's is named only when neither is there.
    std::string wrong;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0)
            return print_or_fail(kWindowHelp);
        if (std::strcmp(argument, "--version") == 0)
            return print_or_fail(version_text("vantrel") + "\n");
        if (is_one_of(argument, kGlutFlags))
            continue;
        if (is_one_of(argument, kGlutOptionsWithValue)) {
            if (++i == argc && wrong.empty())
                wrong = std::string(argument) + " needs a value";
            // Its fit on the screen is checked once the display is open (window_display_check).
            CWindowGeometry geometry;
            if (i < argc && std::strcmp(argument, "-geometry") == 0 && wrong.empty())
                wrong = read_window_geometry(argv[i], &geometry);
        } else if (wrong.empty()) {
            wrong = std::string(argument[0] == '-' ? "unknown option '" : "unexpected argument '") +
                    one_line(argument) + "'";
        }
    }
    if (wrong.empty())
        return std::nullopt;
    std::fprintf(stderr, "vantrel: %s (see vantrel --help)\n", wrong.c_str());
    return 2;
}
