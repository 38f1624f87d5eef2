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
# Installs what it needs with apt (only when missing), finds out how this
# machine runs 32-bit Windows programs (scripts/wine.sh: natively, under
# qemu-user's emulation, which it sets up, or not at all), prepares a private
# Wine prefix inside the build root (never ~/.wine), configures and builds
# build-root/plugin-x64 and build-root/plugin-x86 (the presets of those names
# in CMakePresets.json), runs CTest for both, and
# leaves the page screenshots in build-root/plugin-x64/plugin-page.png (the
# map stand-in) and plugin-page-live.png (the real driver).
#
# How the x86 tests run follows the machine: one Wine process per test where
# the kernel runs 32-bit programs; one per test program under emulation (a
# 32-bit Wine process there takes 35-40 s of CPU to start), every test still
# counted and every failed one named; where 32-bit programs cannot run at all,
# not at all, said in one line and counted as skipped. QUELVIX_WINE32=emulated
# forces the emulated path (QUELVIX_WINE32=none the last). The last lines
# give each tree's count, for scripts/test.sh:
#
#   plugin tests plugin-x64: N passed, M failed
#   plugin tests plugin-x86: N passed, M failed     (or: skipped: REASON)
# The bridged tests run the host tool `quelvixcam serve` on this side of
# Wine: build-root/tools/quelvixcam/quelvixcam, from the host tree in the
# build root (the host preset's build/). Only that target is built here, after
# the host tree is configured if it is not yet; in CI scripts/test.sh has
# built it already and this is a no-op.
# Needs no display and no stdin; every Wine call is time-bounded.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source "$QUELVIX_ROOT/scripts/wine.sh"
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

wine_bounded() { timeout -k 5 120 "$WINE64" "$@" </dev/null; }

# What the prefix was made for: its 32-bit half exists unless 32-bit programs
# could not run when it was made.
prefix_kind() {
  if [ "$QUELVIX_WINE32_MODE" = none ]; then echo "64-bit only"; else echo "64-bit and 32-bit"; fi
}

prepare_prefix() {
  local ready="$WINEPREFIX/.quelvix-ready"
  if [ -f "$ready" ] && [ "$(cat "$ready")" = "$(prefix_kind)" ]; then
    log "Wine prefix ready: $WINEPREFIX"
    return
  fi
  log "creating Wine prefix $WINEPREFIX ($(prefix_kind))"
  rm -rf "$WINEPREFIX"
  # Under emulation the 32-bit half takes some minutes.
  timeout -k 5 900 "$WINE64" wineboot -i </dev/null >/dev/null 2>&1
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
  prefix_kind >"$ready"
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

# build PRESET DIR [cmake options...]: plugin-x64 or plugin-x86
# (CMakePresets.json) in DIR.
build() {
  local preset="$1" dir="$2"
  shift 2
  log "configure $dir ($preset)"
  configure_preset "$preset" "$dir" -DQUELVIX_HOST_TOOL="$host_tool" "$@" >/dev/null
  log "build $dir"
  cmake --build "$dir" -j "$QUELVIX_JOBS"
}

# The x86 tree is built the same way on every machine; only whether and how
# its tests run differs.
x86_options() {
  if [ "$QUELVIX_WINE32_MODE" = emulated ]; then echo -DQUELVIX_WINE_BATCHED=ON; else echo -DQUELVIX_WINE_BATCHED=OFF; fi
}

counts=()

# count TREE LOG [BATCH_DIR]: TREE's line for scripts/test.sh, from CTest's
# summary in LOG, with each batched program's tests counted one by one.
count() {
  local tree="$1" log_file="$2" batches="${3:-}" line total failed
  if [ -n "$batches" ]; then
    line=$(python3 "$QUELVIX_ROOT/plugin/tests/gtest_batch.py" count "$log_file" "$batches" 2>/dev/null) || line=
    line=$(sed -nE 's/^([0-9]+) tests, ([0-9]+) failed$/\1 \2/p' <<<"$line")
  else
    line=$(sed -nE 's/.*tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\2 \1/p' "$log_file" | tail -n1)
  fi
  if [ -z "$line" ]; then
    counts+=("plugin tests $tree: 0 passed, 1 failed (no test summary)")
    return
  fi
  read -r total failed <<<"$line"
  counts+=("plugin tests $tree: $((total - failed)) passed, $failed failed")
}

# build_and_test PRESET DIR [cmake options...]
build_and_test() {
  local preset="$1" dir="$2" tree status=0 timeout=120 batches=
  tree=$(basename "$dir")
  if ! build "$@"; then
    counts+=("plugin tests $tree: 0 passed, 1 failed (build)")
    return 1
  fi
  if grep -qx 'QUELVIX_WINE_BATCHED:BOOL=ON' "$dir/CMakeCache.txt"; then
    batches="$dir/batched"
    rm -rf "$batches"
    timeout=1200
  fi
  log "test $dir${batches:+ (one Wine process per test program)}"
  (cd "$dir" && ctest -j "$QUELVIX_JOBS" --output-on-failure --timeout "$timeout") 2>&1 | tee "$dir/ctest.log" ||
    status=1
  count "$tree" "$dir/ctest.log" "$batches"
  return $status
}

test_x86() {
  case "$QUELVIX_WINE32_MODE" in
    none)
      build plugin-x86 "$build_root/plugin-x86" $(x86_options) || return 1
      log "x86 plug-in tests skipped: 32-bit Windows programs cannot run here ($QUELVIX_WINE32_WHY)"
      counts+=("plugin tests plugin-x86: skipped: $QUELVIX_WINE32_WHY") ;;
    emulated)
      # Each 32-bit process starts slowly: give every program its time.
      export WINE_EMU_TIMEOUT=900
      build_and_test plugin-x86 "$build_root/plugin-x86" $(x86_options) ;;
    *)
      build_and_test plugin-x86 "$build_root/plugin-x86" $(x86_options) ;;
  esac
}

