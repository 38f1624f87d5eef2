#!/usr/bin/env bash
# The main job: builds the driver for the host, plugs the simulated camera in
# and captures frames through the driver's capture pin with quelvixcam,
# writing them to build/frames/ (frame-0001.png, ...). Extra arguments go to
# `quelvixcam capture` (e.g. --frames 100, --scene bars, --camera-fps 0).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup-host.sh
scripts/build-host.sh build
rm -rf build/frames
build/tools/quelvixcam/quelvixcam capture --frames 30 --output build/frames "$@"
echo "frames: build/frames ($(ls build/frames | wc -l) files)"
