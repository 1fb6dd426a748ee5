// SPDX-License-Identifier: Apache-2.0
#pragma once
// Lane types of the fast CPU pass: VANTREL_LANE_COUNT pixels side by side in
// one SIMD register, on GCC vector extensions. Only engine/cpu/cpu_pass_lanes.cpp
// includes this; it is compiled once per instruction set, each time with its
// own VANTREL_LANES_NS, so every function instantiated for one instruction set
// has a name of its own and the linker can never hand it to another.
//
// Every operation is the IEEE single-precision operation of the one-pixel
// code, lane by lane: vector division and square root are exact, and nothing
// here uses approximate reciprocals or fused multiply-add.

#include <immintrin.h>
#include <math.h>

#include <bit>
#include <cstdint>
#include <cstring>

#include "engine/cpu/cpu_pass_lanes.h"
#include "kernel/intersect.h"
#include "kernel/lanes.h"

#if !defined(VANTREL_LANES_NS) || !defined(VANTREL_LANE_COUNT)
#error "VANTREL_LANES_NS and VANTREL_LANE_COUNT name the instruction set's namespace and lane count"
#endif

// The 16 lanes on AVX-512's intrinsics. The tests also build this pass for
// processors without AVX-512, with the intrinsics emulated
// (tests/avx512_double/), to check it against the plain loop there too.
#if VANTREL_LANE_COUNT == 16 && (defined(__AVX512F__) || defined(VANTREL_AVX512_EMULATED))
#define VANTREL_AVX512 1
#else
#define VANTREL_AVX512 0
#endif

