// SPDX-License-Identifier: Apache-2.0
#pragma once
// The CPU form of the kernels: the same per-pixel body, run once for every
// pixel index, spread over the cores (engine/cpu/cpu_threads.h). Two passes give the same
// bits: the plain loop, one pixel at a time (the reference), and the fast
// pass, blocks of neighbouring pixels side by side in SIMD lanes, built for
// several instruction sets and chosen for the processor at run time.

#include <cstdint>

#include "kernel/frame_args.h"

class CFirstHits;

// The CPU's kernel-wide bindings: process-wide pointers to the table of unit
// vectors and the per-pixel random states.
extern const CVector3* g_normal_list;
extern uint32_t* g_rand_list;

// The fast pass keeps a normalised copy of the bound table of unit vectors
// (kDeviceNormalCount entries), made by its first pass after binding: bind
// again after changing the table.

void bind_globals_cpu(CRandomBindings bindings);

// One pass over pixel indices 0..307,199 on `threads` threads (0: all cores),
// one pixel at a time. Each index runs exactly once. Returns the segments
// searched in the pass.
uint64_t path_trace_pass_cpu(const CFrameArgs& frame, int threads);

// The ways a CPU pass can run: the plain loop, or SIMD lanes of one
// instruction set, one value for each row of engine/cpu/cpu_pass_list.h
// (whatever this build's architecture).
enum class CCpuPass {
    plain,
#define VANTREL_PASS_ROW(name, ...) name,
#include "engine/cpu/cpu_pass_list.h"
#undef VANTREL_PASS_ROW
};
// Every pass in the list's order, the plain loop first.
inline constexpr CCpuPass kCpuPasses[] = {
    CCpuPass::plain,
#define VANTREL_PASS_ROW(name, ...) CCpuPass::name,
#include "engine/cpu/cpu_pass_list.h"
#undef VANTREL_PASS_ROW
};

const char* cpu_pass_name(CCpuPass pass);
// Whether this build has the pass, whatever the processor.
bool cpu_pass_compiled(CCpuPass pass);
// Whether this build has the pass and this processor can run it.
bool cpu_pass_supported(CCpuPass pass);
// The fastest supported pass (the last of kCpuPasses it runs); VANTREL_CPU_PASS=NAME in
// the environment asks for another (an unknown or unsupported one is ignored with a
// line on stderr naming the passes accepted here). Decided once.
CCpuPass cpu_pass_chosen();

// One pass as path_trace_pass_cpu, run the given way; an unsupported pass
// falls back to the plain loop. first_hits, when given, keeps every pixel's
// first hit from pass to pass where the pass is one that uses it (the tiled
// passes; engine/cpu/first_hits.h): call its rays_change before the rays
// change.
uint64_t path_trace_pass_with(CCpuPass pass, const CFrameArgs& frame, int threads,
                              CFirstHits* first_hits = nullptr);

// One pass the chosen way (cpu_pass_chosen).
uint64_t path_trace_pass_fast(const CFrameArgs& frame, int threads, CFirstHits* first_hits = nullptr);
