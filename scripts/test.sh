#!/usr/bin/env bash
# Every test: the host suite, the host suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer (both replay the fuzz corpora), each fuzz target
# for 10 s, the tests of the areas whose threads meet and the short soak under
# ThreadSanitizer - each host stage running the suites that plug the camera in
# a second time with the host USB stack completing requests inline (below) -
# the Windows driver image and its import check, the image itself running
# the suites that reach the driver only as Windows would (plainly and inline)
# and its own checks, the plug-in under Wine (64-bit
# and 32-bit: the 32-bit tests natively, under qemu-user's emulation on
# machines whose kernel cannot run 32-bit programs, or skipped where neither
# works; scripts/wine.sh), one brief run of each benchmark so they cannot rot,
# and the Windows driver package with its checks. Installs what it needs on
# Debian 12 (root). The last line counts every test:
# "N passed, M failed, K skipped"; a stage that cannot run here is skipped,
# said so in one line, and never passes in silence.
# The host stages build and test with the presets of CMakePresets.json (host,
# asan, tsan), which also hold each stage's sanitizer options and the TSan
# stage's areas.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$QUELVIX_ROOT"
passed=0
failed=0
skipped=0

# The suites that plug the camera in (labelled `driver` in tests/CMakeLists.txt)
# and the tool's, which plug it in through the tool, run a second time with
# the host USB stack completing some requests inside IoCallDriver on the
# caller's thread, chosen from a fixed seed (host/usb/completion_mode.h); a
# failure there repeats with the same seed.
driver_areas='^(driver|tools)$'
inline_completion=inline:20261208

# run_ctest PRESET [ctest options...]: runs a test preset and adds its counts
# to the totals.
run_ctest() {
  local preset=$1; shift
  local log rc=0
  log="$(preset_dir "$preset")/${CTEST_LOG:-ctest}.log"
  ctest --preset "$preset" -j "$QUELVIX_JOBS" "$@" 2>&1 | tee "$log" || rc=$?
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n1 || true)
  if [[ -n $line ]]; then
    local total fails
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    fails=$(sed -E 's/.*tests passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - fails))
    failed=$((failed + fails))
  elif [[ $rc -ne 0 ]]; then
    failed=$((failed + 1))
  fi
  return 0
}

# count_checks WHAT LOG RC: adds the lines "WHAT check NAME: passed",
# "...: FAILED" and "...: skipped: WHY" of LOG to the totals. A stage that
# ended with RC other than 0 without naming a failed check (it could not run
# them) is one failure.
count_checks() {
  local what=$1 log=$2 rc=$3
  local ok bad skip
  ok=$(grep -c "^$what check .*: passed\$" "$log" || true)
  bad=$(grep -c "^$what check .*: FAILED\$" "$log" || true)
  skip=$(grep -c "^$what check .*: skipped: " "$log" || true)
  passed=$((passed + ok)); failed=$((failed + bad)); skipped=$((skipped + skip))
  [[ $rc -eq 0 || $bad -gt 0 ]] || failed=$((failed + 1))
}

echo "== setup"
scripts/setup-host.sh

echo "== host build and tests"
scripts/build-host.sh host
run_ctest host
echo "-- driver suites, USB requests completed inline ($inline_completion)"
CTEST_LOG=ctest-inline QUELVIX_USB_COMPLETION=$inline_completion run_ctest host -L "$driver_areas"

echo "== host tests under AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/build-host.sh asan
run_ctest asan
echo "-- driver suites, USB requests completed inline ($inline_completion)"
# Not the video tool tests here: they spend their time in ffmpeg and
# GStreamer, which the completion mode does not reach; the plain stage runs
# them inline.
CTEST_LOG=ctest-inline QUELVIX_USB_COMPLETION=$inline_completion run_ctest asan -L "$driver_areas" -E '^VideoToolsTest\.'

echo "== fuzz targets, 10 s each (clang, AddressSanitizer and UndefinedBehaviorSanitizer)"
# Each target counts once: clean for its whole run, or failed with the input
# left in build-fuzz/fuzz-artifacts/. scripts/fuzz.sh SECONDS runs them longer.
fuzz_log=build/fuzz.log
mkdir -p build
rc=0
scripts/fuzz.sh 10 2>&1 | tee "$fuzz_log" || rc=$?
fuzz_ok=$(grep -cE '^fuzz [a-z_0-9]+: ok' "$fuzz_log" || true)
fuzz_failed=$(grep -cE '^fuzz [a-z_0-9]+: FAILED' "$fuzz_log" || true)
passed=$((passed + fuzz_ok))
failed=$((failed + fuzz_failed))
[[ $rc -eq 0 || $fuzz_failed -gt 0 ]] || failed=$((failed + 1))

