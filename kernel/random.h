// SPDX-License-Identifier: Apache-2.0
#pragma once
// The kernel's random source: a per-pixel multiplicative step and a lookup in
// the table of random unit vectors prepared on the host.

#include <cstdint>

#include "kernel/lanes.h"
#include "base/vector3.h"

// Entries of the host table copied to the device; lookups reduce modulo one
// less, so the last device entry is never returned.
constexpr uint32_t kDeviceNormalCount = 122880u;
constexpr uint32_t kNormalLookupModulus = 122879u;

// One step of a pixel's state: the product wraps at 2^32 and is then reduced
// modulo 2^32 - 2, which changes only 2^32 - 2 (to 0) and 2^32 - 1 (to 1). A
// state of 0 would never leave 0 (its product is 0), freezing the pixel on one
// path, so a step that would yield 0 yields 1. The three products that then
// give 1 (0, 2^32 - 2, 2^32 - 1) are exactly those where product - 1, wrapping
// below 0, is 2^32 - 3 or more: a subtraction, compare and select, as before.
template <typename U>
VANTREL_HD inline U random_step(U state)
{
    const U product = state * U(16807u);
    return lane_select(product - U(1u) >= U(4294967293u), U(1u), product);
}

// Advances pixel p's state by one step, stores it and returns it.
VANTREL_HD inline uint32_t next_random(uint32_t* rand_list, uint32_t p)
{
    const uint32_t state = random_step(rand_list[p]);
    rand_list[p] = state;
    return state;
}

VANTREL_HD inline CVector3 random_unit_vector(const CVector3* normal_list, uint32_t r)
{
    return normal_list[r % kNormalLookupModulus];
}
