// SPDX-License-Identifier: Apache-2.0
#pragma once
// The picture's size, fixed for the whole program: pixel p is row p / 640,
// column p % 640, with row 0 at the bottom.

#include <cstdint>

constexpr uint32_t kImageWidth = 640u;
constexpr uint32_t kImageHeight = 480u;
constexpr uint32_t kPixelCount = kImageWidth * kImageHeight;
constexpr uint32_t kLastPixelIndex = kPixelCount - 1u;  // 307,199