namespace VANTREL_LANES_NS {

constexpr uint32_t kLanes = VANTREL_LANE_COUNT;
static_assert(kLanes == 4 || kLanes == 8 || kLanes == 16, "4, 8 or 16 lanes");

typedef float vfloat __attribute__((vector_size(4 * kLanes)));
typedef int32_t vint __attribute__((vector_size(4 * kLanes)));
typedef uint32_t vuint __attribute__((vector_size(4 * kLanes)));

// The value in every lane: one broadcast (an element-by-element loop is not
// always folded into one).
inline vint splat_int(int32_t value)
{
#if VANTREL_AVX512
    return reinterpret_cast<vint>(_mm512_set1_epi32(value));
#elif VANTREL_LANE_COUNT == 8 && defined(__AVX__)
    return reinterpret_cast<vint>(_mm256_set1_epi32(value));
#elif VANTREL_LANE_COUNT == 4 && defined(__SSE2__)
    return reinterpret_cast<vint>(_mm_set1_epi32(value));
#else
    vint v = {};
    for (uint32_t i = 0; i < kLanes; ++i)
        v[i] = value;
    return v;
#endif
}
inline vfloat splat_float(float value) { return reinterpret_cast<vfloat>(splat_int(std::bit_cast<int32_t>(value))); }

#if VANTREL_AVX512
#define VANTREL_MASK_REGISTERS 1
#else
#define VANTREL_MASK_REGISTERS 0
#endif

#if VANTREL_MASK_REGISTERS
// One bit per lane, kept in AVX-512's mask registers.
struct CMask {
    __mmask16 k;
    CMask() = default;
    explicit CMask(__mmask16 bits) : k(bits) {}
    explicit CMask(bool value) : k(value ? 0xffff : 0) {}
};
#else
// All bits set in a lane where the condition holds, none where it does not.
struct CMask {
    vint v;
    CMask() = default;
    explicit CMask(vint bits) : v(bits) {}
    explicit CMask(bool value) : v(splat_int(value ? -1 : 0)) {}
};
#endif

struct CUint {
    vuint v;
    CUint() = default;
    explicit CUint(vuint bits) : v(bits) {}
    CUint(uint32_t value) : v(reinterpret_cast<vuint>(splat_int(static_cast<int32_t>(value)))) {}
};

struct CFloat {
    vfloat v;
    CFloat() = default;
    explicit CFloat(vfloat bits) : v(bits) {}
    CFloat(float value) : v(splat_float(value)) {}
};

#if VANTREL_MASK_REGISTERS
inline CMask operator&&(CMask a, CMask b) { return CMask(__mmask16(a.k & b.k)); }
inline CMask operator||(CMask a, CMask b) { return CMask(__mmask16(a.k | b.k)); }
inline CMask operator!(CMask a) { return CMask(__mmask16(~a.k)); }
#else
inline CMask operator&&(CMask a, CMask b) { return CMask(a.v & b.v); }
inline CMask operator||(CMask a, CMask b) { return CMask(a.v | b.v); }
inline CMask operator!(CMask a) { return CMask(~a.v); }
#endif

inline CFloat operator+(CFloat a, CFloat b) { return CFloat(a.v + b.v); }
inline CFloat operator-(CFloat a, CFloat b) { return CFloat(a.v - b.v); }
inline CFloat operator*(CFloat a, CFloat b) { return CFloat(a.v * b.v); }
inline CFloat operator/(CFloat a, CFloat b) { return CFloat(a.v / b.v); }
inline CFloat operator-(CFloat a) { return CFloat(-a.v); }
#if VANTREL_MASK_REGISTERS
// Ordered comparisons are false on NaN, != is true on it, as in C++.
inline __m512 m512(vfloat v) { return reinterpret_cast<__m512>(v); }
inline __m512i m512i(vuint v) { return reinterpret_cast<__m512i>(v); }
inline CMask operator<(CFloat a, CFloat b) { return CMask(_mm512_cmp_ps_mask(m512(a.v), m512(b.v), _CMP_LT_OQ)); }
inline CMask operator>(CFloat a, CFloat b) { return CMask(_mm512_cmp_ps_mask(m512(a.v), m512(b.v), _CMP_GT_OQ)); }
inline CMask operator<=(CFloat a, CFloat b) { return CMask(_mm512_cmp_ps_mask(m512(a.v), m512(b.v), _CMP_LE_OQ)); }
inline CMask operator>=(CFloat a, CFloat b) { return CMask(_mm512_cmp_ps_mask(m512(a.v), m512(b.v), _CMP_GE_OQ)); }
inline CMask operator==(CFloat a, CFloat b) { return CMask(_mm512_cmp_ps_mask(m512(a.v), m512(b.v), _CMP_EQ_OQ)); }
inline CMask operator!=(CFloat a, CFloat b) { return CMask(_mm512_cmp_ps_mask(m512(a.v), m512(b.v), _CMP_NEQ_UQ)); }
#else
inline CMask operator<(CFloat a, CFloat b) { return CMask(a.v < b.v); }
inline CMask operator>(CFloat a, CFloat b) { return CMask(a.v > b.v); }
inline CMask operator<=(CFloat a, CFloat b) { return CMask(a.v <= b.v); }
inline CMask operator>=(CFloat a, CFloat b) { return CMask(a.v >= b.v); }
inline CMask operator==(CFloat a, CFloat b) { return CMask(a.v == b.v); }
inline CMask operator!=(CFloat a, CFloat b) { return CMask(a.v != b.v); }
#endif

inline CUint operator+(CUint a, CUint b) { return CUint(a.v + b.v); }
inline CUint operator-(CUint a, CUint b) { return CUint(a.v - b.v); }
inline CUint operator*(CUint a, CUint b) { return CUint(a.v * b.v); }
inline CUint operator&(CUint a, CUint b) { return CUint(a.v & b.v); }
#if VANTREL_MASK_REGISTERS
inline CMask operator<(CUint a, CUint b) { return CMask(_mm512_cmplt_epu32_mask(m512i(a.v), m512i(b.v))); }
inline CMask operator>=(CUint a, CUint b) { return CMask(_mm512_cmpge_epu32_mask(m512i(a.v), m512i(b.v))); }
inline CMask operator==(CUint a, CUint b) { return CMask(_mm512_cmpeq_epu32_mask(m512i(a.v), m512i(b.v))); }
#else
inline CMask operator<(CUint a, CUint b) { return CMask(a.v < b.v); }
inline CMask operator>=(CUint a, CUint b) { return CMask(a.v >= b.v); }
inline CMask operator==(CUint a, CUint b) { return CMask(a.v == b.v); }
#endif
// The divisor is a constant in every use, which the compiler turns into a
// multiply and shifts.
inline CUint operator%(CUint a, CUint b) { return CUint(a.v % b.v); }

#if VANTREL_MASK_REGISTERS
inline CFloat lane_select(CMask where, CFloat a, CFloat b)
{
    return CFloat(reinterpret_cast<vfloat>(_mm512_mask_blend_ps(where.k, m512(b.v), m512(a.v))));
}
inline CUint lane_select(CMask where, CUint a, CUint b)
{
    return CUint(reinterpret_cast<vuint>(_mm512_mask_blend_epi32(where.k, m512i(b.v), m512i(a.v))));
}
#else
// AVX2 blends on the mask's sign bits directly (a plain ?: compares the mask
// with zero first).
inline vfloat blend(vint where, vfloat a, vfloat b)
{
#if VANTREL_LANE_COUNT == 8 && defined(__AVX__)
    return reinterpret_cast<vfloat>(
        _mm256_blendv_ps(reinterpret_cast<__m256>(b), reinterpret_cast<__m256>(a), reinterpret_cast<__m256>(where)));
#else
    return where ? a : b;
#endif
}
inline CFloat lane_select(CMask where, CFloat a, CFloat b) { return CFloat(blend(where.v, a.v, b.v)); }
inline CUint lane_select(CMask where, CUint a, CUint b)
{
    return CUint(reinterpret_cast<vuint>(
        blend(where.v, reinterpret_cast<vfloat>(a.v), reinterpret_cast<vfloat>(b.v))));
}
#endif

inline uint32_t mask_bits(CMask m)
{
#if VANTREL_MASK_REGISTERS
    return m.k;
#elif VANTREL_LANE_COUNT == 8 && defined(__AVX__)
    return static_cast<uint32_t>(_mm256_movemask_ps(reinterpret_cast<__m256>(m.v)));
#elif VANTREL_LANE_COUNT == 4 && defined(__SSE2__)
    return static_cast<uint32_t>(_mm_movemask_ps(reinterpret_cast<__m128>(m.v)));
#else
    uint32_t bits = 0;
    for (uint32_t i = 0; i < kLanes; ++i)
        bits |= (m.v[i] != 0 ? 1u : 0u) << i;
    return bits;
#endif
}
inline bool lane_any(CMask m) { return mask_bits(m) != 0; }
inline bool lane_all(CMask m) { return mask_bits(m) == (1u << kLanes) - 1u; }

inline uint32_t lane_max(CUint v)
{
    uint32_t best = v.v[0];
    for (uint32_t i = 1; i < kLanes; ++i)
        best = v.v[i] > best ? v.v[i] : best;
    return best;
}
inline uint32_t lane_sum(CUint v)
{
    uint32_t sum = 0;
    for (uint32_t i = 0; i < kLanes; ++i)
        sum += v.v[i];
    return sum;
}

// Lane-wide moves between registers and packed arrays, for a pass that
// regroups live paths between bounces. A packing (pack_lanes) names the lanes
// where a mask holds, worked out once for all the registers moved with it:
// compress_store writes those lanes to dst[0], dst[1], ... in lane order (and
// may write anything up to dst[kLanes - 1]). An unpacking (unpack_lanes)
// hands them back: expand_load gives the lanes where the mask holds src[0],
// src[1], ... in lane order, the others 0 (it may read up to src[kLanes - 1]).
// AVX-512 has instructions for both; AVX2 permutes the register by a table
// entry per 8-bit mask (lane_orders); fewer lanes move one at a time.
#if VANTREL_LANE_COUNT == 8 && defined(__AVX2__)
// For every 8-bit mask m: pack[m] lists the lanes where m holds, in order,
// then zeros; unpack[m][i] is lane i's place among them (0 where m does not hold).
struct CLaneOrders {
    uint8_t pack[256][8];
    uint8_t unpack[256][8];
};
constexpr CLaneOrders make_lane_orders()
{
    CLaneOrders orders{};
    for (uint32_t m = 0; m < 256u; ++m)
        for (uint32_t i = 0, n = 0; i < 8u; ++i)
            if ((m >> i) & 1u) {
                orders.pack[m][n] = static_cast<uint8_t>(i);
                orders.unpack[m][i] = static_cast<uint8_t>(n++);
            }
    return orders;
}
inline constexpr CLaneOrders kLaneOrders = make_lane_orders();
// Eight lane numbers widened to a permutation register.
inline __m256i lane_order(const uint8_t (&order)[8])
{
    int64_t bytes;
    std::memcpy(&bytes, order, sizeof bytes);
    return _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(bytes));
}
#endif

