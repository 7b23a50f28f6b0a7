#!/bin/bash
# Downloads of a packaged Windows app under Wine, through the WebView2 adapter
# and the stand-in engine, judged by what lands on disk:
# - the app's own page: an announced download gets the save dialog (Wine's
#   untitled save dialog is "Save") and is
#   written where the user chose; an unannounced one from a web address gets
#   the dialog titled with its site (declined here: nothing written); a data:
#   download is cancelled without a dialog;
# - a document that is not the app's (a file read by absolute path): every
#   download is cancelled, no dialog, no file anywhere;
# - the engine's own prompt never shows for a download the runtime decided;
# - an engine older than the download interfaces: the runtime still starts,
#   serves, answers and closes, the engine keeps its own handling, and its
#   browser keys work (F12 with AllowDebug).
# Usage: download_e2e.sh RUNTIME PACKER LOADER OUT_DIR EMULATOR
set -uo pipefail
runtime=$1
packer=$2
loader=$3
out=$4
emu=$5
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
export LC_ALL=C.UTF-8 LANG=C.UTF-8
start_display "$out/x"

# Z:\ is the host's root under Wine.
winpath() { echo "Z:${1//\//\\}"; }
fileurl() { echo "file:///Z:$1"; }

app=$out/app
id=com.tessel.e2e.download.$$
mkdir -p "$app/webapp/data" "$out/outside" "$out/chosen"
printf '[App]\r\nID=%s\r\nName=Download App\r\nDirName=webapp\r\nIndexHtml=index.html\r\nWidth=600\r\nHeight=400\r\nAllowDebug=1\r\n' \
  "$id" >"$app/vtx.ini"
echo '<!DOCTYPE html><title>Download App</title><p>app</p>' >"$app/webapp/index.html"
echo 'report' >"$app/webapp/data/report.txt"
cp "$loader" "$app/WebView2LoaderWin64.dll"
echo '<!DOCTYPE html><title>Outside</title><p>outside</p>' >"$out/outside/doc.html"
$emu "$packer" "$app" "$out/app.exe" --runtime "$runtime" >"$out/pack.log" 2>&1 ||
  { echo "packing failed: $(cat "$out/pack.log")" >&2; exit 1; }

# Ends every Wine process of the run when the app did not end by itself, so
# that the next run is not taken for its second instance.
end_stuck() {
  [[ $code == 124 ]] || return 0
  echo 1 >>"${STANDIN_KILLED:-/dev/null}"
  wineserver -k 2>/dev/null
}

active_is() { [[ $(xdotool getactivewindow 2>/dev/null) == "$1" ]]; }

# Answers the save dialog titled $1 with the path $2 typed into its name
# field, or with Escape; an answer that did not close it is given again.
answer_dialog() {
  local title=$1 answer=$2 dialog
  dialog=$(find_window "$title" 60) ||
    { fail "no dialog titled '$title' (visible: $(visible_titles))"; return 1; }
  for _ in 1 2 3; do
    # Keys typed before the dialog has the focus are lost on a busy machine.
    xdotool windowactivate --sync "$dialog" 2>/dev/null
    wait_for 10 active_is "$dialog"
    sleep 0.5
    if [[ $answer == escape ]]; then
      xdotool key --clearmodifiers Escape
    else
      xdotool key --clearmodifiers ctrl+a
      sleep 0.3
      xdotool type --delay 30 "$answer"
      sleep 0.3
      xdotool key --clearmodifiers Return
    fi
    window_gone "$title" && return 0
  done
  import -window root "$out/dialog.png" 2>/dev/null
  fail "the dialog '$title' stayed open"
  xdotool key --clearmodifiers Escape
}

# --- a current engine -------------------------------------------------------------
# A dialog runs its own message loop, in which the scenario goes on: each
# download with a dialog is followed by a wait for what its answer makes.
run=$out/current
mkdir -p "$run"
log=$run/standin.log
chosen=$out/chosen/report-saved.txt
escaped=$run/escaped.flag
outside_uri=$(fileurl "$out/outside/doc.html")
cat >"$run/scenario.txt" <<EOF
page file:///index.html
post "vtx-intent download file:///data/report.txt"
download file:///data/report.txt report.txt
wait-file $(winpath "$chosen")
download https://files.example/data.bin
wait-file $(winpath "$escaped")
download data:text/plain,hello hello.txt
navigate $outside_uri
page $outside_uri
download file:///data/report.txt report.txt
download https://files.example/data.bin
close
EOF
TESSEL_STANDIN_LOG=$(winpath "$log") TESSEL_STANDIN_SCENARIO=$(winpath "$run/scenario.txt") \
  TESSEL_STANDIN_DOWNLOADS=$(winpath "$run/downloads") \
  $emu "$out/app.exe" >"$run/app.log" 2>&1 &
