#!/bin/bash
# The program's windows at 96, 144 and 192 DPI under Wine: the prefix's
# LogPixels is set for each run, and the main window (size keys and a limit),
# its web view's area, the password prompt with its edit box and the
# installer splash are read back in device pixels by a probe of our own. Every size must be its 96-DPI
# value scaled by DPI / 96.
# Usage: dpi_e2e.sh RUNTIME PACKER PROBE OUT_DIR EMULATOR
# The Wine prefix is shared with the other runs: its DPI is put back as it
# was when the script ends, and first, should a run before it have been
# killed before it could.
set -uo pipefail
runtime=$1
packer=$2
probe=$3
out=$4
emu=$5
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../e2e/lib.sh
. "$here/../e2e/lib.sh"
require_x_tools
[[ -n ${WINEPREFIX:-} ]] || { echo "SKIP: no Wine prefix (run through wine_e2e.sh)"; exit 77; }
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
fails=0
fail() {
  echo "FAIL: $*" >&2
  fails=$((fails + 1))
}
export LC_ALL=C.UTF-8 LANG=C.UTF-8
winpath() { echo "Z:${1//\//\\}"; }

# --- the prefix's DPI ------------------------------------------------------------
# Wine reads HKCU\Control Panel\Desktop LogPixels first (then the hardware
# profile's Software\Fonts key), once per wineserver.
key='HKCU\Control Panel\Desktop'
saved_file=$WINEPREFIX/.tessel-dpi-e2e-saved
read_dpi() {
  $emu reg query "$key" /v LogPixels 2>/dev/null | awk '$1 == "LogPixels" { print $3 }'
}
# $1: a DWORD value, or empty to remove the value.
write_dpi() {
  if [[ -n $1 ]]; then
    $emu reg add "$key" /v LogPixels /t REG_DWORD /d "$(($1))" /f >/dev/null 2>&1
  else
    $emu reg delete "$key" /v LogPixels /f >/dev/null 2>&1
  fi
  # The running wineserver writes the registry out as it ends, and the
  # next one reads the new value.
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
}
restore_dpi() {
  [[ -f $saved_file ]] || return 0
  write_dpi "$(cat "$saved_file")"
  [[ $(read_dpi) == "$(cat "$saved_file")" ]] && rm -f "$saved_file"
}
restore_dpi
[[ -f $saved_file ]] && { echo "the prefix's DPI left by an earlier run cannot be restored" >&2; exit 1; }
read_dpi >"$saved_file"
start_display "$out/x"
trap 'restore_dpi; stop_display' EXIT
trap 'exit 1' INT TERM HUP

# --- the apps --------------------------------------------------------------------
# Packs app $1 with the settings lines $2.
pack() {
  local dir=$out/$1
  mkdir -p "$dir/webapp"
  printf '[App]\r\nID=com.tessel.e2e.dpi.%s.%s\r\nName=Dpi %s\r\nDirName=webapp\r\n%b' \
    "$1" "$$" "$1" "$2" >"$dir/vtx.ini"
  echo '<!DOCTYPE html><title>dpi</title>' >"$dir/webapp/index.html"
  cp -R "$E2E_APP_FILES/." "$dir/"
  $emu "$packer" "$dir" "$out/$1.exe" --runtime "$runtime" >"$out/$1.pack.log" 2>&1 ||
    { fail "packing $1: $(cat "$out/$1.pack.log")"; return 1; }
}
# A maximum below the width asked for: a limit left in 96-DPI units would
# hold the window at 560 device pixels.
pack main 'Width=600\r\nHeight=400\r\nMaxWidth=560\r\n' || exit 1
pack prompt 'Password=s3Cret\r\n' || exit 1
# Run with no engine: the install question, then the splash under the
# message of the installation that fails (the archive carries no installer).
pack installer '' || exit 1

# `value` at 96 DPI in pixels at `dpi`, rounded to nearest.
scaled() { echo $((($1 * $2 + 48) / 96)); }
# Fails unless $2 is within $4 of $3; $1 names the measure.
near() {
  local d=$(($2 - $3))
  ((d < 0)) && d=$((-d))
  ((d <= $4)) || fail "$1 is $2, wanted $3 (within $4)"
}
# The value of field $1 (name=a,b,...) of probe line $2, split on commas.
field() { sed -n "s/.* $1=\([0-9,]*\).*/\1/p" <<<" $2" | tr , ' '; }

# Answers window $1 with key $2; false when it does not come. A key pressed
# while a busy Wine is still giving the window the focus is lost: pressed
# again until the window goes.
answer() {
  local win
  win=$(find_window "$1" 30) || return 1
  for _ in 1 2 3 4 5; do
    xdotool windowactivate --sync "$win" 2>/dev/null
    xdotool key --clearmodifiers "$2"
    window_gone "$1" 5 && return 0
  done
  return 0
}

