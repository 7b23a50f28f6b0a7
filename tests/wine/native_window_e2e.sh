#!/bin/bash
# The main window on Win32 as the system has it, not as the window object
# remembers it: for each set of window keys a packaged app runs under Wine
# with the stand-in engine, whose scenario reads the real top-level window
# (GetWindowLongPtr, GetWindowRect, IsZoomed) once the page has loaded and
# then closes it through the close handshake.
# Usage: native_window_e2e.sh RUNTIME PACKER LOADER OUT_DIR EMULATOR
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
winpath() { echo "Z:${1//\//\\}"; }

printf 'page file:///index.html\nwindow\nclose\n' >"$out/scenario.txt"
export TESSEL_STANDIN_SCENARIO
TESSEL_STANDIN_SCENARIO=$(winpath "$out/scenario.txt")

# Window style bits.
WS_CAPTION=0x00C00000 WS_THICKFRAME=0x00040000 WS_MINIMIZEBOX=0x00020000
WS_MAXIMIZEBOX=0x00010000 WS_EX_DLGMODALFRAME=0x1 WS_EX_TOPMOST=0x8 WS_EX_TOOLWINDOW=0x80
# The screen of start_display.
screen_w=1280 screen_h=1024

# case | extra keys | checks on the logged window line:
#   +NAME / -NAME: style bit set / clear (EX_ for extended styles);
#   size=WxH; centred; zoomed
cases=(
  "none|WindowBorder=0|-CAPTION -THICKFRAME size=800x600 centred"
  "single|WindowBorder=1\r\nWidth=640\r\nHeight=480|+CAPTION -THICKFRAME +MINIMIZEBOX +MAXIMIZEBOX size=640x480 centred"
  "sizeable|WindowOrder=1|+CAPTION +THICKFRAME +MINIMIZEBOX +MAXIMIZEBOX +EX_TOPMOST size=800x600 centred"
  "dialog|WindowBorder=3\r\nWindowOrder=2|+CAPTION -THICKFRAME -MINIMIZEBOX -MAXIMIZEBOX +EX_DLGMODALFRAME -EX_TOPMOST"
  "tool|WindowBorder=4\r\nWidth=1000\r\nMaxWidth=900|+CAPTION -THICKFRAME +EX_TOOLWINDOW size=900x600 centred"
  "sizetool|WindowBorder=5\r\nMaxWidth=500\r\nMinWidth=700|+CAPTION +THICKFRAME +EX_TOOLWINDOW size=700x600"
  "maximized|WindowState=1|+CAPTION +THICKFRAME zoomed"
)

for row in "${cases[@]}"; do
  IFS='|' read -r case keys checks <<<"$row"
  dir=$out/$case
  mkdir -p "$dir/webapp"
  printf '[App]\r\nID=com.tessel.e2e.window.%s.%s\r\nName=Window %s\r\nDirName=webapp\r\n%b\r\n' \
    "$case" "$$" "$case" "$keys" >"$dir/vtx.ini"
  echo '<!DOCTYPE html><title>window</title>' >"$dir/webapp/index.html"
  cp "$loader" "$dir/WebView2LoaderWin64.dll"
  $emu "$packer" "$dir" "$out/$case.exe" --runtime "$runtime" >"$out/$case.pack.log" 2>&1 ||
    { fail "$case: packing: $(cat "$out/$case.pack.log")"; continue; }
  log=$out/$case.log
  TESSEL_STANDIN_LOG=$(winpath "$log") $emu "$out/$case.exe" >"$out/$case.out" 2>&1 &
  pid=$!
  E2E_CHILDREN=$pid
  wait_exit "$pid" 60
  [[ $code == 0 ]] || { fail "$case: exit code $code"; kill "$pid" 2>/dev/null; }
  line=$(grep ' window title=' "$log" 2>/dev/null | head -1)
  [[ -n $line ]] || { fail "$case: the window was not read"; continue; }
  style=$(sed 's/.* style=\(0x[0-9A-F]*\).*/\1/' <<<"$line")
  exstyle=$(sed 's/.* exstyle=\(0x[0-9A-F]*\).*/\1/' <<<"$line")
  IFS=, read -r left top right bottom <<<"$(sed 's/.* rect=//' <<<"$line")"
  for check in $checks; do
    case $check in
      [+-]EX_*)
        name=WS_EX_${check:4}
        (((exstyle & ${!name}) != 0)) && set=+ || set=-
        [[ $set == "${check:0:1}" ]] || fail "$case: $check (exstyle $exstyle)"
        ;;
      [+-]*)
        name=WS_${check:1}
        (((style & ${!name}) != 0)) && set=+ || set=-
        [[ $set == "${check:0:1}" ]] || fail "$case: $check (style $style)"
        ;;
      size=*)
        [[ "$((right - left))x$((bottom - top))" == "${check#size=}" ]] ||
          fail "$case: outer size $((right - left))x$((bottom - top)), wanted ${check#size=}"
        ;;
      centred)
        ((left == (screen_w - (right - left)) / 2 && top == (screen_h - (bottom - top)) / 2)) ||
          fail "$case: not centred: $left,$top,$right,$bottom"
        ;;
      zoomed)
        [[ $line == *" zoomed=1 "* ]] || fail "$case: not maximized: $line"
        ;;
    esac
  done
  grep -qx '[0-9]* leaks objects=0 strings=0' "$log" || fail "$case: $(grep ' leak' "$log")"
  ((fails)) || echo "ok: $case"
done

((fails)) && { echo "$fails check(s) failed; logs in $out" >&2; exit 1; }
echo "native window e2e passed"