# unit_test_count: how many x86 unit tests the run above counted.
unit_test_count() {
  local dir="$build_root/plugin-x86"
  if [ -f "$dir/batched/plugin_unit_tests.json" ]; then
    python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["tests"])' "$dir/batched/plugin_unit_tests.json"
  else
    grep -cE 'Test +#[0-9]+: unit\..* Passed' "$dir/ctest.log" || true
  fi
}

# Where 32-bit programs run natively, the emulated path is shown working too:
# QUELVIX_WINE32=emulated runs the x86 unit tests once more, through qemu-user
# in one Wine process, and they must all pass and count as many tests as the
# native run. A qemu-i386 handler registered for this is removed again.
# QUELVIX_WINE32_SWITCH_CHECK=1 runs the check on any machine.
check_forced_emulation() {
  local dir="$build_root/plugin-x86" results="$build_root/plugin-x86/forced-emulation/plugin_unit_tests"
  local registered_here=0 expected counted status=0
  expected=$(unit_test_count)
  qemu_handler_enabled || registered_here=1
  log "the x86 unit tests again, forced through emulation (QUELVIX_WINE32=emulated)"
  (
    unset QUELVIX_WINE32_MODE
    QUELVIX_WINE32=emulated wine32_detect
    echo "32-bit Windows programs: $QUELVIX_WINE32_MODE ($QUELVIX_WINE32_WHY)"
    [ "$QUELVIX_WINE32_MODE" = emulated ] || exit 1
    WINE_EMU_TIMEOUT=900 python3 "$QUELVIX_ROOT/plugin/tests/gtest_batch.py" run \
      "$QUELVIX_ROOT/cmake/wine-emu.sh" "$dir/bin/plugin_unit_tests.exe" "$results"
  ) || status=1
  if [ "$registered_here" -eq 1 ] && qemu_handler_enabled; then
    echo -1 >"$QEMU_I386_HANDLER" && log "removed the qemu-i386 handler registered for the check"
  fi
  counted=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["tests"])' "$results.json" 2>/dev/null) ||
    counted=0
  if [ "$status" -eq 0 ] && [ "$counted" -gt 0 ] && [ "$counted" = "$expected" ]; then
    log "forced emulation: $counted x86 unit tests passed, as in the run above"
    counts+=("plugin tests x86 forced through emulation: 1 passed, 0 failed")
  else
    log "forced emulation FAILED: $counted tests counted, $expected in the run above"
    counts+=("plugin tests x86 forced through emulation: 0 passed, 1 failed")
    return 1
  fi
}

main() {
  install_packages "${packages[@]}"
  wine32_detect
  log "32-bit Windows programs: $QUELVIX_WINE32_MODE ($QUELVIX_WINE32_WHY)"
  trap cleanup EXIT
  cleanup
  prepare_prefix
  if [ "$build_only" -eq 1 ]; then
    build plugin-x64 "$build_root/plugin-x64" && build plugin-x86 "$build_root/plugin-x86" $(x86_options)
    return
  fi
  local status=0
  build_host_tool || status=1
  build_and_test plugin-x64 "$build_root/plugin-x64" || status=1
  test_x86 || status=1
  if [ "$QUELVIX_WINE32_MODE" = native ] || [ "${QUELVIX_WINE32_SWITCH_CHECK:-0}" = 1 ]; then
    check_forced_emulation || status=1
  fi
  local shot
  for shot in "$build_root/plugin-x64/plugin-page.png" "$build_root/plugin-x64/plugin-page-live.png"; do
    if [ -s "$shot" ]; then
      log "screenshot: $shot"
    else
      log "screenshot missing: $shot"
      status=1
    fi
  done
  [ "$status" -eq 0 ] && log "plug-in tests passed" || log "plug-in tests FAILED"
  printf '%s\n' "${counts[@]}"
  return "$status"
}

main
