#!/usr/bin/env bash
# Builds the Windows driver QuelvixZ51RDS.sys with mingw-w64 and checks the
# image (scripts/check-sys-image.sh, run as the build's CTest).
# Usage: scripts/build-windows-driver.sh [BUILD_DIR]   (default: build-windows)
# Installs the cross compiler, CMake and Ninja with apt when they are missing
# (as root; no input is asked for). JOBS sets the build's parallelism (2).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build-windows}
jobs=${JOBS:-2}

have_compiler() {
  command -v x86_64-w64-mingw32-g++ >/dev/null \
    || command -v x86_64-w64-mingw32-g++-win32 >/dev/null \
    || command -v x86_64-w64-mingw32-g++-posix >/dev/null
}

missing=()
have_compiler || missing+=(g++-mingw-w64-x86-64-posix)
[[ -f /usr/x86_64-w64-mingw32/include/ddk/ntddk.h && -f /usr/x86_64-w64-mingw32/lib/libks.a ]] \
  || missing+=(mingw-w64-x86-64-dev)
command -v x86_64-w64-mingw32-objdump >/dev/null || missing+=(binutils-mingw-w64-x86-64)
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)

if [[ ${#missing[@]} -gt 0 ]]; then
  echo "build-windows-driver: installing ${missing[*]}"
  sudo=()
  if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "build-windows-driver: need root to install ${missing[*]}" >&2; exit 1; }
    sudo=(sudo -n)
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update </dev/null
  "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
fi

cmake -S "$root/driver/windows" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64-kernel.cmake"
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure
echo "build-windows-driver: $build/QuelvixZ51RDS.sys"
