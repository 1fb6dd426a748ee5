// SPDX-License-Identifier: Apache-2.0
// What --version says about the CUDA backend's GPUs, read from the build's
// architecture list.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/program_info.h"

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
}  // namespace
