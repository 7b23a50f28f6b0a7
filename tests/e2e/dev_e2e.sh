#!/bin/bash
# Runs an app folder live (the runtime with --app-folder) under Xvfb: the
# first page, a reload after an edit, one reload for a burst of writes, the
# reload key, and addresses written as pages write them (a query, a %20, a
# fragment). Natively on Linux, or for the Windows build under Wine with the
# stand-in engine, which runs no script: there the window's caption (the
# page's title) and the trace tell what loaded.
# Usage: dev_e2e.sh RUNTIME OUT_DIR [EMULATOR]
# Environment: E2E_APP_FILES  files the app folder carries (the stand-in
#                             engine's loader under Wine)
#              E2E_TESSEL     the tessel command: then also `tessel new x`
#                             and `tessel dev x`, and an edit of the page
set -uo pipefail
runtime=$1
out=$2
emu=${3:-}
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
scripted=true
[[ -n $emu ]] && scripted=false

start_display "$out/x"

app=$out/app
marker=$out/marker.txt
mkdir -p "$app/webapp/css"
[[ -n ${E2E_APP_FILES:-} ]] && cp "$E2E_APP_FILES"/* "$app/"
cat >"$app/vtx.ini" <<'EOF'
[App]
ID=tessel.dev-e2e
Name=Dev Run
DirName=webapp
DynamicAppTitle=1
EOF
echo 'body { color: rgb(1, 2, 3); }' >"$app/webapp/css/site.css"
echo 'window.spaced = "yes";' >"$app/webapp/my file.js"
# The page reports through the bridge what it is and what reached it.
page() {
  cat <<EOF
<!doctype html>
<html><head><title>Dev $1</title>
<link rel="stylesheet" href="css/site.css?v=2">
<script src="my%20file.js"></script>
</head><body>
<script>
addEventListener("load", () => {
  const color = getComputedStyle(document.body).color;
  vtx.files.writeTextFile({ filePath: "$marker",
    contents: "$1 " + color + " " + (window.spaced || "no") + " " + location.hash });
  $2
});
</script>
</body></html>
EOF
}
# Puts page $1 (with script $2) in place as $3 in one step: an editor's
# save that wrote in two steps far apart would count as two changes.
put_page() {
  page "$1" "$2" >"$out/page.tmp"
  mv "$out/page.tmp" "$app/webapp/$3"
  wine_sees_it
}
page v1 "" >"$app/webapp/index.html"
page other "" >"$app/webapp/other.html"

# Wine's ReadDirectoryChangesW reports changes of the top folder only, not
# of the folders below it (Windows reports the whole tree): under Wine an
# edit below is followed by a touch of a file at the top.
wine_sees_it() {
  [[ -n $emu ]] && echo "$RANDOM" >"$app/touched.txt"
  return 0
}

# The trace's count of completed page loads.
loads() { grep -c "navigation completed ok" "$out/run.err" 2>/dev/null; }
loads_reach() { (($(loads) >= $1)); }
marker_is() { [[ $(tr -d '\r\357\273\277' <"$marker" 2>/dev/null) == "$1" ]]; }
# Waits for the page $1's load: its title, and on Linux its marker $2.
loaded() {
  local title="Dev $1"
  if ! find_window "$title" 60 >/dev/null; then
    fail "$1: no window titled '$title' (visible: $(visible_titles))"
    return 1
  fi
  if $scripted && ! wait_for 20 marker_is "$2"; then
    fail "$1: marker '$(cat "$marker" 2>/dev/null)', expected '$2'"
    return 1
  fi
}

$emu "$runtime" --app-folder "$app" >"$out/run.out" 2>"$out/run.err" &
pid=$!
E2E_CHILDREN=$pid
loaded v1 "v1 rgb(1, 2, 3) yes "
grep -q "served archive .*css.site.css" "$out/run.err" || fail "css/site.css?v=2 not served"
grep -q "served archive .*my file.js" "$out/run.err" || fail "my%20file.js not served"

# An edit shows through a reload, with no other step.
put_page v2 "" index.html
loaded v2 "v2 rgb(1, 2, 3) yes "

# Ten writes in a burst make one reload.
wait_for 10 loads_reach 2 || fail "no load counted after the edit: $(loads)"
before=$(loads)
for i in $(seq 10); do
  echo "$i" >>"$app/notes.txt"
done
wait_for 10 loads_reach $((before + 1)) || fail "the burst made no reload"

# The next edit's reload is the only other one: a second reload of the burst
# would show here as one too many.
put_page v4 "" index.html
loaded v4 "v4 rgb(1, 2, 3) yes "
wait_for 10 loads_reach $((before + 2)) || fail "the edit after the burst made no reload"
[[ $(loads) -eq $((before + 2)) ]] || fail "burst and edit: $(($(loads) - before)) reloads, expected 2"

if $scripted; then
  # The reload keys (the stand-in engine takes no keys from the display).
  # A press before the page has the focus is lost, so it is pressed again.
  press_reloads() {
    local win attempt first
    win=$(find_window "Dev v4" 10)
    first=$(loads)
    for attempt in 1 2 3; do
      xdotool windowactivate --sync "$win" 2>/dev/null
      xdotool mousemove --window "$win" 400 300 click 1
      xdotool key --clearmodifiers "$1"
      wait_for 3 loads_reach $((first + 1)) && return 0
    done
    return 1
  }
  press_reloads F5 || fail "F5 made no reload"
  press_reloads ctrl+r || fail "Ctrl+R made no reload"

  # A link with a fragment opens its page.
  put_page v3 'if (!sessionStorage.went) { sessionStorage.went = 1; location.href = "other.html#part2"; }' \
    index.html
  loaded other "other rgb(1, 2, 3) yes #part2"

  # Page dialogs carry the app's name, not the engine's "JavaScript - <address>".
  put_page other 'alert("hello");' other.html
  dialog_named() {
    local w
    for w in $(windows_named "Dev Run"); do
      xprop -id "$w" WM_TRANSIENT_FOR 2>/dev/null | grep -q 'window id' && { echo "$w"; return 0; }
    done
    return 1
  }
  if wait_for 30 dialog_named >/dev/null; then
    dialog=$(dialog_named)
    xdotool windowactivate --sync "$dialog" 2>/dev/null
    xdotool key --clearmodifiers Return
    window_gone "Dev Run" 10 || true
  else
    fail "no page dialog titled 'Dev Run' (visible: $(visible_titles))"
  fi
fi

# A settings change that takes a new window is named.
sed -i 's/^DynamicAppTitle=1$/DynamicAppTitle=1\nWidth=900/' "$app/vtx.ini"
wait_for 10 grep -q "vtx.ini changed Width" "$out/run.err" || fail "the Width change was not named"

# Ended on purpose: under Wine it writes no leak report (see wine_e2e.sh).
kill "$pid" 2>/dev/null && echo "dev run" >>"${STANDIN_KILLED:-/dev/null}"
wait "$pid" 2>/dev/null
E2E_CHILDREN=

# Not an app folder: one line, exit 1.
mkdir -p "$out/empty"
$emu "$runtime" --app-folder "$out/empty" >"$out/empty.out" 2>"$out/empty.err"
code=$?
[[ $code == 1 ]] || fail "a folder without vtx.ini: exit code $code"
grep -q "is not an app folder" "$out/empty.err" || fail "no line for a folder without vtx.ini"

# The author's first minutes: a new folder, run live, its page edited.
if [[ -n ${E2E_TESSEL:-} ]]; then
  (cd "$out" && $emu "$E2E_TESSEL" new first >"$out/new.out" 2>&1) || fail "tessel new: $(cat "$out/new.out")"
  (cd "$out" && exec $emu "$E2E_TESSEL" dev first >"$out/first.out" 2>"$out/first.err") &
  pid=$!
  E2E_CHILDREN=$pid
  first_loaded() { grep -q "navigation completed ok" "$out/first.err"; }
  wait_for 60 first_loaded || fail "tessel dev: no page ($(tail -3 "$out/first.err"))"
  sed -i 's|</body>|<script>console.log("edited by the author")</script></body>|' \
    "$out/first/webapp/index.html"
  wait_for 20 grep -q "edited by the author" "$out/first.err" || fail "tessel dev: the edit did not show"
  # The runtime tessel started, ended on purpose.
  pkill -P "$pid" 2>/dev/null && echo "tessel dev" >>"${STANDIN_KILLED:-/dev/null}"
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  E2E_CHILDREN=
fi

if ((fails > 0)); then
  echo "$fails check(s) failed; logs in $out" >&2
  exit 1
fi
echo "all dev checks passed"
