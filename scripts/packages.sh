# Sourced by the scripts that build: installs the Debian packages they need when missing, so that
# each runs on a fresh machine.

# Installs the named packages (none: nothing to do).
apt_install() {
    [[ $# -eq 0 ]] && return
    printf 'installing %s\n' "$*" >&2
    local sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
}

# The Linux build: compiler, CMake and make; with `tests` also GoogleTest/GoogleMock and Google
# Benchmark, without which the project configures with no tests at all.
install_linux_build() {
    local missing=()
    command -v cmake >/dev/null || missing+=(cmake)
    command -v g++ >/dev/null || missing+=(g++)
    command -v make >/dev/null || missing+=(make)
    if [[ ${1:-} == tests ]]; then
        [[ -f /usr/include/gtest/gtest.h ]] || missing+=(libgtest-dev)
        [[ -f /usr/include/gmock/gmock.h ]] || missing+=(libgmock-dev)
        [[ -f /usr/include/benchmark/benchmark.h ]] || missing+=(libbenchmark-dev)
    fi
    apt_install "${missing[@]}"
}
