#!/usr/bin/env bash
# Runs one Windows program under Wine for CTest (CMAKE_CROSSCOMPILING_EMULATOR).
#
# Every program starts through Wine's 64-bit loader. A 32-bit program is handed
# on by Wine itself to its 32-bit loader (natively or under qemu-user, see
# scripts/wine.sh); the plain `wine` command is that 32-bit loader, which some
# machines cannot run at all.
#
# The first Wine call in a prefix starts services.exe, winedevice and explorer.
# Started from a test, they would inherit the test's stdout/stderr pipe and CTest
# would wait for EOF until the wineserver exits. Starting them here first, with
# their stdio on /dev/null, keeps each test's pipes private to the test.
# Every call is bounded so that a wedged program cannot hang the run.
#
# Now and then Wine fails to start the program at all. Mostly it prints
# "Application could not be started, or no application associated with the
# specified file. ShellExecuteEx failed: ..."; under qemu-user a 32-bit start
# has also ended with status 1 in under a second and nothing printed, Wine's
# reason being among the messages WINEDEBUG=-all keeps quiet (a 32-bit program
# there needs half a minute before it can print). In both cases the program
# printed nothing; exactly then it is started once more, and the retry is
# logged on stderr. A program silent by design (regsvr32 /s) that fails is
# thus run twice, and fails twice.
set -u
: "${WINEPREFIX:?set WINEPREFIX to a prepared private prefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
wine64=${QUELVIX_WINE64:-/usr/lib/wine/wine64}
limit="${WINE_EMU_TIMEOUT:-120}"
wineserver -p 2>/dev/null
timeout -k 5 30 "$wine64" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true

output=$(mktemp)
trap 'rm -f "$output"' EXIT

# run: the program, its output passed through as it comes (the screenshot
# script watches it while the program runs) and kept in $output as well;
# standard output and error stay apart. Its exit status is the program's.
run() {
  : >"$output"
  set -o pipefail
  { timeout -k 5 "$limit" "$wine64" "$@" 2>&1 1>&3 3>&- | tee -a "$output" >&2; } 3>&1 | tee -a "$output"
}

# Nothing but Wine's own words that it could not start the program, or
# nothing at all.
not_started() {
  ! grep -v -e 'ShellExecuteEx failed' -e 'could not be started' -e '^[[:space:]]*$' "$output" | grep -q .
}

run "$@"
status=$?
# A program stopped by the time limit (124, or 137 when it had to be killed)
# did start, or hung trying: it is not run a second time.
if [ "$status" -ne 0 ] && [ "$status" -ne 124 ] && [ "$status" -ne 137 ] && not_started; then
  echo "wine-emu.sh: Wine could not start $1 (status $status, no output from the program$(
    grep -q . "$output" || echo ', nor from Wine')); starting it once more" >&2
  run "$@"
  status=$?
fi
exit "$status"
