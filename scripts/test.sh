#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing (Debian), builds Vantrel and runs every test: a
# release build (with the CUDA backend when nvcc is present) where any compiler
# warning is an error, and a second build of the tests with AddressSanitizer
# and UndefinedBehaviorSanitizer. Ends with the tests that were skipped, and why.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/install_missing.sh
# The window tests drive a virtual display and take screenshots; the install
# tests build the package and check it with lintian; the browser test (label
# browser) loads the live view in headless Chromium.
install_missing test.sh "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}" xvfb xdotool x11-apps \
    imagemagick chromium lintian

echo "== layout"
python3 scripts/check_layout.py

JOBS=$(nproc)
export CTEST_OUTPUT_ON_FAILURE=1

# ctest names the tests it skipped but not why; each says why in its output,
# which ctest keeps in its JUnit report: a GoogleTest skip gives its message
# on the line after "Skipped", the others a line that speaks of skipping.
skipped() {
    [ -f "$1/Testing/skipped.xml" ] || return 0
    python3 - "$1" <<'EOF'
import re, sys, xml.etree.ElementTree as tree
build = sys.argv[1]
for case in tree.parse(f"{build}/Testing/skipped.xml").iter("testcase"):
    if case.find("skipped") is None:
        continue
    lines = [line.strip() for line in (case.findtext("system-out") or "").splitlines() if line.strip()]
    gtest = [lines[i + 1] for i, line in enumerate(lines[:-1]) if line.endswith(": Skipped")]
    said = [line for line in lines if re.search(r"skip", line, re.I) and not line.startswith("[")]
    reason = (gtest or said or lines or ["no reason given"])[-1]
    print(f"{build}: skipped {case.get('name')}: {reason}")
EOF
}

echo "== release build"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_BENCH=ON \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build build/release -j "$JOBS"
status=0
ctest --test-dir build/release -j "$JOBS" --timeout 600 --output-junit Testing/skipped.xml || status=$?
skipped build/release
[ "$status" -eq 0 ] || exit "$status"

echo "== sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTREL_CUDA=OFF -DVANTREL_BUILD_BENCH=OFF \
    -DVANTREL_SANITIZE=ON
cmake --build build/sanitize -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build/sanitize -j "$JOBS" --timeout 900 -LE no-sanitize \
    --output-junit Testing/skipped.xml || status=$?
skipped build/sanitize
exit "$status"
