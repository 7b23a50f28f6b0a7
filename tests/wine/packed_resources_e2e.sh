#!/bin/bash
# A Windows app packed on Linux with the app's icon and version texts: the
# resources read back with wrestool and python3-pefile and, under Wine,
# through GetFileVersionInfoW (texts and numeric versions; a version text
# that is no number keeps its number, an unset text reads empty); the app
# starts and finds its archive.
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
# Without it every value would read as '': say what is missing instead.
[[ -f $probe ]] || { echo "FAIL: no version probe at $probe (build the version_probe target)" >&2; exit 1; }
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
  --version-info FileVersion=65535.65535.65535.65535 --version-info ProductVersion=1.2-beta \
  >"$out/pack.log" 2>&1 || { echo "FAIL: packing: $(cat "$out/pack.log")" >&2; exit 1; }
grep -qF "ProductVersion '1.2-beta' is not a dotted number of up to four parts: the numeric product version stays 1.0.0.0" \
  "$out/pack.log" || fail "no warning for ProductVersion 1.2-beta: $(cat "$out/pack.log")"

# The icon group as an icon file again: the very file that was given
# (wrestool pads its output with zeros).
wrestool -x --type=14 --name=MAINICON "$out/notes.exe" -o "$out/mainicon.ico" 2>"$out/wrestool.log"
cmp -s -n "$(stat -c %s "$icon")" "$out/mainicon.ico" "$icon" ||
  fail "wrestool: MAINICON differs from $icon"

# The version information: the neutral copy carries the texts and numbers,
# the template stays.
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
# One FileInfo and VS_FIXEDFILEINFO per version resource, in the tree's
# order: the neutral copy, then the template.
def strings(index):
    out = {}
    for fi in pe.FileInfo[index]:
        for table in getattr(fi, "StringTable", []):
            out.update(table.entries)
    return out
def numbers(index):
    f = pe.VS_FIXEDFILEINFO[index]
    split = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    return split(f.FileVersionMS, f.FileVersionLS), split(f.ProductVersionMS, f.ProductVersionLS)
packed, template = strings(0), strings(1)
expected = {b"ProductName": b"Notes", b"FileDescription": b"Notes for everyone",
            b"FileVersion": b"65535.65535.65535.65535", b"ProductVersion": b"1.2-beta",
            b"OriginalFilename": b"notes.exe", b"InternalName": b"notes",
            b"CompanyName": b"", b"Comments": b""}
for key, value in expected.items():
    assert packed[key] == value, (key, packed[key])
assert numbers(0) == ((65535,) * 4, (1, 0, 0, 0)), numbers(0)
assert template[b"CompanyName"] == b" " * 255, template[b"CompanyName"]
assert template[b"FileVersion"] == b"1.0.0.0" + b" " * 16, template[b"FileVersion"]
assert numbers(1) == ((1, 0, 0, 0), (1, 0, 0, 0)), numbers(1)
assert pe.verify_checksum(), "checksum"
PY

probe() {
  $emu "$probe" "$out/notes.exe" "$1" 2>>"$out/probe.log" | tr -d '\r'
}
for check in "ProductName=Notes" "FileVersion=65535.65535.65535.65535" \
  "ProductVersion=1.2-beta" "CompanyName=" "fixed=65535.65535.65535.65535 1.0.0.0"; do
  value=$(probe "${check%%=*}")
  [[ $value == "${check#*=}" ]] ||
    fail "GetFileVersionInfoW: ${check%%=*} is '$value', not '${check#*=}' ($(cat "$out/probe.log"))"
done

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
