# SPDX-License-Identifier: Apache-2.0
# Sourced by the scripts: install_missing NAME PACKAGE... installs, with
# apt-get, only the Debian packages that are not installed yet. NAME prefixes
# the messages. Without root and without sudo it says once what is missing and
# the command to run as root. apt's own output is kept back unless it fails.
install_missing() {
    local name="$1"
    shift
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            echo "$name: missing ${missing[*]}; install them as root with:" \
                "apt-get install --no-install-recommends ${missing[*]}" >&2
            exit 1
        fi
        sudo="sudo"
    fi
    echo "$name: installing ${missing[*]}"
    local log
    log="$(mktemp)"
    if ! { $sudo apt-get update -qq &&
        $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"; } \
        >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        echo "$name: could not install ${missing[*]} (apt-get's output above)" >&2
        exit 1
    fi
    rm -f "$log"
}

# add_architecture NAME ARCH: lets apt install ARCH's packages beside the
# machine's own (Debian's multiarch), as root or through sudo; install_missing
# then updates apt's lists before it installs.
add_architecture() {
    local name="$1" arch="$2"
    dpkg --print-foreign-architectures | grep -qx "$arch" && return 0
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            echo "$name: apt cannot install $arch packages yet; as root run: dpkg --add-architecture $arch" >&2
            exit 1
        fi
        sudo="sudo"
    fi
    echo "$name: adding the $arch architecture to dpkg"
    $sudo dpkg --add-architecture "$arch"
}

# What building and running the programs and their manual pages needs
# (configured with -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_BENCH=OFF).
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libpng-dev libcli11-dev freeglut3-dev libgl-dev libx11-dev help2man
                libcpp-httplib-dev libturbojpeg0-dev zlib1g-dev
                libssl-dev nlohmann-json3-dev)
# What the tests and benchmarks need beyond that, and ccache for CONTRIBUTING.md's everyday build.
TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev libsimde-dev python3 valgrind ccache)
# What making the Debian packages needs beyond the build (dpkg-shlibdeps, and file to find the executables).
PACKAGE_PACKAGES=(dpkg-dev file)
# What scripts/test_arm64.sh needs to cross-build for arm64 and run the result:
# the cross compiler, qemu-user, and the build's libraries for arm64 (with
# add_architecture arm64 first).
ARM64_PACKAGES=(cmake ninja-build pkg-config python3 g++-aarch64-linux-gnu qemu-user libcli11-dev nlohmann-json3-dev
                libpng-dev:arm64 zlib1g-dev:arm64 libturbojpeg0-dev:arm64 libssl-dev:arm64 libcpp-httplib-dev:arm64
                libgtest-dev:arm64 libgmock-dev:arm64)
