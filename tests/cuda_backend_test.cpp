// SPDX-License-Identifier: Apache-2.0
// The CUDA backend as far as a machine without a GPU can exercise it: the
// fallback render, clean failures, and the device kernel's source.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/image_size.h"
#include "runtime/camera.h"
#include "runtime/frame_buffers.h"
#include "runtime/startup.h"
#include "engine/engine.h"
#include "kernel/random.h"
#include "scene/built_in_scene.h"
#include "tests/engine_run.h"
#if VANTREL_HAVE_CUDA
#include "engine/cuda/cuda_device.h"
#endif

namespace {
using CRenderResult = test_support::CEngineRun;

CRenderResult render(CBackendChoice backend, uint32_t seed, int frames)
{
    return test_support::run_engine(backend, seed, frames);
}

int count_of(const std::string& text, const std::string& part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

// Skips unless this is a CUDA build on a machine where no device answers.
#define REQUIRE_CUDA_BUILD_WITHOUT_DEVICE()                                   \
    do {                                                                      \
        if (!cuda_backend_built())                                            \
            GTEST_SKIP() << "this build has no CUDA backend";                 \
        if (probe_cuda_devices().device_count > 0)                            \
            GTEST_SKIP() << "a CUDA device is present; this checks its absence"; \
    } while (0)
}  // namespace

TEST(CudaFallback, AutomaticRendersTheCpuPictureAndSaysSoOnce)
{
    REQUIRE_CUDA_BUILD_WITHOUT_DEVICE();
    const CRenderResult automatic = render(CBackendChoice::automatic, 20240607u, 2);
    const CRenderResult cpu = render(CBackendChoice::cpu, 20240607u, 2);
    ASSERT_TRUE(automatic.started) << automatic.err;
    ASSERT_TRUE(cpu.started) << cpu.err;
    EXPECT_EQ(automatic.backend, "CPU");
    EXPECT_TRUE(automatic.pixels == cpu.pixels);
    EXPECT_TRUE(automatic.sums == cpu.sums);
    EXPECT_TRUE(automatic.counts == cpu.counts);
    EXPECT_GT(std::count_if(cpu.counts.begin(), cpu.counts.end(), [](uint32_t c) { return c > 0; }), 0);

    // One line on stderr naming CUDA's reason; stdout only the console lines.
    const std::string reason = probe_cuda_devices().reason;
    EXPECT_EQ(automatic.err, "vantrel: no usable CUDA device (" + reason + "); rendering on the CPU\n");
    EXPECT_EQ(automatic.out, cpu.out);
    EXPECT_EQ(cpu.out, "Vantrel Prototype 1\nInitializing CUDA engine\nDeinitializing CUDA engine\n");
    EXPECT_EQ(cpu.err, "");
}

// With or without CUDA in the build.
TEST(CudaFallback, CudaAskedForFailsCleanlyBeforeAnyBuffer)
{
    const std::string reason = probe_cuda_devices().reason;
    if (probe_cuda_devices().device_count > 0)
        GTEST_SKIP() << "a CUDA device is present; this checks its absence";
    const CRenderResult cuda = render(CBackendChoice::cuda, 1u, 1);
    EXPECT_FALSE(cuda.started);
    EXPECT_FALSE(engine_ready());
    EXPECT_EQ(count_of(cuda.err, "\n"), 1) << cuda.err;
    EXPECT_EQ(count_of(cuda.err, reason), 1) << cuda.err;
    // Start-up released everything it had built.
    EXPECT_EQ(g_frame.pixel_buffer, nullptr);
    EXPECT_EQ(seed_list, nullptr);
}

#if VANTREL_HAVE_CUDA
// Without a driver every CUDA call fails: the device must keep the first
// failure with the call and CUDA's message for the engine to report, print
// nothing itself, and refuse the launches.
TEST(CudaDevice, FirstFailureIsKeptWithTheCallAndCudasMessage)
{
    REQUIRE_CUDA_BUILD_WITHOUT_DEVICE();
    const std::string reason = probe_cuda_devices().reason;
    const auto device = make_cuda_device();
    testing::internal::CaptureStderr();
    EXPECT_EQ(device->allocate(1024), nullptr);
    EXPECT_TRUE(device->failed());
    uint8_t host[16] = {7};
    EXPECT_FALSE(device->copy_to_host(host, host, sizeof host));
    EXPECT_EQ(host[0], 7);
    EXPECT_FALSE(device->launch_path_trace(CFrameArgs{}));
    EXPECT_FALSE(device->launch_bind_globals(CSceneLists{}, CRandomBindings{}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(device->failure(), "CUDA error in cudaMalloc: " + reason);
}

TEST(CudaDevice, EngineOnAFailingDeviceReleasesAndReportsOnce)
{
    REQUIRE_CUDA_BUILD_WITHOUT_DEVICE();
    std::vector<CVector3> normals(kDeviceNormalCount);
    std::vector<uint32_t> seeds(kPixelCount, 1u);
    testing::internal::CaptureStderr();
    const bool ok = engine_init_on(make_cuda_device(), kSphereCount, kPlaneCount, normals.data(), seeds.data());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(ok);
    EXPECT_FALSE(engine_ready());
    EXPECT_FALSE(engine_failed());
    EXPECT_EQ(count_of(err, "CUDA error in cudaMalloc"), 1) << err;
}
#endif

namespace {
std::string read_without_comments(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::stringstream code;
    for (std::string line; std::getline(in, line);)
        code << line.substr(0, line.find("//")) << '\n';
    return code.str();
}
}  // namespace

// One source of the per-pixel logic: the device kernels only find the pixel
// index and call the shared body.
TEST(KernelSource, DeviceKernelsCallTheSharedBodyAndHoldNoCopyOfIt)
{
    const std::filesystem::path root = VANTREL_SOURCE_DIR;
    const std::string cuda = read_without_comments(root / "engine/cuda/vantrel_cuda.cu");
    ASSERT_FALSE(cuda.empty());
    EXPECT_EQ(count_of(cuda, "#include \"kernel/path.h\""), 1);
    EXPECT_EQ(count_of(cuda, "path_trace_pixel("), 1);
    EXPECT_EQ(count_of(cuda, "__global__"), 2);
    for (const char* body_name : {"find_nearest_hit", "intersect_sphere", "intersect_plane", "scatter(",
                                  "trace_path", "combine_path", "accumulate_sample", "clamp_channel",
                                  "next_random", "random_unit_vector", "vec3_"})
        EXPECT_EQ(cuda.find(body_name), std::string::npos) << body_name;

    // No other CUDA source anywhere that could carry a second copy.
    std::vector<std::string> cuda_sources;
    for (const char* dir : {"kernel", "engine", "app", "scene", "tools"}) {
        if (!std::filesystem::exists(root / dir))
            continue;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root / dir))
            if (entry.path().extension() == ".cu" || entry.path().extension() == ".cuh")
                cuda_sources.push_back(std::filesystem::relative(entry.path(), root).string());
    }
    EXPECT_EQ(cuda_sources, std::vector<std::string>{"engine/cuda/vantrel_cuda.cu"});
}
