// SPDX-License-Identifier: Apache-2.0
// The CUDA backend run on the CUDA-runtime test double: its pictures against
// the CPU backend's, the device operations of start-up, frames and shutdown,
// and every kind of CUDA failure at every call site.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/image_size.h"
#include "runtime/camera.h"
#include "runtime/frame_buffers.h"
#include "runtime/startup.h"
#include "engine/engine.h"
#include "kernel/random.h"
#include "tests/cuda_double/cuda_double.h"
#include "tests/engine_run.h"
#include "tests/run_program.h"
#include "render/benchmark/benchmark.h"
#include "render/benchmark/stress.h"

namespace {
constexpr uint32_t kSeed = 424242u;

// A run with what the double saw of it.
struct CRun : test_support::CEngineRun {
    std::vector<std::string> log;
    size_t bound_normals = 0;  // bytes of the allocation each binding points to
    size_t bound_states = 0;
};

// Start-up, up to `frames` frames (stopping at a failed one), shutdown.
CRun run(CBackendChoice backend, int frames, uint32_t seed = kSeed)
{
    CRun result;
    static_cast<test_support::CEngineRun&>(result) = test_support::run_engine(backend, seed, frames, [&] {
        result.bound_normals = cuda_double::allocation_bytes(cuda_double::device_variable("g_normal_list"));
        result.bound_states = cuda_double::allocation_bytes(cuda_double::device_variable("g_rand_list"));
    });
    result.log = cuda_double::log();
    return result;
}

// The double is process-wide: every test starts it afresh and checks that
// the engine left nothing behind and never misused the runtime.
class CudaDoubleTest : public testing::Test {
protected:
    void SetUp() override { cuda_double::reset(); }
    void TearDown() override
    {
        EXPECT_EQ(cuda_double::live_allocations(), 0u);
        EXPECT_EQ(cuda_double::live_registrations(), 0u);
        EXPECT_TRUE(cuda_double::misuses().empty()) << cuda_double::misuses().front();
        cuda_double::reset();
    }
};

const CRun& cpu_reference(int frames)
{
    static std::vector<CRun> by_frames(4);
    CRun& reference = by_frames.at(frames);
    if (!reference.started)
        reference = run(CBackendChoice::cpu, frames);
    return reference;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    return lines;
}
}  // namespace

// On a GPU the benchmark states the difference from the CPU's picture and the
// stress mode holds every cycle to the first; the double computes as the CPU
// does, so the check is byte for byte, and a byte changed in a later cycle is
// a mismatch (exit 1).
TEST_F(CudaDoubleTest, TheBenchmarkComparesExactlyAndStressHoldsCyclesToTheFirst)
{
    const CRun cpu = run(CBackendChoice::cpu, 2, kStandardSeed);
    CKnownAnswer known{2, picture_digest(cpu.pixels.data(), kImageWidth, kImageHeight),
                       [&cpu](std::vector<uint8_t>& picture, std::string&) {
                           picture = cpu.pixels;
                           return true;
                       }};
    CBenchmarkRequest request;
    request.engine.backend = CBackendChoice::cuda;
    request.quiet = true;
    FILE* text = std::tmpfile();
    CBenchmarkPlan plan{known, 0.0};
    CStressPlan stress{600, 3, known, [](uint8_t* pixels, uint32_t cycle) { pixels[7] ^= cycle == 3 ? 1 : 0; }};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    request.choice.mode = CBenchmarkMode::chosen_pass;
    const int benchmark_status = benchmark_main(request, plan, {text, stdout});
    request.choice.mode = CBenchmarkMode::none;
    request.choice.stress_seconds = 600;
    const int stress_status = stress_main(request, stress, {text, stdout});
    const std::string err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    std::rewind(text);
    std::string report;
    for (int c; (c = std::fgetc(text)) != EOF;)
        report += static_cast<char>(c);
    std::fclose(text);
    EXPECT_EQ(benchmark_status, 0) << err;
    EXPECT_EQ(stress_status, 1) << err;
    for (const char* said : {"backend:    CUDA\n", "verified: frame 2 is the known answer byte for byte",
                             "difference: largest R 0, G 0, B 0; mean R 0.000, G 0.000, B 0.000",
                             "3 cycles of 2 frames checked against the first cycle", "1 of 3 cycles differed",
                             "cycle 3: 1 of 307200 pixels differs"})
        EXPECT_NE(report.find(said), std::string::npos) << said << "\n" << report;
}

