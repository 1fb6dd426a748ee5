#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing (Debian), builds the programs in build/release and
# makes the two Debian packages there with CPack: vantrel-render_VERSION_ARCH.deb
# (the headless renderer, no display libraries) and vantrel_VERSION_ARCH.deb
# (the window, which depends on the first), installed with
# `sudo apt install ./build/release/vantrel-render_*.deb` (and vantrel_*.deb
# for the window). The maintainer comes from DEBFULLNAME and DEBEMAIL, as
# Debian's own tools take it. VANTREL_BUILD_DIR names another build folder.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${VANTREL_BUILD_DIR:-$ROOT/build/release}"

source "$ROOT/scripts/install_missing.sh"
install_missing package.sh "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"

# As in scripts/run.sh: the tests and benchmarks are not part of a package.
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_TESTS=OFF \
    -DVANTREL_BUILD_BENCH=OFF >/dev/null
# Both programs and their manual pages, as scripts/run.sh builds them, quiet
# when there is nothing to build.
cmake --build "$BUILD" --target installable -j "$(nproc)" |
    { grep --line-buffered -vx -e '\[0/[0-9]*\] Re-checking globbed directories\.\.\.' -e 'ninja: no work to do\.' || true; }
if [ -z "${DEBEMAIL:-}" ] && ! grep -q '^CPACK_PACKAGE_CONTACT:' "$BUILD/CMakeCache.txt"; then
    echo "package.sh: DEBEMAIL is not set, so the maintainer is the placeholder dev@vantrel.local, which lintian" \
        "rejects; set DEBEMAIL=you@example.org (and DEBFULLNAME='Your Name') for a package to hand on" >&2
fi
cd "$BUILD"
cpack -G DEB
