#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing (Debian), builds Vantrel and runs every test: a
# release build (with the CUDA backend when nvcc is present) and a second build
# of the tests with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/install_missing.sh
# The window tests drive a virtual display and take screenshots; the install
# tests build the package and check it with lintian; the browser test (label
# browser) loads the live view in headless Chromium.
install_missing test.sh "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}" xvfb xdotool x11-apps imagemagick chromium \
    lintian

echo "== layout"
python3 scripts/check_layout.py

JOBS=$(nproc)
export CTEST_OUTPUT_ON_FAILURE=1

echo "== release build"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build/release -j "$JOBS"
ctest --test-dir build/release -j "$JOBS" --timeout 600

echo "== sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTREL_CUDA=OFF -DVANTREL_BUILD_BENCH=OFF \
    -DVANTREL_SANITIZE=ON
cmake --build build/sanitize -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build/sanitize -j "$JOBS" --timeout 900 -LE no-sanitize
