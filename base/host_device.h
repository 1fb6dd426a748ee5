// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one place that knows about CUDA qualifiers. Kernel code is written once
// and compiled by g++ for the CPU and by nvcc for the GPU; every function that
// runs on both sides is marked VANTREL_HD.

#include <cmath>

#if defined(__CUDACC__)
#define VANTREL_HD __host__ __device__
#else
#define VANTREL_HD
#endif

// Fully unrolls the loop that follows on the device, so that arrays indexed by
// its counter can live in registers rather than in the thread's stack frame.
#if defined(__CUDA_ARCH__)
#define VANTREL_UNROLL _Pragma("unroll")
#else
#define VANTREL_UNROLL
#endif

// Square root, division, sine and cosine: IEEE on the host so CPU pictures are
// reproducible bit for bit; the fast intrinsics on the device.
VANTREL_HD inline float kernel_sqrt(float x)
{
#if defined(__CUDA_ARCH__)
    return __fsqrt_rn(x);
#else
    return std::sqrt(x);
#endif
}

VANTREL_HD inline float kernel_div(float a, float b)
{
#if defined(__CUDA_ARCH__)
    return __fdividef(a, b);
#else
    return a / b;
#endif
}

VANTREL_HD inline float kernel_sin(float x)
{
#if defined(__CUDA_ARCH__)
    return __sinf(x);
#else
    return std::sin(x);
#endif
}

VANTREL_HD inline float kernel_cos(float x)
{
#if defined(__CUDA_ARCH__)
    return __cosf(x);
#else
    return std::cos(x);
#endif
}

VANTREL_HD inline bool kernel_isfinite(float x)
{
#if defined(__CUDA_ARCH__)
    return isfinite(x);
#else
    return std::isfinite(x);
#endif
}
