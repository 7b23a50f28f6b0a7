#!/bin/bash
# Packs the conformance app (tests/conformance) with the given runtime and
# packer, runs it under a private Xvfb with openbox, and waits for it to exit
# on its own: the page runs every check itself, writes
# conformance-report.json beside the executable and closes the window. Fails
# unless the exit code is 0 and the report has no failed check; prints the
# failed ones.
# Usage: run_conformance.sh RUNTIME PACKER OUT_DIR
# CONFORMANCE_DEADLINE (seconds, default 300) bounds the run.
set -uo pipefail
runtime=$1
packer=$2
out=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR source=../e2e/lib.sh
. "$here/../e2e/lib.sh"
require_x_tools
command -v python3 >/dev/null || { echo "SKIP: python3 missing"; exit 77; }
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)

# Folders of its own, and stand-ins for the desktop's helpers, so that
# shell.execute of a document and shell.explore start nothing real.
export HOME=$out/home XDG_CONFIG_HOME=$out/config XDG_DATA_HOME=$out/data XDG_CACHE_HOME=$out/cache
export TMPDIR=$out/tmp LC_ALL=C.UTF-8 LANGUAGE=
mkdir -p "$HOME" "$TMPDIR" "$out/bin" "$out/app"
printf '#!/bin/sh\necho "$@" >>"%s/helpers.log"\n' "$out" >"$out/bin/xdg-open"
printf '#!/bin/sh\necho gdbus "$@" >>"%s/helpers.log"\nexit 1\n' "$out" >"$out/bin/gdbus"
chmod +x "$out/bin/xdg-open" "$out/bin/gdbus"
export PATH=$out/bin:$PATH

# The app folder with the one fixture too big to keep in the repository: an
# entry the runtime streams (4 MB and more), a little-endian 32-bit counter.
mkdir -p "$out/app-src"
cp -r "$here/vtx.ini" "$here/vtx-webviewjs" "$here/webapp" "$out/app-src/"
python3 "$here/make_big_fixture.py" "$out/app-src/webapp/fixtures/big.bin" ||
  { echo "could not write big.bin" >&2; exit 1; }
exe=$out/app/tessel-conformance
"$packer" "$out/app-src" "$exe" --runtime "$runtime" >"$out/pack.log" 2>&1 ||
  { echo "packing failed: $(cat "$out/pack.log")" >&2; exit 1; }

start_display "$out/x"
log=$out/run.log
TESSEL_TRACE=1 "$exe" >"$log" 2>&1 &
pid=$!
E2E_CHILDREN=$pid
wait_exit "$pid" "${CONFORMANCE_DEADLINE:-300}"
if ((code == 124)); then
  echo "FAIL: the app did not close within ${CONFORMANCE_DEADLINE:-300} s; window title:" \
    "'$(xdotool search --pid "$pid" --name . getwindowname 2>/dev/null | head -1)'" >&2
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
fi
E2E_CHILDREN=

report=$out/app/conformance-report.json
python3 - "$report" "$code" <<'EOF'
import json, sys
path, code = sys.argv[1], int(sys.argv[2])
try:
    with open(path, encoding="utf-8-sig") as f:
        report = json.load(f)
except (OSError, ValueError) as e:
    print(f"FAIL: no readable report at {path}: {e}", file=sys.stderr)
    sys.exit(1)
for r in report["results"]:
    if not r["ok"]:
        print(f"FAIL: {r['name']}\n  expected {json.dumps(r.get('expected'))}\n"
              f"  actual   {json.dumps(r.get('actual'))}", file=sys.stderr)
for s in report["skipped"]:
    print(f"not exercised: {s}")
for s in report.get("knownFaults", []):
    print(f"known fault: {s}")
print(f"{report['platform']}: {report['passed']} passed, {report['failed']} failed, "
      f"{len(report['skipped'])} not exercised; exit code {code}")
ok = code == 0 and report["failed"] == 0 and report["passed"] > 0
ok = ok and report["passed"] + report["failed"] == len(report["results"])
sys.exit(0 if ok else 1)
EOF
status=$?
if ((status != 0 || code != 0)); then
  echo "exit code $code; the runtime's trace: $log" >&2
  tail -n 40 "$log" >&2
  exit 1
fi
echo "PASS: conformance"
