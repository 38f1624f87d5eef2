#!/usr/bin/env bash
# Installs what the host build, its tests and benchmarks need on Debian 12.
# Quick when everything is already there: apt runs only for missing packages.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# ffmpeg and GStreamer (tools, base and good plug-ins) for the tests that
# feed quelvixcam's output to them (tests/tools/video_tools_test.cpp); clang
# and its runtime for the libFuzzer targets (scripts/fuzz.sh).
install_packages cmake ninja-build g++ make pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev \
  libpng-dev libopencv-imgproc-dev python3 \
  ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good \
  clang libclang-rt-14-dev
