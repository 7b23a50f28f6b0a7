#!/bin/bash
# Start-up of the Windows runtime under Wine through the WebView2 adapter and
# the stand-in engine: exec -> the first completed navigation of an app of
# 200 files (50 style sheets, 70 scripts, 79 images and the page, about
# 3 MB), every file asked for by the stand-in and served by the runtime from
# the archive. The baseline, alternating in the same run, is a bare Wine
# process (exec -> exit of `cmd /c exit`), so the ratio is what the runtime
# adds over Wine itself. Also the size of the stripped TesselRuntime.exe.
# Figures under Wine are indicative only: the stand-in renders nothing.
# Usage: bench/bench_wine_startup.sh [BUILD_DIR] [ROUNDS]   (build/windows, 7)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build/windows}" && pwd)
rounds=${2:-7}
emu=$PWD/scripts/wine-run
work=$build/bench/wine_startup
rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX=$build/wine-prefix-bench LC_ALL=C.UTF-8
winpath() { echo "Z:${1//\//\\}"; }

# The app: deterministic bytes, the same every run.
python3 - "$work/app" <<'PY'
import os, sys
root = sys.argv[1]
state = 42
def nxt():
    global state
    state = (state * 1103515245 + 12345) & 0xFFFFFFFF
    return (state >> 8) & 0xFFFFFF
def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    open(path, "w").write(text)
write(f"{root}/vtx.ini", "[App]\r\nID=com.tessel.bench.wine\r\nName=Wine bench\r\nDirName=webapp\r\nAllowInstances=1\r\n")
index = ['<!DOCTYPE html><html><head><meta charset="utf-8"><title>bench</title>']
for i in range(50):
    css = "".join(f".c{i}-{r} {{ margin: {nxt() % 40}px; color: #{nxt():06x}; }}\n" for r in range(300))
    write(f"{root}/webapp/css/style{i}.css", css)
    index.append(f'<link rel="stylesheet" href="css/style{i}.css">')
index.append("</head><body>")
for i in range(79):
    rects = "".join(f'<rect x="{nxt() % 64}" y="{nxt() % 64}" width="4" height="4" fill="#{nxt():06x}"/>' for _ in range(250))
    write(f"{root}/webapp/img/picture{i}.svg", f'<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64">{rects}</svg>')
    index.append(f'<img src="img/picture{i}.svg" width="32" height="32">')
for i in range(70):
    table = ",".join(str(nxt()) for _ in range(2200))
    write(f"{root}/webapp/js/script{i}.js", f"(function () {{ var t = [{table}]; window.s{i} = t.length; }})();\n")
    index.append(f'<script src="js/script{i}.js"></script>')
index.append("</body></html>")
write(f"{root}/webapp/index.html", "\n".join(index) + "\n")
PY
cp "$build/tests/wine/app_files/WebView2LoaderWin64.dll" "$work/app/"
"$emu" "$build/bin/tessel-pack.exe" "$work/app" "$work/app.exe" \
  --runtime "$build/bin/TesselRuntime.exe" >/dev/null
files=$(find "$work/app/webapp" -type f | wc -l)
bytes=$(du -sb "$work/app/webapp" | cut -f1)

# The page closes itself as soon as it has loaded; the log's "completed" line
# marks the end of the measured span (the log itself costs two lines a file).
printf 'page file:///index.html\nclose\n' >"$work/scenario.txt"
export TESSEL_STANDIN_SCENARIO
TESSEL_STANDIN_SCENARIO=$(winpath "$work/scenario.txt")

# shellcheck source=../tests/e2e/lib.sh
. tests/e2e/lib.sh
start_display "$work/x"
trap 'stop_display; wineserver -k 2>/dev/null' EXIT
"$emu" cmd /c exit >/dev/null 2>&1  # the prefix, once

now_ms() { date +%s%3N; }
run_app() {
  local log=$work/run.log start
  rm -f "$log"
  start=$(now_ms)
  TESSEL_STANDIN_LOG=$(winpath "$log") "$emu" "$work/app.exe" >/dev/null 2>&1 &
  local pid=$!
  until grep -q ' completed file:///index.html' "$log" 2>/dev/null; do sleep 0.005; done
  echo $(($(now_ms) - start))
  wait "$pid"
  [[ $(grep -c '^[0-9]* response ' "$log") == "$files" ]] ||
    echo "warning: $(grep -c ' response ' "$log") of $files files served" >&2
}
run_bare() {
  local start
  start=$(now_ms)
  "$emu" cmd /c exit >/dev/null 2>&1
  echo $(($(now_ms) - start))
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

run_app >/dev/null
run_bare >/dev/null
app=() bare=()
for _ in $(seq "$rounds"); do
  app+=("$(run_app)")
  bare+=("$(run_bare)")
done
app_ms=$(printf '%s\n' "${app[@]}" | median)
bare_ms=$(printf '%s\n' "${bare[@]}" | median)
size=$(stat -c %s "$build/bin/TesselRuntime.exe")
echo "app: $files files, $bytes bytes; $rounds rounds, medians"
echo "exec -> navigation completed (runtime + stand-in under Wine): $app_ms ms"
echo "exec -> exit of a bare Wine process (baseline):               $bare_ms ms"
awk -v a="$app_ms" -v b="$bare_ms" 'BEGIN {printf "ratio: %.2f\n", a / b}'
awk -v s="$size" 'BEGIN {printf "TesselRuntime.exe stripped: %d bytes (%.2f MiB; goal 2 MiB)\n", s, s / 1048576}'
