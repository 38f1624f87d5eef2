#!/bin/sh
# Starts and stops `quelvixcam serve` for the bridged plug-in tests (CTest
# fixture setup and cleanup), on the Linux side of the bridge.
#
#   bridge_serve.sh start QUELVIXCAM STORE DIR [--fresh]
#       starts `QUELVIXCAM serve --port 0 --registry STORE` in the background,
#       waits for its first line `listening on 127.0.0.1:PORT` and writes PORT
#       to DIR/port, which the Windows test programs read. --fresh removes
#       STORE first, so the driver starts from its own defaults.
#   bridge_serve.sh stop DIR
#       sends SIGTERM and waits for the server to exit; fails unless it
#       exited with status 0 (stopped, closed, unplugged, settings saved).
#
# The server's output goes to files in DIR, never to CTest's pipes: CTest
# waits for every process holding its pipes, so a server inheriting them
# would hold up the setup test until the server ended. Every wait is bounded.
set -eu
limit=20  # seconds for start-up and for shutdown

fail() {
  echo "bridge_serve.sh: $*" >&2
  [ -n "${dir:-}" ] && [ -s "$dir/stderr" ] && sed 's/^/  serve: /' "$dir/stderr" >&2
  exit 1
}

# wait_for CONDITION: polls a shell condition every 0.05 s for up to $limit s.
wait_for() {
  tries=0
  until eval "$1"; do
    tries=$((tries + 1))
    [ "$tries" -le $((limit * 20)) ] || return 1
    sleep 0.05
  done
}

stop_leftover() {
  # A server left by an interrupted run would hold the store's lock.
  if [ -s "$dir/pid" ] && kill -0 "$(cat "$dir/pid")" 2>/dev/null; then
    kill -TERM "$(cat "$dir/pid")" 2>/dev/null || true
    wait_for '! kill -0 "$(cat "$dir/pid")" 2>/dev/null' || kill -KILL "$(cat "$dir/pid")" 2>/dev/null || true
  fi
}

start() {
  tool=$1 store=$2 dir=$3 fresh=${4:-}
  [ -x "$tool" ] || fail "no host tool at $tool (build it: cmake --build build --target quelvixcam)"
  mkdir -p "$dir"
  stop_leftover
  rm -f "$dir/port" "$dir/pid" "$dir/status" "$dir/stdout" "$dir/stderr"
  [ "$fresh" = --fresh ] && rm -f "$store"
  # The shell in the background waits for the server and keeps its exit
  # status, which nobody else could collect.
  sh -c '"$1" serve --port 0 --registry "$2" >"$3/stdout" 2>"$3/stderr" </dev/null &
         echo $! >"$3/pid"
         wait $!
         echo $? >"$3/status"' sh "$tool" "$store" "$dir" </dev/null >/dev/null 2>&1 &
  # A whole first line (flushed with its newline), or the server's end.
  wait_for '{ [ -s "$dir/stdout" ] && [ "$(wc -l <"$dir/stdout")" -ge 1 ]; } || [ -s "$dir/status" ]' ||
    fail "no first line after ${limit} s"
  port=$(sed -n '1s/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$dir/stdout")
  [ -n "$port" ] || fail "unexpected first line: $(head -n1 "$dir/stdout")"
  echo "$port" >"$dir/port"
  echo "serve pid $(cat "$dir/pid") listening on 127.0.0.1:$port, store $store"
}

stop() {
  dir=$1
  [ -s "$dir/pid" ] || fail "no server pid in $dir"
  pid=$(cat "$dir/pid")
  kill -TERM "$pid" 2>/dev/null || fail "server $pid was no longer running"
  wait_for '[ -s "$dir/status" ]' || { kill -KILL "$pid" 2>/dev/null; fail "server $pid still running ${limit} s after SIGTERM"; }
  status=$(cat "$dir/status")
  rm -f "$dir/pid" "$dir/port"
  [ -s "$dir/stderr" ] && sed 's/^/serve: /' "$dir/stderr"
  [ "$status" = 0 ] || fail "serve exited with status $status"
  echo "serve stopped, exit status 0"
}

case "${1:-}" in
  start) shift; [ $# -ge 3 ] || fail "usage: start QUELVIXCAM STORE DIR [--fresh]"; start "$@" ;;
  stop) shift; [ $# -eq 1 ] || fail "usage: stop DIR"; stop "$@" ;;
  *) fail "usage: bridge_serve.sh start|stop ..." ;;
esac
