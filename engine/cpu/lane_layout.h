// SPDX-License-Identifier: Apache-2.0
#pragma once
// Moves between per-pixel arrays and lanes, for every instruction set: three
// floats per pixel (sums), three bytes per pixel (the image), six floats per
// ray, masked stores of one integer per pixel, and lookups in a table of
// 16-byte entries. Each instruction set has its section below, and every
// section defines the same functions:
//
//   CVec3 load_pixel_vec3(const float* base)
//   void store_pixel_vec3(float* base, CMask where, CVec3 value)
//   void store_pixel_bytes(uint8_t* base, CMask where, vint x, vint y, vint z)
//   void load_pixel_rays(const float* base, CVec3& origin, CVec3& target)
//   void store_uints_where(uint32_t* dst, CMask where, CUint value)
//   CVec3 load_table_entries(const float* base, vuint index)
//
// base points at the first pixel's first float (or byte); a store writes only
// the pixels where `where` holds and leaves the others' values as they were.
// Whole registers are moved and shuffled: gathers are slower than element
// loads on some processors.

#include <immintrin.h>

#include <cstring>

#include "kernel/lanes.h"

namespace VANTREL_LANES_NS {

using CVec3 = CVec3Lanes<CFloat>;

// A table the lanes look entries up in holds this many floats per entry
// (x, y, z and an unused one), 16-byte aligned: each entry is one load.
constexpr uint32_t kTableEntryStride = 4u;

#if defined(VANTREL_LANES_AVX2)
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
// Half h of row r holds entry 4 h + r; a 4 x 4 transpose in each half.
inline CVec3 load_table_entries(const float* base, vuint index)
{
    uint32_t at[kLanes];
    std::memcpy(at, &index, sizeof at);
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

#elif defined(VANTREL_LANES_AVX512)
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
// Block b of row r holds entry 4 b + r; a 4 x 4 transpose in every block
// (the masked forms, all lanes on, as in lane_sqrt).
inline CVec3 load_table_entries(const float* base, vuint index)
{
    uint32_t at[kLanes];
    std::memcpy(at, &index, sizeof at);
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

#else
// SSE2 and the portable lanes: element by element.
inline CVec3 load_pixel_vec3(const float* base)
{
    CVec3 v;
    for (uint32_t i = 0; i < kLanes; ++i) {
        v.x.v[i] = base[3u * i];
        v.y.v[i] = base[3u * i + 1u];
        v.z.v[i] = base[3u * i + 2u];
    }
    return v;
}
inline void store_pixel_vec3(float* base, CMask where, CVec3 value)
{
    for (uint32_t bits = mask_bits(where); bits != 0; bits &= bits - 1u) {
        const uint32_t i = static_cast<uint32_t>(__builtin_ctz(bits));
        base[3u * i] = value.x.v[i];
        base[3u * i + 1u] = value.y.v[i];
        base[3u * i + 2u] = value.z.v[i];
    }
}
inline void store_pixel_bytes(uint8_t* base, CMask where, vint x, vint y, vint z)
{
    for (uint32_t bits = mask_bits(where); bits != 0; bits &= bits - 1u) {
        const uint32_t i = static_cast<uint32_t>(__builtin_ctz(bits));
        base[3u * i] = static_cast<uint8_t>(x[i]);
        base[3u * i + 1u] = static_cast<uint8_t>(y[i]);
        base[3u * i + 2u] = static_cast<uint8_t>(z[i]);
    }
}
inline void load_pixel_rays(const float* base, CVec3& origin, CVec3& target)
{
    for (uint32_t i = 0; i < kLanes; ++i) {
        const float* ray = base + 6u * i;
        origin.x.v[i] = ray[0];
        origin.y.v[i] = ray[1];
        origin.z.v[i] = ray[2];
        target.x.v[i] = ray[3];
        target.y.v[i] = ray[4];
        target.z.v[i] = ray[5];
    }
}
inline void store_uints_where(uint32_t* dst, CMask where, CUint value)
{
    store_uints(dst, lane_select(where, value, load_uints(dst)));
}
#if defined(VANTREL_LANES_SSE2)
// One load per entry and a 4 x 4 transpose.
inline CVec3 load_table_entries(const float* base, vuint index)
{
    __m128 rows[4];
    for (uint32_t r = 0; r < 4u; ++r)
        rows[r] = _mm_load_ps(base + size_t{index[r]} * kTableEntryStride);
    _MM_TRANSPOSE4_PS(rows[0], rows[1], rows[2], rows[3]);
    return {CFloat(reinterpret_cast<vfloat>(rows[0])), CFloat(reinterpret_cast<vfloat>(rows[1])),
            CFloat(reinterpret_cast<vfloat>(rows[2]))};
}
#else
inline CVec3 load_table_entries(const float* base, vuint index)
{
    CVec3 v;
    for (uint32_t i = 0; i < kLanes; ++i) {
        const float* entry = base + size_t{index[i]} * kTableEntryStride;
        v.x.v[i] = entry[0];
        v.y.v[i] = entry[1];
        v.z.v[i] = entry[2];
    }
    return v;
}
#endif
#endif

}  // namespace VANTREL_LANES_NS
