// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include "runtime/frame_buffers.h"

namespace {
constexpr size_t kPixels = 640u * 480u;

void expect_cleared(const CFrameBuffer& frame)
{
    ASSERT_EQ(frame.width, 640u);
    ASSERT_EQ(frame.height, 480u);
    ASSERT_TRUE(frame.accum_buffer && frame.count_buffer && frame.pixel_buffer && frame.ray_list);
    for (size_t p = 0; p < kPixels; ++p) {
        ASSERT_EQ(frame.count_buffer[p], 0u) << p;
        for (size_t c = 0; c < 3; ++c) {
            ASSERT_EQ(frame.accum_buffer[3 * p + c], 0.0f) << p;
            ASSERT_EQ(frame.pixel_buffer[3 * p + c], 0u) << p;
        }
        const CRay3& ray = frame.ray_list[p];
        ASSERT_TRUE(ray.origin.x == 0.0f && ray.origin.y == 0.0f && ray.origin.z == 0.0f && ray.target.x == 0.0f &&
                    ray.target.y == 0.0f && ray.target.z == 0.0f)
            << p;
    }
}

void expect_empty(const CFrameBuffer& frame)
{
    EXPECT_EQ(frame.width, 0u);
    EXPECT_EQ(frame.height, 0u);
    EXPECT_EQ(frame.accum_buffer, nullptr);
    EXPECT_EQ(frame.count_buffer, nullptr);
    EXPECT_EQ(frame.pixel_buffer, nullptr);
    EXPECT_EQ(frame.ray_list, nullptr);
}

TEST(FrameBuffers, CreateClearsEverythingAndASecondCreateStartsOver)
{
    expect_empty(g_frame);
    ASSERT_TRUE(frame_buffers_create());
    expect_cleared(g_frame);

    // Dirty every array, then create again.
    g_frame.count_buffer[kPixels - 1] = 7;
    g_frame.accum_buffer[0] = 0.5f;
    g_frame.pixel_buffer[3 * kPixels - 1] = 255;
    g_frame.ray_list[123].target = {1.0f, 2.0f, 3.0f};
    ASSERT_TRUE(frame_buffers_create());
    expect_cleared(g_frame);
    frame_buffers_destroy();
}

TEST(FrameBuffers, DestroyEmptiesTheRecordAndASecondDestroyChangesNothing)
{
    ASSERT_TRUE(frame_buffers_create());
    frame_buffers_destroy();
    expect_empty(g_frame);
    frame_buffers_destroy();
    expect_empty(g_frame);
}
}  // namespace
