// SPDX-License-Identifier: Apache-2.0
// The CPU device: uploads it defers, sums and counts it hands the pass in
// place, whole engine frames on it against the plain per-pixel loop, and the
// threads its passes run on.

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <csignal>
#include <thread>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "base/image_size.h"
#include "engine/cpu/cpu_device.h"
#include "engine/cpu/cpu_pass.h"
#include "engine/cpu/cpu_threads.h"
#include "engine/engine.h"
#include "engine/host_threads.h"
#include "kernel/random.h"
#include "tests/host_state.h"

namespace {

TEST(CpuDeviceTest, MemoryHoldsWhatWasLastUploadedFilledOrLeftThere)
{
    auto device = make_cpu_device(1);
    std::vector<uint8_t> first(64), second(16, 0xab), back(64);
    for (size_t i = 0; i < first.size(); ++i)
        first[i] = uint8_t(i + 1);
    CDeviceBuffer buffer(device.get(), 64);
    ASSERT_TRUE(buffer);

    ASSERT_TRUE(device->copy_to_device(buffer.get(), first.data(), 64));
    ASSERT_TRUE(device->copy_to_host(back.data(), buffer.get(), 64));
    EXPECT_EQ(back, first);

    // A shorter upload replaces only its own bytes.
    ASSERT_TRUE(device->copy_to_device(buffer.get(), first.data(), 64));
    ASSERT_TRUE(device->copy_to_device(buffer.get(), second.data(), 16));
    ASSERT_TRUE(device->copy_to_host(back.data(), buffer.get(), 64));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), back.begin()));
    EXPECT_TRUE(std::equal(first.begin() + 16, first.end(), back.begin() + 16));

    ASSERT_TRUE(device->copy_to_device(buffer.get(), first.data(), 64));
    ASSERT_TRUE(device->fill_zero(buffer.get(), 32));
    ASSERT_TRUE(device->copy_to_host(back.data(), buffer.get(), 64));
    EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 32), std::vector<uint8_t>(32, 0));
    EXPECT_TRUE(std::equal(first.begin() + 32, first.end(), back.begin() + 32));
}

// The pool hands out every item exactly once, in chunks of at most the size
// asked, on threads numbered below the count asked, whatever the mix.
TEST(CpuThreadsTest, EveryItemRunsOnceOnTheThreadsAsked)
{
    const struct {
        int threads;
        uint32_t count;
        uint32_t chunk;
    } cases[] = {{1, 1000, 7}, {2, 0, 4}, {2, 3, 8}, {2, 1000, 1}, {3, 1001, 10}, {8, 64, 5}, {2, 5, 0}};
    for (const auto& c : cases) {
        std::vector<std::atomic<int>> runs(c.count);
        std::atomic<bool> bad_chunk{false}, bad_thread{false};
        cpu_parallel_for(c.threads, c.count, c.chunk, [&](uint32_t begin, uint32_t end, int thread) {
            if (end <= begin || end - begin > std::max(c.chunk, 1u) || end > c.count)
                bad_chunk = true;
            if (thread < 0 || thread >= std::max(c.threads, 1))
                bad_thread = true;
            for (uint32_t i = begin; i < end; ++i)
                ++runs[i];
        });
        const std::string what = std::to_string(c.threads) + " threads, " + std::to_string(c.count) + " items";
        EXPECT_EQ(std::count_if(runs.begin(), runs.end(), [](const std::atomic<int>& n) { return n != 1; }), 0)
            << what;
        EXPECT_FALSE(bad_chunk) << what;
        EXPECT_FALSE(bad_thread) << what;
    }
}