TEST_F(CudaDoubleTest, RendersTheCpuBackendsFramesByteForByte)
{
    const CRun cuda = run(CBackendChoice::cuda, 3);
    ASSERT_TRUE(cuda.started) << cuda.err;
    EXPECT_EQ(cuda.backend, "CUDA");
    EXPECT_EQ(cuda.frames_done, 3);
    EXPECT_EQ(cuda.err, "");
    const CRun& cpu = cpu_reference(3);
    EXPECT_EQ(cuda.out, cpu.out);
    EXPECT_TRUE(cuda.pixels == cpu.pixels);
    EXPECT_TRUE(cuda.sums == cpu.sums);
    EXPECT_TRUE(cuda.counts == cpu.counts);
    // bind_globals bound the kernels' table and random states to their buffers.
    EXPECT_EQ(cuda.bound_normals, 1474560u);
    EXPECT_EQ(cuda.bound_states, 1228800u);
}

// The bridge's contract with the device: operations, order and byte counts.
// The sums, counts and bytes that every frame copies (in from the host's
// arrays, back into the engine's staging arrays) are page-locked from start-up
// to shutdown; the rest copies from pageable memory.
TEST_F(CudaDoubleTest, DeviceOperationsOfStartUpFramesAndShutdown)
{
    const CRun cuda = run(CBackendChoice::cuda, 2);
    ASSERT_TRUE(cuda.started) << cuda.err;
    const std::vector<std::string> frame_in = {"cudaMemcpy HostToDevice 144", "cudaMemcpy HostToDevice 288",
                                               "cudaMemcpy HostToDevice 1228800 page-locked",
                                               "cudaMemcpy HostToDevice 3686400 page-locked"};
    const std::vector<std::string> frame_pass = {"cudaLaunchKernelEx path_trace_cuda 20x240x1 32x2x1",
                                                 "cudaDeviceSynchronize",
                                                 "run path_trace_cuda",
                                                 "cudaMemcpy DeviceToHost 1228800 page-locked",
                                                 "cudaMemcpy DeviceToHost 3686400 page-locked",
                                                 "cudaMemcpy DeviceToHost 921600 page-locked"};
    std::vector<std::string> expected = {
        "cudaGetDeviceCount", "cudaFuncGetAttributes path_trace_cuda",
        // start-up
        "cudaMalloc 144", "cudaMalloc 288", "cudaMalloc 1474560", "cudaMalloc 7372800", "cudaMalloc 1228800",
        "cudaMalloc 3686400", "cudaMalloc 921600", "cudaMalloc 1228800", "cudaMemset 921600",
        "cudaMemcpy HostToDevice 1474560", "cudaMemcpy HostToDevice 1228800",
        "cudaLaunchKernelEx bind_globals 1x1x1 1x1x1", "cudaDeviceSynchronize", "run bind_globals",
        "cudaHostRegister 3686400", "cudaHostRegister 1228800", "cudaHostRegister 3686400",
        "cudaHostRegister 1228800", "cudaHostRegister 921600"};
    // The first frame adds the rays; the second does not.
    expected.insert(expected.end(), frame_in.begin(), frame_in.end());
    expected.push_back("cudaMemcpy HostToDevice 7372800");
    expected.insert(expected.end(), frame_pass.begin(), frame_pass.end());
    expected.insert(expected.end(), frame_in.begin(), frame_in.end());
    expected.insert(expected.end(), frame_pass.begin(), frame_pass.end());
    for (const char* unlocked : {"3686400", "1228800", "3686400", "1228800", "921600"})
        expected.push_back(std::string("cudaHostUnregister ") + unlocked);
    for (const char* freed : {"144", "288", "1474560", "7372800", "1228800", "921600", "3686400", "1228800"})
        expected.push_back(std::string("cudaFree ") + freed);
    EXPECT_EQ(cuda.log, expected);
    EXPECT_EQ(cuda.out, "Vantrel Prototype 1\nInitializing CUDA engine\nDeinitializing CUDA engine\n");
}

