// SPDX-License-Identifier: Apache-2.0
#pragma once
// vantrel-render's --benchmark and --stress, as the program runs them: the
// report (or the JSON document) alone on standard output.

struct CRenderOptions;

// Runs what the options ask (--benchmark or --stress); the exit status.
int run_benchmark_program(const CRenderOptions& options);
