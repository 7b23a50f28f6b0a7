#!/bin/bash
# A Windows app signed by the packer with a throw-away certificate: the
# signature verifies and covers the archive (a changed byte breaks it),
# `tessel list` reads the signed file, the same folder signed twice with
# SOURCE_DATE_EPOCH gives the same bytes, and under Wine the signed app
# starts, finds its archive before the certificate table and serves its page.
# Usage: signed_e2e.sh RUNTIME LINUX_PACKER LINUX_TESSEL OUT_DIR WINE_RUN
set -uo pipefail
runtime=$1
packer=$2
tessel=$3
out=$4
emu=$5
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../e2e/lib.sh
. "$here/../e2e/lib.sh"
[[ -x $packer && -x $tessel ]] ||
  { echo "SKIP: no Linux packer at $packer or tessel at $tessel (build the linux preset)"; exit 77; }
for tool in osslsigncode openssl; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool missing"; exit 77; }
done
require_x_tools
rm -rf "$out"
mkdir -p "$out/app/webapp"
out=$(cd "$out" && pwd)
fails=0
fail() {
  echo "FAIL: $*" >&2
  fails=$((fails + 1))
}
winpath() { echo "Z:${1//\//\\}"; }

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=test \
  -keyout "$out/key.pem" -out "$out/cert.pem" >"$out/openssl.log" 2>&1 ||
  { echo "openssl could not make a certificate: $(cat "$out/openssl.log")" >&2; exit 1; }
# Certificates beside the signer's make the certificate table larger than
# the 64 KB a ZIP reader searches back for the archive's end record: only an
# archive taken to end where the table begins is found.
for i in $(seq 90); do
  openssl req -x509 -key "$out/key.pem" -days 2 -subj "/CN=extra $i" 2>>"$out/openssl.log" ||
    { echo "openssl could not make certificate $i" >&2; exit 1; }
done >"$out/extra.pem"
cat "$out/cert.pem" "$out/extra.pem" >"$out/chain.pem"
export TESSEL_E2E_P12_PASSWORD="e2e pass $$"
openssl pkcs12 -export -in "$out/cert.pem" -inkey "$out/key.pem" -out "$out/id.p12" \
  -passout env:TESSEL_E2E_P12_PASSWORD >>"$out/openssl.log" 2>&1 ||
  { echo "openssl could not make a PKCS#12 file: $(cat "$out/openssl.log")" >&2; exit 1; }

app=$out/app
printf '[App]\r\nID=com.tessel.e2e.signed.%s\r\nName=Signed App\r\nDirName=webapp\r\n' $$ \
  >"$app/vtx.ini"
echo '<!DOCTYPE html><title>Signed App</title><p>signed</p>' >"$app/webapp/index.html"
[[ -n ${E2E_APP_FILES:-} ]] && cp -R "$E2E_APP_FILES/." "$app/"
"$packer" "$app" "$out/signed.exe" --runtime "$runtime" \
  --sign-cert "$out/chain.pem" --sign-key "$out/key.pem" >"$out/pack.log" 2>&1 ||
  { echo "FAIL: packing and signing: $(cat "$out/pack.log")" >&2; exit 1; }

# A self-signed certificate is its own authority.
osslsigncode verify -CAfile "$out/cert.pem" -in "$out/signed.exe" >"$out/verify.log" 2>&1 ||
  fail "osslsigncode verify: $(tail -5 "$out/verify.log")"

"$tessel" list "$out/signed.exe" >"$out/list.log" 2>&1 || fail "tessel list: $(cat "$out/list.log")"
grep -qx 'webapp/index.html [0-9]*' "$out/list.log" || fail "tessel list: $(cat "$out/list.log")"

# The signature covers the archive: one byte changed in it (in its central
# directory, before the certificate table) fails verification.
cp "$out/signed.exe" "$out/tampered.exe"
table=$(/usr/bin/python3 - "$out/tampered.exe" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
directories = pe + 24 + (112 if struct.unpack_from("<H", data, pe + 24)[0] == 0x20B else 96)
offset, size = struct.unpack_from("<II", data, directories + 4 * 8)
assert offset + size == len(data) and size > 65536 + 22, (offset, size, len(data))
print(offset)
PY
) || fail "signed.exe has no certificate table of more than 64 KB at its end"
if [[ -n $table ]]; then
  at=$((table - 30))
  /usr/bin/python3 -c 'import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(int(sys.argv[2])); b = f.read(1); f.seek(int(sys.argv[2])); f.write(bytes([b[0] ^ 1]))' \
    "$out/tampered.exe" "$at"
  cmp -s "$out/signed.exe" "$out/tampered.exe" && fail "the byte at $at did not change"
  osslsigncode verify -CAfile "$out/cert.pem" -in "$out/tampered.exe" >"$out/tampered.log" 2>&1 &&
    fail "a changed archive byte still verifies"
fi

# Reproducible: with SOURCE_DATE_EPOCH the signing time is that one, and a
# PKCS#12 key whose password comes from the environment signs the same bytes
# twice.
for run in 1 2; do
  mkdir -p "$out/repro$run"
  SOURCE_DATE_EPOCH=1700000000 "$packer" "$app" "$out/repro$run/app.exe" --runtime "$runtime" \
    --sign-pkcs12 "$out/id.p12" --sign-pass-env TESSEL_E2E_P12_PASSWORD \
    >"$out/repro$run.log" 2>&1 || fail "signing with PKCS#12: $(cat "$out/repro$run.log")"
done
cmp -s "$out/repro1/app.exe" "$out/repro2/app.exe" || fail "the same folder signed twice differs"
osslsigncode verify -CAfile "$out/cert.pem" -in "$out/repro1/app.exe" >"$out/repro.verify.log" 2>&1 ||
  fail "PKCS#12-signed app: $(tail -5 "$out/repro.verify.log")"
grep -q 'Signing time: Nov 14 22:13:20 2023 GMT' "$out/repro.verify.log" ||
  fail "the signing time is not SOURCE_DATE_EPOCH: $(grep -i 'signing time' "$out/repro.verify.log")"

# The signed app runs: start-up reads the archive that ends where the
# certificate table begins, and the page is served from it.
start_display "$out/x"
log=$out/standin.log
printf 'page file:///index.html\nclose\n' >"$out/scenario.txt"
TESSEL_STANDIN_LOG=$(winpath "$log") TESSEL_STANDIN_SCENARIO=$(winpath "$out/scenario.txt") \
  $emu "$out/signed.exe" >"$out/run.log" 2>&1 &
pid=$!
E2E_CHILDREN=$pid
wait_exit "$pid" 90
[[ $code == 0 ]] || fail "the signed app ended with $code (124: still running); log: $(cat "$out/run.log")"
if [[ -f $log ]]; then
  main=$(head -1 "$log" | cut -d' ' -f1)
  line=$(grep "^$main response file:///index.html " "$log" | head -1)
  [[ $line == *" status=200 "* ]] || fail "index.html was not served: ${line:-no response}"
  [[ -n $line ]] && { cmp -s "$app/webapp/index.html" "$log.body.$main.${line##*body=}" ||
    fail "the served page differs from index.html"; }
  grep -qF "$main completed file:///index.html title=Signed App" "$log" ||
    fail "the page did not complete: $(grep "^$main " "$log" | tail -3 | tr '\n' '|')"
else
  fail "no stand-in log: the app never created its engine; log: $(cat "$out/run.log")"
fi

[[ $fails == 0 ]] && echo "signed e2e: all passed"
exit $((fails > 0))
