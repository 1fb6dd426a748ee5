// SPDX-License-Identifier: Apache-2.0
#pragma once
// vantrel-render's --benchmark, --stress and --json: the standard workload
// timed or repeated and checked against its known answer. They render no
// picture to keep, so the options that shape or save a render do not go
// with them.

#include <optional>
#include <string>

namespace CLI {
class App;
}
struct CRenderOptions;

enum class CBenchmarkMode { none, chosen_pass, all_passes };

// The three options' values as written, checked by check_benchmark_options.
struct CBenchmarkArgs {
    std::string benchmark;  // "" (the pass this processor uses) or "all"
    std::string stress;
    std::string json;
};

void add_benchmark_options(CLI::App& app, CBenchmarkArgs& args);

// Sets options.benchmark, stress_seconds and json; kUsageStatus after one
// line on stderr for a bad value or an option that does not go with them.
std::optional<int> check_benchmark_options(const CLI::App& app, const CBenchmarkArgs& args, CRenderOptions& options);

// Whether the options ask for a benchmark or a stress run.
bool benchmark_asked(const CRenderOptions& options);
