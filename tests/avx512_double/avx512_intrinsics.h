// SPDX-License-Identifier: Apache-2.0
#pragma once
// A test double of the AVX-512 instruction set, for the 16-lane CPU pass on
// processors without it: the tests compile engine/cpu/lane_pass_tiles.cpp with
// this header forced in front (-include) and VANTREL_AVX512_EMULATED set, so
// the pass's mask-register code runs on SIMDe's portable AVX-512 intrinsics.
// The intrinsics SIMDe 0.7 lacks are written out below, lane by lane, from
// their documented definitions.

#include <immintrin.h>  // first: the aliases below must not rename its declarations

#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>

#include <math.h>

#include <cstdint>
#include <cstring>

#define VANTREL_AVX512_EMULATED 1

namespace avx512_double {

struct CLanes32 {
    uint32_t u[16];
};
template <typename T>
inline CLanes32 lanes_of(T v)
{
    static_assert(sizeof(T) == sizeof(CLanes32));
    CLanes32 l;
    std::memcpy(&l, &v, sizeof l);
    return l;
}
template <typename T>
inline T from_lanes(const CLanes32& l)
{
    T v;
    std::memcpy(&v, &l, sizeof v);
    return v;
}
inline float as_float(uint32_t bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
inline uint32_t as_bits(float f)
{
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

inline simde__mmask16 cmpeq_epu32_mask(simde__m512i a, simde__m512i b)
{
    const CLanes32 x = lanes_of(a), y = lanes_of(b);
    simde__mmask16 k = 0;
    for (int i = 0; i < 16; ++i)
        k = simde__mmask16(k | (x.u[i] == y.u[i] ? 1u << i : 0u));
    return k;
}
inline simde__mmask16 cmplt_epu32_mask(simde__m512i a, simde__m512i b)
{
    const CLanes32 x = lanes_of(a), y = lanes_of(b);
    simde__mmask16 k = 0;
    for (int i = 0; i < 16; ++i)
        k = simde__mmask16(k | (x.u[i] < y.u[i] ? 1u << i : 0u));
    return k;
}
// Lanes outside k keep src; index is signed, scaled by `scale` bytes.
inline simde__m512 mask_i32gather_ps(simde__m512 src, simde__mmask16 k, simde__m512i index, const void* base, int scale)
{
    CLanes32 r = lanes_of(src);
    const CLanes32 at = lanes_of(index);
    for (int i = 0; i < 16; ++i)
        if (k >> i & 1u)
            std::memcpy(&r.u[i], static_cast<const char*>(base) + int64_t(int32_t(at.u[i])) * scale, 4);
    return from_lanes<simde__m512>(r);
}
// The low lanes of a, in order, to the lanes of k; the others 0.
template <typename T>
inline T maskz_expand(simde__mmask16 k, T a)
{
    const CLanes32 x = lanes_of(a);
    CLanes32 r = {};
    for (int i = 0, n = 0; i < 16; ++i)
        if (k >> i & 1u)
            r.u[i] = x.u[n++];
    return from_lanes<T>(r);
}
inline simde__m512 maskz_sqrt_ps(simde__mmask16 k, simde__m512 a)
{
    const CLanes32 x = lanes_of(a);
    CLanes32 r = {};
    for (int i = 0; i < 16; ++i)
        if (k >> i & 1u)
            r.u[i] = as_bits(sqrtf(as_float(x.u[i])));
    return from_lanes<simde__m512>(r);
}

// Masked stores: only the elements whose bit is set are written.
template <int kBytes, typename T>
inline void mask_storeu(void* dst, uint64_t k, T a)
{
    unsigned char bytes[64];
    std::memcpy(bytes, &a, sizeof bytes);
    for (int i = 0; i < 64 / kBytes; ++i)
        if (k >> i & 1u)
            std::memcpy(static_cast<unsigned char*>(dst) + kBytes * i, bytes + kBytes * i, kBytes);
}

}  // namespace avx512_double

#define _mm512_cmpeq_epu32_mask(a, b) avx512_double::cmpeq_epu32_mask(a, b)
#define _mm512_cmplt_epu32_mask(a, b) avx512_double::cmplt_epu32_mask(a, b)
// GCC's header makes this one a macro itself when not optimising (its scale
// must be a constant there).
#undef _mm512_mask_i32gather_ps
#define _mm512_mask_i32gather_ps(src, k, index, base, scale) \
    avx512_double::mask_i32gather_ps(src, k, index, base, scale)
#define _mm512_maskz_expand_ps(k, a) avx512_double::maskz_expand(k, simde__m512(a))
#define _mm512_maskz_expand_epi32(k, a) avx512_double::maskz_expand(k, simde__m512i(a))
#define _mm512_maskz_sqrt_ps(k, a) avx512_double::maskz_sqrt_ps(k, a)
#define _mm512_mask_storeu_ps(dst, k, a) avx512_double::mask_storeu<4>(dst, k, simde__m512(a))
#define _mm512_mask_storeu_epi32(dst, k, a) avx512_double::mask_storeu<4>(dst, k, simde__m512i(a))
#define _mm512_mask_storeu_epi8(dst, k, a) avx512_double::mask_storeu<1>(dst, k, simde__m512i(a))
