// SPDX-License-Identifier: Apache-2.0
#include "runtime/frame_buffers.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "base/image_size.h"

CFrameBuffer g_frame;

bool frame_buffers_create()
{
    frame_buffers_destroy();  // a second call starts over
    g_frame.width = kImageWidth;
    g_frame.height = kImageHeight;

    const size_t pixels = size_t{kImageWidth} * kImageHeight;
    g_frame.accum_buffer.reset(new (std::nothrow) float[pixels * 3]);
    g_frame.count_buffer.reset(new (std::nothrow) uint32_t[pixels]);
    g_frame.pixel_buffer.reset(new (std::nothrow) uint8_t[pixels * 3]);
    g_frame.ray_list.reset(new (std::nothrow) CRay3[pixels]);
    if (!g_frame.accum_buffer || !g_frame.count_buffer || !g_frame.pixel_buffer || !g_frame.ray_list) {
        std::printf("Allocation error.\n");
        return false;
    }
    std::memset(g_frame.accum_buffer.get(), 0, pixels * 3 * sizeof(float));
    std::memset(g_frame.pixel_buffer.get(), 0, pixels * 3);
    std::memset(g_frame.count_buffer.get(), 0, pixels * sizeof(uint32_t));
    return true;
}

void frame_buffers_destroy()
{
    g_frame.accum_buffer.reset();
    g_frame.count_buffer.reset();
    g_frame.pixel_buffer.reset();
    g_frame.ray_list.reset();
    g_frame.rays_written = nullptr;
    g_frame.height = 0;
    g_frame.width = 0;
}
