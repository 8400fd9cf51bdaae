#!/usr/bin/env bash
# One entry for a fresh Debian 12 machine: install what is missing, build, then run the demo, or
# the Windows cross-build check and every test.   ./dev.sh demo | ./dev.sh test
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake g++ make binutils pybind11-dev python3-dev python3-psutil python3-pytest python3-hypothesis python3-cryptography openssl)
# The Windows cross-build check's compiler, linker tools and apt-get source.
WINCHECK_PACKAGES=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 dpkg-dev)

install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${missing[@]}"
}

build() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=/usr/bin/python3 >/dev/null
    cmake --build build -j"$(nproc)"
}

case "${1:-}" in
    demo)
        install_missing "${PACKAGES[@]}"
        build
        PYTHONPATH=build/python /usr/bin/python3 scripts/demo.py
        ;;
    test)
        install_missing "${PACKAGES[@]}" "${WINCHECK_PACKAGES[@]}"
        build
        # Both run; either failing fails the run.
        status=0
        scripts/wincheck.sh build/wincheck || status=$?
        QYB_BUILD_DIR=build /usr/bin/python3 -m pytest -q || status=$?
        exit "$status"
        ;;
    *)
        echo "usage: $0 demo|test" >&2
        exit 2
        ;;
esac
