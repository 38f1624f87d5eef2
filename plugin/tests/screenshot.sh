#!/bin/sh
# Photographs the activated property page under Xvfb.
#   screenshot.sh <wine-runner> <page_snapshot.exe> <output.png> [page_snapshot options]
# The prefix's wineserver is restarted on the virtual display and stopped
# again afterwards: a server started headless would keep drawing to the null
# driver and the picture would stay black.
set -eu
runner=$1
program=$2
output=$3
shift 3
: "${WINEPREFIX:?set WINEPREFIX}"
work="$(dirname "$output")/$(basename "$output" .png)-work"
mkdir -p "$work"
rm -f "$output" "$work/out.txt" "$work/raw.png"

timeout 30 wineserver -k 2>/dev/null || true
export WINE_EMU_TIMEOUT=60
timeout -k 5 100 xvfb-run -a -s '-screen 0 1024x768x24' sh -c '
  runner=$1 program=$2 work=$3
  shift 3
  "$runner" "$program" 3000 "$@" > "$work/out.txt" 2>&1 &
  pid=$!
  tries=0
  until grep -q READY "$work/out.txt" 2>/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -gt 400 ] || ! kill -0 "$pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  size=$(tr -d "\r" < "$work/out.txt" | sed -n "s/^READY \([0-9]*\) \([0-9]*\)$/\1x\2/p")
  [ -n "$size" ] && import -window root -crop "${size}+0+0" +repage "$work/raw.png"
  wait "$pid" || true
  timeout 30 wineserver -k || true
' sh "$runner" "$program" "$work" "$@"
timeout 30 wineserver -k 2>/dev/null || true

if [ ! -s "$work/raw.png" ]; then
  echo "no screenshot taken; program output:" >&2
  cat "$work/out.txt" >&2 || true
  exit 1
fi
# A page that did not draw is one flat colour.
colours=$(convert "$work/raw.png" -format '%k' info:)
echo "screenshot: $output ($colours colours)"
if [ "$colours" -lt 16 ]; then
  echo "screenshot looks blank" >&2
  exit 1
fi
mv "$work/raw.png" "$output"
