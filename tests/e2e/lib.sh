# Shared helpers of the end-to-end scripts: a private Xvfb display with
# openbox, finding windows by title, waiting for processes. Source it.

# Exits 77 (skipped) unless every X tool the scripts drive is installed.
require_x_tools() {
  local tool
  for tool in Xvfb xdotool openbox wmctrl xprop; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool missing"; exit 77; }
  done
}

# Starts Xvfb on a display number of its own and openbox on it, exports
# DISPLAY and stops both when the script exits. The number is drawn at random
# from a wide range: Xvfb's own choice (-displayfd) takes the lowest free one,
# which another run may have just given up and still be tearing down (its
# socket removed under the new server). A display that does not answer is
# started again on another number.
# $1: a folder for the logs.
start_display() {
  local out=$1 attempt number
  mkdir -p "$out"
  trap stop_display EXIT
  for attempt in 1 2 3 4 5; do
    number=$((200 + RANDOM % 30000))
    [[ -e /tmp/.X$number-lock || -e /tmp/.X11-unix/X$number ]] && continue
    Xvfb ":$number" -screen 0 1280x1024x24 -nolisten tcp >>"$out/xvfb.log" 2>&1 &
    E2E_XVFB=$!
    export DISPLAY=:$number
    for _ in $(seq 100); do
      kill -0 "$E2E_XVFB" 2>/dev/null || break
      xprop -root >/dev/null 2>&1 && break
      sleep 0.1
    done
    if xprop -root >/dev/null 2>&1; then
      E2E_DISPLAY_DIR=$out
      start_wm && return 0
    fi
    echo "note: display :$number (attempt $attempt) did not answer; starting another" >&2
    kill ${E2E_WM:-} "$E2E_XVFB" 2>/dev/null
    wait ${E2E_WM:-} "$E2E_XVFB" 2>/dev/null
    E2E_WM=
  done
  echo "Xvfb with openbox did not start; see $out" >&2
  exit 1
}

# Starts openbox on the display and waits until it manages it.
start_wm() {
  openbox >>"$E2E_DISPLAY_DIR/openbox.log" 2>&1 &
  E2E_WM=$!
  for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window && return 0
    kill -0 "$E2E_WM" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# The window manager again if it has died: on a busy machine openbox can
# end on an interrupted X call, and closing by the close box needs it.
ensure_wm() {
  [[ -n ${E2E_WM:-} ]] && kill -0 "$E2E_WM" 2>/dev/null && return 0
  echo "note: the window manager had ended; starting it again" >&2
  start_wm
}

stop_display() {
  [[ -n ${E2E_CHILDREN:-} ]] && kill $E2E_CHILDREN 2>/dev/null
  kill ${E2E_WM:-} ${E2E_XVFB:-} 2>/dev/null
  wait 2>/dev/null
}

# Prints the ids of the visible windows titled exactly $1.
windows_named() {
  xdotool search --onlyvisible --name "^$1\$" 2>/dev/null
}

# Waits up to ${2:-3} s until no visible window is titled $1. A search can
# miss a window while the engine makes and drops its own, so it counts as
# gone only when three searches in a row find none.
window_gone() {
  local misses=0
  for _ in $(seq $((${2:-3} * 10))); do
    if windows_named "$1" >/dev/null; then misses=0; else misses=$((misses + 1)); fi
    ((misses >= 3)) && return 0
    sleep 0.1
  done
  return 1
}

# Prints the titles of the visible windows on one line, for failure messages.
visible_titles() {
  local win
  for win in $(xdotool search --onlyvisible --name . 2>/dev/null); do
    printf "'%s' " "$(xdotool getwindowname "$win" 2>/dev/null)"
  done
}

# Prints the visible top-level window of process $1 that is not a dialog: a
# dialog the page opened early is visible beside it, and is transient.
app_window() {
  local win
  for win in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
    xprop -id "$win" WM_TRANSIENT_FOR 2>/dev/null | grep -q 'window id' && continue
    echo "$win"
    return 0
  done
  return 1
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

# Waits up to $1 s until the command that follows succeeds.
wait_for() {
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 10))); do
    "$@" && return 0
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
