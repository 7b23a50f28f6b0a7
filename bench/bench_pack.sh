#!/bin/bash
# The packer on an app of 2000 files and about 50 MB (incompressible data,
# stored as the runtime's archives are): tessel-pack against `zip -0 -P` of
# the same folder, alternating in the same run, median of each and their
# ratio. The packer also copies the runtime and the engine module, and reads
# the archive back once written.
# Usage: bench/bench_pack.sh [BUILD_DIR] [ROUNDS]   (build/linux, 5)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build/linux}" && pwd)
rounds=${2:-5}
work=$build/bench/pack
rm -rf "$work"
mkdir -p "$work/app/web"
printf '[App]\nID=com.tessel.bench.pack\nName=Bench\nDirName=web\n' >"$work/app/vtx.ini"
echo '<!doctype html><title>Bench</title>' >"$work/app/web/index.html"
python3 - "$work/app/web" <<'PY'
import os, sys
for i in range(1998):
    folder = os.path.join(sys.argv[1], "d%02d" % (i % 40))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%04d.bin" % i), "wb") as f:
        f.write(os.urandom(26200))
PY
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s%N; }
: >"$work/pack.times"
: >"$work/zip.times"
for _ in $(seq "$rounds"); do
  rm -f "$work/app.packed" "$work/app.zip"
  t0=$(now)
  "$build/bin/tessel-pack" "$work/app" "$work/app.packed" --runtime "$build/bin/tessel-runtime" \
    >/dev/null 2>&1
  t1=$(now)
  (cd "$work/app" && zip -q -r -0 -P t7mxqa2wz5hyv1cpelk8fgu6rjsb4n0d3t9q ../app.zip .)
  t2=$(now)
  echo $((t1 - t0)) >>"$work/pack.times"
  echo $((t2 - t1)) >>"$work/zip.times"
done
pack=$(median <"$work/pack.times")
zip=$(median <"$work/zip.times")
echo "app: $(find "$work/app" -type f | wc -l) files, $(du -sb "$work/app" | cut -f1) bytes"
echo "tessel-pack: $((pack / 1000000)) ms (median of $rounds)"
echo "zip -0 -P:   $((zip / 1000000)) ms"
awk -v p="$pack" -v z="$zip" 'BEGIN {printf "ratio tessel-pack / zip: %.2f\n", p / z}'
