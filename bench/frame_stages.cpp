// SPDX-License-Identifier: Apache-2.0
// Where one frame's time goes on one thread: the fast pass step by step (the pass built with a time-stamp counter reading at
// every step it enters, bench/stage_clock.h), then the image copy the CPU
// device makes. Prints one table; the product's pass is timed alongside, so
// the cost of the readings themselves shows, and so is the pass timed tile by
// tile (bench/tile_clock.h), whose fastest tiles add up to the pass's cost
// uninterrupted even where other programs share the cores. The camera rays
// are written on the first frame only (runtime/camera.h): timed once, apart.
//
//   frame_stages [--pass avx2|avx512] [--frames N] [--first-hits keep|search]
//
// --first-hits search traces every frame's first bounce from the camera, as
// the pass does when it is handed no kept first hits (engine/cpu/first_hits.h).

#include <x86intrin.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/image_size.h"
#include "runtime/camera.h"
#include "runtime/frame_buffers.h"
#include "engine/engine.h"
#include "engine/cpu/cpu_pass.h"
#include "engine/cpu/cpu_pass_lanes.h"
#include "engine/cpu/first_hits.h"
#include "scene/host_random.h"
#include "bench/stage_clock.h"
#include "bench/tile_clock.h"
#include "scene/built_in_scene.h"

CStageTimes g_stage_times;
CTileTimes g_tile_times;

// bench/timed_passes.cpp, built once per instruction set.
namespace vantrel_timed_avx2 {
uint64_t path_trace_stages(const CLanePassArgs& args);
uint64_t path_trace_timed_tiles(const CLanePassArgs& args);
}  // namespace vantrel_timed_avx2
namespace vantrel_timed_avx512 {
uint64_t path_trace_stages(const CLanePassArgs& args);
uint64_t path_trace_timed_tiles(const CLanePassArgs& args);
}  // namespace vantrel_timed_avx512

namespace {

using CClock = std::chrono::steady_clock;

double seconds_since(CClock::time_point start) { return std::chrono::duration<double>(CClock::now() - start).count(); }

[[noreturn]] void usage(const char* problem)
{
    std::fprintf(stderr, "frame_stages: %s\nusage: frame_stages [--pass avx2|avx512] [--frames N] [--first-hits keep|search]\n", problem);
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv)
{
    CCpuPass pass = cpu_pass_supported(CCpuPass::avx512) ? CCpuPass::avx512 : CCpuPass::avx2;
    int frames = 30;
    bool keep_first_hits = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            usage(("missing value after " + arg).c_str());
        const std::string value = argv[++i];
        if (arg == "--pass" && (value == "avx2" || value == "avx512"))
            pass = value == "avx2" ? CCpuPass::avx2 : CCpuPass::avx512;
        else if (arg == "--frames" && std::atoi(value.c_str()) > 0)
            frames = std::atoi(value.c_str());
        else if (arg == "--first-hits" && (value == "keep" || value == "search"))
            keep_first_hits = value == "keep";
        else
            usage(("bad option " + arg + " " + value).c_str());
    }
    if (!cpu_pass_supported(pass)) {
        std::fprintf(stderr, "frame_stages: this processor does not run the %s pass\n", cpu_pass_name(pass));
        return 1;
    }
    const CLanePassEntry staged =
        pass == CCpuPass::avx2 ? vantrel_timed_avx2::path_trace_stages : vantrel_timed_avx512::path_trace_stages;

    // Start-up as vantrel-render --seed 1 makes it, everything on one thread.
    CEngineOptions one_thread;
    one_thread.cpu_threads = 1;
    engine_configure(one_thread);
    host_srand(1u);
    if (!build_normal_table() || !frame_buffers_create() || !build_scene()) {
        std::fprintf(stderr, "frame_stages: start-up failed\n");
        return 1;
    }
    const CViewWindow window = compute_view_window(kImageWidth, kImageHeight);
    std::vector<uint32_t> rand_states(seed_list.get(), seed_list.get() + kPixelCount);
    std::vector<uint8_t> image_copy(3 * size_t{kPixelCount});
    bind_globals_cpu({normal_table.get(), rand_states.data()});
    const CFrameArgs frame{{g_spheres.get(), kSphereCount, g_planes.get(), kPlaneCount},
                           g_frame.ray_list.get(), g_frame.accum_buffer.get(), g_frame.count_buffer.get(),
                           g_frame.pixel_buffer.get()};
    CFirstHits first_hits;
    const auto run_pass = [&](CLanePassEntry entry) {
        return path_trace_pass_lanes(entry, frame, 1, keep_first_hits ? &first_hits : nullptr);
    };
    const CLanePassEntry plain_entry = pass == CCpuPass::avx2 ? path_trace_pass_avx2 : path_trace_pass_avx512;
    CClock::time_point start = CClock::now();
    write_camera_rays(g_frame, window);
    const double camera_seconds = seconds_since(start);
    run_pass(plain_entry);  // the tables made, the caches warm


