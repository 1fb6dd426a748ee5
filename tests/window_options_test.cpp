// SPDX-License-Identifier: Apache-2.0
// Which command lines vantrel answers itself, and what it reads of GLUT's
// options before GLUT does.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "window/window_options.h"

namespace {
struct CWindowCommandLine {
    std::vector<const char*> arguments;  // after the program name
    std::optional<int> status;           // nothing: GLUT's to read, the window opens
    std::string stdout_start;
    std::string stderr_text;
    const char* display = nullptr;  // the display GLUT would open, when the window opens
    size_t geometries = 0;
};

TEST(WindowOptions, HelpAndVersionAnsweredGlutOptionsReadTheRestRefused)
{
    const std::string usage = "Usage: vantrel [OPTION]...\n";
    const std::vector<CWindowCommandLine> cases = {
        {{"-h"}, 0, usage, ""},
        {{"--help"}, 0, usage, ""},
        {{"-iconic", "--bogus", "-h"}, 0, usage, ""},
        {{"--version"}, 0, "vantrel ", ""},
        {{"-geometry", "-h", "-sync"}, 2, "",  // -h is the geometry here
         "vantrel: -geometry '-h' is not WIDTHxHEIGHT, WIDTHxHEIGHT+X+Y or +X+Y (see vantrel --help)\n"},
        {{"-geometry", "800x600+10+10", "-display", ":1"}, std::nullopt, "", "", ":1", 1},
        {{"-geometry", "-0+20", "-display", ":2", "-geometry", "640X480", "-display", ":3"}, std::nullopt, "", "", ":3", 2},
        {{"-geometry", "800x600+10+10x"}, 2, "",
         "vantrel: -geometry '800x600+10+10x' is not WIDTHxHEIGHT, WIDTHxHEIGHT+X+Y or +X+Y (see vantrel --help)\n"},
        {{"-help"}, 2, "", "vantrel: unknown option '-help' (see vantrel --help)\n"},
        {{"-display"}, 2, "", "vantrel: -display needs a value (see vantrel --help)\n"},
        {{"-display", "", "-display", ":1"}, 2, "", "vantrel: -display's value is empty (see vantrel --help)\n"},
    };
    for (const CWindowCommandLine& c : cases) {
        std::vector<const char*> argv = {"vantrel"};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        CWindowOptions options;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const std::optional<int> status = read_window_options(static_cast<int>(argv.size()), argv.data(), options);
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        const std::string what = testing::PrintToString(c.arguments);
        EXPECT_EQ(status, c.status) << what;
        EXPECT_EQ(out.substr(0, c.stdout_start.size()), c.stdout_start) << what;
        EXPECT_EQ(out.empty(), c.stdout_start.empty()) << what;
        EXPECT_EQ(err, c.stderr_text) << what;
        if (!c.status) {
            EXPECT_STREQ(options.display, c.display) << what;
            EXPECT_EQ(options.geometries.size(), c.geometries) << what;
        }
    }
}
}  // namespace
