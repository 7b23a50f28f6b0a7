#!/bin/bash
# A Windows app packed on Linux with the app's icon and version texts: the
# resources read back with wrestool and python3-pefile and, under Wine,
# through GetFileVersionInfoW; the app starts and finds its archive.
# Usage: packed_resources_e2e.sh RUNTIME LINUX_PACKER ICON VERSION_PROBE OUT_DIR WINE_RUN
set -uo pipefail
runtime=$1
packer=$2
icon=$3
probe=$4
out=$5
emu=$6
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../e2e/lib.sh
. "$here/../e2e/lib.sh"
[[ -x $packer ]] || { echo "SKIP: no Linux packer at $packer (build the linux preset)"; exit 77; }
command -v wrestool >/dev/null || { echo "SKIP: wrestool (icoutils) missing"; exit 77; }
/usr/bin/python3 -c 'import pefile' 2>/dev/null || { echo "SKIP: python3-pefile missing"; exit 77; }
require_x_tools
rm -rf "$out"
mkdir -p "$out/app/webapp"
out=$(cd "$out" && pwd)
fails=0
fail() {
  echo "FAIL: $*" >&2
  fails=$((fails + 1))
}

printf '[App]\r\nID=com.tessel.e2e.notes.%s\r\nName=Notes\r\nDirName=webapp\r\n' $$ \
  >"$out/app/vtx.ini"
echo '<!doctype html><title>Notes</title>' >"$out/app/webapp/index.html"
[[ -n ${E2E_APP_FILES:-} ]] && cp -R "$E2E_APP_FILES/." "$out/app/"
"$packer" "$out/app" "$out/notes.exe" --runtime "$runtime" --icon "$icon" \
  --version-info ProductName=Notes --version-info "FileDescription=Notes for everyone" \
  >"$out/pack.log" 2>&1 || { echo "FAIL: packing: $(cat "$out/pack.log")" >&2; exit 1; }

# The icon group as an icon file again: the very file that was given
# (wrestool pads its output with zeros).
wrestool -x --type=14 --name=MAINICON "$out/notes.exe" -o "$out/mainicon.ico" 2>"$out/wrestool.log"
cmp -s -n "$(stat -c %s "$icon")" "$out/mainicon.ico" "$icon" ||
  fail "wrestool: MAINICON differs from $icon"

# The version strings: the neutral copy carries the texts, the template stays.
/usr/bin/python3 - "$out/notes.exe" >"$out/pefile.log" 2>&1 <<'PY' || fail "pefile: $(cat "$out/pefile.log")"
import sys, pefile
data = open(sys.argv[1], "rb").read()
# The image alone: the archive behind it is no part of the checksum.
pe = pefile.PE(data=data, fast_load=True)
end = max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections)
pe = pefile.PE(data=data[:end])
versions = [e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries if e.id == 16][0]
langs = {l.id: l for l in versions.directory.entries[0].directory.entries}
assert sorted(langs) == [0, 1033], sorted(langs)
strings = {}
for fi in pe.FileInfo[0]:
    for table in getattr(fi, "StringTable", []):
        strings.update(table.entries)
assert strings[b"ProductName"] == b"Notes", strings[b"ProductName"]
assert strings[b"FileDescription"] == b"Notes for everyone", strings[b"FileDescription"]
assert pe.verify_checksum(), "checksum"
PY

value=$($emu "$probe" "$out/notes.exe" ProductName 2>"$out/probe.log" | tr -d '\r')
[[ $value == Notes ]] || fail "GetFileVersionInfoW: ProductName is '$value'"

# The edited runtime still finds its archive: the app's window opens.
start_display "$out/x"
$emu "$out/notes.exe" >"$out/run.log" 2>&1 &
pid=$!
E2E_CHILDREN=$pid
find_window "Notes" 60 >/dev/null || fail "the packed app showed no window; log: $(cat "$out/run.log")"
# Ended on purpose: it writes no leak report (see wine_e2e.sh).
kill "$pid" 2>/dev/null && echo notes >>"${STANDIN_KILLED:-/dev/null}"
wait "$pid" 2>/dev/null

[[ $fails == 0 ]] && echo "packed resources e2e: all passed"
exit $((fails > 0))
