#!/usr/bin/env bash
# Installs what is missing (Debian), builds Vantrel and runs every test: a
# release build (with the CUDA backend when nvcc is present) and a second build
# of the tests with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libpng-dev libcli11-dev
          freeglut3-dev libgl-dev libx11-dev xvfb xdotool x11-apps imagemagick python3)

install_missing() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "test.sh: installing ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

install_missing

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