struct CPacking {
    CMask where;
    uint32_t count;
#if VANTREL_LANE_COUNT == 8 && defined(__AVX2__)
    __m256i order;  // place j takes lane order[j]
#endif
};
struct CUnpacking {
    CMask where;
    uint32_t count;
#if VANTREL_LANE_COUNT == 8 && defined(__AVX2__)
    __m256i order;  // lane i takes place order[i]
#endif
};
inline CPacking pack_lanes(CMask where)
{
    const uint32_t bits = mask_bits(where);
#if VANTREL_LANE_COUNT == 8 && defined(__AVX2__)
    return {where, static_cast<uint32_t>(__builtin_popcount(bits)), lane_order(kLaneOrders.pack[bits])};
#else
    return {where, static_cast<uint32_t>(__builtin_popcount(bits))};
#endif
}
inline CUnpacking unpack_lanes(CMask where)
{
    const uint32_t bits = mask_bits(where);
#if VANTREL_LANE_COUNT == 8 && defined(__AVX2__)
    return {where, static_cast<uint32_t>(__builtin_popcount(bits)), lane_order(kLaneOrders.unpack[bits])};
#else
    return {where, static_cast<uint32_t>(__builtin_popcount(bits))};
#endif
}

inline void compress_store(float* dst, CFloat v, const CPacking& p)
{
#if VANTREL_MASK_REGISTERS
    _mm512_storeu_ps(dst, _mm512_maskz_compress_ps(p.where.k, m512(v.v)));
#elif VANTREL_LANE_COUNT == 8 && defined(__AVX2__)
    _mm256_storeu_ps(dst, _mm256_permutevar8x32_ps(reinterpret_cast<__m256>(v.v), p.order));
#else
    uint32_t n = 0;
    for (uint32_t bits = mask_bits(p.where); bits != 0; bits &= bits - 1u)
        dst[n++] = v.v[__builtin_ctz(bits)];
#endif
}
inline void compress_store(uint32_t* dst, CUint v, const CPacking& p)
{
#if VANTREL_MASK_REGISTERS
    _mm512_storeu_si512(dst, _mm512_maskz_compress_epi32(p.where.k, m512i(v.v)));
#elif VANTREL_LANE_COUNT == 8 && defined(__AVX2__)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst),
                        _mm256_permutevar8x32_epi32(reinterpret_cast<__m256i>(v.v), p.order));
