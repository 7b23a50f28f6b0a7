#!/bin/bash
# The script bridge end to end: the packaged app tests/e2e/apps/bridge, on the
# real runtime under Xvfb and openbox, calls every function of window.vtx and
# checks the answers in the page; this script answers its file dialogs with
# xdotool, checks what the calls left on disk, and plays the close handshake.
# Pages of another origin (a frame served by a local HTTP server, a data:
# frame, and a top-level page the app navigates to) get no answer and have no
# effect. The page writes its results beside the executable (results.txt) and
# then shows "DONE <passed>/<total>" in the window title.
# Usage: bridge_e2e.sh RUNTIME PACKER OUT_DIR
set -uo pipefail
runtime=$1
packer=$2
out=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"
require_x_tools
command -v python3 >/dev/null || { echo "SKIP: python3 missing"; exit 77; }
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
fails=0
fail() {
  echo "FAIL: $*" >&2
  fails=$((fails + 1))
}

# Folders the page reads back, and stand-ins for the desktop's helpers so the
# shell commands are the same on every machine and start nothing real.
export HOME=$out/home XDG_CONFIG_HOME=$out/config XDG_DATA_HOME=$out/data TMPDIR=$out/tmp
export LC_ALL=C.UTF-8 LANGUAGE=
work=$out/work
app_dir=$out/app
mkdir -p "$HOME" "$TMPDIR" "$work" "$app_dir" "$out/bin" "$out/www"
export E2E_WORK=$work
printf '#!/bin/sh\necho "$@" >>"$E2E_WORK/xdg-open.log"\n' >"$out/bin/xdg-open"
printf '#!/bin/sh\nexit 1\n' >"$out/bin/gdbus"
chmod +x "$out/bin/xdg-open" "$out/bin/gdbus"
export PATH=$out/bin:$PATH

echo 'picked' >"$work/picked.txt"
echo 'doomed' >"$work/doomed.txt"
for marker in marker-http marker-data marker-top; do echo keep >"$work/$marker"; done

# Pages of another origin, served from 127.0.0.1 on a port of the system's
# choosing.
cp "$here/apps/bridge/webapp/foreign-probe.js" "$out/www/"
cat >"$out/www/foreign.html" <<'EOF'
<!DOCTYPE html><title>foreign</title>
<script>var marker = new URLSearchParams(location.search).get("marker");</script>
<script src="foreign-probe.js"></script>
EOF
cat >"$out/www/top.html" <<'EOF'
<!DOCTYPE html><title>foreign top</title><script>
var query = new URLSearchParams(location.search);
var marker = query.get("marker"), work = query.get("work");
var answers = 0;
window.chrome.webview.addEventListener("message", function () { answers++; });
window.chrome.webview.postMessage({id: 30002, uuid: "t1", data: {filePath: marker}});
window.chrome.webview.postMessage({id: 30003, uuid: "t2",
                                   data: {filePath: work + "/foreign-written.txt", contents: "x"}});
window.chrome.webview.postMessage({id: 60006, uuid: "t3", data: {title: "HIJACKED"}});
window.chrome.webview.postMessage({id: 10001, uuid: "t4", data: {}});
if (window.vtx) {
  vtx.files.deleteFile({filePath: marker});
  vtx.window.setTitle({title: "HIJACKED"});
}
setTimeout(function () { fetch("/ran?answers=" + answers); }, 1500);
</script>
EOF
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$out/www" >"$out/http.log" 2>&1 &
http_pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$out/http.log" | head -1)
  [[ -n $port ]] && break
  sleep 0.1
done
[[ -n $port ]] || { echo "the HTTP server did not start: $(cat "$out/http.log")" >&2; kill "$http_pid"; exit 1; }

start_display "$out/x"
stop_all() {
  kill "$http_pid" 2>/dev/null
  stop_display
}
trap stop_all EXIT

"$packer" "$here/apps/bridge" "$app_dir/bridge-e2e" --runtime "$runtime" >"$out/pack.log" 2>&1 ||
  { echo "packing failed: $(cat "$out/pack.log")" >&2; exit 1; }

# The page's settings, beside the executable (the runtime serves it from there).
configure() {
  printf 'window.E2E = {work: "%s", appDir: "%s", home: "%s", tmp: "%s", port: %s, mode: "%s"};\n' \
    "$work" "$app_dir" "$HOME" "$TMPDIR" "$port" "$1" >"$app_dir/e2e-config.js"
}

# Starts the app; sets `pid` and `win` once its first page has loaded.
launch() {
  log=$out/run-$1.log
  TESSEL_TRACE=1 "$app_dir/bridge-e2e" >"$log" 2>&1 &
  pid=$!
  E2E_CHILDREN=$pid
  win=
  for _ in $(seq 300); do
    win=$(app_window "$pid")
    [[ -n $win ]] && grep -q '^tessel: navigation completed' "$log" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  fail "$1: no window; log: $(cat "$log")"
  kill "$pid" 2>/dev/null
  return 1
}

caption() { xdotool getwindowname "$win" 2>/dev/null; }

