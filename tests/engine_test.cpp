// SPDX-License-Identifier: Apache-2.0
// The render engine bridge on a recording device: which buffers it makes, what
// it copies when, which kernels it starts, and what it releases.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/camera.h"
#include "engine/cpu/cpu_pass.h"
#include "engine/engine.h"
#include "tests/host_state.h"

namespace {
struct CCall {
    std::string op;         // allocate, release, fill_zero, to_device, to_host, bind_globals, path_trace
    const void* device;     // the device memory involved, if any
    const void* host;       // the host memory involved, if any
    size_t bytes = 0;
};

struct CRecording {
    std::vector<CCall> calls;
    bool refuse_path_trace = false;
    int fail_allocation = -1;  // index of the allocation that fails, -1 for none
    int allocations = 0;
    CSceneLists bound_scene{};
    CRandomBindings bound{};

    std::vector<CCall> of(const std::string& op) const
    {
        std::vector<CCall> found;
        for (const CCall& call : calls)
            if (call.op == op)
                found.push_back(call);
        return found;
    }
};

// Host memory as device memory, the real CPU kernels, and a log of every call.
class CRecordingDevice final : public CDeviceOperations {
public:
    explicit CRecordingDevice(std::shared_ptr<CRecording> log) : log_(std::move(log)) {}
    const char* name() const override { return "recording"; }
    void* allocate(size_t bytes) override
    {
        void* memory = log_->allocations++ == log_->fail_allocation ? nullptr : std::malloc(bytes);
        log_->calls.push_back({"allocate", memory, nullptr, bytes});
        return memory;
    }
    void release(void* memory) override
    {
        log_->calls.push_back({"release", memory, nullptr, 0});
        std::free(memory);
    }
    bool fill_zero(void* memory, size_t bytes) override
    {
        log_->calls.push_back({"fill_zero", memory, nullptr, bytes});
        std::memset(memory, 0, bytes);
        return true;
    }
    bool copy_to_device(void* memory, const void* host, size_t bytes) override
    {
        log_->calls.push_back({"to_device", memory, host, bytes});
        std::memcpy(memory, host, bytes);
        return true;
    }
    bool copy_to_host(void* host, const void* memory, size_t bytes) override
    {
        log_->calls.push_back({"to_host", memory, host, bytes});
        std::memcpy(host, memory, bytes);
        return true;
    }
    bool launch_bind_globals(const CSceneLists& scene, CRandomBindings bindings) override
    {
        log_->calls.push_back({"bind_globals", nullptr, nullptr, 0});
        log_->bound_scene = scene;
        log_->bound = bindings;
        bind_globals_cpu(bindings);
        return true;
    }
    bool launch_path_trace(const CFrameArgs& frame) override
    {
        log_->calls.push_back({"path_trace", nullptr, nullptr, 0});
        if (log_->refuse_path_trace)
            return false;
        path_trace_pass_cpu(frame, 0);
        return true;
    }

private:
    std::shared_ptr<CRecording> log_;
};

constexpr size_t kPixels = 640u * 480u;
// The device buffers in the order they are made, with their sizes.
const std::vector<std::pair<std::string, size_t>> kBuffers = {
    {"sphere_list", 144},   {"plane_list", 288}, {"normal_list", 1474560}, {"rayList", 7372800},
    {"cbuffer", 1228800},   {"buffer", 3686400}, {"fbuffer", 921600},      {"rand_list", 1228800}};

class EngineTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(test_support::build_host_state(12345u)); }
    void TearDown() override { test_support::release_host_state(); }

    bool start(CRecording* settings = nullptr)
    {
        if (settings)
            *log_ = *settings;
        return engine_init_on(std::make_unique<CRecordingDevice>(log_), kSphereCount, kPlaneCount,
                              normal_table.get(), seed_list.get());
    }

    // The device address of each buffer, by name, from the allocation log.
    std::map<std::string, const void*> buffers() const
    {
        std::map<std::string, const void*> named;
        const std::vector<CCall> made = log_->of("allocate");
        for (size_t k = 0; k < made.size() && k < kBuffers.size(); ++k)
            named[kBuffers[k].first] = made[k].device;
        return named;
    }

    std::shared_ptr<CRecording> log_ = std::make_shared<CRecording>();
};

