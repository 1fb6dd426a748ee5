// SPDX-License-Identifier: Apache-2.0
#pragma once
// Test helper: the host state start-up builds for the built-in scene before the
// engine (normal table, frame buffers, scene and seeds, camera rays), and its
// release.

#include <gtest/gtest.h>

#include <cstdint>

#include "base/image_size.h"
#include "runtime/camera.h"
#include "runtime/frame_buffers.h"
#include "runtime/startup.h"
#include "scene/built_in_scene.h"
#include "scene/host_random.h"

namespace test_support {
// Seeds the host generator with `seed` and builds, in start-up's order, all
// but the engine; the camera rays are written too.
inline bool build_host_state(uint32_t seed)
{
    host_srand(seed);
    if (!build_normal_table() || !frame_buffers_create() || !build_scene())
        return false;
    write_camera_rays(g_frame, compute_view_window(kImageWidth, kImageHeight));
    return true;
}

// Stops the engine where it runs (its console line captured) and releases
// the host state.
inline void release_host_state()
{
    testing::internal::CaptureStdout();
    shutdown();
    testing::internal::GetCapturedStdout();
}
}  // namespace test_support
