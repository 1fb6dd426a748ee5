// SPDX-License-Identifier: Apache-2.0
// The AVX2 lane types' packing, for tests/fast_pass_test.cpp: built with AVX2
// apart from the test, whose other cases run on any x86-64 processor.

#include <gtest/gtest.h>

#include <cstring>

#define VANTREL_LANES_NS packing_test_avx2
#define VANTREL_LANE_COUNT 8
#define VANTREL_LANES_PRIMITIVES "engine/cpu/isa/avx2/primitives.h"
#include "engine/cpu/simd_lanes.h"

// Every 8-bit mask: the lanes where it holds go to places 0, 1, ... in lane
// order, as many as it has, and come back to their own lanes; the others come
// back +0.
void check_avx2_packing_of_every_mask()
{
    namespace L = packing_test_avx2;
    float floats[8];
    uint32_t uints[8];
    for (uint32_t i = 0; i < 8u; ++i) {
        floats[i] = -1.5f - float(i) * 0.25f;
        uints[i] = 0x80000001u + i * 0x01010101u;
    }
    for (uint32_t m = 0; m < 256u; ++m) {
        L::vint bits;
        for (uint32_t i = 0; i < 8u; ++i)
            bits[i] = (m >> i) & 1u ? -1 : 0;
        const L::CMask mask(bits);
        const L::CPacking packing = L::pack_lanes(mask);
        float packed_floats[8];
        uint32_t packed_uints[8];
        L::compress_store(packed_floats, L::load_floats(floats), packing);
        L::compress_store(packed_uints, L::load_uints(uints), packing);
        uint32_t n = 0;
        for (uint32_t i = 0; i < 8u; ++i) {
            if (((m >> i) & 1u) == 0)
                continue;
            EXPECT_EQ(std::memcmp(&packed_floats[n], &floats[i], sizeof(float)), 0) << "mask " << m << " lane " << i;
            EXPECT_EQ(packed_uints[n], uints[i]) << "mask " << m << " lane " << i;
            ++n;
        }
        EXPECT_EQ(packing.count, n) << "mask " << m;
        const L::CUnpacking unpacking = L::unpack_lanes(mask);
        EXPECT_EQ(unpacking.count, n) << "mask " << m;
        const L::CFloat back = L::expand_load(packed_floats, unpacking);
        const L::CUint back_uints = L::expand_load(packed_uints, unpacking);
        for (uint32_t i = 0; i < 8u; ++i) {
            const float expected = (m >> i) & 1u ? floats[i] : 0.0f;
            const float got = back.v[i];
            EXPECT_EQ(std::memcmp(&got, &expected, sizeof(float)), 0) << "mask " << m << " lane " << i;
            EXPECT_EQ(back_uints.v[i], (m >> i) & 1u ? uints[i] : 0u) << "mask " << m << " lane " << i;
        }
    }
}