pid=$!
E2E_CHILDREN=$pid
answer_dialog "Save" "$(winpath "$chosen")"
answer_dialog "Save File from files.example" escape
touch "$escaped"
wait_exit "$pid" 90
[[ $code == 0 ]] || fail "the app ended with $code (124: still running); log: $(cat "$run/app.log")"
end_stuck
[[ -f $log ]] || { echo "no stand-in log" >&2; exit 1; }
main=$(head -1 "$log" | cut -d' ' -f1)
lines() { grep "^$main $1" "$log"; }

# Where the user chose, and nowhere else.
printf 'stand-in download of file:///data/report.txt\n' | cmp -s - "$chosen" ||
  fail "the chosen file: $(od -c "$chosen" 2>&1 | head -2)"
[[ $(find "$out/chosen" -type f | wc -l) == 1 ]] ||
  fail "more than the chosen file: $(find "$out/chosen" -type f)"
[[ -z $(find "$run/downloads" -type f 2>/dev/null) ]] ||
  fail "saved in the default folder: $(find "$run/downloads" -type f)"
[[ $(lines "download-saved " | wc -l) == 1 ]] || fail "saved: $(lines "download-saved ")"
grep -qF "$main download-saved file:///data/report.txt path=$(winpath "$chosen") handled=1" "$log" ||
  fail "the app's download: $(lines "download-")"
# Declined in the dialog, a data: address, and both of the foreign document's.
cancelled=$(lines "download-cancelled " | cut -d' ' -f3)
[[ $cancelled == $'https://files.example/data.bin\ndata:text/plain,hello\nfile:///data/report.txt\nhttps://files.example/data.bin' ]] ||
  fail "cancelled: $(tr '\n' ' ' <<<"$cancelled")"
lines "download-prompt " >/dev/null && fail "the engine's own prompt showed: $(lines "download-prompt ")"
lines "completed $outside_uri title=Outside" >/dev/null || fail "the foreign document was not shown"
grep -qx "$main leaks objects=0 strings=0" "$log" || fail "$(grep "^$main leak" "$log" | tr '\n' '|')"
grep -q ' error' "$log" && fail "stand-in errors: $(grep ' error' "$log" | head -3)"

# --- an older engine ------------------------------------------------------------------
run=$out/older
mkdir -p "$run"
log=$run/standin.log
cat >"$run/scenario.txt" <<EOF
page file:///index.html
post {"id":10001,"uuid":"hello","data":{}}
wait-reply hello
key 0 0x7B
download file:///data/report.txt report.txt
close
EOF
TESSEL_STANDIN_OLDER_ENGINE=1 TESSEL_STANDIN_LOG=$(winpath "$log") \
  TESSEL_STANDIN_SCENARIO=$(winpath "$run/scenario.txt") \
  TESSEL_STANDIN_DOWNLOADS=$(winpath "$run/downloads") \
  $emu "$out/app.exe" >"$run/app.log" 2>&1 &
pid=$!
E2E_CHILDREN=$pid
wait_exit "$pid" 90
[[ $code == 0 ]] || fail "older engine: the app ended with $code; log: $(cat "$run/app.log")"
end_stuck
[[ -f $log ]] || { echo "older engine: no stand-in log" >&2; exit 1; }
main=$(head -1 "$log" | cut -d' ' -f1)
lines() { grep "^$main $1" "$log"; }
lines "response file:///index.html status=200 " >/dev/null ||
  fail "older engine: index.html not served: $(lines "response ")"
lines 'posted {"uuid": "hello", "success": true' >/dev/null || fail "older engine: no reply"
lines "close" >/dev/null || fail "older engine: the view did not close"
# The browser's own keys stay on: F12 opens the developer tools (AllowDebug).
lines "key kind=0 vk=123 handled=0" >/dev/null || fail "older engine: $(lines "key ")"
lines "devtools" >/dev/null || fail "older engine: F12 opened no developer tools"
# The engine's own handling: its prompt and its default folder.
lines "download-prompt file:///data/report.txt" >/dev/null ||
  fail "older engine: $(lines "download-")"
[[ -f $run/downloads/report.txt ]] || fail "older engine: nothing in the default folder"
grep -qx "$main leaks objects=0 strings=0" "$log" ||
  fail "older engine: $(grep "^$main leak" "$log" | tr '\n' '|')"
grep -q ' error' "$log" && fail "older engine: stand-in errors: $(grep ' error' "$log" | head -3)"

((fails)) && { echo "$fails check(s) failed; logs in $out" >&2; exit 1; }
exit 0
