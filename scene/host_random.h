// SPDX-License-Identifier: Apache-2.0
#pragma once
// The host side of the random source: one generator, seeded once at start-up,
// whose first draws build the normal table and whose next 307,200 become the
// per-pixel seeds.

#include <cstdint>
#include <memory>

#include "base/vector3.h"

constexpr uint32_t kNormalTableCount = 131072u;

// The host generator: state = state * 214013 + 2531011 (mod 2^32), returning
// bits 16..30. Our own, never the C library's.
void host_srand(uint32_t seed);
uint32_t host_rand();

// Released by normal_table_release (count back to 0).
extern std::unique_ptr<CVector3[]> normal_table;
extern uint32_t normal_table_count;

// Fills normal_table with random unit vectors by rejection; prints
// "Unable to allocate space for normals." and returns false when it cannot
// allocate.
bool build_normal_table();
void normal_table_release();

// One host draw per pixel, in pixel-index order.
void fill_seed_list(uint32_t* seed_list);
