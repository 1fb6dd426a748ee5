// SPDX-License-Identifier: Apache-2.0
// The CPU passes over the 307,200 pixels of the built-in scene, plain loop
// against the fast pass (each instruction set this processor runs), on one
// thread and on all cores; and the two per-segment steps, find_nearest_hit and
// scatter, one pixel at a time.
//
// Counters: fps (passes per second), Mrays/s (segments searched per second,
// millions), segments/frame.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/image_size.h"
#include "runtime/camera.h"
#include "runtime/frame_buffers.h"
#include "engine/cpu/cpu_pass.h"
#include "engine/cpu/cpu_threads.h"
#include "engine/cpu/first_hits.h"
#include "scene/host_random.h"
#include "kernel/path.h"
#include "scene/built_in_scene.h"

namespace {

constexpr uint32_t kSeed = 12345u;

// The built-in scene after start-up with a fixed seed, built once.
struct CBenchScene {
    std::vector<uint32_t> rand_states;
    CBenchScene()
    {
        host_srand(kSeed);
        if (!build_normal_table() || !frame_buffers_create() || !build_scene()) {
            std::fprintf(stderr, "cpu_pass_bench: start-up failed\n");
            std::exit(1);
        }
        write_camera_rays(g_frame, compute_view_window(kImageWidth, kImageHeight));
        rand_states.assign(seed_list.get(), seed_list.get() + kPixelCount);
        bind_globals_cpu({normal_table.get(), rand_states.data()});
    }
};

CBenchScene& bench_scene()
{
    static CBenchScene scene;
    return scene;
}

// The built-in scene's frame, in g_frame's arrays.
CFrameArgs bench_frame()
{
    return {{g_spheres.get(), kSphereCount, g_planes.get(), kPlaneCount}, g_frame.ray_list.get(),
            g_frame.accum_buffer.get(), g_frame.count_buffer.get(), g_frame.pixel_buffer.get()};
}

void set_pass_counters(benchmark::State& state, uint64_t segments)
{
    const double frames = double(state.iterations());
    state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["Mrays/s"] = benchmark::Counter(double(segments) / 1e6, benchmark::Counter::kIsRate);
    state.counters["segments/frame"] = double(segments) / frames;
}

// range(0): the pass (CCpuPass), range(1): threads (0: all cores). The sums
// and counts keep growing from pass to pass, as in the window, and the passes
// keep their first hits as on the CPU device.
void BM_CpuPass(benchmark::State& state)
{
    const CCpuPass pass = CCpuPass(state.range(0));
    if (!cpu_pass_supported(pass)) {
        state.SkipWithError("this processor does not run this pass");
        return;
    }
    bench_scene();
    const int threads = int(state.range(1));
    state.SetLabel(std::string(cpu_pass_name(pass)) + ", " +
                   std::to_string(cpu_thread_count(threads)) + " threads");
    uint64_t segments = 0;
    CFirstHits first_hits;
    for (auto _ : state)
        segments += path_trace_pass_with(pass, bench_frame(), threads, &first_hits);
    set_pass_counters(state, segments);
}

void pass_arguments(benchmark::internal::Benchmark* b)
{
    for (CCpuPass pass : kCpuPasses)
        for (int threads : {1, 0})
            b->Args({int64_t(pass), threads});
}
BENCHMARK(BM_CpuPass)->Apply(pass_arguments)->ArgNames({"pass", "threads"})->UseRealTime()->Unit(
    benchmark::kMillisecond);

// The path pass as the CPU device runs it: the chosen pass on all cores.
void BM_CpuPassChosen(benchmark::State& state)
{
    bench_scene();
    state.SetLabel(cpu_pass_name(cpu_pass_chosen()));
    uint64_t segments = 0;
    CFirstHits first_hits;
    for (auto _ : state)
        segments += path_trace_pass_fast(bench_frame(), 0, &first_hits);
    set_pass_counters(state, segments);
}
BENCHMARK(BM_CpuPassChosen)->UseRealTime()->Unit(benchmark::kMillisecond);

// find_nearest_hit on the camera rays (every pixel's first segment).
void BM_FindNearestHit(benchmark::State& state)
{
    bench_scene();
    const CRay3* rays = g_frame.ray_list.get();
    uint32_t p = 0;
    CHitInfo hit{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            find_nearest_hit(rays[p], g_spheres.get(), kSphereCount, g_planes.get(), kPlaneCount, hit));
        benchmark::DoNotOptimize(hit);
        p = p == kLastPixelIndex ? 0 : p + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindNearestHit);

// scatter at the first hit of each camera ray: range(0) 0 keeps the scene's
// surfaces (diffuse and mirror); 1 turns every hit into frosted glass (the
// refraction and rotation paths).
void BM_Scatter(benchmark::State& state)
{
    CBenchScene& scene = bench_scene();
    std::vector<CHitInfo> hits;
    std::vector<CVector3> incoming;
    for (uint32_t p = 0; p < kPixelCount; p += 7u) {
        const CRay3& ray = g_frame.ray_list[p];
        CHitInfo hit{};
        if (!find_nearest_hit(ray, g_spheres.get(), kSphereCount, g_planes.get(), kPlaneCount, hit))
            continue;
        if (state.range(0) == 1) {
            hit.scatter_angle = -0.5f;
            hit.refraction_index = 1.5f;
        }
        hits.push_back(hit);
        incoming.push_back(vec3_normalize(vec3_sub(hit.point, ray.origin)));
    }
    const CRandomBindings bindings{normal_table.get(), scene.rand_states.data()};
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(scatter(hits[i], incoming[i], 1.0f, uint32_t(i), bindings));
        i = i + 1 == hits.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(state.range(0) == 1 ? "frosted glass" : "scene surfaces");
}
BENCHMARK(BM_Scatter)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
