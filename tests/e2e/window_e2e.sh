#!/bin/bash
# The main window of the real runtime under Xvfb and openbox: the start page
# and its files served from the archive, beside the executable and by
# absolute path; the window's geometry, state, stacking and borders from the
# settings, read back from X11; the relaunch address; the close handshake.
# Pages report what they saw through document.title, which the caption follows
# (DynamicAppTitle=1) and xdotool reads.
# Usage: window_e2e.sh RUNTIME PACKER OUT_DIR
set -uo pipefail
runtime=$1
packer=$2
out=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"
require_x_tools
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
export HOME=$out/home XDG_DATA_HOME=$out/data
mkdir -p "$HOME"
fails=0
fail() {
  echo "FAIL: $*" >&2
  fails=$((fails + 1))
}

start_display "$out/x"

# Makes app $1 (folder $out/$1, packaged $out/$1/app) from settings lines $2
# (ID, Name and DirName are added) and the page files that follow as
# name=content pairs.
pack() {
  local name=$1 ini=$2 dir=$out/$1
  shift 2
  mkdir -p "$dir/src/webapp"
  printf '[App]\r\nID=com.tessel.e2e.window.%s\r\nName=%s\r\nDirName=webapp\r\n%b' "$name" "$name" "$ini" \
    >"$dir/src/vtx.ini"
  local file
  for file in "$@"; do
    mkdir -p "$(dirname "$dir/src/webapp/${file%%=*}")"
    printf '%s' "${file#*=}" >"$dir/src/webapp/${file%%=*}"
  done
  [[ -f $dir/src/webapp/index.html ]] ||
    echo '<!doctype html><title>plain</title><p>plain page</p>' >"$dir/src/webapp/index.html"
  "$packer" "$dir/src" "$dir/app" --runtime "$runtime" >"$dir/pack.log" 2>&1 ||
    { fail "packing $name: $(cat "$dir/pack.log")"; return 1; }
}

# Starts app $1 with arguments $2...; sets `pid` and `win`, its visible
# window (found by process: the caption may already follow the page).
launch() {
  local name=$1
  shift
  TESSEL_TRACE=1 "$out/$name/app" "$@" >"$out/$name/run.log" 2>&1 &
  pid=$!
  E2E_CHILDREN="$pid"
  win=
  for _ in $(seq 300); do
    win=$(app_window "$pid")
    # Ready once the page is there: closing before asks nobody.
    [[ -n $win ]] && grep -q '^tessel: navigation completed' "$out/$name/run.log" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  fail "$name: no window; log: $(cat "$out/$name/run.log")"
  kill "$pid" 2>/dev/null
  return 1
}

# Closes the app's window as the close box does and expects the process to end
# with exit code 0.
close_app() {
  local name=$1
  wmctrl -i -c "$win" 2>/dev/null
  wait_exit "$pid" 20
  [[ $code == 0 ]] || { fail "$name: exit code $code after closing"; kill "$pid" 2>/dev/null; }
}

caption_is() { [[ $(xdotool getwindowname "$win" 2>/dev/null) == "$1" ]]; }
caption() { xdotool getwindowname "$win" 2>/dev/null; }
# "WxH" of the window's client area.
geometry() { xdotool getwindowgeometry "$win" 2>/dev/null | sed -n 's/ *Geometry: //p'; }
geometry_is() { [[ $(geometry) == "$1" ]]; }
net_state() { xprop -id "$win" _NET_WM_STATE 2>/dev/null; }
has_state() { net_state | grep -q "$1"; }
# The Motif hints as "functions decorations" in decimal.
motif() {
  local hints
  hints=$(xprop -id "$win" _MOTIF_WM_HINTS 2>/dev/null | sed -n 's/.*= //p')
  [[ -n $hints ]] || return 0
  IFS=', ' read -r -a v <<<"$hints"
  echo "$((v[1])) $((v[2]))"
}

# 1. Resources: the page, its style sheet, image and script come from the
#    archive; a script beside the executable and a file by absolute path come
#    from disk. The page's script reports what it measured in its title.
abs_dir=$out/absolute
mkdir -p "$abs_dir"
echo 'from the absolute path' >"$abs_dir/abs.txt"
probe_js='
var css = getComputedStyle(document.getElementById("probe")).width;
var img = document.getElementById("pic");
function report(abs) {
  document.title = "loaded css=" + css + " img=" + img.naturalWidth + " beside=" +
    (window.besideLoaded ? 1 : 0) + " abs=" + abs;
}
function go() {
  fetch("'"$abs_dir"'/abs.txt").then(function (r) { return r.text(); })
    .then(function (t) { report(t.trim()); }, function () { report("none"); });
}
if (img.complete) go(); else img.onload = go;
'
pack resources 'DynamicAppTitle=1\r\n' \
  'index.html=<!doctype html><html><head><title>start</title>
