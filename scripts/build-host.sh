#!/usr/bin/env bash
# Configures and builds the host tree:
#
#   build-host.sh PRESET [cmake options...]      host, asan or tsan (CMakePresets.json),
#                                                in that preset's folder
#   build-host.sh BUILD_DIR [cmake options...]   the host preset in another folder
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
target=$1; shift
case $target in
  host|asan|tsan) preset=$target; dir=$(preset_dir "$target") ;;
  *) preset=host; dir=$target ;;
esac
configure_preset "$preset" "$dir" "$@" >/dev/null
cmake --build "$dir" -j "$QUELVIX_JOBS"