// How many threads: the count asked for, else OMP_NUM_THREADS's first entry,
// else the cores this process may run on; never above kMaxCpuThreads, with a
// note where OMP_NUM_THREADS was lowered or could not be read.
TEST(CpuThreadsTest, CountFromTheAskingTheEnvironmentOrTheCores)
{
    cpu_set_t cores;
    ASSERT_EQ(sched_getaffinity(0, sizeof cores, &cores), 0);
    const int usable = std::min(CPU_COUNT(&cores), kMaxCpuThreads);
    const struct {
        int asked;
        const char* environment;  // OMP_NUM_THREADS, nullptr for none
        int count;                // 0: the usable cores
        std::string note;         // part of the note, "" for none
    } cases[] = {{0, nullptr, 0, ""},
                 {3, "7", 3, ""},
                 {5000, nullptr, kMaxCpuThreads, ""},
                 {0, "7", 7, ""},
                 {0, " 6 ,2", 6, ""},
                 {0, "65536", kMaxCpuThreads, "OMP_NUM_THREADS asks for 65536 threads; using 1024"},
                 {0, "99999999999999999999", kMaxCpuThreads, "more threads than can be counted; using 1024"},
                 {0, "0", 0, "not a positive thread count"},
                 {0, "-2", 0, "not a positive thread count"},
                 {0, "4x", 0, "not a positive thread count"},
                 {0, "", 0, "not a positive thread count"}};
    const char* before = std::getenv("OMP_NUM_THREADS");
    const std::optional<std::string> saved = before ? std::optional<std::string>(before) : std::nullopt;
    for (const auto& c : cases) {
        if (c.environment)
            setenv("OMP_NUM_THREADS", c.environment, 1);
        else
            unsetenv("OMP_NUM_THREADS");
        std::string note = "stale";
        const std::string what = std::to_string(c.asked) + " asked, OMP_NUM_THREADS " +
                                 (c.environment ? "'" + std::string(c.environment) + "'" : "unset");
        EXPECT_EQ(cpu_thread_count(c.asked, &note), c.count > 0 ? c.count : usable) << what;
        if (c.note.empty())
            EXPECT_EQ(note, "") << what;
        else
            EXPECT_NE(note.find(c.note), std::string::npos) << what << ": " << note;
    }
    if (saved)
        setenv("OMP_NUM_THREADS", saved->c_str(), 1);
    else
        unsetenv("OMP_NUM_THREADS");
}

// Signals sent to the process never land on a worker, nor on a thread started
// through the engine's front door: a burst of stop signals reaches the main
// thread's handler one at a time, in order. Faults are not blocked.
TEST(CpuThreadsTest, WorkersTakeNoSignalsButTheirOwnFaults)
{
    std::vector<sigset_t> masks(4);
    std::atomic<int> started{0};
    cpu_parallel_for(3, 3, 1, [&](uint32_t, uint32_t, int thread) {
        pthread_sigmask(SIG_BLOCK, nullptr, &masks[size_t(thread)]);
        // Each item waits until all three are taken, so every thread runs one.
        ++started;
        while (started.load() < 3)
            std::this_thread::yield();
    });
    std::thread beside;
    EXPECT_THROW(start_threads_without_signals([&] {
                     beside = std::thread([&] { pthread_sigmask(SIG_BLOCK, nullptr, &masks[3]); });
                     throw std::bad_alloc();
                 }),
                 std::bad_alloc);
    beside.join();
    for (int thread : {1, 2, 3}) {
        for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGALRM})
            EXPECT_TRUE(sigismember(&masks[size_t(thread)], signal_number)) << thread << ", " << signal_number;
        EXPECT_FALSE(sigismember(&masks[size_t(thread)], SIGSEGV)) << thread;
    }
    EXPECT_FALSE(sigismember(&masks[0], SIGTERM)) << "the calling thread keeps its own mask";
    sigset_t after;
    pthread_sigmask(SIG_BLOCK, nullptr, &after);
    EXPECT_FALSE(sigismember(&after, SIGTERM)) << "and has it back after starting threads";
}

// A failure on any thread reaches the caller once every thread has stopped,
// and the pool runs the next job as usual.
TEST(CpuThreadsTest, AFailureOnAnyThreadReachesTheCaller)
{
    std::atomic<int> running{0};
    EXPECT_THROW(cpu_parallel_for(2, 200, 1,
                                  [&](uint32_t begin, uint32_t, int) {
                                      ++running;
                                      if (begin == 150)
                                          throw std::bad_alloc();
                                      --running;
                                  }),
                 std::bad_alloc);
    EXPECT_EQ(running, 1) << "only the failed item is left unfinished";
    std::atomic<uint32_t> sum{0};
    cpu_parallel_for(2, 100, 3, [&](uint32_t begin, uint32_t end, int) {
        for (uint32_t i = begin; i < end; ++i)
            sum += i;
    });
    EXPECT_EQ(sum, 4950u);
}

