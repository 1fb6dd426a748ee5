// SPDX-License-Identifier: Apache-2.0
#pragma once
// vantrel-render's --benchmark, --stress and --json: the standard workload
// timed or repeated and checked against its known answer. They render no
// picture to keep, so the options that shape or save a render do not go
// with them.

#include <cstdint>
#include <string>

#include "engine/engine_options.h"

namespace CLI {
class App;
}

enum class CBenchmarkMode { none, chosen_pass, all_passes };

// The three options' values as written, checked by check_benchmark_options.
struct CBenchmarkArgs {
    std::string benchmark;  // "" (the pass this processor uses) or "all"
    std::string stress;
    std::string json;
};

void add_benchmark_options(CLI::App& app, CBenchmarkArgs& args);

// What they ask, once checked.
struct CBenchmarkChoice {
    CBenchmarkMode mode = CBenchmarkMode::none;  // --benchmark
    uint32_t stress_seconds = 0;                  // --stress (0: none)
    std::string json;                             // --json: where the figures go ("-": standard output)
    int json_descriptor = -1;  // the open descriptor --json names ("-", /dev/stdout: 1), or -1 for a file
};

// What a benchmark or stress run is asked: the choice above, the engine it
// runs on, and whether progress lines are kept off stderr (--quiet).
struct CBenchmarkRequest {
    CBenchmarkChoice choice;
    CEngineOptions engine;
    bool quiet = false;
};

// Fills `choice` from the options as given (`backend`: what --backend
// chose); false, with `error` in one line, for a bad value or an option that
// does not go with them.
bool check_benchmark_options(const CLI::App& app, const CBenchmarkArgs& args, CBackendChoice backend,
                             CBenchmarkChoice& choice, std::string& error);