<link rel="stylesheet" href="css/site.css"></head><body>
<div id="probe">probe</div><img id="pic" src="img/dot.svg">
<script src="beside.js"></script><script src="js/probe.js"></script></body></html>' \
  'css/site.css=#probe { width: 123px; }' \
  'img/dot.svg=<svg xmlns="http://www.w3.org/2000/svg" width="7" height="5"><rect width="7" height="5" fill="red"/></svg>' \
  "js/probe.js=$probe_js"
echo 'window.besideLoaded = true;' >"$out/resources/beside.js"
if launch resources; then
  want='loaded css=123px img=7 beside=1 abs=from the absolute path'
  wait_for 20 caption_is "$want" || fail "resources: caption '$(caption)', wanted '$want'"
  log=$out/resources/run.log
  for served in "archive webapp/index.html text/html" "archive webapp/css/site.css text/css" \
    "archive webapp/img/dot.svg image/svg+xml" "archive webapp/js/probe.js" \
    "beside-exe $out/resources/beside.js" "absolute $abs_dir/abs.txt"; do
    grep -q "^tessel: served $served" "$log" || fail "resources: not served: $served"
  done
  close_app resources
fi

# 2. The relaunch command line typed by hand does not choose the first
#    document: without the token a relaunch carries, the start page opens
#    whatever the address, one the runtime serves or not.
pack relaunch 'DynamicAppTitle=1\r\n' \
  'index.html=<!doctype html><title>the start page</title>' \
  'other.html=<!doctype html><title>the other page</title>'
for address in 'file:///other.html' 'file:///index.html?x=1'; do
  if launch relaunch com.tessel.e2e.window.relaunch "$address"; then
    wait_for 20 caption_is 'the start page' || fail "relaunch by hand, $address: caption '$(caption)'"
    close_app relaunch
  fi
done
if launch relaunch COM.TESSEL.E2E.WINDOW.RELAUNCH 'file:///other.html'; then
  wait_for 20 caption_is 'the start page' || fail "relaunch, ID in capitals: caption '$(caption)'"
  close_app relaunch
fi

# A page that opens a window for a local file starts a further instance with
# the relaunch arguments and its token, which shows that address.
pack opener 'DynamicAppTitle=1\r\n' \
  'index.html=<!doctype html><title>the opener</title><script>
window.addEventListener("load", function () { window.open("other.html"); });
</script>' \
  'other.html=<!doctype html><title>opened by relaunch</title>'
if launch opener; then
  if other=$(find_window 'opened by relaunch' 30); then
    wmctrl -i -c "$other"
    window_gone 'opened by relaunch' 10 || fail "opener: the relaunched window stayed"
  else
    fail "opener: no window for the relaunch; log: $(cat "$out/opener/run.log")"
  fi
  close_app opener
fi

# 3. Geometry and state from the settings (openbox honours size hints).
pack plain ''
if launch plain; then
  wait_for 10 geometry_is 800x600 || fail "default: geometry $(geometry), wanted 800x600"
  # Centred on the 1280x1024 screen (the frame's title bar shifts it down).
  position=$(xdotool getwindowgeometry "$win" | sed -n 's/ *Position: \([0-9]*\),\([0-9]*\).*/\1 \2/p')
  read -r x y <<<"$position"
  ((x >= 230 && x <= 250 && y >= 200 && y <= 260)) || fail "default: not centred: at $position"
  has_state _NET_WM_STATE_MAXIMIZED && fail "default: maximized"
  has_state _NET_WM_STATE_ABOVE && fail "default: kept above"
  close_app plain
fi
pack maxwidth 'Width=1000\r\nMaxWidth=900\r\n'
if launch maxwidth; then
  wait_for 10 geometry_is 900x600 || fail "MaxWidth=900: geometry $(geometry), wanted 900x600"
  # The user cannot make it wider either.
  xdotool windowsize "$win" 1100 600
  sleep 0.5
  geometry_is 900x600 || fail "MaxWidth=900: resized to $(geometry)"
  close_app maxwidth
fi
pack minwins 'MaxWidth=500\r\nMinWidth=700\r\n'
if launch minwins; then
  wait_for 10 geometry_is 700x600 || fail "MinWidth=700 over MaxWidth=500: geometry $(geometry)"
  close_app minwins
fi
pack fullscreen 'WindowStyle=1\r\nWindowBorder=3\r\nWindowState=0\r\n'
if launch fullscreen; then
  wait_for 10 has_state _NET_WM_STATE_MAXIMIZED_HORZ || fail "WindowStyle=1: not maximized: $(net_state)"
  has_state _NET_WM_STATE_MAXIMIZED_VERT || fail "WindowStyle=1: not maximized vertically"
  [[ $(motif) == *" 0" ]] || fail "WindowStyle=1: decorations $(motif)"
  wait_for 10 geometry_is 1280x1024 || fail "WindowStyle=1: geometry $(geometry)"
  close_app fullscreen
