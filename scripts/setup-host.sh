#!/usr/bin/env bash
# Installs what the host build, its tests and benchmarks need on Debian 12.
# Quick when everything is already there: apt runs only for missing packages.
set -euo pipefail

# ffmpeg and GStreamer (tools, base and good plug-ins) for the tests that
# feed quelvixcam's output to them (tests/tools/video_tools_test.cpp).
packages=(cmake ninja-build g++ make pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
          libpng-dev libopencv-imgproc-dev python3
          ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
          clang libclang-rt-14-dev)  # the libFuzzer targets (scripts/fuzz.sh)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
