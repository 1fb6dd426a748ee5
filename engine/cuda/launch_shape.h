// SPDX-License-Identifier: Apache-2.0
#pragma once
// The CUDA device's fixed launch shape for the path pass and the pixel index
// each GPU thread computes from its coordinates. Host and device code alike,
// so the host can check the arithmetic.

#include <cstdint>

#include "base/host_device.h"
#include "base/image_size.h"

struct CLaunchDim {
    uint32_t x = 1;
    uint32_t y = 1;
    uint32_t z = 1;
};

constexpr CLaunchDim kPathBlock = {32u, 2u, 1u};
constexpr CLaunchDim kPathGrid = {kImageWidth / kPathBlock.x, kImageHeight / kPathBlock.y, 1u};  // 20 x 240
constexpr CLaunchDim kSingleThread = {1u, 1u, 1u};

// (block row x block height + thread row) x (grid width x block width)
//   + block column x block width + thread column: row x 640 + column.
VANTREL_HD inline uint32_t pixel_index_for_thread(CLaunchDim grid, CLaunchDim block, CLaunchDim block_index,
                                                  CLaunchDim thread_index)
{
    return (block_index.y * block.y + thread_index.y) * (grid.x * block.x) + block_index.x * block.x + thread_index.x;
}