fi
pack maximized 'WindowState=1\r\nWindowBorder=1\r\n'
if launch maximized; then
  wait_for 10 has_state _NET_WM_STATE_MAXIMIZED_HORZ || fail "WindowState=1: not maximized: $(net_state)"
  wait_for 10 eval '[[ $(geometry) == 1280x* ]]' || fail "WindowState=1: geometry $(geometry)"
  close_app maximized
fi
pack ontop 'WindowOrder=1\r\n'
if launch ontop; then
  wait_for 10 has_state _NET_WM_STATE_ABOVE || fail "WindowOrder=1: not above: $(net_state)"
  close_app ontop
fi
pack ordinary 'WindowOrder=2\r\nWindowState=2\r\n'
if launch ordinary; then
  sleep 0.5
  has_state _NET_WM_STATE_ABOVE && fail "WindowOrder=2: kept above"
  has_state _NET_WM_STATE_MAXIMIZED && fail "WindowState=2: maximized"
  close_app ordinary
fi

# 4. Border styles: Motif functions and decorations, window type, and what
#    openbox then lets the user do (fixed sizes are pinned by the size hints).
#    functions: resize 2, move 4, minimize 8, maximize 16, close 32
#    decorations: border 2, resize handles 4, title 8, menu 16, minimize 32,
#    maximize 64
borders=(
  "0|62 0|NORMAL|no"
  "1|62 122|NORMAL|no"
  "2|62 126|NORMAL|yes"
  "3|62 26|NORMAL|no"
  "4|62 26|UTILITY|no"
  "5|62 30|UTILITY|yes"
)
for row in "${borders[@]}"; do
  IFS='|' read -r border hints type resizable <<<"$row"
  pack "border$border" "WindowBorder=$border\r\n"
  launch "border$border" || continue
  wait_for 5 test "$(motif)" == "$hints" || fail "WindowBorder=$border: motif hints $(motif), wanted $hints"
  xprop -id "$win" _NET_WM_WINDOW_TYPE | grep -q "_NET_WM_WINDOW_TYPE_$type" ||
    fail "WindowBorder=$border: $(xprop -id "$win" _NET_WM_WINDOW_TYPE)"
  actions=$(xprop -id "$win" _NET_WM_ALLOWED_ACTIONS)
  if [[ $resizable == yes ]]; then
    [[ $actions == *_NET_WM_ACTION_RESIZE* ]] || fail "WindowBorder=$border: not resizable: $actions"
  else
    [[ $actions == *_NET_WM_ACTION_RESIZE* ]] && fail "WindowBorder=$border: resizable: $actions"
  fi
  close_app "border$border"
done

# 5. The close handshake: while the page's close query does nothing, the
#    close button is refused, though every request asks the page; the page's
#    own vtx.app.close() ends the application.
pack closing 'DynamicAppTitle=1\r\n' \
  'index.html=<!doctype html><title>closing</title><script>
var asked = 0;
window.addEventListener("load", function () {
  vtx.events.onCloseQuery = function () {
    asked++;
    document.title = "asked " + asked;
    if (asked === 3) vtx.app.close();
  };
  document.title = "ready";
});
</script>'
if launch closing && wait_for 20 caption_is ready; then
  for n in 1 2; do
    wmctrl -i -c "$win"
    wait_for 10 caption_is "asked $n" || fail "close query $n: caption '$(caption)'"
    kill -0 "$pid" 2>/dev/null || fail "close query $n: the app ended"
  done
  wmctrl -i -c "$win"
  wait_exit "$pid" 20
  [[ $code == 0 ]] || fail "closing through vtx.app.close(): exit code $code"
fi

# 6. Changes in place: full screen, stacking and border through the bridge
#    change the shown window without reloading the page. Each close request
#    moves the page one step on; the page's token shows it is the same
#    document throughout.
pack inplace 'DynamicAppTitle=1\r\nWindowBorder=3\r\n' \
  'index.html=<!doctype html><title>inplace</title><script>
