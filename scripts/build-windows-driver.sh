#!/usr/bin/env bash
# Builds the Windows driver QuelvixZ51RDS.sys with mingw-w64 and checks the
# image (scripts/check-sys-image.sh, run as the build's CTest).
# Usage: scripts/build-windows-driver.sh [BUILD_DIR]   (default: build-windows)
# Configures the windows preset (CMakePresets.json) in BUILD_DIR. Installs the
# cross compiler, CMake and Ninja with apt when they are missing (as root; no
# input is asked for). QUELVIX_JOBS sets the build's parallelism.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build=${1:-$QUELVIX_ROOT/build-windows}

install_packages g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 cmake ninja-build

configure_preset windows "$build"
cmake --build "$build" -j "$QUELVIX_JOBS"
ctest --test-dir "$build" --output-on-failure
echo "build-windows-driver: $build/QuelvixZ51RDS.sys"