#else
    uint32_t n = 0;
    for (uint32_t bits = mask_bits(p.where); bits != 0; bits &= bits - 1u)
        dst[n++] = v.v[__builtin_ctz(bits)];
#endif
}
inline CFloat expand_load(const float* src, const CUnpacking& u)
{
#if VANTREL_MASK_REGISTERS
    return CFloat(reinterpret_cast<vfloat>(_mm512_maskz_expand_ps(u.where.k, _mm512_loadu_ps(src))));
#elif VANTREL_LANE_COUNT == 8 && defined(__AVX2__)
    // The lanes outside the mask cleared to +0 by the mask's zero bits.
    const __m256 spread = _mm256_permutevar8x32_ps(_mm256_loadu_ps(src), u.order);
    return CFloat(reinterpret_cast<vfloat>(_mm256_and_ps(spread, reinterpret_cast<__m256>(u.where.v))));
#else
    vfloat r = {};
    uint32_t n = 0;
    for (uint32_t bits = mask_bits(u.where); bits != 0; bits &= bits - 1u)
        r[__builtin_ctz(bits)] = src[n++];
    return CFloat(r);
#endif
}
inline CFloat load_floats(const float* src)
{
    vfloat v;
    std::memcpy(&v, src, sizeof v);
    return CFloat(v);
}
inline CUint load_uints(const uint32_t* src)
{
    vuint v;
    std::memcpy(&v, src, sizeof v);
    return CUint(v);
}
inline void store_floats(float* dst, CFloat v) { std::memcpy(dst, &v.v, sizeof v.v); }
// 0, 1, 2, ... : each lane's number.
inline CUint lane_index()
{
    vuint index;
    for (uint32_t i = 0; i < kLanes; ++i)
        index[i] = i;
    return CUint(index);
}
// Lanes 0 .. count - 1 on.
inline CMask first_lanes(uint32_t count) { return lane_index() < CUint(count); }

