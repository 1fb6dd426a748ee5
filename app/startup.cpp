#include "app/startup.h"

#include <omp.h>

#include <cstdio>
#include <ctime>
#include <exception>
#include <new>

#include "app/frame_buffers.h"
#include "engine/engine.h"
#include "scene/host_random.h"
#include "scene/built_in_scene.h"

uint32_t millisecond_clock()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

namespace {
// OpenMP takes its default team size from OMP_NUM_THREADS, which may name any
// number; libgomp crashes on a huge one.
void bound_default_threads()
{
    const int asked = omp_get_max_threads();
    if (asked <= kMaxCpuThreads)
        return;
    std::fprintf(stderr, "vantrel: OMP_NUM_THREADS asks for %d threads; using %d\n", asked, kMaxCpuThreads);
    omp_set_num_threads(kMaxCpuThreads);
}
}  // namespace

bool startup(uint32_t seed)
{
    bound_default_threads();
    std::printf("Vantrel Prototype 1\n");
    std::fflush(stdout);
    host_srand(seed);
    // The table takes the first draws and the seeds the next 307,200: keep the order.
    bool ok = build_normal_table() && frame_buffers_create() && build_scene();
    if (ok) {
        // Every frame copies these both ways: a GPU keeps them page-locked.
        engine_hold_host_frame({g_frame.accum_buffer.get(), g_frame.count_buffer.get(), g_frame.pixel_buffer.get()});
        ok = engine_init(g_spheres.get(), kSphereCount, g_planes.get(), kPlaneCount, normal_table.get(),
                         seed_list.get());
    }
    std::fflush(stdout);
    if (!ok)
        shutdown();
    return ok;
}

void shutdown()
{
    if (engine_ready())
        engine_deinit();
    scene_release();
    frame_buffers_destroy();
    normal_table_release();
}

void report_escaped_exception(const char* program, const char* consequence)
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory; %s\n", program, consequence);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s; %s\n", program, e.what(), consequence);
    } catch (...) {
        std::fprintf(stderr, "%s: unexpected failure; %s\n", program, consequence);
    }
    shutdown();
}
