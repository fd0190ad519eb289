# The Debian packages the scripts need, in one list, and their installation; sourced by scripts/test
# and scripts/demo.
#
# BUILD_PACKAGES builds the bridge and its operator tools (all that scripts/demo builds);
# TEST_PACKAGES adds the test suite, the benchmarks, the fuzzers and the real components the tests
# run (tshark, systemd, Prometheus, node_exporter, lintian, keepalived).
BUILD_PACKAGES=(build-essential cmake pkg-config liblz4-dev libsystemd-dev libpcap-dev libcli11-dev)
TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev nlohmann-json3-dev tshark
               systemd dpkg-dev file prometheus-node-exporter prometheus curl python3 lintian groff-base
               keepalived)

# install_packages WHO PACKAGE...: installs those not yet installed (apt-get, as root). Without root it
# names what is missing and fails.
install_packages() {
    local who=$1 p
    shift
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "$who: missing packages (run as root to install): ${missing[*]}" >&2
        return 1
    fi
    echo "$who: installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
