# Shared helpers of the end-to-end scripts: a private Xvfb display with
# openbox, finding windows by title, waiting for processes. Source it.

# Exits 77 (skipped) unless every X tool the scripts drive is installed.
require_x_tools() {
  local tool
  for tool in Xvfb xdotool openbox wmctrl xprop; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool missing"; exit 77; }
  done
}

# Starts Xvfb on a display number of its own (parallel runs do not collide)
# and openbox on it, exports DISPLAY and stops both when the script exits.
# $1: a folder for the logs.
start_display() {
  local out=$1
  mkdir -p "$out"
  rm -f "$out/display"
  exec 3>"$out/display"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
  E2E_XVFB=$!
  exec 3>&-
  for _ in $(seq 100); do [[ -s $out/display ]] && break; sleep 0.1; done
  [[ -s $out/display ]] || { echo "Xvfb did not start" >&2; kill "$E2E_XVFB"; exit 1; }
  export DISPLAY=:$(cat "$out/display")
  openbox >"$out/openbox.log" 2>&1 &
  E2E_WM=$!
  trap stop_display EXIT
  for _ in $(seq 50); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window && break
    sleep 0.1
  done
}

stop_display() {
  [[ -n ${E2E_CHILDREN:-} ]] && kill $E2E_CHILDREN 2>/dev/null
  kill "$E2E_WM" "$E2E_XVFB" 2>/dev/null
  wait 2>/dev/null
}

# Prints the ids of the visible windows titled exactly $1.
windows_named() {
  xdotool search --onlyvisible --name "^$1\$" 2>/dev/null
}

# Waits up to ${2:-20} s until $3 (default 1) windows titled $1 are visible;
# prints the id of the first.
find_window() {
  local want=${3:-1} ids
  for _ in $(seq $((${2:-20} * 10))); do
    ids=$(windows_named "$1")
    if [[ -n $ids && $(wc -l <<<"$ids") -ge $want ]]; then
      head -1 <<<"$ids"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# Waits up to ${2:-20} s for child process $1 and sets `code` to its exit
# code (124 on time-out). Not in a subshell: only this shell can wait.
wait_exit() {
  for _ in $(seq $((${2:-20} * 10))); do
    if ! kill -0 "$1" 2>/dev/null; then
      wait "$1"
      code=$?
      return 0
    fi
    sleep 0.1
  done
  code=124
}
