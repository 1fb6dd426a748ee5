// SPDX-License-Identifier: Apache-2.0
#pragma once
// Test helper: one whole run of the engine in-process (start-up, frames,
// shutdown) with the console captured and the host state it ended with.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/image_size.h"
#include "runtime/camera.h"
#include "runtime/frame_buffers.h"
#include "runtime/startup.h"
#include "engine/engine.h"
#include "kernel/random.h"

namespace test_support {
struct CEngineRun {
    bool started = false;
    std::string backend;
    int frames_done = 0;
    bool failed = false;  // a frame failed; none ran after it
    std::vector<uint8_t> pixels;
    std::vector<float> sums;
    std::vector<uint32_t> counts;
    std::string out, err;
};

// Start-up with `seed` on `backend`, up to `frames` frames (stopping at a
// failed one), shutdown. `after_startup` runs once the engine is up.
inline CEngineRun run_engine(CBackendChoice backend, uint32_t seed, int frames,
                             const std::function<void()>& after_startup = {})
{
    CEngineRun result;
    engine_configure({backend, 0});
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    result.started = startup(seed);
    if (result.started) {
        result.backend = engine_backend_name();
        if (after_startup)
            after_startup();
        for (int i = 0; i < frames && !result.failed; ++i) {
            trace_frame(g_frame);
            result.failed = engine_failed();
            result.frames_done += result.failed ? 0 : 1;
        }
        result.pixels.assign(g_frame.pixel_buffer.get(), g_frame.pixel_buffer.get() + kPixelCount * 3);
        result.sums.assign(g_frame.accum_buffer.get(), g_frame.accum_buffer.get() + kPixelCount * 3);
        result.counts.assign(g_frame.count_buffer.get(), g_frame.count_buffer.get() + kPixelCount);
        shutdown();
    }
    result.err = testing::internal::GetCapturedStderr();
    result.out = testing::internal::GetCapturedStdout();
    engine_configure({});
    return result;
}
}  // namespace test_support
