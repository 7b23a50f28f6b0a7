#!/bin/bash
# Runs the real runtime binary through its start-up paths under Xvfb, on Linux
# natively or, for the Windows build, under Wine.
# Usage: startup_e2e.sh RUNTIME PACKER OUT_DIR [EMULATOR]
# EMULATOR (e.g. scripts/wine-run) runs RUNTIME and PACKER when given.
# Environment:
#   E2E_APP_FILES  a folder whose files every packed app carries beside its
#                  settings (e.g. a stand-in engine loader library)
#   E2E_NO_PAGE    set when the apps' engine shows no page: then no page
#                  agrees to a close request, so the main windows must stay
#                  open under one and are ended with a signal instead
set -uo pipefail
runtime=$1
packer=$2
out=$3
emu=${4:-}
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
# Background runs use $emu directly, so that $! is the program itself and
# not a subshell that a kill would not reach past.
run() { $emu "$@"; }

start_display "$out/x"

# Packs an app called $1 with settings text $2.
pack() {
  local dir=$out/$1
  mkdir -p "$dir/webapp"
  printf '%b' "$2" >"$dir/vtx.ini"
  echo '<!doctype html><title>e2e</title><p>e2e</p>' >"$dir/webapp/index.html"
  [[ -n ${E2E_APP_FILES:-} ]] && cp -R "$E2E_APP_FILES/." "$dir/"
  run "$packer" "$dir" "$out/$1.exe" --runtime "$runtime" >"$out/$1.pack.log" 2>&1 ||
    { fail "packing $1: $(cat "$out/$1.pack.log")"; return 1; }
}

# 1. No attached data: message 5 in the user's language (French here: the
#    error title is "Erreur"), answered with Enter, then exit code 0.
cp "$runtime" "$out/bare.exe"
LC_ALL=fr_FR.UTF-8 LANG=fr_FR.UTF-8 $emu "$out/bare.exe" >"$out/bare.log" 2>&1 &
pid=$!
E2E_CHILDREN=$pid
if win=$(find_window "Erreur" 30); then
  xdotool windowactivate --sync "$win" 2>/dev/null
  xdotool key --clearmodifiers Return
  wait_exit "$pid"
  [[ $code == 0 ]] || fail "no archive: exit code $code"
else
  fail "no archive: no dialog titled Erreur; log: $(cat "$out/bare.log")"
  kill "$pid" 2>/dev/null
fi

# 2. Settings without Name: no window at all, exit code 0. The packer refuses
#    such settings, so the archive is made with zip.
mkdir -p "$out/noname"
printf '[App]\r\nID=com.tessel.e2e.noname\r\nDirName=webapp\r\n' >"$out/noname/vtx.ini"
(cd "$out/noname" && zip -q -0 -P t7mxqa2wz5hyv1cpelk8fgu6rjsb4n0d3t9q ../noname.zip vtx.ini)
cat "$runtime" "$out/noname.zip" >"$out/noname.exe"
chmod +x "$out/noname.exe"
timeout 60 $emu "$out/noname.exe" >"$out/noname.log" 2>&1
code=$?
[[ $code == 0 ]] || fail "no Name: exit code $code"

# 3. A second instance while one runs: exit code 0 without a window.
# The instance lock is machine-wide: an ID of this run's own keeps parallel
# runs (other build trees) from taking each other for a running instance.
app_id=com.tessel.e2e.app.$$
pack app "[App]\r\nID=$app_id\r\nName=E2E App\r\nDirName=webapp\r\n"
$emu "$out/app.exe" >"$out/first.log" 2>&1 &
first=$!
E2E_CHILDREN="$first"
if find_window "E2E App" 30 >/dev/null; then
  # Watched while it runs: a window it showed would be gone once it ends. A
  # single search can miss a window while the engine makes and drops its own,
  # so only a second one counts.
  $emu "$out/app.exe" >"$out/second.log" 2>&1 &
  second=$!
  E2E_CHILDREN="$first $second"
  most=0
  for _ in $(seq 600); do
    kill -0 "$second" 2>/dev/null || break
    seen=$(windows_named "E2E App" | wc -l)
    ((seen > most)) && most=$seen
    sleep 0.1
  done
  wait_exit "$second" 1
  [[ $code == 0 ]] || fail "second instance: exit code $code"
  ((most < 2)) || fail "second instance showed a window ($most windows titled E2E App)"

  # 4. The relaunch command line typed by hand is a start like any other: the
  #    lock ends it quietly. Only an instance its starter handed the relaunch
  #    token runs beside the first (prompt_e2e, window_e2e, webview2_e2e).
  $emu "$out/app.exe" "$app_id" "file:///index.html" >"$out/relaunch.log" 2>&1 &
  relaunch=$!
  E2E_CHILDREN="$first $relaunch"
  most=0
  for _ in $(seq 600); do
    kill -0 "$relaunch" 2>/dev/null || break
    seen=$(windows_named "E2E App" | wc -l)
    ((seen > most)) && most=$seen
    sleep 0.1
  done
  wait_exit "$relaunch" 1
  [[ $code == 0 ]] || fail "relaunch command line by hand: exit code $code (124: still running)"
  ((most < 2)) || fail "relaunch command line by hand passed the lock ($most windows)"
  E2E_CHILDREN="$first"
  if [[ -n ${E2E_NO_PAGE:-} ]]; then
    for win in $(windows_named "E2E App"); do wmctrl -i -c "$win"; done
    sleep 2
    [[ $(windows_named "E2E App" | wc -l) == 1 ]] || fail "a window closed without the page's consent"
    kill "$first" 2>/dev/null
    wait "$first" 2>/dev/null
  else
    # Asked again until it has ended: a page that has not loaded yet cannot
    # answer the close query (under Wine on a busy machine that takes long).
    for _ in $(seq 120); do
      kill -0 "$first" 2>/dev/null || break
      for win in $(windows_named "E2E App"); do wmctrl -i -c "$win"; done
      sleep 0.5
    done
    wait_exit "$first"
    [[ $code == 0 ]] || fail "first instance: exit code $code after closing"
  fi
else
  fail "first instance: no window; log: $(cat "$out/first.log")"
fi

[[ $fails == 0 ]] && echo "startup e2e: all passed"
exit $((fails > 0))
