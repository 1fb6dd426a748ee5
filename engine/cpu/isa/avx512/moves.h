// SPDX-License-Identifier: Apache-2.0
#pragma once
// Moves between per-pixel arrays and lanes for sixteen lanes on AVX-512
// (engine/cpu/isa/lane_layout.h says which): permutations across registers and
// stores masked by the lanes' mask register.

#include <immintrin.h>

#include <cstring>

#include "engine/cpu/isa/lane_layout.h"
#include "engine/cpu/isa/table_entry.h"

namespace VANTREL_LANES_NS {

// Bit i of a 16-bit mask to bits 3 i, 3 i + 1 and 3 i + 2: a pixel's mask bit
// for each of its three floats or bytes.
struct CTripledBits {
    uint32_t of[256];  // 24 bits for each 8-bit mask
};
constexpr CTripledBits make_tripled_bits()
{
    CTripledBits t{};
    for (uint32_t m = 0; m < 256u; ++m)
        for (uint32_t i = 0; i < 8u; ++i)
            if ((m >> i) & 1u)
                t.of[m] |= 7u << (3u * i);
    return t;
}
inline constexpr CTripledBits kTripledBits = make_tripled_bits();
inline uint64_t tripled_bits(__mmask16 m)
{
    return uint64_t{kTripledBits.of[m & 0xffu]} | uint64_t{kTripledBits.of[m >> 8]} << 24;
}

// Sixteen pixels' three floats each, 48 in a row, to and from x, y and z
// lanes: three loads and two two-register permutations per coordinate. Float
// k of the row is coordinate k % 3 of pixel k / 3.
inline __m512i index16(const int32_t (&i)[16]) { return _mm512_loadu_si512(i); }
inline void load_xyz16(const float* base, vfloat& x, vfloat& y, vfloat& z)
{
    // Coordinate c of pixel i is float 3 i + c: from the first two rows where
    // it lies below 32 (index 3 i + c), else from the third (16 + 3 i + c - 32,
    // the lanes already taken kept by index i).
    static constexpr int32_t kFirst[3][16] = {{0, 3, 6, 9, 12, 15, 18, 21, 24, 27, 30, 0, 0, 0, 0, 0},
                                              {1, 4, 7, 10, 13, 16, 19, 22, 25, 28, 31, 0, 0, 0, 0, 0},
                                              {2, 5, 8, 11, 14, 17, 20, 23, 26, 29, 0, 0, 0, 0, 0, 0}};
    static constexpr int32_t kThird[3][16] = {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 17, 20, 23, 26, 29},
                                              {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 18, 21, 24, 27, 30},
                                              {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 19, 22, 25, 28, 31}};
    const __m512 row0 = _mm512_loadu_ps(base);
    const __m512 row1 = _mm512_loadu_ps(base + 16);
    const __m512 row2 = _mm512_loadu_ps(base + 32);
    vfloat* out[3] = {&x, &y, &z};
    for (uint32_t c = 0; c < 3u; ++c) {
        const __m512 low = _mm512_permutex2var_ps(row0, index16(kFirst[c]), row1);
        *out[c] = reinterpret_cast<vfloat>(_mm512_permutex2var_ps(low, index16(kThird[c]), row2));
    }
}
// The floats of the pixels where `where` holds; the others stay as they are.
inline void store_xyz16(float* base, __mmask16 where, vfloat x, vfloat y, vfloat z)
{
    // Float k of row r is coordinate (16 r + k) % 3 of pixel (16 r + k) / 3:
    // x or y of that pixel first (index p, or 16 + p), then z where it is z.
    static constexpr int32_t kXY[3][16] = {{0, 16, 0, 1, 17, 1, 2, 18, 2, 3, 19, 3, 4, 20, 4, 5},
                                           {21, 5, 6, 22, 6, 7, 23, 7, 8, 24, 8, 9, 25, 9, 10, 26},
                                           {10, 11, 27, 11, 12, 28, 12, 13, 29, 13, 14, 30, 14, 15, 31, 15}};
    static constexpr int32_t kZ[3][16] = {{0, 1, 16, 3, 4, 17, 6, 7, 18, 9, 10, 19, 12, 13, 20, 15},
                                          {0, 21, 2, 3, 22, 5, 6, 23, 8, 9, 24, 11, 12, 25, 14, 15},
                                          {26, 1, 2, 27, 4, 5, 28, 7, 8, 29, 10, 11, 30, 13, 14, 31}};
    const uint64_t bits = tripled_bits(where);
    for (uint32_t r = 0; r < 3u; ++r) {
        const __m512 xy = _mm512_permutex2var_ps(m512(x), index16(kXY[r]), m512(y));
        _mm512_mask_storeu_ps(base + 16u * r, __mmask16(bits >> (16u * r)),
                              _mm512_permutex2var_ps(xy, index16(kZ[r]), m512(z)));
    }
}
// The low bytes of three lanes of integers, pixel by pixel (x, y, z of lane
// 0, then of lane 1, ...), where `where` holds: one masked 48-byte store.
inline void store_low_bytes16(uint8_t* base, __mmask16 where, vint x, vint y, vint z)
{
    // Each word's low three bytes: x, then y, then z (0xe2: bits of the
    // first operand where the second's are set, else the third's).
    const __m512i xy = _mm512_ternarylogic_epi32(reinterpret_cast<__m512i>(x), _mm512_set1_epi32(0xff),
                                                 reinterpret_cast<__m512i>(y << 8), 0xe2);
    const __m512i xyz =
        _mm512_ternarylogic_epi32(xy, _mm512_set1_epi32(0xffff), reinterpret_cast<__m512i>(z << 16), 0xe2);
    // Three bytes of each word to twelve in a row in each 128-bit block, then
    // the blocks' twelve side by side (the masked forms, all lanes on, as in
    // lane_sqrt).
    const __m512i squeeze = _mm512_set4_epi32(-1, 0x0e0d0c0a, 0x09080605, 0x04020100);
    const __m512i join = _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 3, 7, 11, 15);
    const __m512i bytes = _mm512_maskz_permutexvar_epi32(0xffff, join, _mm512_shuffle_epi8(xyz, squeeze));
    _mm512_mask_storeu_epi8(base, tripled_bits(where), bytes);
}
// Sixteen rays of six floats (origin, then target), 96 in a row: float c of
// ray i is float k = 6 i + c, in the pair of rows (2 j, 2 j + 1) with
// j = k / 32, at place k % 32 of the pair. One permutation per pair and
// coordinate, and two blends.
struct CRayPlaces {
    int32_t place[6][16];
    uint16_t pair1[6];  // lanes from rows 2 and 3
    uint16_t pair2[6];  // lanes from rows 4 and 5
};
constexpr CRayPlaces make_ray_places()
{
    CRayPlaces r{};
    for (uint32_t c = 0; c < 6u; ++c)
        for (uint32_t i = 0; i < 16u; ++i) {
            const uint32_t k = 6u * i + c;
            r.place[c][i] = static_cast<int32_t>(k % 32u);
            r.pair1[c] = static_cast<uint16_t>(r.pair1[c] | (k / 32u == 1u ? 1u << i : 0u));
            r.pair2[c] = static_cast<uint16_t>(r.pair2[c] | (k / 32u == 2u ? 1u << i : 0u));
        }
    return r;
}
inline constexpr CRayPlaces kRayPlaces = make_ray_places();
inline void load_rays16(const float* base, vfloat (&out)[6])
{
    __m512 rows[6];
    for (uint32_t r = 0; r < 6u; ++r)
        rows[r] = _mm512_loadu_ps(base + 16u * r);
    for (uint32_t c = 0; c < 6u; ++c) {
        const __m512i at = index16(kRayPlaces.place[c]);
        __m512 v = _mm512_permutex2var_ps(rows[0], at, rows[1]);
        v = _mm512_mask_blend_ps(kRayPlaces.pair1[c], v, _mm512_permutex2var_ps(rows[2], at, rows[3]));
        v = _mm512_mask_blend_ps(kRayPlaces.pair2[c], v, _mm512_permutex2var_ps(rows[4], at, rows[5]));
        out[c] = reinterpret_cast<vfloat>(v);
    }
}
inline CVec3 load_pixel_vec3(const float* base)
{
    CVec3 v;
    load_xyz16(base, v.x.v, v.y.v, v.z.v);
    return v;
}
inline void store_pixel_vec3(float* base, CMask where, CVec3 value)
{
    store_xyz16(base, where.k, value.x.v, value.y.v, value.z.v);
}
inline void store_pixel_bytes(uint8_t* base, CMask where, vint x, vint y, vint z)
{
    store_low_bytes16(base, where.k, x, y, z);
}
inline void load_pixel_rays(const float* base, CVec3& origin, CVec3& target)
{
    vfloat v[6];
    load_rays16(base, v);
    origin = {CFloat(v[0]), CFloat(v[1]), CFloat(v[2])};
    target = {CFloat(v[3]), CFloat(v[4]), CFloat(v[5])};
}
inline void store_uints_where(uint32_t* dst, CMask where, CUint value)
{
    _mm512_mask_storeu_epi32(dst, where.k, m512i(value.v));
}
// Block b of row r holds the entry of lane 4 b + r; a 4 x 4 transpose in every block
// (the masked forms, all lanes on, as in lane_sqrt).
// `at` holds each lane's entry number.
inline CVec3 load_table_entries(const float* base, const uint32_t* at)
{
    const auto entry = [&](uint32_t lane) { return _mm_load_ps(base + size_t{at[lane]} * kTableEntryStride); };
    __m512 rows[4];
    for (uint32_t r = 0; r < 4u; ++r) {
        __m512 v = _mm512_castps128_ps512(entry(r));
        v = _mm512_insertf32x4(v, entry(4u + r), 1);
        v = _mm512_insertf32x4(v, entry(8u + r), 2);
        rows[r] = _mm512_insertf32x4(v, entry(12u + r), 3);
    }
    const __m512 xy01 = _mm512_maskz_unpacklo_ps(0xffff, rows[0], rows[1]);
    const __m512 zw01 = _mm512_maskz_unpackhi_ps(0xffff, rows[0], rows[1]);
    const __m512 xy23 = _mm512_maskz_unpacklo_ps(0xffff, rows[2], rows[3]);
    const __m512 zw23 = _mm512_maskz_unpackhi_ps(0xffff, rows[2], rows[3]);
    return {CFloat(reinterpret_cast<vfloat>(_mm512_shuffle_ps(xy01, xy23, 0x44))),
            CFloat(reinterpret_cast<vfloat>(_mm512_shuffle_ps(xy01, xy23, 0xee))),
            CFloat(reinterpret_cast<vfloat>(_mm512_shuffle_ps(zw01, zw23, 0x44)))};
}

inline CVec3 load_table_entries(const float* base, vuint index)
{
    uint32_t at[kLanes];
    std::memcpy(at, &index, sizeof at);
    return load_table_entries(base, at);
}

}  // namespace VANTREL_LANES_NS
