# Sourced by the scripts: install_missing NAME PACKAGE... installs, with
# apt-get, only the Debian packages that are not installed yet. NAME prefixes
# the messages.
install_missing() {
    local name="$1"
    shift
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "$name: installing ${missing[*]}"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "$name: missing ${missing[*]}; install them as root" >&2; exit 1; }
        sudo="sudo"
    fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# What configuring the build needs (tests, benchmarks and manual pages included).
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libpng-dev libcli11-dev
                freeglut3-dev libgl-dev libx11-dev python3 help2man libcpp-httplib-dev libturbojpeg0-dev
                libsimde-dev zlib1g-dev)
# What making the Debian package needs beyond that (dpkg-shlibdeps, and file to find the executables).
PACKAGE_PACKAGES=(dpkg-dev file)
