#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds a release build (CPU only) in build/bench-release and runs the CPU pass benchmarks:
# the plain loop against the fast pass on one thread and on all cores, and the
# per-segment kernel steps. Extra arguments go to the benchmark program, e.g.
#   bench/run.sh --benchmark_filter=CpuPass --benchmark_repetitions=3
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/bench-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_TESTS=OFF -DVANTREL_CUDA=OFF \
    -DVANTREL_BUILD_WINDOW=OFF >/dev/null
cmake --build build/bench-release -j "$(nproc)" --target cpu_pass_bench
build/bench-release/bench/cpu_pass_bench "$@"