inline CFloat lane_sqrt(CFloat x)
{
#if VANTREL_AVX512
    // The masked forms, all lanes on: the plain ones start from an undefined
    // register, which GCC 12 warns about.
    return CFloat(reinterpret_cast<vfloat>(_mm512_maskz_sqrt_ps(0xffff, reinterpret_cast<__m512>(x.v))));
#elif VANTREL_LANE_COUNT == 8 && defined(__AVX__)
    return CFloat(reinterpret_cast<vfloat>(_mm256_sqrt_ps(reinterpret_cast<__m256>(x.v))));
#elif VANTREL_LANE_COUNT == 4 && defined(__SSE2__)
    return CFloat(reinterpret_cast<vfloat>(_mm_sqrt_ps(reinterpret_cast<__m128>(x.v))));
#else
    vfloat r = x.v;
    for (uint32_t i = 0; i < kLanes; ++i)
        r[i] = __builtin_sqrtf(x.v[i]);
    return CFloat(r);
#endif
}
inline CFloat lane_div(CFloat a, CFloat b) { return a / b; }

// Only glossy surfaces turn: the C library's sine and cosine lane by lane,
// exactly what the one-pixel code calls.
inline CFloat lane_sin(CFloat x)
{
    vfloat r = x.v;
    for (uint32_t i = 0; i < kLanes; ++i)
        r[i] = ::sinf(x.v[i]);
    return CFloat(r);
}
inline CFloat lane_cos(CFloat x)
{
    vfloat r = x.v;
    for (uint32_t i = 0; i < kLanes; ++i)
        r[i] = ::cosf(x.v[i]);
    return CFloat(r);
}

inline CMask lane_isfinite(CFloat x)
{
    const vuint exponent = reinterpret_cast<vuint>(x.v) & 0x7f800000u;
    return !(CUint(exponent) == CUint(0x7f800000u));
}
// Every unsigned value converts to the nearest float, as a scalar cast does.
inline CFloat lane_to_float(CUint v) { return CFloat(__builtin_convertvector(v.v, vfloat)); }

// base[index] in every lane.
inline vfloat gather(const float* base, vint index)
{
#if VANTREL_AVX512
    return reinterpret_cast<vfloat>(
        _mm512_mask_i32gather_ps(_mm512_setzero_ps(), 0xffff, reinterpret_cast<__m512i>(index), base, 4));
#elif VANTREL_LANE_COUNT == 8 && defined(__AVX2__)
    return reinterpret_cast<vfloat>(_mm256_i32gather_ps(base, reinterpret_cast<__m256i>(index), 4));
#else
    vfloat r = {};
    for (uint32_t i = 0; i < kLanes; ++i)
        r[i] = base[index[i]];
    return r;
#endif
}

