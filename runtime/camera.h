// SPDX-License-Identifier: Apache-2.0
#pragma once
// The fixed camera: every pixel's primary ray runs from the origin through
// the lower-left corner of its cell on the image plane z = -1000.

#include "runtime/frame_buffers.h"

// The view window on the image plane, computed once from the first frame size.
struct CViewWindow {
    float left;      // target x of column 0
    float right;     // target x column `width` would have
    float bottom;    // target y of row 0
    float top;       // target y row `height` would have
    float span_x;    // left - right
    float span_y;    // top - bottom
};

CViewWindow compute_view_window(uint32_t width, uint32_t height);

// Writes every pixel's camera ray into frame.ray_list.
void write_camera_rays(CFrameBuffer& frame, const CViewWindow& window);

// One frame: the camera rays, written only where frame.ray_list is not the
// array they were last written into (the first frame, or after the frame
// buffers were made again), then one path-tracing pass through the engine,
// handed the same ray array every frame.
void trace_frame(CFrameBuffer& frame);
