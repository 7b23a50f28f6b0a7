#!/bin/bash
# A Linux app on the desktop: `--desktop` writes an entry and icon beside the
# packed app (checked with desktop-file-validate when installed); `--deb`
# builds a package whose layout dpkg-deb shows, which lintian (when
# installed) finds no error in, and which, unpacked into a scratch root with
# dpkg, runs and loads its page under Xvfb.
# Usage: linux_package_e2e.sh RUNTIME PACKER OUT_DIR
set -uo pipefail
runtime=$1
packer=$2
out=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"
require_x_tools
for tool in dpkg-deb dpkg convert; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool missing"; exit 77; }
done
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

app=$out/src
mkdir -p "$app/webapp" "$app/art"
printf '[App]\nID=com.tessel.e2e.Pkg App\nName=Package Test\nDirName=webapp\n[Package]\nIcon=art/app.png\nProductVersion=2.1.0\nCompanyName=Acme Ltd\nCategories=Office\n' \
  >"$app/vtx.ini"
echo '<!doctype html><title>packaged</title><p>packaged</p>' >"$app/webapp/index.html"
convert -size 128x128 xc:none -fill '#2060d0' -draw 'circle 64,64 64,8' "PNG32:$app/art/app.png"

# 1. The desktop entry beside the packed app.
mkdir -p "$out/my apps"
if "$packer" "$app" "$out/my apps/notes" --runtime "$runtime" --desktop >"$out/desktop.log" 2>&1; then
  entry="$out/my apps/notes.desktop"
  for line in 'Type=Application' 'Name=Package Test' "Exec=\"$out/my apps/notes\"" \
    "Icon=$out/my apps/notes.png" 'StartupWMClass=com.tessel.e2e.Pkg_App' 'Categories=Office;'; do
    grep -qxF "$line" "$entry" || fail "desktop entry lacks '$line': $(cat "$entry")"
  done
  [[ $(identify -format '%wx%h' "$out/my apps/notes.png" 2>/dev/null) == 128x128 ]] ||
    fail "the icon beside the app is not the 128 px picture"
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$entry" >"$out/validate.log" 2>&1 ||
      fail "desktop-file-validate: $(cat "$out/validate.log")"
  else
    echo "note: desktop-file-validate missing; the entry is not validated"
  fi
else
  fail "packing with --desktop: $(cat "$out/desktop.log")"
fi

# 2. The Debian package: its fields and layout.
deb=$out/notes.deb
"$packer" "$app" "$deb" --runtime "$runtime" --deb >"$out/deb.log" 2>&1 ||
  { echo "FAIL: building the package: $(cat "$out/deb.log")" >&2; exit 1; }
pkg=com.tessel.e2e.pkg-app
id=com.tessel.e2e.Pkg_App
info=$(dpkg-deb --info "$deb")
for field in "Package: $pkg" 'Version: 2.1.0' 'Architecture: amd64' \
  "Maintainer: Acme Ltd <$pkg@example.invalid>" \
  'Depends: libc6, libgcc-s1, libstdc++6, zlib1g, libgtk-3-0, libwebkit2gtk-4.1-0'; do
  grep -qF " $field" <<<"$info" || fail "dpkg-deb --info lacks '$field': $info"
done
contents=$(dpkg-deb --contents "$deb" | awk '{print $1, $NF}')
for item in "-rwxr-xr-x ./opt/$id/$pkg" "-rwxr-xr-x ./usr/bin/$pkg" \
  "-rw-r--r-- ./usr/share/applications/$id.desktop" \
  "-rw-r--r-- ./usr/share/icons/hicolor/128x128/apps/$id.png" \
  "-rw-r--r-- ./usr/share/icons/hicolor/48x48/apps/$id.png" \
  "-rw-r--r-- ./usr/share/icons/hicolor/32x32/apps/$id.png" \
  "-rw-r--r-- ./usr/share/icons/hicolor/16x16/apps/$id.png"; do
  grep -qxF -- "$item" <<<"$contents" || fail "dpkg-deb --contents lacks '$item'"
done
if command -v lintian >/dev/null; then
  # Whether the runtime is stripped is the build's choice (the sanitizer
  # build is not), not the package's layout.
  lintian --suppress-tags unstripped-binary-or-object "$deb" >"$out/lintian.log" 2>&1
  grep '^E:' "$out/lintian.log" && fail "lintian reports errors"
else
  echo "note: lintian missing; the package is not linted"
fi

# 3. Installed with dpkg into a scratch root (its own database; the
#    dependencies are this machine's, outside that root), the app starts
#    from there and loads its page.
root=$out/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless -i "$deb" \
  >"$out/dpkg.log" 2>&1 || fail "dpkg -i into $root: $(cat "$out/dpkg.log")"
dpkg --root="$root" -s "$pkg" 2>/dev/null | grep -q '^Status: install ok installed' ||
  fail "dpkg does not list $pkg as installed in $root"
grep -qxF "exec /opt/$id/$pkg \"\$@\"" "$root/usr/bin/$pkg" || fail "the launcher does not start /opt/$id/$pkg"
desktop-file-validate "$root/usr/share/applications/$id.desktop" >/dev/null 2>&1 ||
  ! command -v desktop-file-validate >/dev/null || fail "the installed desktop entry does not validate"

start_display "$out/x"
TESSEL_CLOSE_AFTER_LOAD=1 TESSEL_TRACE=1 "$root/opt/$id/$pkg" >"$out/run.log" 2>&1 &
pid=$!
E2E_CHILDREN=$pid
wait_exit "$pid" 60
[[ $code == 0 ]] || { fail "the installed app ended with $code"; kill "$pid" 2>/dev/null; }
grep -q '^tessel: navigation completed ok' "$out/run.log" ||
  fail "the installed app did not load its page: $(cat "$out/run.log")"

[[ $fails == 0 ]] && echo "linux package e2e: all passed"
exit $((fails > 0))
