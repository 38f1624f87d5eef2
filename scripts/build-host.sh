#!/usr/bin/env bash
# Configures and builds the host tree: build-host.sh BUILD_DIR [cmake options...]
set -euo pipefail
dir=$1; shift
cmake -S "$(dirname "$0")/.." -B "$dir" -G Ninja "$@" >/dev/null
ninja -C "$dir" -j"$(nproc)"
