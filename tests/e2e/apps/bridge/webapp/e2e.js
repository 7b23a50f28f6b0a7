// Calls every function of window.vtx from a packaged app and checks what
// comes back. Results go to "results.txt" beside the executable, one
// "PASS name" or "FAIL name: detail" a line; the window title then becomes
// "DONE <passed>/<total>". The dialogs wait for the test to answer them.
// Then the page decides the close handshake: the first close request is
// refused, the second closes through vtx.app.close().
(function () {
  "use strict";

  var E2E = window.E2E;
  var lines = [];
  var log = document.getElementById("log");

  function record(name, ok, detail) {
    var line = (ok ? "PASS " : "FAIL ") + name + (ok ? "" : ": " + detail);
    lines.push(line);
    log.textContent += line + "\n";
  }
  function show(value) {
    return value === undefined ? "undefined" : JSON.stringify(value);
  }
  function eq(name, got, want) {
    record(name, show(got) === show(want), "got " + show(got) + ", wanted " + show(want));
  }
  async function resolves(name, promise, want) {
    try {
      eq(name, await promise, want);
    } catch (e) {
      record(name, false, "rejected with " + show(e));
    }
  }
  async function rejects(name, promise, want) {
    try {
      record(name, false, "resolved with " + show(await promise));
    } catch (e) {
      eq(name, e, want);
    }
  }
  function sleep(ms) {
    return new Promise(function (resolve) { setTimeout(resolve, ms); });
  }
  // Tracks whether a promise has settled, without waiting for it.
  function watch(promise) {
    var state = { settled: false };
    promise.then(function () { state.settled = true; }, function () { state.settled = true; });
    return state;
  }
  // Polls `get` until it gives `want` (state changes go through the window
  // manager, asynchronously).
  async function becomes(name, get, want, ms) {
    var got;
    for (var waited = 0; waited <= (ms || 5000); waited += 100) {
      got = await get();
      if (show(got) === show(want)) break;
      await sleep(100);
    }
    eq(name, got, want);
  }

  // Every reply the page receives, in order.
  var replies = [];
  window.chrome.webview.addEventListener("message", function (event) {
    replies.push(event.data);
  });

  var work = E2E.work;

  async function topLevel() {
    await resolves("hello", vtx.hello(), "2021.28");
    await resolves("isRuntime", vtx.isRuntime(), true);
    var f = vtx.hello;
    var threw = false;
    try {
      f();
    } catch (e) {
      threw = true;
    }
    eq("hello taken out of vtx fails", threw, true);
    var g = vtx.files.fileExists;
    await resolves("grouped function taken out of its group", g({ filePath: "e2e-config.js" }), true);
  }

  async function files() {
    await resolves("fileExists relative to the executable", vtx.files.fileExists({ filePath: "e2e-config.js" }), true);
    await resolves("fileExists absolute", vtx.files.fileExists({ filePath: work + "/picked.txt" }), true);
    await resolves("fileExists on a folder", vtx.files.fileExists({ filePath: work }), false);
    await resolves("fileExists missing", vtx.files.fileExists({ filePath: work + "/nothing.txt" }), false);
    await rejects("fileExists without filePath", vtx.files.fileExists({}), "Missing filePath");
    await rejects("fileExists with data as a string", vtx.call(30001, "x"), "Missing filePath");

    await resolves("writeTextFile into new folders",
      vtx.files.writeTextFile({ filePath: work + "/new/deeper/text.txt", contents: "one\ntwo\r\nthree\rü" }), true);
    await resolves("writeTextFile line breaks",
      vtx.files.writeTextFile({ filePath: work + "/bytes.txt", contents: "one\ntwo\r\nthree\rü" }), true);
    await resolves("writeTextFile relative", vtx.files.writeTextFile({ filePath: "written/rel.txt", contents: "" }), true);
    await resolves("writeTextFile wrote", vtx.files.fileExists({ filePath: work + "/new/deeper/text.txt" }), true);
    var blocked = work + "/picked.txt/below.txt";
    try {
      await vtx.files.writeTextFile({ filePath: blocked, contents: "x" });
      record("writeTextFile below a file fails", false, "resolved");
    } catch (e) {
      var prefix = "Cannot create file \"" + blocked + "\". ";
      record("writeTextFile below a file fails", typeof e === "string" && e.indexOf(prefix) === 0 &&
        e.length > prefix.length && !/[.\s]$/.test(e), "rejected with " + show(e));
    }

    await resolves("deleteFile", vtx.files.deleteFile({ filePath: work + "/doomed.txt" }), true);
    await resolves("deleteFile deleted", vtx.files.fileExists({ filePath: work + "/doomed.txt" }), false);
    await resolves("deleteFile missing", vtx.files.deleteFile({ filePath: work + "/doomed.txt" }), false);
    await resolves("deleteFile on a folder", vtx.files.deleteFile({ filePath: work + "/new" }), false);
    await rejects("deleteFile without filePath", vtx.files.deleteFile({ filePath: "" }), "Missing filePath");

    await resolves("extractFile", vtx.files.extractFile({ sourceFile: "/index.html", targetFile: work + "/extracted.html" }), true);
    await rejects("extractFile of a missing entry", vtx.files.extractFile({ sourceFile: "index.html", targetFile: work + "/empty.html" }), "File not found");
    await resolves("extractFile leaves an empty target", vtx.files.fileExists({ filePath: work + "/empty.html" }), true);
    await rejects("extractFile without sourceFile", vtx.files.extractFile({ targetFile: work + "/x" }), "Missing sourceFile");
    await rejects("extractFile without targetFile", vtx.files.extractFile({ sourceFile: "/index.html" }), "Missing targetFile");
  }

  async function folders() {
    await resolves("dirExists", vtx.folders.dirExists({ dirPath: work + "/new" }), true);
    await resolves("dirExists relative", vtx.folders.dirExists({ dirPath: "written" }), true);
    await resolves("dirExists on a file", vtx.folders.dirExists({ dirPath: work + "/picked.txt" }), false);
    await rejects("dirExists without dirPath", vtx.folders.dirExists({}), "Missing dirPath");
    await resolves("deleteDir", vtx.folders.deleteDir({ dirPath: work + "/new" }), true);
    await resolves("deleteDir deleted", vtx.folders.dirExists({ dirPath: work + "/new" }), false);
    await resolves("deleteDir missing", vtx.folders.deleteDir({ dirPath: work + "/new" }), false);
    await rejects("deleteDir without dirPath", vtx.folders.deleteDir({ dirPath: null }), "Missing dirPath");

    await resolves("getTempDir", vtx.folders.getTempDir(), E2E.tmp + "/");
    await resolves("getUserDocumentsDir", vtx.folders.getUserDocumentsDir(), E2E.home + "/Documents/");
    await resolves("getUserDesktopDir", vtx.folders.getUserDesktopDir(), E2E.home + "/Desktop/");
    await resolves("getAppExecutableDir", vtx.folders.getAppExecutableDir(), E2E.appDir + "/");
  }

  async function appAndWindow() {
    var title = "a \"quoted\" \\ title\nwith ü";
    await resolves("setTitle", vtx.window.setTitle({ title: title }), true);
    await resolves("getTitle", vtx.window.getTitle(), title);
    await resolves("setTitle without a title", vtx.window.setTitle({}), true);
    await resolves("getTitle empty", vtx.window.getTitle(), "");

    await resolves("getStyle", vtx.window.getStyle(), "normal");
    await resolves("setStyle ontop", vtx.window.setStyle({ style: "ontop" }), true);
    await resolves("getStyle ontop", vtx.window.getStyle(), "ontop");
    await resolves("setStyle ONTOP", vtx.window.setStyle({ style: "ONTOP" }), true);
    await resolves("getStyle after ONTOP", vtx.window.getStyle(), "normal");

    await resolves("getState", vtx.window.getState(), "normal");
    await resolves("setState Maximized", vtx.window.setState({ state: "Maximized" }), true);
    await sleep(300);
    await resolves("setState is case-sensitive", vtx.window.getState(), "normal");
    await resolves("setState maximized", vtx.window.setState({ state: "maximized" }), true);
    await becomes("getState maximized", vtx.window.getState, "maximized");
    await resolves("setState normal", vtx.window.setState({ state: "normal" }), true);
    await becomes("getState normal", vtx.window.getState, "normal");
    // getState answers the state asked for at once; the window manager's own
    // answer comes later and would overtake the full-screen request.
    await sleep(1000);

    await resolves("inFullscreen", vtx.app.inFullscreen(), false);
    var enter = watch(vtx.app.enterFullscreen());
    await resolves("inFullscreen after enterFullscreen", vtx.app.inFullscreen(), true);
    await becomes("getState in full screen", vtx.window.getState, "maximized");
    var exit = watch(vtx.app.exitFullscreen());
    await resolves("inFullscreen after exitFullscreen", vtx.app.inFullscreen(), false);
    await becomes("getState after full screen", vtx.window.getState, "normal");
    eq("enterFullscreen and exitFullscreen are never answered", [enter.settled, exit.settled], [false, false]);
  }

  async function shell() {
    await resolves("command", vtx.shell.command({ command: "echo hello" }), "hello\n");
    await resolves("command quotes", vtx.shell.command({ command: "printf '%s' 'a\"b\\c'" }), "a\"b\\c");
    await resolves("command standard error", vtx.shell.command({ command: "echo oops >&2" }), "oops\n");
    await resolves("command workingDir", vtx.shell.command({ command: "pwd", workingDir: work, showWindow: true }), work + "\n");
    await rejects("command without command", vtx.shell.command({}), "Missing command");
    // A long command does not hold the other calls.
    var order = [];
    var slow = vtx.shell.command({ command: "sleep 1; echo slow" }).then(function (out) { order.push(out); });
    await vtx.hello().then(function () { order.push("hello"); });
    await slow;
    eq("command runs beside other calls", order, ["hello", "slow\n"]);

    await resolves("execute", vtx.shell.execute({ filePath: "/usr/bin/touch", arguments: work + "/executed.txt" }), true);
    await becomes("execute ran the program", function () {
      return vtx.files.fileExists({ filePath: work + "/executed.txt" });
    }, true);
    await resolves("execute a document", vtx.shell.execute({ filePath: work + "/picked.txt" }), true);
    await rejects("execute a missing program", vtx.shell.execute({ filePath: "/nonexistent/program" }), "No such file or directory");
    await rejects("execute without filePath", vtx.shell.execute({}), "Missing filePath");
    await resolves("explore", vtx.shell.explore({ filePath: work + "/picked.txt" }), true);
    await rejects("explore without filePath", vtx.shell.explore({}), "Missing filePath");

    await vtx.window.setTitle({ title: "Bridge e2e windows" });
    var windows = await vtx.shell.windows();
    record("windows lists the window", Array.isArray(windows) && windows.indexOf("Bridge e2e windows") >= 0,
      show(windows));
  }

  async function dialogs() {
    var first = vtx.dialogs.openFile({ title: "Pick e2e file", fileTypes: "Text files|*.txt;All files|*.*" });
    // A second request while the dialog is open is answered at once.
    await resolves("second dialog while one is open", vtx.dialogs.openFile({ title: "Second e2e dialog" }), "");
    await resolves("openFile", first, work + "/picked.txt");
    await resolves("openFile cancelled", vtx.dialogs.openFile({}), "");
    await resolves("saveFile", vtx.dialogs.saveFile({ title: "Save e2e file", fileName: "x.txt" }), work + "/saved.txt");
    await resolves("saveFile cancelled", vtx.dialogs.saveFile({ overwritePrompt: "false" }), "");
  }

  async function overlapping() {
    var before = replies.length;
    var calls = [];
    for (var i = 0; i < 1000; i++) {
      switch (i % 4) {
        case 0: calls.push(vtx.hello().then(function (r) { return r === "2021.28"; })); break;
        case 1: calls.push(vtx.files.fileExists({ filePath: "e2e-config.js" }).then(function (r) { return r === true; })); break;
        case 2: calls.push(vtx.files.fileExists({ filePath: "missing-" + i }).then(function (r) { return r === false; })); break;
        default: calls.push(vtx.call(30001, {}).then(function () { return false; },
          function (e) { return e === "Missing filePath"; }));
      }
    }
    var outcomes = await Promise.all(calls);
    var wrong = outcomes.filter(function (ok) { return !ok; }).length;
    eq("1000 overlapping calls settle with their own results", wrong, 0);

    var uuids = replies.slice(before).map(function (r) { return r.uuid; });
    var seen = {};
    var bad = uuids.filter(function (u) {
      var ok = typeof u === "string" && u.length === 36 && u[14] === "4" && "89ab".indexOf(u[19]) >= 0 &&
        /^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$/.test(u) && !seen[u];
      seen[u] = true;
      return !ok;
    });
    eq("1000 replies", uuids.length, 1000);
    eq("uuids are distinct version-4 layouts in lower case", bad, []);
  }

  async function neverSettles() {
    var noData = watch(vtx.files.fileExists());
    var unknown = watch(vtx.call(10003, {}));
    var close = vtx.hello();
    await close;
    await sleep(300);
    eq("calls without data or with unknown ids stay pending", [noData.settled, unknown.settled], [false, false]);
  }

  // A page of another origin inside the app page, and a data: page: each
  // tries to delete its marker file and asks for hello, through window.vtx,
  // the page channel, and a forged relay event.
  async function foreignFrames() {
    var before = replies.length;
    var reports = [];
    window.addEventListener("message", function (event) {
      if (event.data && event.data.foreign) reports.push(event.data.foreign);
    });
    var probe = await (await fetch("foreign-probe.js")).text();
    var http = document.createElement("iframe");
    http.src = "http://127.0.0.1:" + E2E.port + "/foreign.html?marker=" + encodeURIComponent(work + "/marker-http");
    document.body.appendChild(http);
    var data = document.createElement("iframe");
    data.src = "data:text/html;charset=utf-8," + encodeURIComponent(
      "<script>var marker = " + JSON.stringify(work + "/marker-data") + ";" + probe + "</" + "script>");
    document.body.appendChild(data);
    for (var waited = 0; reports.length < 2 && waited < 15000; waited += 100) await sleep(100);
    eq("foreign frames ran", reports.length, 2);
    // Anything they posted was handled before this round trip.
    await vtx.hello();
    await sleep(500);
    // The only reply since then is that of the page's own hello.
    eq("foreign frames get no answer", replies.length - before, 1);
    await resolves("foreign frame left its marker", vtx.files.fileExists({ filePath: work + "/marker-http" }), true);
    await resolves("data: frame left its marker", vtx.files.fileExists({ filePath: work + "/marker-data" }), true);
  }

  async function finish() {
    var passed = lines.filter(function (l) { return l.indexOf("PASS") === 0; }).length;
    await vtx.files.writeTextFile({ filePath: "results.txt", contents: lines.join("\n") });
    var asked = 0;
    vtx.events.onCloseQuery = function () {
      asked++;
      vtx.window.setTitle({ title: "ASKED " + asked });
      if (asked === 2) vtx.app.close();
    };
    await vtx.window.setTitle({ title: "DONE " + passed + "/" + lines.length });
  }

  async function run() {
    var steps = [topLevel, files, folders, appAndWindow, shell, overlapping, neverSettles, foreignFrames, dialogs];
    for (var i = 0; i < steps.length; i++) {
      try {
        await steps[i]();
      } catch (e) {
        record(steps[i].name, false, "threw " + (e && e.stack ? e.stack : show(e)));
      }
    }
    await finish();
  }

  if (E2E.mode === "foreign-top") {
    location.href = "http://127.0.0.1:" + E2E.port + "/top.html?marker=" + encodeURIComponent(work + "/marker-top") +
      "&work=" + encodeURIComponent(work);
  } else {
    window.addEventListener("load", run);
  }
})();
