#pragma once
// The kernel's random source: a per-pixel multiplicative step and a lookup in
// the table of random unit vectors prepared on the host.

#include <cstdint>

#include "scene/vector3.h"

constexpr uint32_t kPixelCount = 640u * 480u;
constexpr uint32_t kLastPixelIndex = kPixelCount - 1u;  // 307,199
// Entries of the host table copied to the device; lookups reduce modulo one
// less, so the last device entry is never returned.
constexpr uint32_t kDeviceNormalCount = 122880u;
constexpr uint32_t kNormalLookupModulus = 122879u;

// The two kernel-wide bindings: the device table of unit vectors and the
// per-pixel random states. Each launcher reads them from where its backend
// keeps them (process-wide pointers on the CPU, device variables under CUDA).
struct CRandomBindings {
    const CVector3* normal_list;
    uint32_t* rand_list;
};

// Advances pixel p's state by one step, stores it and returns it. The product
// wraps at 2^32 and is then reduced modulo 2^32 - 2.
VANTREL_HD inline uint32_t next_random(uint32_t* rand_list, uint32_t p)
{
    uint32_t state = (rand_list[p] * 16807u) % 4294967294u;
    rand_list[p] = state;
    return state;
}

VANTREL_HD inline CVector3 random_unit_vector(const CVector3* normal_list, uint32_t r)
{
    return normal_list[r % kNormalLookupModulus];
}
