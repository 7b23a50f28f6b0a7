#!/bin/bash
# A packaged Windows app from start to close under Wine, through the WebView2
# adapter and the stand-in engine: the start page and what it names served
# from the archive, beside the executable and from an absolute path, and
# parts of archive entries asked for with a Range header; bridge calls
# answered with their exact texts; the real window read back from the
# system; permissions; a new window for an app page relaunched; a message
# from another origin left unanswered; the close handshake; and no object or
# string of the engine leaked by either process; the open and save dialogs
# through the bridge, answered with xdotool; the page's own dialogs, keys,
# focus moves and a failed page process. A second run: replies, new windows
# and the sandbox policy follow the document that asked.
# Usage: webview2_e2e.sh RUNTIME PACKER LOADER OUT_DIR EMULATOR
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
id=com.tessel.e2e.webview2.$$
mkdir -p "$app/webapp/css" "$app/webapp/js" "$app/webapp/img" "$app/webapp/data" "$out/outside"
printf '[App]\r\nID=%s\r\nName=Wine App\r\nDirName=webapp\r\nIndexHtml=index.html\r\nWidth=700\r\nHeight=500\r\n' \
  "$id" >"$app/vtx.ini"
cat >"$app/webapp/index.html" <<EOF
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Wine App</title>
<link rel="stylesheet" href="css/site.css">
<script src="js/app.js"></script>
</head><body>
<img src="img/logo.png">
<img src="beside.png">
<script src="$(fileurl "$out/outside/abs.js")"></script>
</body></html>
EOF
echo 'body { color: #123456; }' >"$app/webapp/css/site.css"
echo 'window.appLoaded = true;' >"$app/webapp/js/app.js"
printf '\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR-not-really\xff\x00' >"$app/webapp/img/logo.png"
printf 'archive entry\r\n' >"$app/webapp/data/entry.txt"
# Big enough to be streamed from the archive; no two 64 KB blocks alike.
head -c $((4 * 1048576 + 5)) /dev/urandom >"$app/webapp/data/movie.bin"
echo '<!DOCTYPE html><title>Local Window</title><p>local</p>' >"$app/webapp/local.html"
echo '<!DOCTYPE html><title>Second</title><p>second</p>' >"$app/webapp/second.html"
cp "$loader" "$app/WebView2LoaderWin64.dll"
printf '\x89PNG beside the executable' >"$out/beside.png"
echo 'window.absolute = true;' >"$out/outside/abs.js"
echo '<!DOCTYPE html><title>Local Window</title><p>local</p>' >"$out/outside/local.html"
echo '<!DOCTYPE html><title>Outside</title><p>outside</p>' >"$out/outside/doc.html"
$emu "$packer" "$app" "$out/app.exe" --runtime "$runtime" >"$out/pack.log" 2>&1 ||
  { echo "packing failed: $(cat "$out/pack.log")" >&2; exit 1; }