var token = Math.random().toString(36).slice(2, 10);
var step = 0;
window.addEventListener("load", function () {
  vtx.events.onCloseQuery = function () {
    step++;
    if (step === 1) {
      vtx.window.setStyle({style: "ontop"});
      vtx.app.enterFullscreen();
    } else if (step === 2) {
      vtx.app.exitFullscreen();
    } else {
      vtx.app.close();
    }
    document.title = "step " + step + " " + token;
  };
  document.title = "ready " + token;
});
</script>'
if launch inplace && wait_for 20 eval '[[ $(caption) == "ready "* ]]'; then
  token=$(caption)
  token=${token#ready }
  wmctrl -i -c "$win"
  wait_for 10 caption_is "step 1 $token" || fail "in place 1: caption '$(caption)'"
  wait_for 10 has_state _NET_WM_STATE_MAXIMIZED_HORZ || fail "enterFullscreen: not maximized: $(net_state)"
  wait_for 10 has_state _NET_WM_STATE_ABOVE || fail "setStyle ontop: not above: $(net_state)"
  wait_for 5 test "$(motif)" == "62 0" || fail "enterFullscreen: hints $(motif)"
  wmctrl -i -c "$win"
  wait_for 10 caption_is "step 2 $token" || fail "in place 2: caption '$(caption)'"
  wait_for 10 eval '! has_state _NET_WM_STATE_MAXIMIZED' || fail "exitFullscreen: $(net_state)"
  wait_for 5 test "$(motif)" == "62 26" || fail "exitFullscreen: not the dialog border: $(motif)"
  has_state _NET_WM_STATE_ABOVE || fail "exitFullscreen: no longer above"
  loads=$(grep -c '^tessel: navigation completed' "$out/inplace/run.log")
  [[ $loads == 1 ]] || fail "in place: $loads navigations"
  wmctrl -i -c "$win"
  wait_exit "$pid" 20
  [[ $code == 0 ]] || fail "in place: exit code $code"
else
  fail "in place: the page did not get ready: '$(caption)'"
fi

# 7. Byte ranges: the page fetches parts of an entry big enough to be
#    streamed, of a small entry and of a file beside the executable with a
#    Range header, and reports status, Content-Range and whether every byte
#    is the one at that offset. Byte i of big.bin is the top byte of
#    i * 2654435761 (mod 2^32), so a part from the wrong offset cannot pass.
big_size=$((5 * 1048576 + 7))
mkdir -p "$out/ranges/src/webapp"
command -v python3 >/dev/null || { echo "SKIP: python3 missing"; exit 77; }
python3 -c '
import sys
n = int(sys.argv[2])
with open(sys.argv[1], "wb") as f:
    for start in range(0, n, 1 << 20):
        f.write(bytes(((i * 2654435761) & 0xFFFFFFFF) >> 24 for i in range(start, min(n, start + (1 << 20)))))
' "$out/ranges/src/webapp/big.bin" "$big_size"
ranges_js='
function byteAt(i) { return Math.imul(i, 2654435761) >>> 24; }
async function part(url, range, check) {
  var r = await fetch(url, range ? {headers: {Range: range}} : {});
  var bytes = new Uint8Array(await r.arrayBuffer());
  return r.status + " " + (r.headers.get("Content-Range") || "-") + " " + check(bytes);
}
function from(first) {
  return function (bytes) {
    for (var k = 0; k < bytes.length; k++) if (bytes[k] !== byteAt(first + k)) return "bad@" + k;
    return bytes.length;
  };
}
function text(bytes) { return new TextDecoder().decode(bytes); }
var n = '"$big_size"';
Promise.all([
  part("big.bin", "bytes=0-99", from(0)),
  part("big.bin", "bytes=65530-65545", from(65530)),
  part("big.bin", "bytes=3000000-3999999", from(3000000)),
  part("big.bin", "bytes=-1", from(n - 1)),
  part("big.bin", "bytes=" + n + "-", text),
  part("small.txt", "bytes=3-5", text),
  part("beside.txt", "bytes=-4", text),
  part("small.txt", "bytes=1-2,5-6", text),
]).then(function (all) { document.title = "ranges " + all.join("; "); },
        function (e) { document.title = "ranges failed " + e; });
'
pack ranges 'DynamicAppTitle=1\r\n' \
  'index.html=<!doctype html><title>start</title><script src="ranges.js"></script>' \
  'small.txt=0123456789' "ranges.js=$ranges_js"
printf 'abcdefghij' >"$out/ranges/beside.txt"
if launch ranges; then
  want="ranges 206 bytes 0-99/$big_size 100; 206 bytes 65530-65545/$big_size 16;"
  want+=" 206 bytes 3000000-3999999/$big_size 1000000; 206 bytes $((big_size - 1))-$((big_size - 1))/$big_size 1;"
  want+=" 416 bytes */$big_size ; 206 bytes 3-5/10 345; 206 bytes 6-9/10 ghij; 200 - 0123456789"
  wait_for 30 caption_is "$want" || fail "ranges: caption '$(caption)', wanted '$want'"
  grep -q "^tessel: served archive webapp/big.bin application/octet-stream 206 bytes 0-99/$big_size\$" \
    "$out/ranges/run.log" || fail "ranges: the runtime did not serve the first part"
  close_app ranges
fi

[[ $fails == 0 ]] && echo "window e2e: all passed"
exit $((fails > 0))
