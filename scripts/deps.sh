# Sourced by ./run, ./test and ./bench: installs the Debian packages that are
# missing (with sudo when not root). Nothing is downloaded from elsewhere.

veldrin_packages=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev
                  qt6-base-dev libssl3 libcap-dev libmosquitto-dev libsystemd-dev
                  qt6-httpserver-dev qt6-websockets-dev zlib1g-dev)
veldrin_test_packages=(xvfb xauth xdotool openssl mosquitto mosquitto-clients dpkg-dev lintian
                        chromium chromium-driver python3-selenium)

ensure_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq || true
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

veldrin_configure() {  # veldrin_configure BUILD_DIR [cmake args...]
    local dir=$1
    shift
    local launcher=()
    if command -v ccache >/dev/null 2>&1; then
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
        # Paths relative to the checkout, so that another clone (CI) reuses the cache.
        export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
    fi
    cmake -S . -B "$dir" -G Ninja "${launcher[@]}" "$@" >/dev/null
}
