#!/usr/bin/env bash
# The main job: builds the driver for the host and plugs the simulated camera
# in with quelvixcam, writing the camera's request trace to build/info-trace.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup-host.sh
scripts/build-host.sh build
build/tools/quelvixcam/quelvixcam info --trace build/info-trace.txt "$@"
echo "request trace: build/info-trace.txt ($(wc -l < build/info-trace.txt) requests)"
