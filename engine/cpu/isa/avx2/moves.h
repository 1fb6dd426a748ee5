// SPDX-License-Identifier: Apache-2.0
#pragma once
// Moves between per-pixel arrays and lanes for eight lanes on AVX2
// (engine/cpu/isa/lane_layout.h says which): whole registers moved and shuffled.

#include <immintrin.h>

#include <cstring>

#include "engine/cpu/isa/lane_layout.h"
#include "engine/cpu/isa/table_entry.h"

namespace VANTREL_LANES_NS {

// Eight pixels' three floats each, 24 in a row, to and from x, y and z lanes:
// three loads, and for each coordinate two blends and one permutation. Float
// k of row r (k = 8 r + place) is coordinate k % 3 of pixel k / 3; each
// coordinate's blend takes every place from the row holding it there.
inline void load_xyz8(const float* base, vfloat& x, vfloat& y, vfloat& z)
{
    const __m256 row0 = _mm256_loadu_ps(base);
    const __m256 row1 = _mm256_loadu_ps(base + 8);
    const __m256 row2 = _mm256_loadu_ps(base + 16);
    const __m256 xs = _mm256_blend_ps(_mm256_blend_ps(row0, row1, 0x92), row2, 0x24);
    const __m256 ys = _mm256_blend_ps(_mm256_blend_ps(row0, row1, 0x24), row2, 0x49);
    const __m256 zs = _mm256_blend_ps(_mm256_blend_ps(row0, row1, 0x49), row2, 0x92);
    x = reinterpret_cast<vfloat>(_mm256_permutevar8x32_ps(xs, _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5)));
    y = reinterpret_cast<vfloat>(_mm256_permutevar8x32_ps(ys, _mm256_setr_epi32(1, 4, 7, 2, 5, 0, 3, 6)));
    z = reinterpret_cast<vfloat>(_mm256_permutevar8x32_ps(zs, _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7)));
}
inline void store_xyz8(float* base, vfloat x, vfloat y, vfloat z)
{
    const __m256 xs = _mm256_permutevar8x32_ps(reinterpret_cast<__m256>(x), _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5));
    const __m256 ys = _mm256_permutevar8x32_ps(reinterpret_cast<__m256>(y), _mm256_setr_epi32(5, 0, 3, 6, 1, 4, 7, 2));
    const __m256 zs = _mm256_permutevar8x32_ps(reinterpret_cast<__m256>(z), _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7));
    _mm256_storeu_ps(base, _mm256_blend_ps(_mm256_blend_ps(xs, ys, 0x92), zs, 0x24));
    _mm256_storeu_ps(base + 8, _mm256_blend_ps(_mm256_blend_ps(xs, ys, 0x24), zs, 0x49));
    _mm256_storeu_ps(base + 16, _mm256_blend_ps(_mm256_blend_ps(xs, ys, 0x49), zs, 0x92));
}
// The low bytes of three lanes of integers, pixel by pixel (x, y, z of lane
// 0, then of lane 1, ...), where `where` holds; the other pixels' bytes stay.
// Six whole 32-bit words are read and written back.
inline void store_low_bytes8(uint8_t* base, vint where, vint x, vint y, vint z)
{
    const __m256i low = _mm256_set1_epi32(0xff);
    const __m256i xyz = _mm256_or_si256(
        _mm256_or_si256(_mm256_and_si256(reinterpret_cast<__m256i>(x), low),
                        _mm256_slli_epi32(_mm256_and_si256(reinterpret_cast<__m256i>(y), low), 8)),
        _mm256_slli_epi32(_mm256_and_si256(reinterpret_cast<__m256i>(z), low), 16));
    // Three bytes of each word to twelve in a row in each half, then the halves' twelve side by side.
    const __m256i squeeze = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5,
                                             6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(xyz, squeeze), join);
    const __m256i keep =
        _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(reinterpret_cast<__m256i>(where), squeeze), join);
    const __m256i words = _mm256_setr_epi32(-1, -1, -1, -1, -1, -1, 0, 0);
    int* at = reinterpret_cast<int*>(base);
    const __m256i old = _mm256_maskload_epi32(at, words);
    _mm256_maskstore_epi32(at, words, _mm256_blendv_epi8(old, bytes, keep));
}
inline CVec3 load_pixel_vec3(const float* base)
{
    CVec3 v;
    load_xyz8(base, v.x.v, v.y.v, v.z.v);
    return v;
}
inline void store_pixel_vec3(float* base, CMask where, CVec3 value)
{
    // The other pixels' floats written back as they were.
    const CVec3 old = load_pixel_vec3(base);
    store_xyz8(base, lane_select(where, value.x, old.x).v, lane_select(where, value.y, old.y).v,
               lane_select(where, value.z, old.z).v);
}
inline void store_pixel_bytes(uint8_t* base, CMask where, vint x, vint y, vint z)
{
    store_low_bytes8(base, where.v, x, y, z);
}
// Floats 0-3 and 2-5 of ray r in the low half of row r, of ray r + 4 in the
// high half; a 4 x 4 transpose in each half.
inline void load_pixel_rays(const float* base, CVec3& origin, CVec3& target)
{
    __m256 front[4];
    __m256 back[4];
    for (uint32_t r = 0; r < 4u; ++r) {
        front[r] = _mm256_loadu2_m128(base + 6u * (r + 4u), base + 6u * r);
        back[r] = _mm256_loadu2_m128(base + 6u * (r + 4u) + 2u, base + 6u * r + 2u);
    }
    const __m256 xy01 = _mm256_unpacklo_ps(front[0], front[1]);
    const __m256 zw01 = _mm256_unpackhi_ps(front[0], front[1]);
    const __m256 xy23 = _mm256_unpacklo_ps(front[2], front[3]);
    const __m256 zw23 = _mm256_unpackhi_ps(front[2], front[3]);
    const __m256 yz01 = _mm256_unpackhi_ps(back[0], back[1]);
    const __m256 yz23 = _mm256_unpackhi_ps(back[2], back[3]);
    const auto lanes = [](__m256 v) { return CFloat(reinterpret_cast<vfloat>(v)); };
    origin = {lanes(_mm256_shuffle_ps(xy01, xy23, 0x44)), lanes(_mm256_shuffle_ps(xy01, xy23, 0xee)),
              lanes(_mm256_shuffle_ps(zw01, zw23, 0x44))};
    target = {lanes(_mm256_shuffle_ps(zw01, zw23, 0xee)), lanes(_mm256_shuffle_ps(yz01, yz23, 0x44)),
              lanes(_mm256_shuffle_ps(yz01, yz23, 0xee))};
}
inline void store_uints_where(uint32_t* dst, CMask where, CUint value)
{
    store_uints(dst, lane_select(where, value, load_uints(dst)));
}
// Half h of row r holds the entry of lane 4 h + r; a 4 x 4 transpose in each half.
// `at` holds each lane's entry number.
inline CVec3 load_table_entries(const float* base, const uint32_t* at)
{
    const auto entry = [&](uint32_t lane) { return _mm_load_ps(base + size_t{at[lane]} * kTableEntryStride); };
    __m256 rows[4];
    for (uint32_t r = 0; r < 4u; ++r)
        rows[r] = _mm256_insertf128_ps(_mm256_castps128_ps256(entry(r)), entry(4u + r), 1);
    const __m256 xy01 = _mm256_unpacklo_ps(rows[0], rows[1]);
    const __m256 zw01 = _mm256_unpackhi_ps(rows[0], rows[1]);
    const __m256 xy23 = _mm256_unpacklo_ps(rows[2], rows[3]);
    const __m256 zw23 = _mm256_unpackhi_ps(rows[2], rows[3]);
    return {CFloat(reinterpret_cast<vfloat>(_mm256_shuffle_ps(xy01, xy23, 0x44))),
            CFloat(reinterpret_cast<vfloat>(_mm256_shuffle_ps(xy01, xy23, 0xee))),
            CFloat(reinterpret_cast<vfloat>(_mm256_shuffle_ps(zw01, zw23, 0x44)))};
}

inline CVec3 load_table_entries(const float* base, vuint index)
{
    uint32_t at[kLanes];
    std::memcpy(at, &index, sizeof at);
    return load_table_entries(base, at);
}

}  // namespace VANTREL_LANES_NS
