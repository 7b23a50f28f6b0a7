#!/bin/bash
# The engine check of the packed runtime under Wine, through the real loader
# code: the apps carry a stand-in loader library (or something that is not
# one) and the run shows the main window, the engine's messages, or the
# install question.
# Usage: engine_check_e2e.sh RUNTIME PACKER LOADER VERSION_ONLY_LOADER OUT_DIR EMULATOR
# LOADER reports an engine unless TESSEL_STANDIN_NO_ENGINE is set;
# VERSION_ONLY_LOADER lacks the export that creates an engine. WINEPREFIX
# names the prefix EMULATOR runs in (wine_e2e.sh sets it).
set -uo pipefail
runtime=$1
packer=$2
loader=$3
version_only=$4
out=$5
emu=$6
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../e2e/lib.sh
. "$here/../e2e/lib.sh"
require_x_tools
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
fails=0
fail() {
  echo "FAIL: $*" >&2
  fails=$((fails + 1))
}
# English texts whatever the host's language is.
export LC_ALL=C.UTF-8 LANG=C.UTF-8

start_display "$out/x"

app_data() {
  local dir
  for dir in "$WINEPREFIX"/drive_c/users/*/AppData/Local; do
    [[ $dir == */Public/* ]] || { echo "$dir/com.tessel.e2e.$1"; return; }
  done
}

# The names of every visible window, one a line, sorted.
visible_windows() {
  local id
  for id in $(xdotool search --onlyvisible --name . 2>/dev/null); do
    xdotool getwindowname "$id" 2>/dev/null
  done | sort
}

# Answers window $1 with key $2, checking that no other window (a system box
# about a bad library, say) came with it; false when it does not come.
answer_alone() {
  local win
  win=$(find_window "$1" 30) || return 1
  sleep 0.5
  # The installer's splash stays under the last message.
  [[ $(visible_windows | grep -vx "Engine $case") == "$1" ]] ||
    fail "$case: beside '$1': $(visible_windows | tr '\n' '|')"
  # A key pressed while a busy Wine is still giving the window the focus is
  # lost: pressed again until the window goes (the exit checks say the rest).
  local attempt
  for attempt in 1 2 3 4 5; do
    xdotool windowactivate --sync "$win" 2>/dev/null
    xdotool key --clearmodifiers "$2"
    window_gone "$1" 5 && return 0
    echo "note: $case: '$2' on '$1' not taken (attempt $attempt)" >&2
  done
  return 0
}

# case | loader file | TESSEL_STANDIN_NO_ENGINE | extra settings | steps
# steps: "WINDOW:KEY" answers, "main" waits for the main window, "kept" and
# "deleted" check the app data folder after the exit.
cases=(
  "present|$loader||EdgeInstaller=0\r\n|main"
  "no_engine|$loader|1|EdgeInstaller=0\r\n|Error:Return kept"
  "not_a_library|text||EdgeInstaller=0\r\n|Error:Return kept"
  "no_create_export|$version_only||EdgeInstaller=0\r\n|Error:Return kept"
  "declined|$loader|1||Confirm:Escape Error:Return deleted"
  "install_fails|$loader|1||Confirm:Return Error:Return deleted"
)

for row in "${cases[@]}"; do
  IFS='|' read -r case file no_engine extra steps <<<"$row"
  dir=$out/$case
  mkdir -p "$dir/webapp"
  printf '[App]\r\nID=com.tessel.e2e.%s\r\nName=Engine %s\r\nDirName=webapp\r\n%b' \
    "$case" "$case" "$extra" >"$dir/vtx.ini"
  echo '<!doctype html><title>e2e</title>' >"$dir/webapp/index.html"
  if [[ $file == text ]]; then
    echo "not a library" >"$dir/WebView2LoaderWin64.dll"
  else
    cp "$file" "$dir/WebView2LoaderWin64.dll"
  fi
  # Some rows carry a loader no engine can start from, on purpose.
  $emu "$packer" "$dir" "$out/$case.exe" --runtime "$runtime" --allow-missing-loader \
    >"$out/$case.pack.log" 2>&1 ||
    { fail "$case: packing: $(cat "$out/$case.pack.log")"; continue; }
  rm -rf "$(app_data "$case")"

  if [[ -n $no_engine ]]; then
    TESSEL_STANDIN_NO_ENGINE=1 $emu "$out/$case.exe" >"$out/$case.log" 2>&1 &
  else
    $emu "$out/$case.exe" >"$out/$case.log" 2>&1 &
  fi
  pid=$!
  E2E_CHILDREN=$pid
  ok=true
  for step in $steps; do
    case $step in
      main)
        if find_window "Engine $case" 30 >/dev/null; then
          cmp -s "$file" "$(app_data "$case")/Win64/WebView2LoaderWin64.dll" ||
            fail "$case: the loader in the web view folder is not the app's"
          # Ended on purpose: it writes no leak report (see wine_e2e.sh).
          kill "$pid" 2>/dev/null && echo "$case" >>"${STANDIN_KILLED:-/dev/null}"
        else
          fail "$case: no main window; seen: $(visible_windows | tr '\n' '|')"
          ok=false
        fi
        ;;
      *:*)
        answer_alone "${step%%:*}" "${step#*:}" ||
          { fail "$case: no window '${step%%:*}'; seen: $(visible_windows | tr '\n' '|')"; ok=false; }
        ;;
      kept | deleted)
        wait_exit "$pid" 30
        [[ $code == 0 ]] || fail "$case: exit code $code"
        [[ -z $(visible_windows) ]] || fail "$case: windows left: $(visible_windows | tr '\n' '|')"
        if [[ $step == kept ]]; then
          [[ -d $(app_data "$case")/Win64 ]] || fail "$case: the app data folder is gone"
        else
          [[ ! -e $(app_data "$case") ]] || fail "$case: the app data folder is still there"
        fi
        ;;
    esac
    $ok || break
  done
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  E2E_CHILDREN=
  ((fails)) || echo "ok: $case"
done

if ((fails)); then
  echo "$fails check(s) failed; logs in $out" >&2
  exit 1
fi
echo "engine check e2e passed"
