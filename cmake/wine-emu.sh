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
# Now and then Wine fails to start the program at all: it prints "Application
# could not be started, or no application associated with the specified file.
# ShellExecuteEx failed: ..." and the program prints nothing. Exactly then the
# program is started once more, and the retry is logged on stderr.
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

# Wine's own words when it could not start the program, and nothing else.
not_started() {
  grep -q 'ShellExecuteEx failed' "$output" &&
    ! grep -v -e 'ShellExecuteEx failed' -e 'could not be started' -e '^[[:space:]]*$' "$output" | grep -q .
}

run "$@"
status=$?
if [ "$status" -ne 0 ] && not_started; then
  echo "wine-emu.sh: Wine could not start $1 (status $status, no output from the program); starting it once more" >&2
  run "$@"
  status=$?
fi
exit "$status"
