#!/bin/bash
# A Linux app's own icon and name on the desktop: packed from a PNG, its
# window carries the icon in every size below the picture's
# (_NET_WM_ICON) and its class is the app's ID (WM_CLASS).
# Usage: app_icon_e2e.sh RUNTIME PACKER OUT_DIR
set -uo pipefail
runtime=$1
packer=$2
out=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"
require_x_tools
command -v convert >/dev/null || { echo "SKIP: convert (imagemagick) missing"; exit 77; }
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

app=$out/src
mkdir -p "$app/webapp"
printf '[App]\nID=com.tessel.e2e.icon\nName=Icon Test\nDirName=webapp\n[Package]\nIcon=art/app.png\n' \
  >"$app/vtx.ini"
echo '<!doctype html><title>icon</title><p>icon</p>' >"$app/webapp/index.html"
mkdir -p "$app/art"
convert -size 300x300 xc:none -fill '#d03020' -draw 'circle 150,150 150,20' "PNG32:$app/art/app.png"
"$packer" "$app" "$out/app" --runtime "$runtime" >"$out/pack.log" 2>&1 ||
  { echo "FAIL: packing: $(cat "$out/pack.log")" >&2; exit 1; }

TESSEL_TRACE=1 "$out/app" >"$out/run.log" 2>&1 &
pid=$!
E2E_CHILDREN="$pid"
win=
found() {
  win=$(app_window "$pid") && grep -q '^tessel: navigation completed' "$out/run.log"
}
if wait_for 60 found; then
  # The property is width, height, then that many pixels, for each icon.
  sizes=$(xprop -len 4000000 -id "$win" -notype 32c _NET_WM_ICON 2>/dev/null | sed 's/^[^=]*= //' |
    tr -d ' ' | tr ',' '\n' |
    awk 'skip > 0 { skip--; next } w == "" { w = $1; next } { printf "%sx%s ", w, $1; skip = w * $1; w = "" }')
  want='256x256 48x48 32x32 16x16 '
  [[ $sizes == "$want" ]] || fail "_NET_WM_ICON holds '$sizes', wanted '$want'"
  class=$(xprop -id "$win" WM_CLASS 2>/dev/null)
  [[ $class == 'WM_CLASS(STRING) = "com.tessel.e2e.icon", "com.tessel.e2e.icon"' ]] ||
    fail "window class: $class"
  wmctrl -i -c "$win" 2>/dev/null
  wait_exit "$pid" 20
  [[ $code == 0 ]] || { fail "exit code $code after closing"; kill "$pid" 2>/dev/null; }
else
  fail "no window; log: $(cat "$out/run.log")"
  kill "$pid" 2>/dev/null
fi

[[ $fails == 0 ]] && echo "app icon e2e: all passed"
exit $((fails > 0))
