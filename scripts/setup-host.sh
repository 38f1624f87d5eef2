#!/usr/bin/env bash
# Installs what the host build, its tests and benchmarks need on Debian 12.
# Quick when everything is already there: apt runs only for missing packages.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# mingw-w64's compiler, binutils and WDK headers for the layout test, which
# compiles a probe against those headers (tests/layout/wdk_layout.cmake);
# ffmpeg and GStreamer (tools, base and good plug-ins) for the tests that
# feed quelvixcam's output to them (tests/tools/video_tools_test.cpp); clang
# and its runtime for the libFuzzer targets (scripts/fuzz.sh).
install_packages cmake ninja-build g++ make pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev \
  libpng-dev libopencv-imgproc-dev python3 \
  ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good \
  clang libclang-rt-14-dev \
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
