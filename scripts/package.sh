#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing (Debian), builds the release build in build/release
# and makes the Debian package there with CPack: vantrel_VERSION_ARCH.deb,
# installed with `sudo apt install ./build/release/vantrel_*.deb`. The
# maintainer comes from DEBFULLNAME and DEBEMAIL, as Debian's own tools take it.
# VANTREL_BUILD_DIR names another build folder.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${VANTREL_BUILD_DIR:-$ROOT/build/release}"

source "$ROOT/scripts/install_missing.sh"
install_missing package.sh "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" --target installable -j "$(nproc)"
cd "$BUILD"
cpack -G DEB
