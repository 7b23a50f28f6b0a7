#!/bin/bash
# A packed Linux app is self-contained: copied alone into an empty folder
# outside the checkout, it finds its engine module in its own archive (the
# runtime has no path of the build tree compiled in) and shows its page.
# Usage: standalone_e2e.sh RUNTIME PACKER OUT_DIR
set -uo pipefail
runtime=$1
packer=$2
out=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"
require_x_tools
rm -rf "$out"
mkdir -p "$out/src/webapp"
out=$(cd "$out" && pwd)
build_dir=$(cd "$(dirname "$runtime")/.." && pwd)

printf '[App]\r\nID=com.tessel.e2e.standalone\r\nName=Standalone\r\nDirName=webapp\r\n' \
  >"$out/src/vtx.ini"
echo '<!doctype html><title>Standalone</title><p>standalone</p>' >"$out/src/webapp/index.html"
"$packer" "$out/src" "$out/packed" --runtime "$runtime" >"$out/pack.log" 2>&1 ||
  { echo "FAIL: packing: $(cat "$out/pack.log")" >&2; exit 1; }
grep -q '^libtessel-engine-webkit.so ' <("$packer" --list "$out/packed") ||
  { echo "FAIL: the archive carries no engine module" >&2; exit 1; }
# Sanitizer and debug builds keep their debug information, and with it the
# source paths; only the stripped runtime that users get must name no path.
if readelf -S "$runtime" 2>/dev/null | grep -qF .debug_info; then
  echo "unstripped test build: the build-tree path check does not apply"
elif grep -qF "$build_dir" "$out/packed"; then
  echo "FAIL: the packed app names the build tree $build_dir" >&2
  exit 1
fi

# Only the app, in a folder of its own below a fresh temporary folder.
alone=$(mktemp -d /tmp/tessel-standalone-XXXXXX)
trap 'rm -rf "$alone"; stop_display' EXIT
mkdir "$alone/app"
cp "$out/packed" "$alone/app/standalone"
start_display "$out/x"
trap 'rm -rf "$alone"; stop_display' EXIT
export HOME=$alone/home XDG_DATA_HOME=$alone/data
mkdir -p "$HOME"
shot=$out/page.png
(cd "$alone/app" &&
  TESSEL_TRACE=1 TESSEL_SCREENSHOT=$shot timeout 120 ./standalone >"$out/run.log" 2>&1)
code=$?
if [[ $code != 0 || ! -s $shot ]]; then
  echo "FAIL: the copied app did not show its page (exit code $code):" >&2
  cat "$out/run.log" >&2
  exit 1
fi
grep -q 'served .*index.html' "$out/run.log" ||
  { echo "FAIL: the start page was not served" >&2; cat "$out/run.log" >&2; exit 1; }
echo "ok: the copied app showed its page"