# Answers the file dialog titled $1: types the path $2 into its location
# field and presses Enter, or presses Escape when $2 is "escape". Typing may
# race the dialog's own completion, so an answer that did not close the
# dialog is given again.
answer_dialog() {
  local title=$1 answer=$2 dialog try
  if ! dialog=$(find_window "$title" 60); then
    fail "no dialog titled '$title' (window title '$(caption)'; visible: $(visible_titles))"
    return 1
  fi
  for try in 1 2 3; do
    xdotool windowactivate --sync "$dialog" 2>/dev/null
    sleep 0.5
    if [[ $answer == escape ]]; then
      xdotool key --clearmodifiers Escape
    else
      # Ctrl+L shows the open dialog's location field; the save dialog's
      # name field has the focus already. Either way it is then emptied
      # (GTK preselects a name without its extension).
      xdotool key --clearmodifiers ctrl+l
      sleep 0.2
      xdotool key --clearmodifiers ctrl+a
      xdotool type --delay 20 "$answer"
      sleep 0.5
      xdotool key --clearmodifiers Return
    fi
    window_gone "$title" && return 0
  done
  command -v import >/dev/null && import -window root "$out/dialog-$try.png" 2>/dev/null
  fail "the dialog '$title' stayed open"
  xdotool key --clearmodifiers Escape
}

# 1. Every function from the app's own page.
configure main
if launch main; then
  answer_dialog 'Pick e2e file' "$work/picked.txt"
  answer_dialog 'Open file' escape
  answer_dialog 'Save e2e file' "$work/saved.txt"
  answer_dialog 'Save file' escape
  windows_named 'Second e2e dialog' >/dev/null && fail "a second dialog opened"

  if wait_for 120 eval '[[ $(caption) == DONE* ]]'; then
    echo "page: $(caption)"
    if [[ -f $app_dir/results.txt ]]; then
      while IFS= read -r line; do
        line=${line%$'\r'}
        line=${line#$'\xEF\xBB\xBF'}
        [[ $line == FAIL* ]] && fail "page: ${line#FAIL }"
      done <"$app_dir/results.txt"
    else
      fail "no results.txt beside the executable"
    fi
  else
    fail "the page did not finish: title '$(caption)'; log: $(tail -5 "$log")"
  fi

  # What the calls left on disk.
  [[ $(od -An -tx1 "$work/bytes.txt" | tr -d ' \n') == efbbbf6f6e650d0a74776f0d0a74687265650d0ac3bc0d0a ]] ||
    fail "writeTextFile bytes: $(od -An -c "$work/bytes.txt" 2>&1)"
  [[ $(od -An -tx1 "$app_dir/written/rel.txt" | tr -d ' \n') == efbbbf ]] ||
    fail "writeTextFile relative to the executable: $(ls -l "$app_dir/written" 2>&1)"
  cmp -s "$work/extracted.html" "$here/apps/bridge/webapp/index.html" || fail "extractFile: content differs"
  [[ -f $work/empty.html && ! -s $work/empty.html ]] || fail "extractFile of a missing entry: no empty target"
  [[ -f $work/executed.txt ]] || fail "execute: the program did not run"
  grep -qxF "$work/picked.txt" "$work/xdg-open.log" 2>/dev/null || fail "execute of a document: no xdg-open"
  grep -qxF "$work" "$work/xdg-open.log" 2>/dev/null || fail "explore: the folder was not opened"
  for marker in marker-http marker-data; do
    [[ -f $work/$marker ]] || fail "a foreign frame deleted $marker"
  done

  # 2. The close handshake: the page refuses the first request and closes
  #    itself through vtx.app.close() on the second.
  wmctrl -i -c "$win"
  wait_for 10 eval '[[ $(caption) == "ASKED 1" ]]' || fail "close query 1: title '$(caption)'"
  sleep 0.5
  kill -0 "$pid" 2>/dev/null || fail "the window closed without vtx.app.close()"
  wmctrl -i -c "$win"
  wait_exit "$pid" 20
  [[ $code == 0 ]] || { fail "closing through vtx.app.close(): exit code $code"; kill "$pid" 2>/dev/null; }
fi

# 3. A top-level page of another origin that the app navigated to: its calls
#    are dropped, without answers or effects.
configure foreign-top
if launch foreign-top; then
  if wait_for 30 grep -q 'GET /ran' "$out/http.log"; then
    grep -q 'GET /ran?answers=0 ' "$out/http.log" ||
      fail "foreign page got answers: $(grep 'GET /ran' "$out/http.log")"
  else
    fail "the foreign page did not run; log: $(tail -5 "$out/http.log")"
  fi
  [[ -f $work/marker-top ]] || fail "the foreign page deleted its marker"
  [[ -e $work/foreign-written.txt ]] && fail "the foreign page wrote a file"
  [[ $(caption) == HIJACKED ]] && fail "the foreign page set the title"
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
fi

[[ $fails == 0 ]] && echo "bridge e2e: all passed"
exit $((fails > 0))
