#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need.
# Installs only what is missing, so a second run costs nothing. Run as root (or
# with sudo available); nothing is downloaded other than Debian packages.
set -euo pipefail

packages=(
    cmake g++ ninja-build pkg-config
    libgtest-dev
    # Real Modbus peers for the interop suites: pymodbus serial client and server (RTU
    # and ASCII; it needs pyserial and its asyncio part, which are only
    # recommended), libmodbus, whose RTU server and client the tests build, and
    # mbpoll, a command-line RTU client.
    python3-pymodbus python3-serial python3-serial-asyncio libmodbus-dev mbpoll
    # The Qt 6 demo and its tests: Widgets, uic and Qt Test come with qt6-base-dev,
    # the offscreen platform plugin with libqt6gui6; a font for offscreen rendering.
    qt6-base-dev fonts-dejavu-core
    # The checked builds: clang with its sanitizer and libFuzzer runtimes, and
    # llvm-symbolizer for readable reports.
    clang libclang-rt-14-dev llvm
)
# Extra sets, chosen by the caller: ./scripts/install-deps.sh demo
for extra in "$@"; do
    case "$extra" in
        demo) ;; # the demo's packages are in the default list
        bench) packages+=(libbenchmark-dev) ;; # Google Benchmark, for ./bench.sh's frame path
        *) echo "install-deps: unknown set '$extra'" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "install-deps: need root to install: ${missing[*]}" >&2; exit 1; }
    sudo=sudo
fi
echo "Installing Debian packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
