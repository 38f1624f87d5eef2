#!/usr/bin/env bash
# Builds the QuelvixProxyPlugin DLL for x86_64 and i686 with mingw-w64 and runs
# its tests under Wine, both bitnesses, on a Debian 12 machine (run as root).
#
#   scripts/test-plugin.sh [--build-only] [build-root]
#                                  (default root: $QUELVIX_BUILD_ROOT or "build")
#
# --build-only builds the DLLs and the test programs and prepares the Wine
# prefix, but runs no test (scripts/package-windows.sh takes the DLLs from
# there and runs its own INF test in that prefix).
#
# Installs what it needs with apt (only when missing), prepares a private Wine
# prefix inside the build root (never ~/.wine), configures and builds
# build-root/plugin-x64 and build-root/plugin-x86 (the presets of those names
# in CMakePresets.json), runs CTest for both, and
# leaves the page screenshots in build-root/plugin-x64/plugin-page.png (the
# map stand-in) and plugin-page-live.png (the real driver).
# The bridged tests run the host tool `quelvixcam serve` on this side of
# Wine: build-root/tools/quelvixcam/quelvixcam, from the host tree in the
# build root (the host preset's build/). Only that target is built here, after
# the host tree is configured if it is not yet; in CI scripts/test.sh has
# built it already and this is a no-op.
# Needs no display and no stdin; every Wine call is time-bounded.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build_only=0
if [ "${1:-}" = "--build-only" ]; then
  build_only=1
  shift
fi
build_root="${1:-${QUELVIX_BUILD_ROOT:-build}}"
mkdir -p "$build_root"
build_root="$(cd "$build_root" && pwd)"

log() { printf '== %s\n' "$*"; }

# --- packages -----------------------------------------------------------------
packages=(
  cmake ninja-build
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine wine64 wine32:i386
  googletest
  xvfb xauth imagemagick x11-apps
)

# --- Wine prefix ----------------------------------------------------------------
export WINEPREFIX="$build_root/plugin-wineprefix"
export WINEDEBUG=-all
unset DISPLAY

stop_wine() { timeout 30 wineserver -k >/dev/null 2>&1 || true; }

# A bridge server left by an interrupted CTest run (its pid in
# plugin-*/bridge/*/pid) would hold its registry store.
stop_servers() {
  local pid_file
  for pid_file in "$build_root"/plugin-*/bridge/*/pid; do
    [ -s "$pid_file" ] || continue
    kill -TERM "$(cat "$pid_file")" 2>/dev/null || true
    rm -f "$pid_file"
  done
}

cleanup() { stop_servers; stop_wine; }

wine_bounded() { timeout -k 5 120 wine "$@" </dev/null; }

prepare_prefix() {
  if [ -f "$WINEPREFIX/.quelvix-ready" ]; then
    log "Wine prefix ready: $WINEPREFIX"
    return
  fi
  log "creating Wine prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  timeout -k 5 300 wineboot -i </dev/null >/dev/null 2>&1
  timeout 120 wineserver -w
  # x11 when a display works (screenshots under Xvfb), else the null driver,
  # which still creates windows and dialogs headless.
  wine_bounded reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d 'x11,null' /f >/dev/null
  # A crashing test must end with an exit code, not wait at a crash dialog.
  wine_bounded reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
  wine_bounded reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
    /v Debugger /d false /f /reg:64 >/dev/null
  wine_bounded reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
    /v Debugger /d false /f /reg:32 >/dev/null
  timeout 120 wineserver -w
  touch "$WINEPREFIX/.quelvix-ready"
}

# --- build and test -------------------------------------------------------------
host_tool="$build_root/tools/quelvixcam/quelvixcam"

# The host tool, and nothing else of the host tree.
build_host_tool() {
  if [ ! -f "$build_root/CMakeCache.txt" ]; then
    log "configure the host tree $build_root for quelvixcam"
    "$QUELVIX_ROOT/scripts/setup-host.sh"
    configure_preset host "$build_root" >/dev/null
  fi
  log "build $host_tool"
  cmake --build "$build_root" --target quelvixcam -j "$QUELVIX_JOBS"
}

# build PRESET DIR: plugin-x64 or plugin-x86 (CMakePresets.json) in DIR.
build() {
  local preset="$1" dir="$2"
  log "configure $dir ($preset)"
  configure_preset "$preset" "$dir" -DQUELVIX_HOST_TOOL="$host_tool" >/dev/null
  log "build $dir"
  cmake --build "$dir" -j "$QUELVIX_JOBS"
}

build_and_test() {
  local dir="$2"
  build "$@" || return 1
  log "test $dir"
  (cd "$dir" && ctest -j "$QUELVIX_JOBS" --output-on-failure --timeout 120)
}

main() {
  install_packages "${packages[@]}"
  trap cleanup EXIT
  cleanup
  prepare_prefix
  if [ "$build_only" -eq 1 ]; then
    build plugin-x64 "$build_root/plugin-x64" && build plugin-x86 "$build_root/plugin-x86"
    return
  fi
  local status=0
  build_host_tool || status=1
  build_and_test plugin-x64 "$build_root/plugin-x64" || status=1
  build_and_test plugin-x86 "$build_root/plugin-x86" || status=1
  local shot
  for shot in "$build_root/plugin-x64/plugin-page.png" "$build_root/plugin-x64/plugin-page-live.png"; do
    if [ -s "$shot" ]; then
      log "screenshot: $shot"
    else
      log "screenshot missing: $shot"
      status=1
    fi
  done
  [ "$status" -eq 0 ] && log "plug-in tests passed (x64 and x86)" || log "plug-in tests FAILED"
  return "$status"
}

main