echo "== capture, stand-in, USB, device, property, settings and camera tests and the short soak under ThreadSanitizer"
# The capture thread, the class's processing worker, chunk completions, the
# double buffer's hand-off and the pin's state changes meet in these, and
# property requests from several threads (the soak's second thread among
# them); TSan checks their hand-offs. The
# tsan test preset picks them by the label `driver` (and `soak`), so a new
# test of those areas runs here too.
scripts/build-host.sh tsan
run_ctest tsan
echo "-- the same, USB requests completed inline ($inline_completion)"
CTEST_LOG=ctest-inline QUELVIX_USB_COMPLETION=$inline_completion run_ctest tsan

echo "== Windows driver image"
if scripts/build-windows-driver.sh build-windows; then passed=$((passed + 1)); else failed=$((failed + 1)); fi

echo "== the shipped driver image under the image-level suites"
# QuelvixZ51RDS.sys itself, loaded into the host build's test programs and
# bound to the same platform: the tests labelled `image` (those that reach
# the driver only as Windows would; tests/image/image_level_tests.py), plainly
# and with USB requests completed inline, then the image's own checks
# (scripts/test-driver-image.sh).
driver_image=$QUELVIX_ROOT/build-windows/QuelvixZ51RDS.sys
CTEST_LOG=ctest-image QUELVIX_DRIVER_IMAGE=$driver_image run_ctest host -L '^image$'
echo "-- the same, USB requests completed inline ($inline_completion)"
CTEST_LOG=ctest-image-inline QUELVIX_DRIVER_IMAGE=$driver_image QUELVIX_USB_COMPLETION=$inline_completion \
  run_ctest host -L '^image$'
image_log=build/driver-image.log
rc=0
scripts/test-driver-image.sh "$driver_image" build 2>&1 | tee "$image_log" || rc=$?
count_checks image "$image_log" $rc

echo "== plug-in under Wine"
# scripts/test-plugin.sh ends with one count line per tree, or says that the
# tree's tests were skipped and why.
plugin_log=build/plugin-tests.log
mkdir -p build
rc=0
scripts/test-plugin.sh build 2>&1 | tee "$plugin_log" || rc=$?
plugin_failed=0
while read -r line; do
  if [[ $line =~ ^plugin\ tests\ [^:]+:\ ([0-9]+)\ passed,\ ([0-9]+)\ failed ]]; then
    passed=$((passed + BASH_REMATCH[1])); plugin_failed=$((plugin_failed + BASH_REMATCH[2]))
  elif [[ $line =~ ^plugin\ tests\ [^:]+:\ skipped ]]; then
    skipped=$((skipped + 1))
  fi
done < <(grep -E '^plugin tests ' "$plugin_log" || true)
failed=$((failed + plugin_failed))
# A stage that failed without naming a failed test (a missing screenshot, a
# build that stopped) is one failure.
[[ $rc -eq 0 || $plugin_failed -gt 0 ]] || failed=$((failed + 1))

echo "== benchmarks, one brief run each"
for bench in build/bench/*; do
  [[ -x $bench && -f $bench ]] || continue
  echo "-- $(basename "$bench")"
  if "$bench" --benchmark_min_time=0.01 >"$bench.log" 2>&1; then
    tail -n 2 "$bench.log"
    passed=$((passed + 1))
  else
    cat "$bench.log"
    failed=$((failed + 1))
  fi
done

echo "== Windows driver package"
# Builds the package from the driver and plug-in builds above and checks it:
# structure, signatures, the signed image, the zip, and the INF under Wine's
# setupapi (each check one count).
package_log=build/package-windows.log
rc=0
scripts/package-windows.sh build-windows 2>&1 | tee "$package_log" || rc=$?
# A package that could not be built runs no check: that is a failure too.
count_checks package "$package_log" $rc

echo
echo "$passed passed, $failed failed, $skipped skipped"
[[ $failed -eq 0 ]]
