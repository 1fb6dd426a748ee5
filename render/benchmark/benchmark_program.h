// SPDX-License-Identifier: Apache-2.0
#pragma once
// vantrel-render's --benchmark and --stress, as the program runs them: the
// report (or the JSON document) alone on standard output.

#include "render/benchmark/benchmark_options.h"

// Runs what the options ask (--benchmark or --stress); the exit status.
int run_benchmark_program(const CBenchmarkRequest& request);