#if VANTREL_LANE_COUNT == 8 && defined(__AVX2__)
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
    const __m256i keep = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(reinterpret_cast<__m256i>(where), squeeze), join);
    const __m256i words = _mm256_setr_epi32(-1, -1, -1, -1, -1, -1, 0, 0);
    int* at = reinterpret_cast<int*>(base);
    const __m256i old = _mm256_maskload_epi32(at, words);
    _mm256_maskstore_epi32(at, words, _mm256_blendv_epi8(old, bytes, keep));
}
#endif

#if VANTREL_AVX512
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
#endif

using CVec3 = CVec3Lanes<CFloat>;

// Entries index[0], index[1], ... of a table of 16-byte aligned entries
// (x, y, z, unused), one per lane: one load per entry and a transpose.
inline CVec3 load_entries_vec3(const float* base, vuint index)
{
    static_assert(kScatterStride == 4u, "one 16-byte load per entry");
    uint32_t at[kLanes];
    std::memcpy(at, &index, sizeof at);
    const auto entry = [&](uint32_t lane) { return _mm_load_ps(base + size_t{at[lane]} * 4u); };
#if VANTREL_AVX512
    // Block b of row r holds entry 4 b + r; a 4 x 4 transpose in every block
    // (the masked forms, all lanes on, as in lane_sqrt).
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
#elif VANTREL_LANE_COUNT == 8 && defined(__AVX2__)
    // Half h of row r holds entry 4 h + r; a 4 x 4 transpose in each half.
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
#else
    __m128 rows[4];
    for (uint32_t r = 0; r < 4u; ++r)
        rows[r] = entry(r);
    _MM_TRANSPOSE4_PS(rows[0], rows[1], rows[2], rows[3]);
    return {CFloat(reinterpret_cast<vfloat>(rows[0])), CFloat(reinterpret_cast<vfloat>(rows[1])),
            CFloat(reinterpret_cast<vfloat>(rows[2]))};
#endif
}

}  // namespace VANTREL_LANES_NS

// The pixels first .. first + kLanes - 1, one per lane.
template <>
struct CLaneTraits<VANTREL_LANES_NS::CFloat> {
    using F = VANTREL_LANES_NS::CFloat;
    using mask = VANTREL_LANES_NS::CMask;
    using uint = VANTREL_LANES_NS::CUint;
    using vec3 = CVec3Lanes<F>;
    using vfloat = VANTREL_LANES_NS::vfloat;
    using vint = VANTREL_LANES_NS::vint;
    using vuint = VANTREL_LANES_NS::vuint;
    static constexpr uint32_t kLanes = VANTREL_LANES_NS::kLanes;

