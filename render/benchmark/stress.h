// SPDX-License-Identifier: Apache-2.0
#pragma once
// --stress SECONDS: every core kept busy rendering the standard workload in
// cycles of 256 frames, each cycle's picture held against the known answer
// on the CPU, or against the first cycle on a GPU (whose fast arithmetic may
// stray from the CPU's, but not from itself). Progress on stderr says the
// cycles done and the mismatches so far; the report at the end, or at a stop
// signal, how many cycles ran and which differed. The time is up at the
// first frame after SECONDS, and the cycle then in progress is not checked,
// unless none is done yet: the first cycle is always finished.
//
// Exit status: 0 no cycle differed, 1 one did (or start-up or the engine
// failed), 128 + the signal that stopped it before the first cycle was done.

#include <cstdint>
#include <functional>

#include "render/benchmark/benchmark.h"
#include "render/benchmark/known_answer.h"

struct CStressPlan {
    uint32_t seconds = 0;
    uint32_t most_cycles = 0;  // ends it after this many cycles too (0: no such end)
    // The program uses the standard known answer; tests hand in a shorter one.
    CKnownAnswer known = standard_known_answer();
    // Handed a cycle's display bytes and its number (from 1) before its check.
    std::function<void(uint8_t* pixels, uint32_t cycle)> before_check = nullptr;
};

int stress_main(const CBenchmarkRequest& request, const CStressPlan& plan, const CReportStreams& streams);
