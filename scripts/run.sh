#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing (Debian) for building and running, nothing of the
# tests, builds the programs in the release build and starts the window
# program `vantrel`. Without a display (DISPLAY unset) it runs the
# headless `vantrel-render` instead, which writes vantrel.png in the current
# folder. Extra arguments go to the program that runs. VANTREL_BUILD_DIR
# names another build folder (default build/release).
set -euo pipefail
HERE="$PWD"
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${VANTREL_BUILD_DIR:-$ROOT/build/release}"

source "$ROOT/scripts/install_missing.sh"
install_missing run.sh "${BUILD_PACKAGES[@]}"

if [ -n "${DISPLAY:-}" ]; then
    TARGET=vantrel
    PROGRAM="$BUILD/window/vantrel"
else
    TARGET=vantrel-render
    PROGRAM="$BUILD/render/vantrel-render"
fi

# The tests and benchmarks are left out here (scripts/test.sh turns them on
# in the same folder, which keeps the programs built).
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_TESTS=OFF \
    -DVANTREL_BUILD_BENCH=OFF >/dev/null
# Both programs and their manual pages, all that `cmake --install` puts in
# place, so an install after this run works. Ninja's two lines for nothing
# to build are dropped; everything else it says shows as it comes.
cmake --build "$BUILD" --target installable -j "$(nproc)" |
    { grep --line-buffered -vx -e '\[0/[0-9]*\] Re-checking globbed directories\.\.\.' -e 'ninja: no work to do\.' || true; }

cd "$HERE"
if [ "$TARGET" = vantrel ]; then
    echo "run.sh: starting vantrel; close the window or press Ctrl+C here to stop it"
    exec "$PROGRAM" "$@"
fi

# The picture goes where --output says, vantrel.png in this folder by default.
output="vantrel.png"
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
    case "${args[i]}" in
        --output=*) output="${args[i]#--output=}" ;;
        --output) [ $((i + 1)) -lt ${#args[@]} ] && output="${args[i + 1]}" ;;
    esac
done
case "$output" in
    /*) ;;
    *) output="$HERE/$output" ;;
esac
echo "run.sh: DISPLAY is not set, so no window can open; rendering with vantrel-render instead"
marker="$(mktemp)"
trap 'rm -f "$marker"' EXIT
status=0
"$PROGRAM" "$@" || status=$?
if [ "$status" -eq 0 ] && [ "$output" -nt "$marker" ]; then
    echo "run.sh: the picture is in $output"
fi
exit "$status"
