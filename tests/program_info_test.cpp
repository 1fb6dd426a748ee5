// SPDX-License-Identifier: Apache-2.0
// What --version says about the CUDA backend's GPUs, read from the build's
// architecture list; which command lines vantrel answers itself.

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
    std::vector<const char*> arguments;  // after the program name
    std::optional<int> status;           // nothing: GLUT's to read, the window opens
    std::string stdout_start;
    std::string stderr_text;
};

TEST(ProgramInfo, WindowAnswersHelpAndVersionAndRefusesTheRest)
{
    const std::string usage = "Usage: vantrel [OPTION]...\n";
    const std::vector<CWindowCommandLine> cases = {
        {{"-h"}, 0, usage, ""},
        {{"--help"}, 0, usage, ""},
        {{"-iconic", "--bogus", "-h"}, 0, usage, ""},
        {{"--version"}, 0, "vantrel ", ""},
        {{"-geometry", "-h", "-sync"}, 2, "",  // -h is the geometry here
         "vantrel: -geometry '-h' is not WIDTHxHEIGHT, WIDTHxHEIGHT+X+Y or +X+Y (see vantrel --help)\n"},
        {{"-geometry", "800x600+10+10", "-display", ":1"}, std::nullopt, "", ""},
        {{"-geometry", "-0+20", "-geometry", "640X480"}, std::nullopt, "", ""},
        {{"-geometry", "800x600+10+10x"}, 2, "",
         "vantrel: -geometry '800x600+10+10x' is not WIDTHxHEIGHT, WIDTHxHEIGHT+X+Y or +X+Y (see vantrel --help)\n"},
        {{"-help"}, 2, "", "vantrel: unknown option '-help' (see vantrel --help)\n"},
        {{"-display"}, 2, "", "vantrel: -display needs a value (see vantrel --help)\n"},
    };
    for (const CWindowCommandLine& c : cases) {
        std::vector<const char*> argv = {"vantrel"};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const std::optional<int> status = window_info_option(static_cast<int>(argv.size()), argv.data());
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        const std::string what = testing::PrintToString(c.arguments);
        EXPECT_EQ(status, c.status) << what;
        EXPECT_EQ(out.substr(0, c.stdout_start.size()), c.stdout_start) << what;
        EXPECT_EQ(out.empty(), c.stdout_start.empty()) << what;
        EXPECT_EQ(err, c.stderr_text) << what;
    }
}
}  // namespace
