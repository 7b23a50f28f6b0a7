#!/bin/bash
# Drives real GTK dialogs under Xvfb with openbox: finds each by its title with
# xdotool, answers it with a key or the window manager's close request, and
# checks the answer the program printed. Usage: dialog_e2e.sh PROBE OUT_DIR
# Exit 77 (skipped) when the X tools are missing.
# TESSEL_UI=win32 runs the same checks against the Windows build under Wine
# (PROBE then a wrapper that starts it with wine): there a dialog without a
# Cancel button has no close box, and there is no run without a display.
set -uo pipefail
probe=$1
out=$2
mkdir -p "$out"
fails=0

fail() {
  echo "FAIL: $*" >&2
  fails=$((fails + 1))
}

win32=false
[[ ${TESSEL_UI:-} == win32 ]] && win32=true

# Without a display nothing can be shown: title and text go to stderr and the
# answer is the close box's.
if ! $win32; then
  result=$(env -u DISPLAY -u WAYLAND_DISPLAY LC_ALL=de_DE.UTF-8 "$probe" confirm 2>"$out/nodisplay.err")
  [[ $result == "result 2" ]] || fail "no display: got '$result'"
  grep -q "^Bestätigen: WebKitGTK 4.1 ist erforderlich" "$out/nodisplay.err" ||
    fail "no display: stderr was '$(cat "$out/nodisplay.err")'"
fi

# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"
require_x_tools

start_display "$out"

# Prints the id of a visible window titled exactly $1. The title is compared
# as the window manager reads it (_NET_WM_NAME, UTF-8): `search --name` reads
# the legacy WM_NAME, which Wine writes in the X locale's encoding.
window_titled() {
  local id
  for id in $(xdotool search --onlyvisible --name . 2>/dev/null); do
    [[ $(xdotool getwindowname "$id" 2>/dev/null) == "$1" ]] && { echo "$id"; return 0; }
  done
  return 1
}

# The same, waiting up to 30 s (Wine's first start on a display is slow).
find_titled() {
  for _ in $(seq 300); do
    window_titled "$1" && return 0
    sleep 0.1
  done
  return 1
}

# Waits up to 10 s for process $1 (lib.sh's wait), then stops one that hangs.
wait_or_kill() {
  wait_exit "$1" 10
  [[ $code == 124 ]] && { kill "$1" 2>/dev/null; wait "$1" 2>/dev/null; }
}

# Asks the window manager to close window $1 of process $2 (titled $3) until
# the window or the process is gone: on a busy machine a request sent while
# the manager is still taking the window on can be lost.
close_window() {
  local attempt
  for attempt in 1 2 3 4 5; do
    wmctrl -i -c "$1"
    for _ in $(seq 30); do
      kill -0 "$2" 2>/dev/null || return 0
      window_titled "$3" >/dev/null || return 0
      sleep 0.1
    done
    echo "note: close request $attempt for '$3' not answered in 3 s" >&2
    kill -0 "$E2E_WM" 2>/dev/null || { echo "the window manager is gone; see $out/openbox.log" >&2; return 1; }
  done
  return 1
}

# run_case NAME LANG TITLE "ACTIONS" EXPECTED_OUTPUT EXPECTED_CODE PROBE_ARGS...
# ACTIONS: space-separated steps, each "key:KEYS", "close" (the window must
# go), "ask-close" (one close request, whatever comes of it), "shot:FILE",
# "size:WxH" or "open" (the window must still be there).
run_case() {
  local name=$1 lang=$2 title=$3 actions=$4 expect=$5 expect_code=$6
  shift 6
  LC_ALL=$lang "$probe" "$@" >"$out/$name.out" 2>"$out/$name.err" &
  local pid=$! win
  if ! win=$(find_titled "$title"); then
    fail "$name: no window titled '$title'"
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return
  fi
  xdotool windowactivate --sync "$win" 2>/dev/null
  sleep 0.3
  local step
  for step in $actions; do
    case $step in
      key:*) xdotool key --clearmodifiers "${step#key:}" ;;
      close) close_window "$win" "$pid" "$title" ;;
      ask-close) wmctrl -i -c "$win" ;;
      shot:*) import -window root "$out/${step#shot:}" ;;
      open)
        sleep 0.5
        window_titled "$title" >/dev/null || fail "$name: window went away"
        ;;
      size:*)
        local geometry
        geometry=$(xdotool getwindowgeometry "$win" | sed -n 's/.*Geometry: //p')
        [[ $geometry == "${step#size:}" ]] || fail "$name: geometry $geometry"
        ;;
    esac
  done
  local code
  wait_or_kill "$pid"
  local got
  got=$(tr -d '\r' <"$out/$name.out")
  [[ $got == "$expect" ]] || fail "$name: printed '$got', expected '$expect'"
  [[ $code == "$expect_code" ]] || fail "$name: exit code $code, expected $expect_code"
  ! grep -E "CRITICAL|Pango-WARNING|Gtk-WARNING" "$out/$name.err" || fail "$name: toolkit complained"
  [[ $fails -eq 0 ]] && echo "ok: $name"
}

# The install question: Enter, Escape and the close box; then the accepting
# and the cancelling button chosen by keyboard (focus starts on the default).
run_case confirm_enter en_US.UTF-8 Confirm "shot:confirm_en.png key:Return" "result 6" 0 confirm
run_case confirm_escape de_DE.UTF-8 Bestätigen "key:Escape" "result 2" 0 confirm
run_case confirm_closebox fr_FR.UTF-8 Confirmer "shot:confirm_fr.png close" "result 2" 0 confirm
run_case confirm_click_accept es_ES.UTF-8 Confirmar "key:space" "result 6" 0 confirm
run_case confirm_click_cancel it_IT.UTF-8 Confermare "key:Tab key:space" "result 2" 0 confirm

# The fatal error (message 5): Escape does nothing without a Cancel button,
# Enter answers; the process ends with exit code 0 either way.
run_case fatal_enter de_DE.UTF-8 Error "shot:fatal_de.png key:Escape open key:Return" "exit 0" 0 fatal 5
if $win32; then
  run_case fatal_no_closebox en_US.UTF-8 Error "ask-close open key:Return" "exit 0" 0 fatal 5
else
  run_case fatal_closebox en_US.UTF-8 Error "close" "exit 0" 0 fatal 5
fi

run_case errorbox C "Error" "shot:errorbox.png key:Escape" "dismissed" 0 errorbox "Style 'Carbonn' not found" Error
# Text from a setting may be any bytes.
run_case errorbox_bad_utf8 C "Error" "key:Return" "dismissed" 0 errorbox $'Style \'\xff\xfe\' not found' Error
run_case plain_window C "Plain App" "size:800x600 open close" "closed" 0 window "Plain App"

if [[ $fails -ne 0 ]]; then
  echo "$fails check(s) failed; screenshots and logs in $out" >&2
  exit 1
fi
echo "all dialog checks passed"
