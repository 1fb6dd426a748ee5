// SPDX-License-Identifier: Apache-2.0
#pragma once
// The host's per-pixel state: running sums and counts, the byte image and the
// camera rays, indexed by row x 640 + column with row 0 at the bottom.

#include <cstdint>
#include <memory>

#include "scene/records.h"

struct CFrameBuffer {
    uint32_t width = 0;
    uint32_t height = 0;
    std::unique_ptr<float[]> accum_buffer;    // RGB sums, 3 per pixel
    std::unique_ptr<uint8_t[]> pixel_buffer;  // RGB bytes, 3 per pixel
    std::unique_ptr<uint32_t[]> count_buffer; // counted samples, 1 per pixel
    std::unique_ptr<CRay3[]> ray_list;        // camera rays, 1 per pixel
    // The ray array the camera last filled (trace_frame): the rays never
    // change, so they are written again only into another array.
    const CRay3* rays_written = nullptr;
};

extern CFrameBuffer g_frame;

// Sets g_frame to 640 x 480 with every array allocated and zeroed, releasing
// what it held first. Prints "Allocation error." and returns false when an
// allocation fails (arrays obtained stay in the record). Both forget which
// array the camera filled, even where a new one lies at the old address.
bool frame_buffers_create();
void frame_buffers_destroy();