# What the page does. Replies are waited for by uuid; the window is read from
# the system after each change.
local_uri=$(fileurl "$out/outside/local.html")
cat >"$out/scenario.txt" <<EOF
page file:///index.html
post {"id":10001,"uuid":"hello","data":{}}
wait-reply hello
post {"id":10002,"uuid":"is-runtime","data":{}}
wait-reply is-runtime
post {"id":30003,"uuid":"write","data":{"filePath":"written.txt","contents":"h\u00e9llo\nworld"}}
wait-reply write
post {"id":30001,"uuid":"exists","data":{"filePath":"written.txt"}}
wait-reply exists
post {"id":30004,"uuid":"extract","data":{"sourceFile":"/data/entry.txt","targetFile":"$(winpath "$out/extracted.txt" | sed 's/\\/\\\\/g')"}}
wait-reply extract
post {"id":30004,"uuid":"extract-missing","data":{"sourceFile":"/data/none.txt","targetFile":"none.txt"}}
wait-reply extract-missing
post {"id":40006,"uuid":"exe-dir","data":{}}
wait-reply exe-dir
post {"id":40003,"uuid":"temp-dir","data":{}}
wait-reply temp-dir
post {"id":60006,"uuid":"set-title","data":{"title":"Wine \u00e9 title"}}
wait-reply set-title
post {"id":60005,"uuid":"get-title","data":{}}
wait-reply get-title
window
post {"id":60002,"uuid":"set-style","data":{"style":"ontop"}}
wait-reply set-style
post {"id":60001,"uuid":"get-style","data":{}}
wait-reply get-style
window
post {"id":60004,"uuid":"set-state","data":{"state":"maximized"}}
wait-reply set-state
post {"id":60003,"uuid":"get-state","data":{}}
wait-reply get-state
window
post {"id":70003,"uuid":"command","data":{"command":"echo wine-shell"}}
wait-reply command
post {"id":20001,"uuid":"open","data":{"title":"Open Wine","fileTypes":"Text files|*.txt;All files|*.*"}}
wait-reply open
post {"id":20002,"uuid":"save","data":{"title":"Save Wine","fileName":"x.txt"}}
wait-reply save
post {"id":20001,"uuid":"open-cancelled","data":{"title":"Cancel Wine"}}
wait-reply open-cancelled
post-from https://foreign.example/page.html {"id":10001,"uuid":"foreign","data":{}}
post "vtx-intent permission geolocation"
permission 3
permission 3 https://foreign.example/page.html
post "vtx-intent window file:///local.html"
new-window file:///local.html
new-window $local_uri
fetch data/movie.bin Range: bytes=65530-1048580
fetch data/movie.bin Range: bytes=-3
fetch data/entry.txt Range: bytes=2-5
fetch data/entry.txt Range: bytes=15-
dialog confirm Leave now?
dialog prompt Your name?|anon
log focus
focus got
log focus-done
move-focus 1
focus lost
key 0 0x7B
key 0 0x74
wait 1000
process-failed 3
wait 300
log handshake
close-query none
close
wait 1500
log refused
close-query close
close
page file:///local.html
window
close
EOF

# Answers the file dialog titled $1 with the path $2 typed into its name
# field, or with Escape; an answer that did not close it is given again.
answer_dialog() {
  local title=$1 answer=$2 dialog
  dialog=$(find_window "$title" 40) || { fail "no dialog titled '$title'"; return 1; }
  for _ in 1 2 3; do
    xdotool windowactivate --sync "$dialog" 2>/dev/null
    sleep 0.5
    if [[ $answer == escape ]]; then
      xdotool key --clearmodifiers Escape
    else
      xdotool key --clearmodifiers ctrl+a
      xdotool type --delay 10 "$answer"
      sleep 0.3
      xdotool key --clearmodifiers Return
    fi
    window_gone "$title" && return 0
  done
  import -window root "$out/dialog.png" 2>/dev/null
  fail "the dialog '$title' stayed open"
  xdotool key --clearmodifiers Escape
}

log=$out/standin.log
echo picked >"$out/picked.txt"
TESSEL_STANDIN_LOG=$(winpath "$log") TESSEL_STANDIN_SCENARIO=$(winpath "$out/scenario.txt") \
  $emu "$out/app.exe" >"$out/app.log" 2>&1 &
pid=$!
E2E_CHILDREN=$pid
answer_dialog "Open Wine" "$(winpath "$out/picked.txt")"
answer_dialog "Save Wine" "$(winpath "$out/saved.txt")"
answer_dialog "Cancel Wine" escape
wait_exit "$pid" 90
[[ $code == 0 ]] || fail "the app ended with $code (124: still running); log: $(cat "$out/app.log")"
# The relaunched instance ends on its own scenario.
for _ in $(seq 100); do
  [[ $(grep -c ' leaks ' "$log" 2>/dev/null) -ge 2 ]] && break
  sleep 0.2
done
[[ -f $log ]] || { echo "no stand-in log" >&2; exit 1; }
main=$(head -1 "$log" | cut -d' ' -f1)
lines() { grep "^$main $1" "$log"; }
has() { grep -qF -- "$main $1" "$log" || fail "missing in the log: $1"; }

