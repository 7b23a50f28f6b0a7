#!/bin/bash
# The password prompt and the visual styles of the real runtime under Xvfb:
# the prompt is typed with xdotool key by key, closed with the window
# manager's close request, and photographed under two styles.
# Usage: prompt_e2e.sh RUNTIME PACKER OUT_DIR [EMULATOR]
# EMULATOR (e.g. scripts/wine-run) runs RUNTIME and PACKER when given; the
# run without a display is then left out (Wine needs one).
# Environment, as for startup_e2e.sh: E2E_APP_FILES, E2E_NO_PAGE; and
#   E2E_NO_STYLE_LOOKS  set when the UI gives the styles no look of their
#                       own yet: the Carbon picture is then not compared
set -uo pipefail
runtime=$1
packer=$2
out=$3
emu=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"
require_x_tools
command -v import >/dev/null && command -v convert >/dev/null ||
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
# Background runs use $emu directly, so that $! is the program itself and
# not a subshell that a kill would not reach past.
run() { $emu "$@"; }

start_display "$out/x"

# Packs an app called $1 with settings text $2.
pack() {
  local dir=$out/$1
  mkdir -p "$dir/webapp"
  printf '%b' "$2" >"$dir/vtx.ini"
  echo '<!doctype html><title>e2e</title><p>prompt e2e</p>' >"$dir/webapp/index.html"
  [[ -n ${E2E_APP_FILES:-} ]] && cp -R "$E2E_APP_FILES/." "$dir/"
  run "$packer" "$dir" "$out/$1.exe" --runtime "$runtime" >"$out/$1.pack.log" 2>&1 ||
    { fail "packing $1: $(cat "$out/$1.pack.log")"; return 1; }
}

