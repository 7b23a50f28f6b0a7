#!/bin/bash
# The engine bootstrap of the real runtime under Xvfb. The apps carry an
# engine module that does not load, so the engine counts as missing; a
# stand-in installer "installs" the engine by putting the real module in its
# place.
# Usage: bootstrap_e2e.sh RUNTIME PACKER ENGINE_MODULE OUT_DIR
set -uo pipefail
runtime=$1
packer=$2
engine_module=$3
out=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"
require_x_tools
command -v import >/dev/null && command -v compare >/dev/null ||
  { echo "SKIP: imagemagick missing"; exit 77; }
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

# Packs an app called $1 (ID com.tessel.e2e.$1, Name "Boot $1") with extra
# settings $2 and, when $3 is given, that installer script.
pack() {
  local dir=$out/$1
  mkdir -p "$dir/webapp"
  printf '[App]\r\nID=com.tessel.e2e.%s\r\nName=Boot %s\r\nDirName=webapp\r\n%b' "$1" "$1" "$2" \
    >"$dir/vtx.ini"
  echo '<!doctype html><title>e2e</title><p>bootstrap e2e</p>' >"$dir/webapp/index.html"
  echo "not an engine module" >"$dir/libtessel-engine-webkit.so"
  [[ -n ${3:-} ]] && printf '%s' "$3" >"$dir/tessel-engine-installer"
  "$packer" "$dir" "$out/$1.exe" --runtime "$runtime" >"$out/$1.pack.log" 2>&1 ||
    { fail "packing $1: $(cat "$out/$1.pack.log")"; return 1; }
}

app_data() { echo "$XDG_DATA_HOME/com.tessel.e2e.$1"; }

# Answers the window titled $1 with key $2; false when it does not come.
answer() {
  local win
  win=$(find_window "$1" 30) || return 1
  xdotool windowactivate --sync "$win" 2>/dev/null
  xdotool key --clearmodifiers "$2"
}

# Starts app $1 in the background; sets pid.
start() {
  "$out/$1.exe" >"$out/$1.log" 2>&1 &
  pid=$!
  E2E_CHILDREN=$pid
}

# 1. Engine missing and EdgeInstaller=0: message 6, exit code 0, the app
#    data folder stays.
pack noinstall 'EdgeInstaller=0\r\n' || exit 1
start noinstall
if answer "Error" Return; then
  wait_exit "$pid" 20
  [[ $code == 0 ]] || fail "EdgeInstaller=0: exit code $code"
  [[ -d $(app_data noinstall)/WebView ]] || fail "EdgeInstaller=0: the app data folder is gone"
  [[ -z $(windows_named "Boot noinstall") ]] || fail "EdgeInstaller=0: a window opened"
else
  fail "EdgeInstaller=0: no message; log: $(cat "$out/noinstall.log")"
  kill "$pid" 2>/dev/null
fi

# 2. The question answered with Escape: the app data folder deleted,
#    message 8, exit code 0.
pack declined '' || exit 1
start declined
if answer "Confirm" Escape; then
  if answer "Error" Return; then
    wait_exit "$pid" 20
    [[ $code == 0 ]] || fail "declined: exit code $code"
    [[ ! -e $(app_data declined) ]] || fail "declined: the app data folder is still there"
    [[ -d $XDG_DATA_HOME ]] || fail "declined: the per-user folder went too"
  else
    fail "declined: no message 8"
  fi
else
  fail "declined: no question; log: $(cat "$out/declined.log")"
fi
kill "$pid" 2>/dev/null

if [[ $(id -u) != 0 ]]; then
  # Elsewhere the installer goes through pkexec, which needs an agent.
  echo "SKIP: the installer runs need root (no polkit agent here)"
else
  # 3. Yes: the splash animates while the stand-in installer runs and
  #    cannot be closed; the installer makes the engine loadable, so this
  #    instance starts a fresh one and ends with exit code 0.
  installer="#!/bin/sh
echo \"\$*\" >\"$out/installer.args\"
sleep 3
cp \"$engine_module\" \"$(app_data installs)/WebView/libtessel-engine-webkit.so\"
"
  pack installs '' "$installer" || exit 1
  start installs
  if answer "Confirm" Return; then
    if splash=$(find_window "Boot installs" 10); then
      geometry=$(xdotool getwindowgeometry "$splash" | sed -n 's/.*Geometry: //p')
      [[ $geometry == 80x80 ]] || fail "splash: size $geometry"
      import -window "$splash" "$out/splash-1.png"
      sleep 0.3
      import -window "$splash" "$out/splash-2.png"
      changed=$(compare -metric AE "$out/splash-1.png" "$out/splash-2.png" null: 2>&1)
      [[ ${changed%% *} != 0 ]] || fail "splash: the indicator does not move"
      wmctrl -c "Boot installs"
      sleep 0.5
      [[ -n $(windows_named "Boot installs") ]] || fail "splash: closed on request"
    else
      fail "installs: no splash"
    fi
    wait_exit "$pid" 30
    [[ $code == 0 ]] || fail "installs: exit code $code"
    [[ $(cat "$out/installer.args" 2>/dev/null) == "--silent --install" ]] ||
      fail "installs: installer arguments '$(cat "$out/installer.args" 2>/dev/null)'"
    [[ ! -e $(app_data installs)/tessel-engine-installer ]] ||
      fail "installs: the installer file is still there"
    # The fresh instance: no question, straight to the main window.
    if main=$(find_window "Boot installs" 60); then
      fresh=$(xdotool getwindowpid "$main" 2>/dev/null)
      [[ -n $fresh && $fresh != "$pid" ]] || fail "installs: the main window is not a new process"
      [[ -n $fresh ]] && kill "$fresh" 2>/dev/null
    else
      fail "installs: no fresh instance"
    fi
  else
    fail "installs: no question; log: $(cat "$out/installs.log")"
    kill "$pid" 2>/dev/null
  fi

  # 4. An installer that does not install: message 9 over the splash, the
  #    app data folder deleted, exit code 0.
  pack fails '' "#!/bin/sh
exit 1
" || exit 1
  start fails
  if answer "Confirm" Return; then
    if box=$(find_window "Error" 30); then
      [[ -n $(windows_named "Boot fails") ]] || fail "fails: the splash is gone under message 9"
      xdotool windowactivate --sync "$box" 2>/dev/null
      xdotool key --clearmodifiers Return
      wait_exit "$pid" 20
      [[ $code == 0 ]] || fail "fails: exit code $code"
      [[ ! -e $(app_data fails) ]] || fail "fails: the app data folder is still there"
    else
      fail "fails: no message 9; log: $(cat "$out/fails.log")"
      kill "$pid" 2>/dev/null
    fi
  else
    fail "fails: no question"
    kill "$pid" 2>/dev/null
  fi
fi

E2E_CHILDREN=
if ((fails)); then
  echo "$fails check(s) failed; pictures and logs in $out" >&2
  exit 1
fi
echo "bootstrap e2e passed"