    static uint load_uint(const uint32_t* list, uint32_t first)
    {
        vuint v;
        std::memcpy(&v, list + first, sizeof v);
        return uint(v);
    }
    static void store_uint(uint32_t* list, uint32_t first, uint value) { std::memcpy(list + first, &value.v, sizeof value.v); }
    static void store_uint(uint32_t* list, uint32_t first, mask where, uint value)
    {
#if VANTREL_AVX512
        _mm512_mask_storeu_epi32(list + first, where.k, reinterpret_cast<__m512i>(value.v));
#else
        store_uint(list, first, lane_select(where, value, load_uint(list, first)));
#endif
    }
    // Three floats per pixel (sums), moved as whole registers (load_xyz8,
    // load_xyz16); gathers are slower than element loads on some processors.
    static vec3 load_vec3(const float* list, uint32_t first)
    {
        const float* base = list + 3u * first;
#if VANTREL_LANE_COUNT == 8 && defined(__AVX2__)
        vec3 v;
        VANTREL_LANES_NS::load_xyz8(base, v.x.v, v.y.v, v.z.v);
        return v;
#elif VANTREL_AVX512
        vec3 v;
        VANTREL_LANES_NS::load_xyz16(base, v.x.v, v.y.v, v.z.v);
        return v;
#else
        vec3 v;
        for (uint32_t i = 0; i < kLanes; ++i) {
            v.x.v[i] = base[3u * i];
            v.y.v[i] = base[3u * i + 1u];
            v.z.v[i] = base[3u * i + 2u];
        }
        return v;
#endif
    }
    static void store_vec3(float* list, uint32_t first, mask where, vec3 value)
    {
        float* base = list + 3u * first;
#if VANTREL_LANE_COUNT == 8 && defined(__AVX2__)
        // The other pixels' floats written back as they were.
        vec3 old;
        VANTREL_LANES_NS::load_xyz8(base, old.x.v, old.y.v, old.z.v);
        VANTREL_LANES_NS::store_xyz8(base, lane_select(where, value.x, old.x).v, lane_select(where, value.y, old.y).v,
                                     lane_select(where, value.z, old.z).v);
#elif VANTREL_AVX512
        VANTREL_LANES_NS::store_xyz16(base, where.k, value.x.v, value.y.v, value.z.v);
#else
        for (uint32_t bits = VANTREL_LANES_NS::mask_bits(where); bits != 0; bits &= bits - 1u) {
            const uint32_t i = static_cast<uint32_t>(__builtin_ctz(bits));
            base[3u * i] = value.x.v[i];
            base[3u * i + 1u] = value.y.v[i];
            base[3u * i + 2u] = value.z.v[i];
        }
#endif
    }
    // Truncation to 32 bits, then the low byte: a scalar float-to-unsigned
    // conversion gives the same low byte for every value a pixel can hold.
    static void store_bytes(uint8_t* list, uint32_t first, mask where, vec3 value)
    {
#if defined(VANTREL_STAGE_CLOCK)
        const uint32_t left = stage_enter(kStageBytes);
#endif
        const vint x = __builtin_convertvector(value.x.v, vint);
        const vint y = __builtin_convertvector(value.y.v, vint);
        const vint z = __builtin_convertvector(value.z.v, vint);
        uint8_t* base = list + 3u * first;
#if VANTREL_LANE_COUNT == 8 && defined(__AVX2__)
        VANTREL_LANES_NS::store_low_bytes8(base, where.v, x, y, z);
#elif VANTREL_AVX512
        VANTREL_LANES_NS::store_low_bytes16(base, where.k, x, y, z);
#else
        for (uint32_t bits = VANTREL_LANES_NS::mask_bits(where); bits != 0; bits &= bits - 1u) {
            const uint32_t i = static_cast<uint32_t>(__builtin_ctz(bits));
            base[3u * i] = static_cast<uint8_t>(x[i]);
            base[3u * i + 1u] = static_cast<uint8_t>(y[i]);
            base[3u * i + 2u] = static_cast<uint8_t>(z[i]);
        }
#endif
#if defined(VANTREL_STAGE_CLOCK)
        stage_enter(left);
#endif
    }
    // Six floats per ray: origin, then target.
    static void load_ray(const CRay3* list, uint32_t first, vec3& origin, vec3& target)
    {
#if VANTREL_LANE_COUNT == 8 && defined(__AVX2__)
        // Floats 0-3 and 2-5 of ray r in the low half of row r, of ray r + 4
        // in the high half; a 4 x 4 transpose in each half (gathers are
        // slower on some processors).
        const float* base = reinterpret_cast<const float*>(list + first);
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
        const auto lanes = [](__m256 v) { return F(reinterpret_cast<vfloat>(v)); };
        origin = {lanes(_mm256_shuffle_ps(xy01, xy23, 0x44)), lanes(_mm256_shuffle_ps(xy01, xy23, 0xee)),
                  lanes(_mm256_shuffle_ps(zw01, zw23, 0x44))};
        target = {lanes(_mm256_shuffle_ps(zw01, zw23, 0xee)), lanes(_mm256_shuffle_ps(yz01, yz23, 0x44)),
                  lanes(_mm256_shuffle_ps(yz01, yz23, 0xee))};
#elif VANTREL_AVX512
        vfloat v[6];
        VANTREL_LANES_NS::load_rays16(reinterpret_cast<const float*>(list + first), v);
        origin = {F(v[0]), F(v[1]), F(v[2])};
        target = {F(v[3]), F(v[4]), F(v[5])};
#else
        for (uint32_t i = 0; i < kLanes; ++i) {
            const CRay3& ray = list[first + i];
            origin.x.v[i] = ray.origin.x;
            origin.y.v[i] = ray.origin.y;
            origin.z.v[i] = ray.origin.z;
            target.x.v[i] = ray.target.x;
            target.y.v[i] = ray.target.y;
            target.z.v[i] = ray.target.z;
        }
#endif
    }
    // The fast pass's table is normalised beforehand, kScatterStride floats
    // per entry (engine/cpu/cpu_pass_lanes.h).
    static vec3 load_scatter_vector(const CVector3* list, uint index)
    {
        return VANTREL_LANES_NS::load_entries_vec3(reinterpret_cast<const float*>(list), index.v);
    }
};

