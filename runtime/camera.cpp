// SPDX-License-Identifier: Apache-2.0
#include "runtime/camera.h"

#include <cmath>
#include <cstdint>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "engine/engine.h"
#include "engine/host_threads.h"
#include "scene/built_in_scene.h"

namespace {
// The exact double constants the camera has always used: close to pi/4 and
// to pi/180, not those values to full precision.
constexpr double kQuarterTurnAngle = 0.785398155;
constexpr double kDegreesToRadians = 0.017453292333333332;
constexpr double kImagePlaneDistance = 1000.0;
}  // namespace

// Every quotient and product is evaluated in double and stored as float.
CViewWindow compute_view_window(uint32_t width, uint32_t height)
{
    const float w = static_cast<float>(width);
    const float h = static_cast<float>(height);
    const float aspect = static_cast<float>(double{w} / double{h});
    const float field = static_cast<float>(double{aspect} * 90.0);
    CViewWindow window;
    window.right = static_cast<float>(-kImagePlaneDistance / std::tan(-kQuarterTurnAngle));
    window.left = static_cast<float>(-kImagePlaneDistance / std::tan(kQuarterTurnAngle));
    // The bottom edge lies 45 degrees below the axis, the top edge half the
    // field above it: the window is not centred vertically.
    window.bottom = static_cast<float>(-kImagePlaneDistance / std::tan(kQuarterTurnAngle));
    const float half = static_cast<float>(-(double{field} * 0.5));
    window.top = static_cast<float>(-kImagePlaneDistance / std::tan(double{half} * kDegreesToRadians));
    window.span_x = static_cast<float>(double{window.left} - double{window.right});
    window.span_y = static_cast<float>(double{window.top} - double{window.bottom});
    return window;
}

void write_camera_rays(CFrameBuffer& frame, const CViewWindow& window)
{
    const double width = frame.width;
    const double height = frame.height;
    const float z = static_cast<float>(-kImagePlaneDistance);
    CRay3* const first_row = frame.ray_list.get();
    for (uint32_t j = 0; j < frame.width; ++j)
        first_row[j].target.x = static_cast<float>(double{window.left} - (j / width) * double{window.span_x});
    // x depends only on the column: every row takes it from the first row,
    // which is finished last. Rows go to the CPU threads the engine was asked for.
    const auto write_row = [&](uint32_t i) {
        const float y = static_cast<float>(double{window.bottom} + (i / height) * double{window.span_y});
        CRay3* ray = first_row + size_t{i} * frame.width;
#if defined(__SSE2__)
        // Two rays are three aligned 16-byte stores that bypass the cache:
        // nothing reads the rays back soon, and 7.4 MB of them would
        // otherwise be read in first and push the pass's data out.
        if (reinterpret_cast<uintptr_t>(ray) % 16u == 0 && frame.width % 2u == 0) {
            float* out = reinterpret_cast<float*>(ray);
            for (uint32_t j = 0; j < frame.width; j += 2u, out += 12) {
                _mm_stream_ps(out, _mm_setr_ps(0.0f, 0.0f, 0.0f, first_row[j].target.x));
                _mm_stream_ps(out + 4, _mm_setr_ps(y, z, 0.0f, 0.0f));
                _mm_stream_ps(out + 8, _mm_setr_ps(0.0f, first_row[j + 1u].target.x, y, z));
            }
            return;
        }
#endif
        for (uint32_t j = 0; j < frame.width; ++j, ++ray) {
            ray->origin = {0.0f, 0.0f, 0.0f};
            ray->target = {first_row[j].target.x, y, z};
        }
    };
    // Rows in equal shares, on the threads that run the CPU passes.
    const int threads = engine_cpu_threads();
    const uint32_t rows = frame.height - 1u;
    const uint32_t share = (rows + uint32_t(threads) - 1u) / uint32_t(threads);
    host_parallel_for(threads, rows, share, [&](uint32_t begin, uint32_t end, int) {
        for (uint32_t i = begin + 1u; i <= end; ++i)
            write_row(i);
#if defined(__SSE2__)
        // The streamed rays visible to every thread before the pass reads them.
        _mm_sfence();
#endif
    });
    write_row(0);
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

void trace_frame(CFrameBuffer& frame)
{
    // Fixed by the first frame's size for the rest of the run.
    static const CViewWindow window = compute_view_window(frame.width, frame.height);
    // The camera never moves: its rays are the same bits every frame.
    if (frame.ray_list && frame.rays_written != frame.ray_list.get()) {
        write_camera_rays(frame, window);
        frame.rays_written = frame.ray_list.get();
    }
    engine_frame(g_spheres.get(), kSphereCount, g_planes.get(), kPlaneCount, frame.ray_list.get(),
                 frame.accum_buffer.get(), frame.count_buffer.get(), frame.pixel_buffer.get());
}