namespace {
enum class CExpect {
    no_device,       // the probe finds no usable device
    start_fails,     // start-up fails (cuda) or falls back to the CPU (auto)
    frame_fails,     // the frame fails; nothing after it
    shutdown_fails,  // reported at shutdown, after good frames
    pageable,        // said once; the frames render, their copies from pageable memory
};

struct CFailureCase {
    const char* call;
    int occurrence;
    cudaError_t error;
    CExpect expect;
    const char* reported_call;  // the name in the message
    int failing_frame = 0;      // for frame_fails: 1 or 2
};

std::ostream& operator<<(std::ostream& out, const CFailureCase& c)
{
    return out << c.call << " #" << c.occurrence << " -> " << c.error;
}

// Every device operation of start-up and of a frame, with the failures a GPU
// gives there. Occurrences count from the probe (cudaGetDeviceCount #1).
const CFailureCase kFailures[] = {
    {"cudaGetDeviceCount", 1, cudaErrorInsufficientDriver, CExpect::no_device, ""},
    {"cudaGetDeviceCount", 1, cudaErrorNoDevice, CExpect::no_device, ""},
    {"cudaFuncGetAttributes", 1, cudaErrorNoKernelImageForDevice, CExpect::no_device, ""},
    {"cudaMalloc", 1, cudaErrorMemoryAllocation, CExpect::start_fails, "cudaMalloc"},
    {"cudaMalloc", 4, cudaErrorMemoryAllocation, CExpect::start_fails, "cudaMalloc"},
    {"cudaMalloc", 8, cudaErrorMemoryAllocation, CExpect::start_fails, "cudaMalloc"},
    {"cudaMemset", 1, cudaErrorIllegalAddress, CExpect::start_fails, "cudaMemset"},
    {"cudaMemcpy", 1, cudaErrorIllegalAddress, CExpect::start_fails, "cudaMemcpy (host to device)"},
    {"cudaMemcpy", 2, cudaErrorMemoryAllocation, CExpect::start_fails, "cudaMemcpy (host to device)"},
    {"cudaLaunchKernelEx", 1, cudaErrorNoKernelImageForDevice, CExpect::start_fails, "launch of bind_globals"},
    {"cudaLaunchKernelEx", 1, cudaErrorInvalidDeviceFunction, CExpect::start_fails, "launch of bind_globals"},
    {"cudaLaunchKernelEx", 1, cudaErrorIllegalAddress, CExpect::start_fails,
     "cudaDeviceSynchronize after bind_globals"},
    {"cudaDeviceSynchronize", 1, cudaErrorIllegalAddress, CExpect::start_fails,
     "cudaDeviceSynchronize after bind_globals"},
    {"cudaMemcpy", 3, cudaErrorIllegalAddress, CExpect::frame_fails, "cudaMemcpy (host to device)", 1},
    {"cudaMemcpy", 7, cudaErrorMemoryAllocation, CExpect::frame_fails, "cudaMemcpy (host to device)", 1},
    {"cudaLaunchKernelEx", 2, cudaErrorNoKernelImageForDevice, CExpect::frame_fails, "launch of path_trace_cuda", 1},
    {"cudaLaunchKernelEx", 2, cudaErrorIllegalAddress, CExpect::frame_fails,
     "cudaDeviceSynchronize after path_trace_cuda", 1},
    {"cudaDeviceSynchronize", 2, cudaErrorIllegalAddress, CExpect::frame_fails,
     "cudaDeviceSynchronize after path_trace_cuda", 1},
    {"cudaMemcpy", 8, cudaErrorIllegalAddress, CExpect::frame_fails, "cudaMemcpy (device to host)", 1},
    {"cudaMemcpy", 10, cudaErrorIllegalAddress, CExpect::frame_fails, "cudaMemcpy (device to host)", 1},
    {"cudaLaunchKernelEx", 3, cudaErrorIllegalAddress, CExpect::frame_fails,
     "cudaDeviceSynchronize after path_trace_cuda", 2},
    {"cudaFree", 1, cudaErrorIllegalAddress, CExpect::shutdown_fails, "cudaFree"},
    {"cudaHostRegister", 1, cudaErrorMemoryAllocation, CExpect::pageable, "cudaHostRegister"},
    {"cudaHostRegister", 3, cudaErrorNotSupported, CExpect::pageable, "cudaHostRegister"},
    {"cudaHostUnregister", 1, cudaErrorIllegalAddress, CExpect::shutdown_fails, "cudaHostUnregister"},
};

class CudaFailureTest : public CudaDoubleTest, public testing::WithParamInterface<CFailureCase> {};
}  // namespace