// Start-up of the built-in scene, without the engine.
class CpuDeviceSceneTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(test_support::build_host_state(31337u)); }
    void TearDown() override { test_support::release_host_state(); }

    // Plain loop passes from the start state, one per entry of `rays`: sums,
    // counts and image after them.
    void plain_frames(const std::vector<const CRay3*>& rays, std::vector<float>& sums, std::vector<uint32_t>& counts,
                      std::vector<uint8_t>& image, uint64_t& segments)
    {
        std::vector<uint32_t> rand_states(seed_list.get(), seed_list.get() + kPixelCount);
        sums.assign(3 * size_t{kPixelCount}, 0.0f);
        counts.assign(kPixelCount, 0u);
        image.assign(3 * size_t{kPixelCount}, 0u);
        bind_globals_cpu({normal_table.get(), rand_states.data()});
        segments = 0;
        for (const CRay3* frame_rays : rays)
            segments += path_trace_pass_cpu({{g_spheres.get(), kSphereCount, g_planes.get(), kPlaneCount},
                                             frame_rays, sums.data(), counts.data(), image.data()},
                                            2);
    }
};

// A CPU device with the built-in scene's buffers, bound and uploaded as the
// engine does at start-up.
struct CDeviceScene {
    std::unique_ptr<CDeviceOperations> device = make_cpu_device(2);
    CDeviceBuffer sphere_list{device.get(), kSphereCount * sizeof(CSphere)};
    CDeviceBuffer plane_list{device.get(), kPlaneCount * sizeof(CPlane)};
    CDeviceBuffer normal_list{device.get(), kDeviceNormalCount * sizeof(CVector3)};
    CDeviceBuffer rand_list{device.get(), kPixelCount * sizeof(uint32_t)};
    CDeviceBuffer rays{device.get(), kPixelCount * sizeof(CRay3)};
    CDeviceBuffer buffer{device.get(), 3 * size_t{kPixelCount} * sizeof(float)};
    CDeviceBuffer cbuffer{device.get(), kPixelCount * sizeof(uint32_t)};
    CDeviceBuffer fbuffer{device.get(), 3 * size_t{kPixelCount}};

    void start()
    {
        ASSERT_TRUE(device->copy_to_device(normal_list.get(), normal_table.get(), normal_list.size()));
        ASSERT_TRUE(device->copy_to_device(rand_list.get(), seed_list.get(), rand_list.size()));
        ASSERT_TRUE(device->fill_zero(fbuffer.get(), fbuffer.size()));
        ASSERT_TRUE(device->launch_bind_globals({}, {normal_list.as<CVector3>(), rand_list.as<uint32_t>()}));
        ASSERT_TRUE(device->copy_to_device(sphere_list.get(), g_spheres.get(), sphere_list.size()));
        ASSERT_TRUE(device->copy_to_device(plane_list.get(), g_planes.get(), plane_list.size()));
    }
    bool launch()
    {
        const CFrameArgs frame{{sphere_list.as<CSphere>(), kSphereCount, plane_list.as<CPlane>(), kPlaneCount},
                               rays.as<CRay3>(), buffer.as<float>(), cbuffer.as<uint32_t>(), fbuffer.as<uint8_t>()};
        return device->launch_path_trace(frame);
    }
};

