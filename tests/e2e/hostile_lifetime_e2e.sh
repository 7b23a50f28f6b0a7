#!/bin/bash
# Console commands end with the app, end to end: whatever a command left
# behind (background jobs, nohup, programs in sessions of their own, hundreds
# of commands at once) is gone once the app has closed or been killed, and
# closing with commands still running is a clean exit. Judged by effects:
# no process with the rows' unique sleep arguments and none in the app's own
# session is left, and the exit status.
# Usage: hostile_lifetime_e2e.sh RUNTIME PACKER OUT_DIR
set -uo pipefail
runtime=$1
packer=$2
out=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"
require_x_tools
command -v setsid >/dev/null || { echo "SKIP: setsid missing"; exit 77; }
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
fails=0
fail() {
  echo "FAIL: $*" >&2
  fails=$((fails + 1))
}

export HOME=$out/home XDG_CONFIG_HOME=$out/config XDG_DATA_HOME=$out/data TMPDIR=$out/tmp
export XDG_CACHE_HOME=$out/cache LC_ALL=C.UTF-8 LANGUAGE=
work=$out/work
app_dir=$out/app
mkdir -p "$HOME" "$TMPDIR" "$work" "$app_dir"

start_display "$out/x"
stop_all() {
  pkill -f "$app_dir/hostile-e2e" 2>/dev/null
  pkill -f 'sleep (424[23]|99\.43)' 2>/dev/null
  stop_display
}
trap stop_all EXIT

"$packer" "$here/apps/hostile" "$app_dir/hostile-e2e" --runtime "$runtime" >"$out/pack.log" 2>&1 ||
  { echo "packing failed: $(cat "$out/pack.log")" >&2; exit 1; }

# The app runs in a session of its own, so that whatever is left of it can be
# found by session too. Sets `pid`.
start_app() {
  setsid "$app_dir/hostile-e2e" >"$out/run-$1.log" 2>&1 &
  pid=$!
  E2E_CHILDREN=$pid
}

# Count of live processes (zombies included) matching $1.
count() { pgrep -fc "$1"; }
none_left() { ! pgrep -f "$1" >/dev/null && ! pgrep -s "$2" >/dev/null; }

# $1 row name, $2 JSON list of commands, $3 how often each runs, $4 pattern
# of the processes the commands leave, $5 how many of them to wait for.
# The page runs the commands and then a gate command that waits for the
# test; the app closes when the gate opens.
run_commands() {
  local row=$1 commands=$2 repeat=$3 pattern=$4 want=$5
  rm -f "$work/close-now"
  printf 'window.E2E = {row: "commands", commands: %s, repeat: %s, gate: %s};\n' \
    "$commands" "$repeat" "\"until [ -e '$work/close-now' ]; do sleep 0.05; done\"" \
    >"$app_dir/e2e-config.js"
  start_app "$row"
  wait_for 60 eval '(($(count "$pattern") >= want))' ||
    fail "$row: only $(count "$pattern") of $want commands started"
  touch "$work/close-now"
  wait_exit "$pid" 60
  [[ $code == 0 ]] || fail "$row: the app's exit status was $code"
  if ! wait_for 20 none_left "$pattern" "$pid"; then
    fail "$row: outlived the app: $(pgrep -af "$pattern" | head -3) session: $(pgrep -as "$pid" | head -3)"
  fi
  pkill -9 -f "$pattern" 2>/dev/null
  pkill -9 -s "$pid" 2>/dev/null
}

# Programs a command left behind and the command still running when the app
# closes, however they detached.
run_commands background '["sleep 99.4301 >/dev/null 2>&1 &"]' 1 '^sleep 99\.4301$' 1
run_commands nohup '["nohup sleep 99.4302 >/dev/null 2>&1 &"]' 1 '^sleep 99\.4302$' 1
run_commands own-session '["setsid -f sleep 99.4303 >/dev/null 2>&1"]' 1 '^sleep 99\.4303$' 1
run_commands running '["sleep 4242 & sleep 4243"]' 1 '^sleep 424[23]$' 2
run_commands many '["sleep 99.4304 & sleep 99.4305"]' 300 '^sleep 99\.430[45]$' 600

# Closing with commands still running is a clean exit, every time.
for run in $(seq 10); do
  run_commands "pending-$run" '["sleep 99.4306"]' 20 '^sleep 99\.4306$' 20
done

# ... and when a signal ends the app (logout, kill), SIGKILL included. SIGINT
# is not tried: a background job of a script starts with it ignored.
held='^sleep 424[23]$'
for signal in TERM HUP KILL; do
  printf 'window.E2E = {work: "%s", port: 0, row: "lifetime-signal"};\n' "$work" \
    >"$app_dir/e2e-config.js"
  start_app "signal-$signal"
  wait_for 20 eval '(($(count "$held") >= 2))' ||
    fail "$signal: the command did not start"
  kill -s "$signal" "$pid"
  wait_exit "$pid" 30
  if ! wait_for 20 none_left "$held" "$pid"; then
    fail "$signal: outlived the app: $(pgrep -af "$held") session: $(pgrep -as "$pid" | head -3)"
  fi
  pkill -9 -f '^sleep 424[23]$' 2>/dev/null
  pkill -9 -s "$pid" 2>/dev/null
done

[[ $fails == 0 ]] && echo "hostile lifetime e2e: all passed"
exit $((fails > 0))
