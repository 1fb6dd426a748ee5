// SPDX-License-Identifier: Apache-2.0
// What --version says about the CUDA backend's GPUs, read from the build's
// architecture list, and what vantrel makes of its command line.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/program_info.h"

namespace {
struct CArchitectures {
    std::string list;  // as CMAKE_CUDA_ARCHITECTURES holds it
    std::string text;
};

TEST(ProgramInfo, CudaArchitecturesReadAsComputeCapabilities)
{
    const std::vector<CArchitectures> cases = {
        {"75-real 86-real 89-real 90-virtual", "GPU code for compute capability 7.5 8.6 8.9 and PTX 9.0 for newer GPUs"},
        {"75-real;80-real;86-real;89-real;90-real;90-virtual",
         "GPU code for compute capability 7.5 8.0 8.6 8.9 9.0 and PTX 9.0 for newer GPUs"},
        {"52", "GPU code for compute capability 5.2 and PTX 5.2 for newer GPUs"},
        {"100a-real 120f-real", "GPU code for compute capability 10.0a 12.0f"},
        {"90-virtual", "PTX 9.0 for newer GPUs"},
        {"native", "CUDA architectures native"},
        {"75-real all 9-real 80-fake", "GPU code for compute capability 7.5, CUDA architectures all 9-real 80-fake"},
        {"", "nvcc's default GPU code"},
        {"OFF", "nvcc's default GPU code"},
    };
    for (const CArchitectures& c : cases)
        EXPECT_EQ(cuda_architectures_text(c.list), c.text) << "'" << c.list << "'";
}

struct CWindowCommandLine {
    std::vector<const char*> arguments;  // after the program's name
    std::optional<int> status;           // none: the window program goes on
    std::string error;                   // its stderr
};

// GLUT's options (and their values, whatever they look like) go on to GLUT;
// anything else stops the program before GLUT or a window is touched.
TEST(ProgramInfo, WindowProgramTakesGlutOptionsAndRefusesAnythingElse)
{
    const std::string help = " (see vantrel --help)\n";
    const std::vector<CWindowCommandLine> cases = {
        {{}, std::nullopt, ""},
        {{"-display", ":1", "-geometry", "-0-0", "-iconic", "-direct", "-indirect", "-gldebug", "-sync"},
         std::nullopt, ""},
        {{"--verison"}, 2, "vantrel: unknown option '--verison'" + help},
        {{"-display", ":1", "frames=5"}, 2, "vantrel: unexpected argument 'frames=5'" + help},
        {{"-Display", ":1"}, 2, "vantrel: unknown option '-Display'" + help},
        {{"-sync", "-geometry"}, 2, "vantrel: -geometry needs a value" + help},
        {{"out\n\x1b[2Jput"}, 2, "vantrel: unexpected argument 'out\\x0a\\x1b[2Jput'" + help},
        {{"--bogus", "--version"}, 0, ""},
    };
    for (const CWindowCommandLine& c : cases) {
        std::vector<const char*> argv = {"vantrel"};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const std::optional<int> status = window_info_option(static_cast<int>(argv.size()), argv.data());
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        const std::string what = c.arguments.empty() ? "(none)" : c.arguments.back();
        EXPECT_EQ(status, c.status) << what;
        EXPECT_EQ(err, c.error) << what;
        EXPECT_EQ(out.rfind("vantrel ", 0) == 0, c.status == 0) << what << ": " << out;
    }
}
}  // namespace
