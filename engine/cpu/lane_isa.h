// SPDX-License-Identifier: Apache-2.0
#pragma once
// The instruction set a lane pass is compiled for, named once: every choice
// between instruction sets in engine/cpu/ tests one of these names. A pass is
// compiled once per instruction set (engine/CMakeLists.txt), each time with its
// own VANTREL_LANES_NS and VANTREL_LANE_COUNT, so every function instantiated
// for one instruction set has a name of its own and the linker can never hand
// it to another.

#if !defined(VANTREL_LANES_NS) || !defined(VANTREL_LANE_COUNT)
#error "VANTREL_LANES_NS and VANTREL_LANE_COUNT name the instruction set's namespace and lane count"
#endif

// 16 lanes on AVX-512 F, DQ, BW and VL. The tests also build it for processors
// without AVX-512, with the intrinsics emulated (tests/avx512_double/).
#if VANTREL_LANE_COUNT == 16 && (defined(__AVX512F__) || defined(VANTREL_AVX512_EMULATED))
#define VANTREL_LANES_AVX512 1
// 8 lanes on AVX2.
#elif VANTREL_LANE_COUNT == 8 && defined(__AVX2__)
#define VANTREL_LANES_AVX2 1
// 4 lanes on SSE2, which every x86-64 processor has.
#elif VANTREL_LANE_COUNT == 4 && defined(__SSE2__)
#define VANTREL_LANES_SSE2 1
// Any count on the compiler's vector extensions alone.
#else
#define VANTREL_LANES_PORTABLE 1
#endif