TEST_F(EngineTest, InitMakesTheBuffersInOrderUploadsTablesAndBindsThem)
{
    ASSERT_TRUE(start());
    const std::vector<CCall> made = log_->of("allocate");
    ASSERT_EQ(made.size(), kBuffers.size());
    for (size_t k = 0; k < kBuffers.size(); ++k)
        EXPECT_EQ(made[k].bytes, kBuffers[k].second) << kBuffers[k].first;
    auto named = buffers();

    const std::vector<CCall> zeroed = log_->of("fill_zero");
    ASSERT_EQ(zeroed.size(), 1u);
    EXPECT_EQ(zeroed[0].device, named["fbuffer"]);
    EXPECT_EQ(zeroed[0].bytes, 921600u);

    // Only the first 122,880 of the table's 131,072 vectors go over; then the seeds.
    const std::vector<CCall> uploads = log_->of("to_device");
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_EQ(uploads[0].device, named["normal_list"]);
    EXPECT_EQ(uploads[0].host, normal_table.get());
    EXPECT_EQ(uploads[0].bytes, 122880u * sizeof(CVector3));
    EXPECT_EQ(uploads[0].bytes, 1474560u);
    EXPECT_EQ(std::memcmp(named["normal_list"], normal_table.get(), 1474560u), 0);
    EXPECT_EQ(uploads[1].device, named["rand_list"]);
    EXPECT_EQ(uploads[1].host, seed_list.get());
    EXPECT_EQ(uploads[1].bytes, 1228800u);

    // bind_globals, once, with the device table and states; nothing traced yet.
    // (The CUDA device's launch shapes: cuda_double_test.)
    const std::vector<CCall> binds = log_->of("bind_globals");
    ASSERT_EQ(binds.size(), 1u);
    EXPECT_EQ(log_->bound.normal_list, named["normal_list"]);
    EXPECT_EQ(log_->bound.rand_list, named["rand_list"]);
    EXPECT_EQ(log_->bound_scene.sphere_count, 3u);
    EXPECT_EQ(log_->bound_scene.plane_count, 6u);
    EXPECT_EQ(log_->calls.back().op, "bind_globals");
    EXPECT_TRUE(log_->of("path_trace").empty());
}

TEST_F(EngineTest, FramesCopyStateInAndOutAndTheRaysOnlyOnce)
{
    ASSERT_TRUE(start());
    auto named = buffers();
    for (int frame = 0; frame < 2; ++frame) {
        log_->calls.clear();
        trace_frame(g_frame);
        std::vector<std::string> seen;
        for (const CCall& call : log_->calls) {
            std::string what = call.op;
            for (const auto& [name, address] : named)
                if (call.device == address)
                    what += " " + name;
            seen.push_back(what);
        }
        std::vector<std::string> expected = {"to_device sphere_list", "to_device plane_list", "to_device cbuffer",
                                             "to_device buffer"};
        if (frame == 0)
            expected.push_back("to_device rayList");
        for (const char* step : {"path_trace", "to_host cbuffer", "to_host buffer", "to_host fbuffer"})
            expected.push_back(step);
        EXPECT_EQ(seen, expected) << "frame " << frame;

        const std::vector<CCall> in = log_->of("to_device");
        EXPECT_EQ(in[0].host, g_spheres.get());
        EXPECT_EQ(in[0].bytes, 144u);
        EXPECT_EQ(in[1].host, g_planes.get());
        EXPECT_EQ(in[1].bytes, 288u);
        EXPECT_EQ(in[2].host, g_frame.count_buffer.get());
        EXPECT_EQ(in[3].host, g_frame.accum_buffer.get());
        if (frame == 0) {
            EXPECT_EQ(in[4].host, g_frame.ray_list.get());
            EXPECT_EQ(in[4].bytes, 7372800u);
        }
        const std::vector<CCall> out = log_->of("to_host");
        EXPECT_EQ(out[0].host, g_frame.count_buffer.get());
        EXPECT_EQ(out[0].bytes, 1228800u);
        EXPECT_EQ(out[1].host, g_frame.accum_buffer.get());
        EXPECT_EQ(out[1].bytes, 3686400u);
        EXPECT_EQ(out[2].host, g_frame.pixel_buffer.get());
        EXPECT_EQ(out[2].bytes, 921600u);
    }
}

