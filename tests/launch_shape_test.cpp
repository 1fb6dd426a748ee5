// SPDX-License-Identifier: Apache-2.0
// The pixel index each GPU thread computes from its block and thread
// coordinates: over the fixed launch shape it must be row x 640 + column and
// reach every pixel exactly once.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "base/image_size.h"
#include "engine/cuda/launch_shape.h"
#include "kernel/random.h"

TEST(LaunchShape, GridOfBlocksCoversThePicture)
{
    EXPECT_EQ(kPathBlock.x, 32u);
    EXPECT_EQ(kPathBlock.y, 2u);
    EXPECT_EQ(kPathGrid.x, 20u);
    EXPECT_EQ(kPathGrid.y, 240u);
    EXPECT_EQ(kPathGrid.x * kPathBlock.x * kPathGrid.y * kPathBlock.y, kPixelCount);
}

TEST(LaunchShape, EveryThreadMapsToItsOwnPixelAtRowTimes640PlusColumn)
{
    std::vector<uint32_t> hits(kPixelCount, 0u);
    for (uint32_t by = 0; by < kPathGrid.y; ++by)
        for (uint32_t bx = 0; bx < kPathGrid.x; ++bx)
            for (uint32_t ty = 0; ty < kPathBlock.y; ++ty)
                for (uint32_t tx = 0; tx < kPathBlock.x; ++tx) {
                    const uint32_t p = pixel_index_for_thread(kPathGrid, kPathBlock, CLaunchDim{bx, by, 0},
                                                              CLaunchDim{tx, ty, 0});
                    const uint32_t row = by * kPathBlock.y + ty;
                    const uint32_t column = bx * kPathBlock.x + tx;
                    ASSERT_EQ(p, row * 640u + column);
                    ASSERT_LE(p, kLastPixelIndex);
                    ++hits[p];
                }
    for (uint32_t p = 0; p < kPixelCount; ++p)
        ASSERT_EQ(hits[p], 1u) << "pixel " << p;
}

TEST(LaunchShape, ALargerGridReachesIndicesBeyondTheLastPixel)
{
    // One extra block row: its threads land past 307,199, which the kernel's
    // fixed bound turns away.
    const CLaunchDim taller{kPathGrid.x, kPathGrid.y + 1u, 1u};
    EXPECT_EQ(pixel_index_for_thread(taller, kPathBlock, CLaunchDim{0, kPathGrid.y, 0}, CLaunchDim{0, 0, 0}),
              kPixelCount);
}
