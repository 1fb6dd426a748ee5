#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds vantrel-render (release, CPU only) in build/bench-release and measures
# what viewers of its live view cost the render: frames per second with 0, 1
# and 8 clients of /stream. Extra arguments go to bench/live_view_load.py, e.g.
#   bench/live_view.sh --frames 600 --rounds 5 --viewers 0,1,8,16
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/bench-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_TESTS=OFF -DVANTREL_CUDA=OFF \
    -DVANTREL_BUILD_WINDOW=OFF >/dev/null
cmake --build build/bench-release -j "$(nproc)" --target vantrel-render
python3 bench/live_view_load.py build/bench-release/render/vantrel-render "$@"
