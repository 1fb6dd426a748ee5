// SPDX-License-Identifier: Apache-2.0
// The CPU lane passes, one row each: the only place a pass is named. The code
// reads the rows through VANTREL_PASS_ROW, which each reader defines before
// including this file (the pass values and their order, engine/cpu/cpu_pass.h;
// the entry points, engine/cpu/cpu_pass_lanes.h; the dispatch table,
// engine/cpu/cpu_pass.cpp). The build reads them as text
// (engine/CMakeLists.txt): for each row of the target's architecture it
// compiles a pass with the row's flags and lane count, on the primitives of
// engine/cpu/isa/<name>/primitives.h, into the entry point path_trace_pass_<name>;
// 4 lanes make the block pass, more the tiled pass. The plain loop comes
// before every row.
//
//   VANTREL_PASS_ROW(name, lanes, architecture, "compiler flags", processor check)
//
// The architecture is x86_64 or aarch64. The processor check is an expression,
// evaluated at run time and only on that architecture. The rows of one
// architecture go narrowest first: the last one the processor runs is the
// default. No include guard: each reader includes the rows anew.

// Every x86-64 processor has SSE2.
VANTREL_PASS_ROW(sse2, 4, x86_64, "", true)
VANTREL_PASS_ROW(avx2, 8, x86_64, "-mavx2", __builtin_cpu_supports("avx2"))
VANTREL_PASS_ROW(avx512, 16, x86_64, "-mavx512f -mavx512dq -mavx512bw -mavx512vl",
                 __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                     __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
// Every arm64 processor has NEON.
VANTREL_PASS_ROW(neon, 4, aarch64, "", true)