TEST_P(CudaFailureTest, IsReportedOnceAndNeverShowsAStalePicture)
{
    const CFailureCase& c = GetParam();
    const std::string message = cudaGetErrorString(c.error);
    for (CBackendChoice backend : {CBackendChoice::cuda, CBackendChoice::automatic}) {
        SCOPED_TRACE(backend == CBackendChoice::cuda ? "--backend cuda" : "--backend auto");
        cuda_double::reset();
        cuda_double::fail(c.call, c.occurrence, c.error);
        // Two frames where the second fails, else one.
        const int frames = c.failing_frame == 2 ? 2 : 1;
        const CRun got = run(backend, frames);
        const std::vector<std::string> err = lines_of(got.err);
        ASSERT_EQ(err.size(), 1u) << got.err;
        EXPECT_NE(err[0].find(message), std::string::npos) << err[0];
        EXPECT_EQ(cuda_double::live_allocations(), 0u);
        EXPECT_EQ(cuda_double::live_registrations(), 0u);
        EXPECT_TRUE(cuda_double::misuses().empty()) << cuda_double::misuses().front();
        const auto failed_at = std::find_if(got.log.begin(), got.log.end(),
                                            [](const std::string& line) { return line.find(" -> ") != std::string::npos; });
        ASSERT_NE(failed_at, got.log.end());
        if (c.expect == CExpect::pageable) {
            // All or none: what was locked is unlocked again, and every frame
            // renders the CPU's picture with its copies from pageable memory.
            ASSERT_TRUE(got.started);
            EXPECT_EQ(got.backend, "CUDA");
            EXPECT_EQ(err[0], std::string("vantrel: cannot page-lock the frame buffers (CUDA error in ") +
                                  c.reported_call + ": " + message + "); copying them from pageable memory");
            EXPECT_EQ(got.frames_done, frames);
            EXPECT_TRUE(got.pixels == cpu_reference(frames).pixels);
            for (const std::string& line : got.log)
                EXPECT_EQ(line.find("page-locked"), std::string::npos) << line;
            continue;
        }
        // After the first failed call the engine only releases: no further
        // copy, launch or wait, so no result of a failed device is used.
        for (auto later = failed_at + 1; later != got.log.end(); ++later)
            EXPECT_TRUE(later->rfind("cudaFree ", 0) == 0 || later->rfind("cudaHostUnregister ", 0) == 0) << *later;

        const bool at_start = c.expect == CExpect::no_device || c.expect == CExpect::start_fails;
        if (c.expect == CExpect::frame_fails && backend == CBackendChoice::automatic) {
            // The CPU takes over from the last good frame (RendersTheCpuPictureWhenTheDeviceFailsMidRun).
            EXPECT_NE(err[0].find("rendering on the CPU from the last good frame"), std::string::npos) << err[0];
            EXPECT_FALSE(got.failed);
            EXPECT_TRUE(got.pixels == cpu_reference(frames).pixels);
            continue;
        }
        if (at_start && backend == CBackendChoice::cuda) {
            EXPECT_FALSE(got.started);
            EXPECT_EQ(g_frame.pixel_buffer, nullptr);  // start-up released what it built
        } else if (at_start) {
            // The CPU takes over with one line and renders the CPU's picture.
            ASSERT_TRUE(got.started);
            EXPECT_EQ(got.backend, "CPU");
            EXPECT_NE(err[0].find("rendering on the CPU"), std::string::npos) << err[0];
            EXPECT_TRUE(got.pixels == cpu_reference(frames).pixels);
        } else {
            ASSERT_TRUE(got.started);
            EXPECT_EQ(got.backend, "CUDA");
            EXPECT_EQ(err[0], std::string("vantrel: CUDA error in ") + c.reported_call + ": " + message);
        }
        if (c.expect == CExpect::start_fails) {
            EXPECT_NE(err[0].find(std::string("CUDA error in ") + c.reported_call + ": " + message), std::string::npos)
                << err[0];
        }
        if (c.expect == CExpect::frame_fails) {
            // The picture stays the last good frame's: nothing of the failed one.
            EXPECT_TRUE(got.failed);
            EXPECT_EQ(got.frames_done, c.failing_frame - 1);
            if (c.failing_frame == 2)
                EXPECT_TRUE(got.pixels == cpu_reference(1).pixels);
            else
                EXPECT_TRUE(std::all_of(got.pixels.begin(), got.pixels.end(), [](uint8_t b) { return b == 0; }));
        }
        if (c.expect == CExpect::shutdown_fails) {
            EXPECT_EQ(got.frames_done, 1);
            EXPECT_TRUE(got.pixels == cpu_reference(1).pixels);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryCallSite, CudaFailureTest, testing::ValuesIn(kFailures));

// With --backend auto, a device that fails in frame k of n hands over to the
// CPU from the last good frame: the n frames are the CPU's, byte for byte,
// whichever call of the frame fails (a copy in, the launch, the kernel, or a
// copy out after others of the frame succeeded) and however it fails.
TEST_F(CudaDoubleTest, RendersTheCpuPictureWhenTheDeviceFailsMidRun)
{
    constexpr int kFrames = 3;
    struct CFault {
        const char* what;
        const char* call;
        int first, per_frame;  // the call's occurrence in frame 1, and its step from frame to frame
        cudaError_t error;
    };
    // Start-up makes two copies, one launch and one wait; frame 1 copies 5 in
    // (the rays once) and 4 out (counts, sums, bytes, random states), later frames 4 and 4.
    const CFault faults[] = {
        {"the first copy in", "cudaMemcpy", 3, 8, cudaErrorIllegalAddress},
        {"a refused launch", "cudaLaunchKernelEx", 2, 1, cudaErrorNoKernelImageForDevice},
        {"a kernel fault", "cudaLaunchKernelEx", 2, 1, cudaErrorIllegalAddress},
        {"the wait", "cudaDeviceSynchronize", 2, 1, cudaErrorLaunchFailure},
        {"the sums copied out", "cudaMemcpy", 9, 8, cudaErrorMemoryAllocation},
        {"the random states copied out, last", "cudaMemcpy", 11, 8, cudaErrorIllegalAddress},
    };
    const CRun& cpu = cpu_reference(kFrames);
    for (const CFault& fault : faults)
        for (int k = 1; k <= kFrames; ++k) {
            SCOPED_TRACE(std::string(fault.what) + " in frame " + std::to_string(k));
            cuda_double::reset();
            cuda_double::fail(fault.call, fault.first + (k - 1) * fault.per_frame, fault.error);
            const CRun got = run(CBackendChoice::automatic, kFrames);
            ASSERT_TRUE(got.started) << got.err;
            EXPECT_EQ(got.backend, "CUDA");
            EXPECT_EQ(got.frames_done, kFrames);
            EXPECT_FALSE(got.failed);
            const std::vector<std::string> err = lines_of(got.err);
            ASSERT_EQ(err.size(), 1u) << got.err;
            EXPECT_EQ(err[0].rfind("vantrel: the CUDA device failed (CUDA error in ", 0), 0u) << err[0];
            EXPECT_NE(err[0].find(cudaGetErrorString(fault.error)), std::string::npos) << err[0];
            EXPECT_EQ(got.out, cpu.out);
            EXPECT_TRUE(got.pixels == cpu.pixels);
            EXPECT_TRUE(got.sums == cpu.sums);
            EXPECT_TRUE(got.counts == cpu.counts);
            EXPECT_EQ(cuda_double::live_allocations(), 0u);
            EXPECT_TRUE(cuda_double::misuses().empty()) << cuda_double::misuses().front();
        }
}

namespace {
struct CProgramCase {
    const char* backend;
    const char* failure;  // VANTREL_CUDA_DOUBLE_FAIL
    int status;
    const char* said;  // once on stderr
};
}  // namespace

// vantrel-render on the double: a failed device writes no file (an old one
// stays as it was) and exits 1; auto falls back, at start-up or mid-run, and
// writes the CPU's picture.
TEST_F(CudaDoubleTest, RenderProgramWritesNoFileAfterADeviceError)
{
    const CProgramCase cases[] = {
        {"cuda", "cudaLaunchKernelEx:3:700", 1,
         "CUDA error in cudaDeviceSynchronize after path_trace_cuda: an illegal memory access was encountered"},
        {"cuda", "cudaMalloc:4:2", 1, "CUDA error in cudaMalloc: out of memory"},
        {"auto", "cudaMalloc:4:2", 0, "rendering on the CPU"},
        {"auto", "cudaLaunchKernelEx:3:700", 0, "rendering on the CPU from the last good frame"},
    };
    test_support::CScratchFolder reference;
    const std::filesystem::path cpu_image = reference.path() / "cpu.ppm";
    test_support::CChild cpu(VANTREL_RENDER_ON_DOUBLE_PATH,
                             {"--frames", "2", "--seed", "5", "--quiet", "--backend", "cpu", "--output",
                              cpu_image.string()},
                             reference.path());
    ASSERT_EQ(cpu.wait(), 0) << cpu.err();
    for (const CProgramCase& c : cases) {
        SCOPED_TRACE(std::string(c.backend) + " " + c.failure);
        test_support::CScratchFolder folder;
        const std::filesystem::path image = folder.path() / "old.ppm";
        { std::ofstream(image) << "P6\n1 1\n255\nabc"; }
        setenv("VANTREL_CUDA_DOUBLE_FAIL", c.failure, 1);
        test_support::CChild child(VANTREL_RENDER_ON_DOUBLE_PATH,
                                   {"--frames", "2", "--seed", "5", "--quiet", "--backend", c.backend, "--output",
                                    image.string()},
                                   folder.path());
        const int status = child.wait();
        unsetenv("VANTREL_CUDA_DOUBLE_FAIL");
        EXPECT_EQ(status, c.status) << child.err();
        const std::string err = child.err();
        const size_t said = err.find(c.said);
        EXPECT_NE(said, std::string::npos) << err;
        EXPECT_EQ(err.find(c.said, said + 1), std::string::npos) << err;
        EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
        const bool replaced = test_support::read_text(image) != "P6\n1 1\n255\nabc";
        EXPECT_EQ(replaced, c.status == 0);
        if (c.status == 0) {
            EXPECT_TRUE(test_support::read_text(image) == test_support::read_text(cpu_image));
        }
    }
}