# The ids of the visible windows titled $1 whose width is $2 (prompt: 308)
# or, with $3 = wider, wider than that.
windows_sized() {
  local id w
  for id in $(windows_named "$1"); do
    w=$(xdotool getwindowgeometry "$id" 2>/dev/null | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p')
    [[ -z $w ]] && continue
    if [[ ${3:-} == wider ]]; then ((w > $2)) && echo "$id"; else ((w == $2)) && echo "$id"; fi
  done
}

# Waits up to $2 s for a window titled $1 of width $3 (or wider, $4) and
# prints its id.
wait_sized() {
  local ids
  for _ in $(seq $(($2 * 10))); do
    ids=$(windows_sized "$1" "$3" "${4:-}")
    [[ -n $ids ]] && { head -1 <<<"$ids"; return 0; }
    sleep 0.1
  done
  return 1
}

# Types $1 into window $2 one key at a time, each key pressed and released.
type_keys() {
  xdotool windowactivate --sync "$2" 2>/dev/null
  xdotool type --delay 60 --clearmodifiers "$1"
}

# Mean brightness (0..1) of a picture.
brightness() { convert "$1" -colorspace Gray -format '%[fx:mean]' info:; }

# An ID of this run's own: the instance lock is machine-wide.
ini="[App]\r\nID=com.tessel.e2e.prompt.$$\r\nName=Prompt App\r\nDirName=webapp\r\nPassword=s3Cret\r\n"
pack prompt "$ini" || exit 1
pack carbon "${ini}Theme=Carbon\r\n" || exit 1
pack misspelt "${ini}Theme=Carbonn\r\n" || exit 1

# 1. The prompt titled Name, 308x71; a password in the wrong case and a
#    longer text leave it open; the password typed key by key closes it and
#    the main window follows.
$emu "$out/prompt.exe" >"$out/prompt.log" 2>&1 &
pid=$!
E2E_CHILDREN=$pid
if prompt=$(wait_sized "Prompt App" 30 308); then
  geometry=$(xdotool getwindowgeometry "$prompt" | sed -n 's/.*Geometry: //p')
  [[ $geometry == 308x71 ]] || fail "prompt: client area $geometry"
  sleep 0.5
  import -window "$prompt" "$out/prompt-windows.png"
  type_keys "s3cret" "$prompt"
  sleep 1
  [[ -n $(windows_sized "Prompt App" 308) ]] || fail "prompt: closed on the wrong case"
  # "s3Cret!" built without passing through "s3Cret": the extra character
  # first, then the missing letter before it.
  xdotool key --clearmodifiers ctrl+a BackSpace
  type_keys 's3Cre!' "$prompt"
  xdotool key --clearmodifiers Left
  type_keys "t" "$prompt"
  sleep 1
  [[ -n $(windows_sized "Prompt App" 308) ]] || fail "prompt: closed on a longer text"
  # Deleting the extra character is the key release that makes the text equal.
  xdotool key --clearmodifiers End BackSpace
  if wait_sized "Prompt App" 60 308 wider >/dev/null; then
    [[ -z $(windows_sized "Prompt App" 308) ]] || fail "prompt: still open beside the main window"
  else
    fail "password: no main window; log: $(cat "$out/prompt.log")"
  fi
  wmctrl -c "Prompt App" 2>/dev/null
  wait_exit "$pid" "$([[ -n ${E2E_NO_PAGE:-} ]] && echo 1 || echo 30)"
  [[ $code == 124 ]] && kill "$pid" 2>/dev/null
else
  fail "no prompt titled 'Prompt App'; log: $(cat "$out/prompt.log")"
  kill "$pid" 2>/dev/null
fi

# 2. The close box ends the process with exit code 0 and no main window.
$emu "$out/prompt.exe" >"$out/close.log" 2>&1 &
pid=$!
E2E_CHILDREN=$pid
if prompt=$(wait_sized "Prompt App" 30 308); then
  type_keys "s3C" "$prompt"
  # Enter and Escape do nothing: the prompt has no default or cancel button.
  xdotool key --clearmodifiers Return Escape
  sleep 0.5
  [[ -n $(windows_sized "Prompt App" 308) ]] || fail "prompt: Enter or Escape closed it"
  wmctrl -c "Prompt App"
  wait_exit "$pid" 20
  [[ $code == 0 ]] || fail "close box: exit code $code"
  [[ -z $(windows_named "Prompt App") ]] || fail "close box: a window is left"
else
  fail "close box: no prompt"
  kill "$pid" 2>/dev/null
fi

# 3. Theme=Carbon: the prompt is dark where the platform's look is light.
$emu "$out/carbon.exe" >"$out/carbon.log" 2>&1 &
pid=$!
E2E_CHILDREN=$pid
if prompt=$(wait_sized "Prompt App" 30 308); then
  sleep 0.5
  import -window "$prompt" "$out/prompt-carbon.png"
  light=$(brightness "$out/prompt-windows.png")
  dark=$(brightness "$out/prompt-carbon.png")
  echo "prompt brightness: Windows $light, Carbon $dark"
  if [[ -n ${E2E_NO_STYLE_LOOKS:-} ]]; then
    echo "SKIP: the styles have no look of their own here"
  else
    awk -v l="$light" -v d="$dark" 'BEGIN { exit !(l > 0.6 && d < 0.3) }' ||
      fail "Carbon does not change the prompt's look (Windows $light, Carbon $dark)"
  fi
  wmctrl -c "Prompt App"
  wait_exit "$pid" 20
  [[ $code == 0 ]] || fail "carbon: exit code $code"
else
  fail "carbon: no prompt; log: $(cat "$out/carbon.log")"
  kill "$pid" 2>/dev/null
fi

# 4. A misspelt theme: "Style 'Carbonn' not found" in an error box, then the
#    prompt in the platform's look. Without a display the message goes to
#    stderr, which shows its text.
if [[ -z $emu ]]; then
  env -u DISPLAY timeout 30 "$out/misspelt.exe" >"$out/misspelt-nodisplay.log" 2>&1
  code=$?
  [[ $code == 0 ]] || fail "misspelt theme without a display: exit code $code"
  grep -q "^Error: Style 'Carbonn' not found$" "$out/misspelt-nodisplay.log" ||
    fail "misspelt theme: message was '$(cat "$out/misspelt-nodisplay.log")'"
fi
$emu "$out/misspelt.exe" >"$out/misspelt.log" 2>&1 &
pid=$!
E2E_CHILDREN=$pid
if box=$(find_window "Error" 30); then
  xdotool windowactivate --sync "$box" 2>/dev/null
  xdotool key --clearmodifiers Return
  if prompt=$(wait_sized "Prompt App" 30 308); then
    sleep 0.5
    import -window "$prompt" "$out/prompt-misspelt.png"
    b=$(brightness "$out/prompt-misspelt.png")
    awk -v b="$b" 'BEGIN { exit !(b > 0.6) }' || fail "misspelt theme: prompt not in the platform look ($b)"
    wmctrl -c "Prompt App"
  else
    fail "misspelt theme: no prompt after the message"
  fi
  wait_exit "$pid" 20
  [[ $code == 0 ]] || fail "misspelt theme: exit code $code"
else
  fail "misspelt theme: no error box; log: $(cat "$out/misspelt.log")"
  kill "$pid" 2>/dev/null
fi

# 5. The relaunch command line typed by hand is no relaunch: the ID is in
#    every archive, so the prompt still asks, and closing it ends the process
#    with no main window.
$emu "$out/prompt.exe" "com.tessel.e2e.prompt.$$" "file:///index.html" >"$out/byhand.log" 2>&1 &
pid=$!
E2E_CHILDREN=$pid
if wait_sized "Prompt App" 30 308 >/dev/null; then
  wmctrl -c "Prompt App"
  wait_exit "$pid" 20
  [[ $code == 0 ]] || fail "relaunch command line by hand: exit code $code"
  [[ -z $(windows_named "Prompt App") ]] || fail "relaunch command line by hand: a window is left"
else
  fail "relaunch command line by hand: no prompt; log: $(cat "$out/byhand.log")"
  kill "$pid" 2>/dev/null
fi

# 5b. The same command line with a token left as a starting instance leaves
#     it (a file only the user may read in the app's data folder, the token
#     in the environment): no prompt, and the token's file is consumed.
if [[ -z $emu ]]; then
  token=$(od -An -tx1 -N32 /dev/urandom | tr -d ' \n')
  data_dir=$XDG_DATA_HOME/com.tessel.e2e.prompt.$$
  mkdir -p "$data_dir"
  (umask 077 && printf '%s' "$token" >"$data_dir/relaunch-${token:0:16}.token")
  TESSEL_RELAUNCH_TOKEN=$token $emu "$out/prompt.exe" "com.tessel.e2e.prompt.$$" \
    "file:///index.html" >"$out/withtoken.log" 2>&1 &
  pid=$!
  E2E_CHILDREN=$pid
  if wait_sized "Prompt App" 60 308 wider >/dev/null; then
    [[ -z $(windows_sized "Prompt App" 308) ]] || fail "relaunch with its token: asked"
    [[ -e $data_dir/relaunch-${token:0:16}.token ]] && fail "relaunch with its token: not consumed"
    for _ in $(seq 40); do
      kill -0 "$pid" 2>/dev/null || break
      wmctrl -c "Prompt App" 2>/dev/null
      sleep 0.5
    done
    wait_exit "$pid" 20
    [[ $code == 0 ]] || fail "relaunch with its token: exit code $code after closing"
  else
    fail "relaunch with its token: no main window; log: $(cat "$out/withtoken.log")"
    kill "$pid" 2>/dev/null
  fi
fi

# 6. A page of the app that opens a window for one of its own pages: the
#    instance that starts for it carries the relaunch token, so it asks no
#    password, passes the lock and shows that page. Under Wine the stand-in
#    engine runs no page script; webview2_e2e plays the request there.
if [[ -z ${E2E_NO_PAGE:-} && -z $emu ]]; then
  mkdir -p "$out/opener/webapp"
  printf '%b' "[App]\r\nID=com.tessel.e2e.opener.$$\r\nName=Opener App\r\nDirName=webapp\r\nPassword=s3Cret\r\nDynamicAppTitle=1\r\n" \
    >"$out/opener/vtx.ini"
  cat >"$out/opener/webapp/index.html" <<'HTML'
<!doctype html><title>the opener</title>
<script>window.addEventListener("load", function () { window.open("other.html"); });</script>
HTML
  echo '<!doctype html><title>opened by relaunch</title>' >"$out/opener/webapp/other.html"
  run "$packer" "$out/opener" "$out/opener.exe" --runtime "$runtime" >"$out/opener.pack.log" 2>&1 ||
    fail "packing opener: $(cat "$out/opener.pack.log")"
  $emu "$out/opener.exe" >"$out/opener.log" 2>&1 &
  pid=$!
  E2E_CHILDREN=$pid
  if prompt=$(wait_sized "Opener App" 30 308); then
    type_keys "s3Cret" "$prompt"
    if other=$(find_window "opened by relaunch" 60); then
      [[ -z $(windows_sized "Opener App" 308) ]] || fail "opener: the relaunched instance asked"
      wmctrl -i -c "$other"
      window_gone "opened by relaunch" 20 || fail "opener: the relaunched window stayed"
    else
      fail "opener: no relaunched window; log: $(cat "$out/opener.log")"
    fi
    for _ in $(seq 40); do
      kill -0 "$pid" 2>/dev/null || break
      wmctrl -c "the opener" 2>/dev/null
      sleep 0.5
    done
    wait_exit "$pid" 20
    [[ $code == 0 ]] || fail "opener: exit code $code after closing"
  else
    fail "opener: no prompt; log: $(cat "$out/opener.log")"
    kill "$pid" 2>/dev/null
  fi
fi

E2E_CHILDREN=
if ((fails)); then
  echo "$fails check(s) failed; pictures and logs in $out" >&2
  exit 1
fi
echo "prompt e2e passed"