namespace VANTREL_LANES_NS {

// Row `row` of the surface table at each lane's object: one register
// permutation while the objects fit (16 on AVX-512, 8 or 16 on AVX2; rows are
// then 16 floats apart), a gather otherwise.
inline CFloat surface_field(const CSceneLists& scene, uint32_t row, CUint object)
{
    const uint32_t count = scene.sphere_count + scene.plane_count;
    const bool in_registers = count <= kSurfaceRegisterObjects;
    const float* column =
        scene.surface_table + row * (in_registers ? kSurfaceRegisterObjects : scene.surface_stride);
    const vint index = reinterpret_cast<vint>(object.v);
#if VANTREL_AVX512
    if (in_registers)
        return CFloat(reinterpret_cast<vfloat>(
            _mm512_maskz_permutexvar_ps(0xffff, reinterpret_cast<__m512i>(index), _mm512_loadu_ps(column))));
#elif VANTREL_LANE_COUNT == 8 && defined(__AVX2__)
    if (count <= 8u)
        return CFloat(reinterpret_cast<vfloat>(
            _mm256_permutevar8x32_ps(_mm256_loadu_ps(column), reinterpret_cast<__m256i>(index))));
    if (in_registers) {
        const __m256 low = _mm256_permutevar8x32_ps(_mm256_loadu_ps(column), reinterpret_cast<__m256i>(index));
        const __m256 high =
            _mm256_permutevar8x32_ps(_mm256_loadu_ps(column + 8), reinterpret_cast<__m256i>(index));
        return CFloat(reinterpret_cast<vfloat>(_mm256_blendv_ps(low, high, reinterpret_cast<__m256>(index << 28))));
    }
#endif
    (void)in_registers;
    return CFloat(gather(column, index));
}

// As the one-pixel load_surface (kernel/intersect.h), from the surface table.
inline void load_surface(const CSceneLists& scene, CUint object, CHitLanes<CFloat>& hit)
{
    hit.emission = {surface_field(scene, 0, object), surface_field(scene, 1, object),
                    surface_field(scene, 2, object)};
    hit.color = {surface_field(scene, 3, object), surface_field(scene, 4, object), surface_field(scene, 5, object)};
    hit.scatter_angle = surface_field(scene, 6, object);
    hit.refraction_index = surface_field(scene, 7, object);
    hit.normal = {surface_field(scene, 8, object), surface_field(scene, 9, object),
                  surface_field(scene, 10, object)};
}

}  // namespace VANTREL_LANES_NS
