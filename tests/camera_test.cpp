// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "runtime/camera.h"
#include "runtime/frame_buffers.h"

namespace {
class CameraTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(frame_buffers_create());
        // No engine runs here: trace_frame only writes the rays.
        trace_frame(g_frame);
    }
    void TearDown() override { frame_buffers_destroy(); }

    static const CRay3& ray(uint32_t row, uint32_t column) { return g_frame.ray_list[row * 640u + column]; }
};

TEST_F(CameraTest, CornerAndCentreRays)
{
    const CRay3& bottom_left = ray(0, 0);
    EXPECT_EQ(bottom_left.origin.x, 0.0f);
    EXPECT_EQ(bottom_left.origin.y, 0.0f);
    EXPECT_EQ(bottom_left.origin.z, 0.0f);
    EXPECT_EQ(bottom_left.target.x, -1000.0f);
    EXPECT_EQ(bottom_left.target.y, -1000.0f);
    EXPECT_EQ(bottom_left.target.z, -1000.0f);

    const CRay3& top_right = ray(479, 639);
    EXPECT_EQ(top_right.target.x, 996.875f);
    EXPECT_NEAR(top_right.target.y, 574.06f, 0.01f);
    EXPECT_EQ(top_right.target.z, -1000.0f);

    const CRay3& centre = ray(240, 320);
    EXPECT_EQ(centre.target.x, 0.0f);
    EXPECT_NEAR(centre.target.y, -211.32f, 0.01f);
    EXPECT_EQ(centre.target.z, -1000.0f);

    // One column is 3.125 across everywhere; one row about 3.29 up.
    EXPECT_EQ(ray(17, 101).target.x - ray(17, 100).target.x, 3.125f);
    EXPECT_NEAR(ray(1, 0).target.y, -996.71f, 0.01f);
}

// Every ray runs from the origin to its cell's lower-left corner: x depends on
// the column only (exactly -1000 + 3.125 j), y on the row only.
TEST_F(CameraTest, ColumnsShareXAndRowsShareY)
{
    for (uint32_t row = 0; row < 480u; ++row) {
        for (uint32_t column = 0; column < 640u; ++column) {
            const CRay3& r = ray(row, column);
            ASSERT_EQ(r.target.x, -1000.0f + 3.125f * static_cast<float>(column)) << row << ", " << column;
            ASSERT_EQ(r.target.y, ray(row, 0).target.y) << row << ", " << column;
            ASSERT_EQ(r.target.z, -1000.0f);
            ASSERT_EQ(r.origin.x, 0.0f);
            ASSERT_EQ(r.origin.y, 0.0f);
            ASSERT_EQ(r.origin.z, 0.0f);
        }
        if (row > 0) {
            ASSERT_GT(ray(row, 0).target.y, ray(row - 1, 0).target.y);
        }
    }
}

// The rays are written on the first frame and then only into a ray array
// they are not in yet: marked bytes stay through later frames, and a new
// array (made again, even at the old address, or put in place) gets the
// first frame's rays.
TEST_F(CameraTest, RaysAreWrittenOnceIntoEachRayArray)
{
    const size_t bytes = 640u * 480u * sizeof(CRay3);
    std::vector<unsigned char> first(bytes);
    std::memcpy(first.data(), g_frame.ray_list.get(), bytes);
    const std::vector<unsigned char> marked(bytes, 0x5A);
    const struct {
        const char* change;
        void (*make)();
        bool written;
    } steps[] = {
        {"none", [] {}, false},
        {"buffers made again", [] { ASSERT_TRUE(frame_buffers_create()); }, true},
        {"a new ray array", [] { g_frame.ray_list.reset(new CRay3[640u * 480u]); }, true},
        {"none after a new array", [] {}, false},
    };
    for (const auto& step : steps) {
        step.make();
        std::memset(static_cast<void*>(g_frame.ray_list.get()), 0x5A, bytes);
        trace_frame(g_frame);
        trace_frame(g_frame);
        EXPECT_EQ(std::memcmp((step.written ? first : marked).data(), g_frame.ray_list.get(), bytes), 0)
            << "changed: " << step.change;
    }
}

TEST(ViewWindow, WideFrameIsLopsidedSquareFrameIsSymmetric)
{
    const CViewWindow wide = compute_view_window(640, 480);
    EXPECT_EQ(wide.left, -1000.0f);
    EXPECT_EQ(wide.right, 1000.0f);
    EXPECT_EQ(wide.bottom, -1000.0f);
    EXPECT_NEAR(wide.top, 577.35f, 0.01f);
    EXPECT_EQ(wide.span_x, -2000.0f);
    EXPECT_EQ(wide.span_y, wide.top + 1000.0f);

    const CViewWindow square = compute_view_window(480, 480);
    EXPECT_NEAR(square.top, 1000.0f, 0.001f);
    EXPECT_EQ(square.bottom, -1000.0f);
}
}  // namespace