# --- the runs --------------------------------------------------------------------
base_glyph=
for dpi in 96 144 192; do
  write_dpi "$dpi"
  echo "--- $dpi dpi"

  # The main window: the stand-in engine loads the page, logs the window,
  # and closes it through the close handshake once the probe has read it.
  log=$out/main-$dpi.log
  done_file=$out/main-$dpi.done
  printf 'page file:///index.html\nwindow\nwait-file %s\nclose\n' "$(winpath "$done_file")" \
    >"$out/scenario-$dpi.txt"
  TESSEL_STANDIN_SCENARIO=$(winpath "$out/scenario-$dpi.txt") TESSEL_STANDIN_LOG=$(winpath "$log") \
    $emu "$out/main.exe" >"$out/main-$dpi.out" 2>&1 &
  pid=$!
  E2E_CHILDREN=$pid
  if wait_for 60 grep -q ' window title=' "$log" 2>/dev/null; then
    line=$($emu "$probe" TesselMainWindow 2>/dev/null)
    echo "main: $line"
    [[ $(field dpi "$line") == "$dpi" ]] || fail "$dpi: the window's DPI is '$(field dpi "$line")'"
    read -r w h <<<"$(field window "$line")"
    near "$dpi: main window width" "${w:-0}" "$(scaled 560 "$dpi")" 2
    near "$dpi: main window height" "${h:-0}" "$(scaled 400 "$dpi")" 2
    # The web view fills the client area, in device pixels: the engine
    # scales the page to the monitor itself.
    [[ -n $(field content "$line") && $(field content "$line") == $(field client "$line") ]] ||
      fail "$dpi: the web view's area is not the client area: $line"
  else
    fail "$dpi: the main window's page did not load; $(cat "$out/main-$dpi.out")"
  fi
  touch "$done_file"
  wait_exit "$pid" 30
  [[ $code == 0 ]] || { fail "$dpi: main window: exit code $code"; kill "$pid" 2>/dev/null; }
  grep -qx '[0-9]* leaks objects=0 strings=0' "$log" 2>/dev/null ||
    fail "$dpi: engine: $(grep ' leak' "$log" 2>/dev/null)"

  # The password prompt: its client area and edit box from the system, the
  # client area also from the X side, and its font by the width of a
  # character, which grows with the DPI.
  $emu "$out/prompt.exe" >"$out/prompt-$dpi.out" 2>&1 &
  pid=$!
  E2E_CHILDREN=$pid
  if line=$($emu "$probe" TesselRequirePasswordForm 2>/dev/null); then
    echo "prompt: $line"
    [[ $(field dpi "$line") == "$dpi" ]] || fail "$dpi: the prompt's DPI is '$(field dpi "$line")'"
    read -r w h <<<"$(field client "$line")"
    near "$dpi: prompt client width" "${w:-0}" "$(scaled 308 "$dpi")" 1
    near "$dpi: prompt client height" "${h:-0}" "$(scaled 71 "$dpi")" 1
    read -r x y w h <<<"$(field edit "$line")"
    near "$dpi: edit box left" "${x:-0}" "$(scaled 24 "$dpi")" 1
    near "$dpi: edit box top" "${y:-0}" "$(scaled 24 "$dpi")" 1
    near "$dpi: edit box width" "${w:-0}" "$(scaled 257 "$dpi")" 1
    near "$dpi: edit box height" "${h:-0}" "$(scaled 21 "$dpi")" 1
    glyph=$(field glyph "$line")
    if [[ -z $base_glyph ]]; then
      base_glyph=${glyph:-0}
      ((base_glyph > 0)) || fail "$dpi: no character width read: $line"
    else
      near "$dpi: character width" "${glyph:-0}" "$(scaled "$base_glyph" "$dpi")" 2
    fi
    if prompt=$(find_window "Dpi prompt" 10); then
      geometry=$(xdotool getwindowgeometry "$prompt" | sed -n 's/.*Geometry: //p')
      [[ $geometry == "$(field client "$line" | tr ' ' x)" ]] ||
        fail "$dpi: the prompt's X window is $geometry"
    else
      fail "$dpi: no X window titled 'Dpi prompt'"
    fi
    ensure_wm
    wmctrl -c "Dpi prompt"
    wait_exit "$pid" 20
    [[ $code == 0 ]] || { fail "$dpi: prompt: exit code $code"; kill "$pid" 2>/dev/null; }
  else
    fail "$dpi: no prompt; $(cat "$out/prompt-$dpi.out")"
    kill "$pid" 2>/dev/null
  fi

  # The installer splash, 80 by 80 at 96 DPI.
  TESSEL_STANDIN_NO_ENGINE=1 $emu "$out/installer.exe" >"$out/installer-$dpi.out" 2>&1 &
  pid=$!
  E2E_CHILDREN=$pid
  if answer Confirm Return && find_window Error 30 >/dev/null; then
    line=$($emu "$probe" TesselEdgeInstallerForm 2>/dev/null)
    echo "splash: $line"
    read -r w h <<<"$(field window "$line")"
    near "$dpi: splash width" "${w:-0}" "$(scaled 80 "$dpi")" 1
    near "$dpi: splash height" "${h:-0}" "$(scaled 80 "$dpi")" 1
    answer Error Return
    wait_exit "$pid" 20
    [[ $code == 0 ]] || { fail "$dpi: installer: exit code $code"; kill "$pid" 2>/dev/null; }
  else
    fail "$dpi: no install question or no message after it: $(visible_titles)"
    kill "$pid" 2>/dev/null
  fi
  E2E_CHILDREN=
done

((fails)) && { echo "$fails check(s) failed; logs in $out" >&2; exit 1; }
echo "dpi e2e passed"