    double copy_seconds = 0;
    double staged_seconds = 0;
    uint64_t staged_ticks = 0;
    uint64_t segments = 0;
    std::memset(&g_stage_times, 0, sizeof g_stage_times);
    for (int f = 0; f < frames; ++f) {
        start = CClock::now();
        g_stage_times.current = kStepOther;
        g_stage_times.since = __rdtsc();
        const uint64_t tick0 = g_stage_times.since;
        segments += run_pass(staged);
        stage_enter(kStepOther);
        staged_ticks += g_stage_times.since - tick0;
        staged_seconds += seconds_since(start);

        start = CClock::now();
        std::memcpy(image_copy.data(), g_frame.pixel_buffer.get(), image_copy.size());
        copy_seconds += seconds_since(start);
    }
    start = CClock::now();
    for (int f = 0; f < frames; ++f)
        run_pass(plain_entry);
    const double plain_seconds = seconds_since(start);

    const CLanePassEntry tiled = pass == CCpuPass::avx2 ? vantrel_timed_avx2::path_trace_timed_tiles
                                                        : vantrel_timed_avx512::path_trace_timed_tiles;
    std::fill(std::begin(g_tile_times.fastest), std::end(g_tile_times.fastest), ~uint64_t{0});
    uint32_t tiles = 0;
    for (int f = 0; f < frames; ++f) {
        g_tile_times.tile = 0;
        g_tile_times.since = __rdtsc();
        run_pass(tiled);
        tiles = g_tile_times.tile;
    }
    double fastest_ticks = 0;
    for (uint32_t t = 0; t < tiles && t < kMaxTiles; ++t)
        fastest_ticks += double(g_tile_times.fastest[t]);

    const double ms_per_tick = staged_seconds * 1e3 / double(staged_ticks) / frames;
    const double frame_ms = (staged_seconds + copy_seconds) * 1e3 / frames;
    std::printf("%s pass, 1 thread, %d frames of %.0f segments, ms per frame (the pass with marks at every stage)\n",
                cpu_pass_name(pass), frames, double(segments) / frames);
    std::printf("%-36s %9s %7s %11s\n", "stage", "ms", "%", "segments");
    const auto row = [&](const char* name, double ms, double segs) {
        if (segs > 0)
            std::printf("%-36s %9.3f %6.1f%% %11.0f\n", name, ms, 100.0 * ms / frame_ms, segs);
        else
            std::printf("%-36s %9.3f %6.1f%%\n", name, ms, 100.0 * ms / frame_ms);
    };
    std::printf("%-36s %9.3f (first frame only)\n", "camera rays", camera_seconds * 1e3);
    row("paths in: camera rays, states", double(g_stage_times.ticks[kStepRays]) * ms_per_tick, 0);
    row("paths in: packed paths", double(g_stage_times.ticks[kStepLoad]) * ms_per_tick, 0);
    for (uint32_t k = 0; k < 5u; ++k) {
        const std::string search = "bounce " + std::to_string(k + 1) + ": search";
        const std::string scatter = "bounce " + std::to_string(k + 1) + (k == 4 ? ": ends (random state)" : ": scatter");
        row(search.c_str(), double(g_stage_times.ticks[kStepSearch + k]) * ms_per_tick,
            double(g_stage_times.segments[k]) / frames);
        row(scatter.c_str(), double(g_stage_times.ticks[kStepScatter + k]) * ms_per_tick, 0);
    }
    double search_ticks = 0;
    double scatter_ticks = 0;
    for (uint32_t k = 0; k < 5u; ++k) {
        search_ticks += double(g_stage_times.ticks[kStepSearch + k]);
        scatter_ticks += double(g_stage_times.ticks[kStepScatter + k]);
    }
    row("  all searches", search_ticks * ms_per_tick, double(segments) / frames);
    row("  all scatters", scatter_ticks * ms_per_tick, 0);
    row("packing", double(g_stage_times.ticks[kStepPack]) * ms_per_tick, 0);
    row("combine", double(g_stage_times.ticks[kStepCombine]) * ms_per_tick, 0);
    row("accumulate (sums, counts, averages)", double(g_stage_times.ticks[kStepAccumulate]) * ms_per_tick, 0);
    row("byte conversion", double(g_stage_times.ticks[kStepBytes]) * ms_per_tick, 0);
    row("tile loop, thread start", double(g_stage_times.ticks[kStepOther]) * ms_per_tick, 0);
    row("image copy to the host", copy_seconds * 1e3 / frames, 0);
    row("frame (with marks)", frame_ms, 0);
    std::printf("the pass without marks: %.3f ms (with marks %.3f ms)\n", plain_seconds * 1e3 / frames,
                staged_seconds * 1e3 / frames);
    std::printf("the pass, every tile at its fastest of the %d frames: %.3f ms\n", frames,
                fastest_ticks * ms_per_tick * frames);
    frame_buffers_destroy();
    scene_release();
    normal_table_release();
    return 0;
}