# Served from the archive, beside the executable and from an absolute path:
# status 200, one Content-Type, the bytes themselves. (F5 loads the page a
# second time.)
first_load() { sed "/^$main key kind=0 vk=116 /q" "$log" | grep "^$main $1"; }
served() { # URI SOURCE_FILE TYPE_PREFIX
  local line n
  line=$(first_load "response $1 " | head -1)
  [[ -n $line ]] || { fail "$1 was not served"; return; }
  [[ $line == *" status=200 reason=OK headers=1 "* ]] || fail "$1: $line"
  [[ $(first_load "header $1 " | grep -ci ' content-type: ') == 1 ]] ||
    fail "$1: not one Content-Type"
  first_load "header $1 Content-Type: $3" >/dev/null || fail "$1: type $(first_load "header $1 ")"
  n=${line##*body=}
  cmp -s "$2" "$log.body.$main.$n" || fail "$1: the bytes differ from $2"
}
served file:///index.html "$app/webapp/index.html" text/html
served file:///css/site.css "$app/webapp/css/site.css" text/css
served file:///js/app.js "$app/webapp/js/app.js" ""
# Wine's MIME data names PNG image/x-png.
served file:///img/logo.png "$app/webapp/img/logo.png" image/
served file:///beside.png "$out/beside.png" image/
served "$(fileurl "$out/outside/abs.js")" "$out/outside/abs.js" ""
has "completed file:///index.html title=Wine App"

# Parts asked for with a Range header: status 206 and its reason, the type,
# Content-Range, Content-Length and Accept-Ranges, and those bytes only; a
# range past the end: 416 with the size and no body.
part() { # URI RANGE_HEADER SOURCE_FILE FIRST LAST
  local size want line n
  size=$(stat -c %s "$3")
  want="status=416 reason=Range Not Satisfiable headers=3 bytes=0 "
  [[ $4 -lt $size ]] && want="status=206 reason=Partial Content headers=4 bytes=$(($5 - $4 + 1)) "
  line=$(lines "response $1 " | grep -F "$want" | head -1)
  [[ -n $line ]] || { fail "$1 $2: no '$want': $(lines "response $1 ")"; return; }
  n=${line##*body=}
  if [[ $4 -lt $size ]]; then
    has "header $1 Content-Range: bytes $4-$5/$size"
    has "header $1 Content-Length: $(($5 - $4 + 1))"
    has "header $1 Accept-Ranges: bytes"
    [[ $(stat -c %s "$log.body.$main.$n") == $(($5 - $4 + 1)) ]] &&
      cmp -s -i "$4:0" -n $(($5 - $4 + 1)) "$3" "$log.body.$main.$n" ||
      fail "$1 $2: the bytes differ from $3 at $4-$5"
  else
    has "header $1 Content-Range: bytes */$size"
  fi
}
movie=$app/webapp/data/movie.bin
movie_size=$(stat -c %s "$movie")
part file:///data/movie.bin 'bytes=65530-1048580' "$movie" 65530 1048580
part file:///data/movie.bin 'bytes=-3' "$movie" $((movie_size - 3)) $((movie_size - 1))
part file:///data/entry.txt 'bytes=2-5' "$app/webapp/data/entry.txt" 2 5
part file:///data/entry.txt 'bytes=15-' "$app/webapp/data/entry.txt" 15 15

# The bridge script registered for every document, byte for byte: the one
# document script begins with a line break and the script itself.
bridge=$here/../../resources/vtx_external.js
[[ -n $(lines "add-script 1 ") ]] || fail "no document script registered"
head -c $(($(stat -c %s "$bridge") + 1)) "$log.script.$main.1" | tail -c +2 | cmp -s - "$bridge" ||
  fail "the document script does not carry resources/vtx_external.js"

# ... the executable's resource, which the runtime reads (no other copy is
# compiled into the Windows build).
wrestool -x --raw --type=10 --name=VTX_EXTERNAL_JAVASCRIPT --language=1033 "$out/app.exe" 2>/dev/null |
  cmp -s - "$bridge" || fail "app.exe lacks the RCDATA resource VTX_EXTERNAL_JAVASCRIPT (1033)"

# Exact reply texts.
has 'posted {"uuid": "hello", "success": true, "result": "2021.28"}'
has 'posted {"uuid": "is-runtime", "success": true, "result": true}'
has 'posted {"uuid": "write", "success": true, "result": true}'
has 'posted {"uuid": "exists", "success": true, "result": true}'
has 'posted {"uuid": "extract", "success": true, "result": true}'
has 'posted {"uuid": "extract-missing", "success": false, "result": "File not found"}'
has "posted {\"uuid\": \"exe-dir\", \"success\": true, \"result\": \"$(winpath "$out/" | sed 's/\\/\\\\/g')\"}"
lines 'posted {"uuid": "temp-dir", "success": true, "result": "C:\\\\' >/dev/null ||
  fail "temp dir: $(lines 'posted {"uuid": "temp-dir"')"
has 'posted {"uuid": "set-title", "success": true, "result": true}'
has 'posted {"uuid": "get-title", "success": true, "result": "Wine \u00E9 title"}'
has 'posted {"uuid": "get-style", "success": true, "result": "ontop"}'
has 'posted {"uuid": "get-state", "success": true, "result": "maximized"}'
has 'posted {"uuid": "command", "success": true, "result": "wine-shell\r\n"}'
json_path() { winpath "$1" | sed 's/\\/\\\\/g'; }
has "posted {\"uuid\": \"open\", \"success\": true, \"result\": \"$(json_path "$out/picked.txt")\"}"
has "posted {\"uuid\": \"save\", \"success\": true, \"result\": \"$(json_path "$out/saved.txt")\"}"
has 'posted {"uuid": "open-cancelled", "success": true, "result": ""}'
# A byte-order mark and CR LF line breaks, as on Windows.
printf '\xef\xbb\xbfh\xc3\xa9llo\r\nworld\r\n' | cmp -s - "$out/written.txt" ||
  fail "written.txt: $(od -c "$out/written.txt" | head -3)"
cmp -s "$app/webapp/data/entry.txt" "$out/extracted.txt" || fail "extracted.txt differs from the entry"

# The window as the system has it.
windows=$(lines "window ")
grep -q 'title=Wine é title ' <<<"$windows" || fail "the real title: $windows"
[[ $(sed -n 2p <<<"$windows") == *" topmost=1 "* ]] || fail "not topmost after ontop: $windows"
[[ $(sed -n 3p <<<"$windows") == *" zoomed=1 "* ]] || fail "not maximized: $windows"

# Another origin: no answer, no effect.
lines 'posted {"uuid": "foreign"' >/dev/null && fail "a foreign page's message was answered"
has "permission file:///index.html kind=3 state=1"
lines "permission https://foreign.example/page.html kind=3 state=1" >/dev/null &&
  fail "a foreign page was granted a permission"
# A new window for one of the app's pages starts a new instance with it; for
# a local file elsewhere nothing opens.
has "new-window file:///local.html handled=1"
has "new-window $local_uri handled=1"
other=$(grep -v "^$main " "$log" | head -1 | cut -d' ' -f1)
if [[ -n $other ]]; then
  grep -qF "$other completed file:///local.html title=Local Window" "$log" ||
    fail "the relaunched instance did not show file:///local.html"
  [[ $(grep -v "^$main " "$log" | cut -d' ' -f1 | sort -u | wc -l) == 1 ]] ||
    fail "more than one instance was started"
else
  fail "no relaunched instance"
fi

# The page's dialogs: the runtime leaves the engine's own dialogs on, so the
# engine shows them and the runtime's handler never sees one.
has "default-dialog confirm Leave now?"
has "default-dialog prompt Your name?"
lines "dialog " >/dev/null && fail "a dialog reached the runtime: $(lines "dialog ")"
# The engine's focus passed on without pushing it back into the engine; a
# request to move the focus on is left unhandled.
[[ -z $(sed -n "/^$main note focus\$/,/^$main note focus-done/p" "$log" | grep "^$main move-focus-call") ]] ||
  fail "the engine's focus was pushed back into it"
has "move-focus reason=1 handled=0"
# Keys: the runtime keeps none, so they reach the engine's own keys. F12
# opens nothing while debugging is off; F5 loads the page again.
has "key kind=0 vk=123 handled=0"
lines "devtools" >/dev/null && fail "developer tools opened without AllowDebug"
has "key kind=0 vk=116 handled=0"
[[ $(lines "navigate file:///index.html" | wc -l) == 2 ]] ||
  fail "F5 did not reload: $(lines "navigate ")"
# A failed frame process is left as it is: nothing navigates afterwards, and
# the page, still there, keeps its say over closing (below). (A page whose own
# process ended cannot answer; the close box then closes: a unit case.)
has "process-failed kind=3"
[[ -z $(sed -n "/^$main process-failed/,\$p" "$log" | grep "^$main navigate") ]] ||
  fail "something navigated after the process failure"

# The close handshake: refused while the page answers nothing, then closed.
handshake=$(sed -n "/^$main note handshake/,\$p" "$log" | grep "^$main ")
# The page is asked on every close request, allowed or not.
grep -q "script vtx.events.onCloseQuery();" <<<"$(sed -n '/note refused/q;p' <<<"$handshake")" ||
  fail "the first close request did not ask the page"
grep -q "note refused" <<<"$handshake" || fail "the window closed while the page answered nothing"
has "close"

# Neither process leaked an engine object or string.
for p in $main $other; do
  grep -qx "$p leaks objects=0 strings=0" "$log" ||
    fail "process $p: $(grep "^$p leak" "$log" | tr '\n' '|')"
done
grep -q ' error' "$log" && fail "stand-in errors: $(grep ' error' "$log" | head -3)"

# --- the document that asks -----------------------------------------------------
# A second run of the same app: decisions follow the document that asked,
# not the one shown when the answer is ready.
# - A reply whose document has gone reaches no other: the page asks for a
#   command that ends only once the next page is shown (that page's own
#   command makes the file it waits for), and the next page waits for the
#   first command's file before it asks once more.
# - A new window for a local page opens nothing unless the shown app
#   document announced it: asked for by a frame of another origin (which the
#   engine reports as its blocked page), by a frame of the app, by the page
#   unannounced, or announced for another address.
# - A document read by absolute path is served with the sandbox policy; the
#   app's own are not.
run2=$out/run2
mkdir -p "$run2"
log2=$run2/standin.log
outside_uri=$(fileurl "$out/outside/doc.html")
go=$(json_path "$run2/go.txt")
late=$(json_path "$run2/late.txt")
cat >"$run2/scenario.txt" <<EOF
page file:///index.html
post {"id":70003,"uuid":"late","data":{"command":"(for /l %i in (1,1,60) do @if not exist $go ping -n 2 127.0.0.1 >nul) \u0026 echo late>$late"}}
navigate second.html
page file:///second.html
post {"id":70003,"uuid":"go","data":{"command":"echo go>$go"}}
wait-reply go
wait-file $(winpath "$run2/late.txt")
post {"id":70003,"uuid":"after","data":{"command":"echo after"}}
wait-reply after
new-window-from-frame https://foreign.example/frame.html file:///local.html
new-window-from-frame file:///second.html file:///local.html
new-window file:///local.html
post "vtx-intent window file:///elsewhere.html"
new-window file:///local.html
navigate $outside_uri
page $outside_uri
close
page file:///local.html
close
EOF
TESSEL_STANDIN_LOG=$(winpath "$log2") TESSEL_STANDIN_SCENARIO=$(winpath "$run2/scenario.txt") \
  $emu "$out/app.exe" >"$run2/app.log" 2>&1 &
pid=$!
E2E_CHILDREN=$pid
wait_exit "$pid" 90
[[ $code == 0 ]] || fail "run 2: the app ended with $code (124: still running); log: $(cat "$run2/app.log")"
# Every process of the run has ended, an instance started by mistake too.
timeout 60 wineserver -w || fail "run 2: Wine processes still running"
main2=$(head -1 "$log2" | cut -d' ' -f1)
lines2() { grep "^$main2 $1" "$log2"; }
has2() { grep -qF -- "$main2 $1" "$log2" || fail "run 2: missing in the log: $1"; }

[[ -f $run2/late.txt ]] || fail "run 2: the first page's command never ended"
has2 'message-delivered file:///second.html {"uuid": "go", "success": true'
has2 'message-delivered file:///second.html {"uuid": "after", "success": true'
grep -F '"uuid": "late"' "$log2" | grep -q 'message-delivered' &&
  fail "run 2: a reply reached a later document: $(grep -F '"uuid": "late"' "$log2")"

has2 "new-window-blocked https://foreign.example/frame.html file:///local.html"
has2 "new-window about:blank#blocked handled="
[[ $(lines2 "new-window file:///local.html handled=1" | wc -l) == 3 ]] ||
  fail "run 2: unannounced windows for file:///local.html: $(lines2 "new-window file:")"
[[ $(cut -d' ' -f1 "$log2" | sort -u | wc -l) == 1 ]] ||
  fail "run 2: an unannounced window started an instance: $(grep -v "^$main2 " "$log2" | head -3)"

has2 "header $outside_uri Content-Security-Policy: sandbox allow-scripts allow-forms allow-popups allow-modals"
has2 "completed $outside_uri title=Outside"
lines2 "header file:///index.html Content-Security-Policy" >/dev/null &&
  fail "run 2: the app's own document was sandboxed"
grep -qx "$main2 leaks objects=0 strings=0" "$log2" ||
  fail "run 2: $(grep "^$main2 leak" "$log2" | tr '\n' '|')"
grep -q ' error' "$log2" && fail "run 2: stand-in errors: $(grep ' error' "$log2" | head -3)"

((fails)) && { echo "$fails check(s) failed; logs in $out" >&2; exit 1; }
echo "webview2 e2e passed"