TEST_F(CpuDeviceSceneTest, EngineFramesGiveThePlainLoopsState)
{
    constexpr int kFrames = 2;
    std::vector<float> sums;
    std::vector<uint32_t> counts;
    std::vector<uint8_t> image;
    uint64_t segments = 0;
    plain_frames(std::vector<const CRay3*>(kFrames, g_frame.ray_list.get()), sums, counts, image, segments);

    ASSERT_TRUE(engine_init_on(make_cpu_device(2), kSphereCount, kPlaneCount, normal_table.get(), seed_list.get()));
    for (int f = 0; f < kFrames; ++f)
        engine_frame(g_spheres.get(), kSphereCount, g_planes.get(), kPlaneCount, g_frame.ray_list.get(),
                     g_frame.accum_buffer.get(), g_frame.count_buffer.get(), g_frame.pixel_buffer.get());
    EXPECT_EQ(engine_segments_traced(), segments);
    EXPECT_EQ(std::memcmp(g_frame.accum_buffer.get(), sums.data(), sums.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(g_frame.count_buffer.get(), counts.data(), counts.size() * sizeof(uint32_t)), 0);
    EXPECT_EQ(std::memcmp(g_frame.pixel_buffer.get(), image.data(), image.size()), 0);
}

// Sums and counts worked on in the host's arrays still come back whole when
// they are downloaded somewhere else; the image persists on the device.
TEST_F(CpuDeviceSceneTest, ResultsWorkedInPlaceReachAnyDownload)
{
    std::vector<float> sums;
    std::vector<uint32_t> counts;
    std::vector<uint8_t> image;
    uint64_t segments = 0;
    plain_frames({g_frame.ray_list.get()}, sums, counts, image, segments);

    CDeviceScene scene;
    scene.start();
    std::vector<float> host_sums(3 * size_t{kPixelCount}, 0.0f);
    std::vector<uint32_t> host_counts(kPixelCount, 0u);
    ASSERT_TRUE(scene.device->copy_to_device(scene.rays.get(), g_frame.ray_list.get(), scene.rays.size()));
    ASSERT_TRUE(scene.device->copy_to_device(scene.buffer.get(), host_sums.data(), scene.buffer.size()));
    ASSERT_TRUE(scene.device->copy_to_device(scene.cbuffer.get(), host_counts.data(), scene.cbuffer.size()));
    ASSERT_TRUE(scene.launch());

    std::vector<float> other_sums(host_sums.size(), -1.0f);
    std::vector<uint32_t> other_counts(host_counts.size(), 7u);
    std::vector<uint8_t> other_image(image.size(), 9u);
    ASSERT_TRUE(scene.device->copy_to_host(other_sums.data(), scene.buffer.get(), scene.buffer.size()));
    ASSERT_TRUE(scene.device->copy_to_host(other_counts.data(), scene.cbuffer.get(), scene.cbuffer.size()));
    ASSERT_TRUE(scene.device->copy_to_host(other_image.data(), scene.fbuffer.get(), scene.fbuffer.size()));
    EXPECT_EQ(scene.device->segments_traced(), segments);
    EXPECT_EQ(std::memcmp(other_sums.data(), sums.data(), sums.size() * sizeof(float)), 0);
    EXPECT_EQ(other_counts, counts);
    EXPECT_EQ(other_image, image);
}

// The device's passes keep every pixel's first hit while its rays stay; rays
// uploaded over them, or zeroed, are searched again.
TEST_F(CpuDeviceSceneTest, RaysWrittenAgainAreSearchedAgain)
{
    std::vector<CRay3> turned(g_frame.ray_list.get(), g_frame.ray_list.get() + kPixelCount);
    for (CRay3& ray : turned)
        ray.target.x += 40.0f;
    const std::vector<CRay3> zeroed(kPixelCount, CRay3{});
    const std::vector<const CRay3*> rays = {g_frame.ray_list.get(), g_frame.ray_list.get(), turned.data(),
                                            zeroed.data()};
    std::vector<float> sums;
    std::vector<uint32_t> counts;
    std::vector<uint8_t> image;
    uint64_t segments = 0;
    plain_frames(rays, sums, counts, image, segments);

    CDeviceScene scene;
    scene.start();
    ASSERT_TRUE(scene.device->fill_zero(scene.buffer.get(), scene.buffer.size()));
    ASSERT_TRUE(scene.device->fill_zero(scene.cbuffer.get(), scene.cbuffer.size()));
    for (size_t f = 0; f < rays.size(); ++f) {
        ASSERT_TRUE(f == 3 ? scene.device->fill_zero(scene.rays.get(), scene.rays.size())
                           : scene.device->copy_to_device(scene.rays.get(), rays[f], scene.rays.size()));
        ASSERT_TRUE(scene.launch());
    }
    std::vector<float> device_sums(sums.size());
    std::vector<uint32_t> device_counts(counts.size());
    ASSERT_TRUE(scene.device->copy_to_host(device_sums.data(), scene.buffer.get(), scene.buffer.size()));
    ASSERT_TRUE(scene.device->copy_to_host(device_counts.data(), scene.cbuffer.get(), scene.cbuffer.size()));
    EXPECT_EQ(std::memcmp(device_sums.data(), sums.data(), sums.size() * sizeof(float)), 0);
    EXPECT_EQ(device_counts, counts);
}

}  // namespace
