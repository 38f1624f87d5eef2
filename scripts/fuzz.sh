#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, clang with AddressSanitizer and
# UndefinedBehaviorSanitizer, in build-fuzz/) and runs each for SECONDS
# (default 60), one after another:
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]       e.g. scripts/fuzz.sh 600 registry_store
#
# Each target reads its committed seeds (fuzz/NAME/corpus, never written) and
# grows a working corpus in build-fuzz/fuzz-corpus/NAME that later runs start
# from. A crash, hang (an input taking over 10 s), leak or sanitizer report
# stops that target and leaves the input in build-fuzz/fuzz-artifacts/NAME/.
# One line per target at the end:
#
#   fuzz NAME: ok runs=N execs/s=E cov=C ft=F corpus=K
#   fuzz NAME: FAILED (...) artifact ...
#
# The exit status is 0 only when every target ran clean. The build is the
# fuzz preset (CMakePresets.json); FUZZ_BUILD_DIR changes the build tree,
# extra cmake options go in FUZZ_CMAKE_OPTIONS.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$QUELVIX_ROOT"
seconds=${1:-60}
[[ $# -gt 0 ]] && shift
[[ $seconds =~ ^[0-9]+$ && $seconds -gt 0 ]] || { echo "fuzz.sh: SECONDS must be a positive whole number" >&2; exit 2; }
build=${FUZZ_BUILD_DIR:-build-fuzz}

# A target is a folder fuzz/NAME holding NAME_fuzz.cpp (see fuzz/README.md).
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  for source in fuzz/*/*_fuzz.cpp; do targets+=("$(basename "$(dirname "$source")")"); done
fi

scripts/setup-host.sh
# shellcheck disable=SC2086
configure_preset fuzz "$build" ${FUZZ_CMAKE_OPTIONS:-} >/dev/null
cmake --build "$build" -j "$QUELVIX_JOBS" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
summary=()
status=0
for name in "${targets[@]}"; do
  dir=fuzz/$name
  work=$build/fuzz-corpus/$name
  artifacts=$build/fuzz-artifacts/$name
  log=$build/fuzz-$name.log
  mkdir -p "$work" "$artifacts"
  flags=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts/")
  [[ -f $dir/dict ]] && flags+=(-dict="$dir/dict")
  # shellcheck disable=SC2207
  [[ -f $dir/options ]] && flags+=($(grep -v '^#' "$dir/options"))
  echo "== fuzz $name for ${seconds} s"
  rc=0
  "$build/fuzz/fuzz_$name" "${flags[@]}" "$work" "$dir/corpus" >"$log" 2>&1 || rc=$?
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$log" | tail -n1)
  speed=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+).*/\1/p' "$log" | tail -n1)
  last=$(grep -E '^#[0-9]+.*cov: [0-9]+ ft: [0-9]+' "$log" | tail -n1 || true)
  cov=$(sed -nE 's/.*cov: ([0-9]+).*/\1/p' <<<"$last")
  ft=$(sed -nE 's/.*ft: ([0-9]+).*/\1/p' <<<"$last")
  corpus=$(sed -nE 's/.*corp: ([0-9]+).*/\1/p' <<<"$last")
  if [[ $rc -eq 0 ]]; then
    summary+=("fuzz $name: ok runs=${runs:-?} execs/s=${speed:-?} cov=${cov:-?} ft=${ft:-?} corpus=${corpus:-?}")
  else
    status=1
    grep -E 'ERROR|SUMMARY|fuzz: |runtime error' "$log" | head -n 8 || true
    artifact=$(sed -nE 's/.*Test unit written to (.*)$/\1/p' "$log" | tail -n1)
    summary+=("fuzz $name: FAILED (exit $rc, log $log) artifact ${artifact:-none}")
  fi
done
echo
printf '%s\n' "${summary[@]}"
exit $status
