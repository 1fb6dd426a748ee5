// SPDX-License-Identifier: Apache-2.0
#pragma once
// --benchmark: the standard workload (the built-in scene, seed 1) timed after
// start-up and the first frame, and its picture checked at frame 256 against
// the known answer; with "all", every CPU pass this processor runs, on one
// thread and on all.
//
// Exit status: 0 every picture verified, 1 a picture differs or was not
// checked (or start-up or the engine failed), 128 + the signal that stopped it.

#include <cstdio>
#include <functional>
#include <string>

#include "engine/engine_options.h"
#include "render/benchmark/benchmark_options.h"
#include "render/benchmark/benchmark_report.h"
#include "render/benchmark/known_answer.h"

// How long a run lasts and what it is checked against. The program uses the
// defaults; tests shorten the run and hand in a known answer of their own.
struct CBenchmarkPlan {
    CKnownAnswer known = standard_known_answer();
    // A run ends once the check is done and this long has been timed, long
    // enough for a steady figure...
    double least_seconds = 10.0;
    // ...or, at the latest, after this long (a processor too slow to reach
    // the check by then is reported unchecked).
    double most_seconds = 300.0;
    // Handed the display bytes just before the check (a test changes one).
    std::function<void(uint8_t* pixels)> before_check = nullptr;
};

// Where the reports go: the text report and, where --json names a stream
// ("-", /dev/stdout, /proc/self/fd/N), the JSON document.
struct CReportStreams {
    FILE* text;
    FILE* json;  // that stream as it was at the start; null for a file or no --json
};

// The benchmark itself, reporting to `streams`; the exit status.
int benchmark_main(const CBenchmarkRequest& request, const CBenchmarkPlan& plan, const CReportStreams& streams);

// One timed run on the engine as `engine` sets it up. `failure` says why when
// start-up or the engine failed; `stopped_by` the stop signal that ended it.
CBenchmarkRun run_benchmark(const CEngineOptions& engine, const CBenchmarkPlan& plan, bool quiet,
                            std::string& failure, int& stopped_by);

// The CPU pass a CPU run uses on these options, for the reports.
std::string cpu_pass_in_use(const CEngineOptions& engine);