TEST_F(EngineTest, PixelsWithoutASampleStayBlack)
{
    ASSERT_TRUE(start());
    // Whatever the host image held, the device image starts black.
    std::memset(g_frame.pixel_buffer.get(), 0xAB, kPixels * 3);
    trace_frame(g_frame);
    size_t unsampled = 0, sampled = 0;
    for (size_t p = 0; p < kPixels; ++p) {
        const uint8_t* rgb = &g_frame.pixel_buffer[3 * p];
        if (g_frame.count_buffer[p] == 0) {
            ++unsampled;
            ASSERT_EQ(rgb[0] | rgb[1] | rgb[2], 0) << "pixel " << p;
            ASSERT_EQ(g_frame.accum_buffer[3 * p] + g_frame.accum_buffer[3 * p + 1] + g_frame.accum_buffer[3 * p + 2],
                      0.0f);
        } else {
            ++sampled;
            ASSERT_EQ(g_frame.count_buffer[p], 1u) << "pixel " << p;
        }
    }
    // One frame leaves both kinds, so both branches were checked.
    EXPECT_GT(unsampled, 0u);
    EXPECT_GT(sampled, kPixels / 2);
}

TEST_F(EngineTest, ARefusedLaunchLeavesTheHostStateAsItWas)
{
    ASSERT_TRUE(start());
    trace_frame(g_frame);
    const std::vector<float> sums(g_frame.accum_buffer.get(), g_frame.accum_buffer.get() + kPixels * 3);
    const std::vector<uint32_t> counts(g_frame.count_buffer.get(), g_frame.count_buffer.get() + kPixels);
    const std::vector<uint8_t> image(g_frame.pixel_buffer.get(), g_frame.pixel_buffer.get() + kPixels * 3);

    log_->refuse_path_trace = true;
    trace_frame(g_frame);
    EXPECT_EQ(log_->of("path_trace").size(), 2u);
    EXPECT_EQ(std::memcmp(sums.data(), g_frame.accum_buffer.get(), sums.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(counts.data(), g_frame.count_buffer.get(), counts.size() * sizeof(uint32_t)), 0);
    EXPECT_EQ(std::memcmp(image.data(), g_frame.pixel_buffer.get(), image.size()), 0);
}

TEST_F(EngineTest, DeinitReleasesEveryBufferOnceInOrder)
{
    ASSERT_TRUE(start());
    auto named = buffers();
    testing::internal::CaptureStdout();
    engine_deinit();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Deinitializing CUDA engine\n");
    EXPECT_FALSE(engine_ready());

    std::vector<std::string> released;
    for (const CCall& call : log_->of("release"))
        for (const auto& [name, address] : named)
            if (call.device == address)
                released.push_back(name);
    EXPECT_EQ(released, (std::vector<std::string>{"sphere_list", "plane_list", "normal_list", "rayList", "cbuffer",
                                                  "fbuffer", "buffer", "rand_list"}));
}

TEST_F(EngineTest, AFailedAllocationReleasesWhatWasMadeAndStartsNothing)
{
    CRecording settings;
    settings.fail_allocation = 4;  // cbuffer
    testing::internal::CaptureStderr();
    EXPECT_FALSE(start(&settings));
    const std::string complaint = testing::internal::GetCapturedStderr();
    EXPECT_NE(complaint.find("cbuffer"), std::string::npos) << complaint;
    EXPECT_FALSE(engine_ready());
    EXPECT_EQ(log_->of("allocate").size(), 5u);
    EXPECT_EQ(log_->of("release").size(), 4u);
    EXPECT_TRUE(log_->of("bind_globals").empty());
    // A frame without an engine touches nothing.
    trace_frame(g_frame);
    EXPECT_TRUE(log_->of("path_trace").empty());
}
}  // namespace
