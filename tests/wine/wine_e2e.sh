#!/bin/bash
# Runs one end-to-end script against the Windows build under Wine, in a Wine
# prefix of the end-to-end runs only: the unit tests share the build tree's
# prefix and run beside these, and a prefix's Wine services are bound to the
# display of the run that started them, so the runs take turns (CTest
# resource lock) and each one ends every Wine process of this prefix.
# Usage: wine_e2e.sh PREFIX SCRIPT ARGS...
# The script gets scripts/wine-run as its emulator through WINEPREFIX.
#
# Whatever the script checks, the run fails on what the stand-in engine saw
# in any process of it (its verdict log, tessel-standin.log in the prefix's
# temp folder; see standin_support.h): an error line (a call refused for its
# thread, its apartment or a closed view, a late write to event arguments),
# a leak report that is not all zeros, and a process that used the stand-in
# and never wrote its leak report (it crashed or was killed). A script that
# ends a process of the runtime on purpose says how many in the file named
# by STANDIN_KILLED (one line per process); only that many go unreported.
set -uo pipefail
prefix=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
for tool in wine wineserver; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool missing"; exit 77; }
done
mkdir -p "$prefix"
export WINEPREFIX
WINEPREFIX=$(cd "$prefix" && pwd)
wine_run=$here/../../scripts/wine-run

# Whatever a previous run left: its processes, the apps' data folders
# (a loader library found there would be used as it is) and the verdicts.
wineserver -k 2>/dev/null
rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/Local/com.tessel.e2e.*
verdicts() {
  compgen -G "$WINEPREFIX/drive_c/users/*/Temp/tessel-standin.log"
  compgen -G "$WINEPREFIX/drive_c/users/*/AppData/Local/Temp/tessel-standin.log"
  true
}
verdicts | while read -r file; do rm -f "$file"; done
export STANDIN_KILLED
STANDIN_KILLED=$(mktemp)
trap 'wineserver -k 2>/dev/null; rm -f "$STANDIN_KILLED"' EXIT

# Creating the prefix takes seconds; it must not eat into the scripts' waits
# for windows. Then every Wine process of the warm-up ends, so that the
# services start afresh on the script's display.
start=$SECONDS
env -u DISPLAY "$wine_run" cmd /c exit >/dev/null 2>&1 || { echo "Wine does not start" >&2; exit 1; }
wineserver -w
echo "wine ready in $((SECONDS - start)) s"

"$@"
code=$?
[[ $code == 77 ]] && exit 77

# The reports are written at process exit: what still runs is ended here,
# and a process of the runtime among it counts as unreported.
timeout 60 wineserver -w || echo "Wine processes still running after the script: ended" >&2
wineserver -k 2>/dev/null
killed=$(wc -l <"$STANDIN_KILLED")
if ! verdicts | while read -r file; do cat "$file"; done | awk -v killed="$killed" '
  function bad(text) { print "FAIL: stand-in: " text > "/dev/stderr"; faults++ }
  / error: / { bad($0) }
  $2 == "leaked" { bad($0) }
  $2 == "leaks" { if ($0 !~ / leaks objects=0 strings=0$/) bad($0); open[$1] = 0 }
  $2 == "in-use" { if (open[$1]) unreported++; open[$1] = 1 }
  END {
    for (p in open) if (open[p]) unreported++
    if (unreported > killed) bad(unreported " process(es) ended without a leak report, " killed " killed on purpose")
    exit faults > 0
  }'; then
  code=1
fi
echo "stand-in: $(verdicts | while read -r file; do cat "$file"; done | grep -c ' in-use$') process(es) checked"
exit $code
