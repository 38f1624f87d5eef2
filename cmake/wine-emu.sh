#!/bin/sh
# Runs one Windows program under Wine for CTest (CMAKE_CROSSCOMPILING_EMULATOR).
#
# The first Wine call in a prefix starts services.exe, winedevice and explorer.
# Started from a test, they would inherit the test's stdout/stderr pipe and CTest
# would wait for EOF until the wineserver exits. Starting them here first, with
# their stdio on /dev/null, keeps each test's pipes private to the test.
# Every call is bounded so that a wedged program cannot hang the run.
: "${WINEPREFIX:?set WINEPREFIX to a prepared private prefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
limit="${WINE_EMU_TIMEOUT:-120}"
wineserver -p 2>/dev/null
timeout -k 5 30 wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
exec timeout -k 5 "$limit" wine "$@"
