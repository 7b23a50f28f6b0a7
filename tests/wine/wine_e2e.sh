#!/bin/bash
# Runs one end-to-end script against the Windows build under Wine, in a Wine
# prefix of the end-to-end runs only: the unit tests share the build tree's
# prefix and run beside these, and a prefix's Wine services are bound to the
# display of the run that started them, so the runs take turns (CTest
# resource lock) and each one ends every Wine process of this prefix.
# Usage: wine_e2e.sh PREFIX SCRIPT ARGS...
# The script gets scripts/wine-run as its emulator through WINEPREFIX.
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

# Whatever a previous run left: its processes, and the apps' data folders
# (a loader library found there would be used as it is).
wineserver -k 2>/dev/null
rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/Local/com.tessel.e2e.*
trap 'wineserver -k 2>/dev/null' EXIT

# Creating the prefix takes seconds; it must not eat into the scripts' waits
# for windows. Then every Wine process of the warm-up ends, so that the
# services start afresh on the script's display.
start=$SECONDS
env -u DISPLAY "$wine_run" cmd /c exit >/dev/null 2>&1 || { echo "Wine does not start" >&2; exit 1; }
wineserver -w
echo "wine ready in $((SECONDS - start)) s"

"$@"
