#!/usr/bin/env bash
# The checks of the shipped driver image beyond its test suites (which
# scripts/test.sh runs with QUELVIX_DRIVER_IMAGE): each prints one line
# "image check NAME: passed" or "image check NAME: FAILED".
#   capture-matches-host-build  quelvixcam capture --driver-image IMAGE
#                               --frames 30 writes the same PNG files, byte for
#                               byte, as the host build of the driver
#   broken-copy-fails           a copy of IMAGE with one routine broken on
#                               purpose (tests/image/break_image.py) makes the
#                               image-level suites fail: they run the image
# Usage: scripts/test-driver-image.sh IMAGE [BUILD_DIR]  (BUILD_DIR: the host
# build, default build)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$QUELVIX_ROOT"
image=$(realpath "$1")
build=${2:-build}
tool=$build/tools/quelvixcam/quelvixcam
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0

report() {  # NAME OK
  if [[ $2 -eq 0 ]]; then echo "image check $1: passed"; else echo "image check $1: FAILED"; status=1; fi
}

# Both runs start from a store of their own with the factory settings, so
# only the driver differs.
capture() {  # DIR [--driver-image IMAGE]
  local dir=$1; shift
  mkdir -p "$dir"
  env -u QUELVIX_DRIVER_IMAGE "$tool" capture --frames 30 --quiet --registry "$dir.reg" --output "$dir" "$@"
}
ok=0
capture "$work/host" >"$work/host.log" 2>&1 && capture "$work/image" --driver-image "$image" >"$work/image.log" 2>&1 || ok=1
if [[ $ok -eq 0 ]]; then
  pictures=$(find "$work/host" -name 'frame-*.png' | wc -l)
  [[ $pictures -eq 30 ]] || { echo "the host build wrote $pictures pictures, not 30"; ok=1; }
  diff -r -q "$work/host" "$work/image" || ok=1
else
  cat "$work/host.log" "$work/image.log" 2>/dev/null
fi
report capture-matches-host-build $ok

ok=0
python3 tests/image/break_image.py "$image" "$work/broken.sys" || ok=1
if [[ $ok -eq 0 ]]; then
  if QUELVIX_DRIVER_IMAGE="$work/broken.sys" ctest --test-dir "$build" -j "$QUELVIX_JOBS" -L '^image$' \
      >"$work/broken.log" 2>&1; then
    echo "every image-level test passed against the broken copy"
    ok=1
  else
    grep -E 'tests passed|^\s+[0-9]+ - ' "$work/broken.log"
    # It must be the tests that failed, not the run.
    grep -qE '^\s+[0-9]+ - .*\((Failed|Timeout)\)' "$work/broken.log" || ok=1
  fi
fi
report broken-copy-fails $ok
exit $status
