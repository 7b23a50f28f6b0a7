// The conformance checks, run by the page itself with no outside driver: every
// window.vtx function with good and bad arguments, what the resource server
// answers, what frames of the page can reach, and at the end the close
// handshake. The report goes to conformance-report.json beside the executable
// (files.writeTextFile), then the page calls vtx.app.close().
//
// Expected answers are the documented ones. Where a platform is documented to
// answer differently (path separators, the command interpreter, the system's
// own error texts, full file: addresses) the check branches on `WINDOWS`.
(function () {
  "use strict";

  var WINDOWS = /Windows/.test(navigator.userAgent);
  var SEP = WINDOWS ? "\\" : "/";
  // A bridge call that should answer and does not is a failure, not a hang.
  var ANSWER_MS = 30000;
  // How long a call that must never be answered is watched after a later
  // call was answered (the bridge answers in order, so this is a margin).
  var QUIET_MS = 500;
  var WORK = "conformance-work";
  var BIG_SIZE = 5 * 1024 * 1024;

  var results = [];
  var skipped = [];
  var logElement = document.getElementById("log");

  function show(value) {
    if (value === undefined) return "undefined";
    try {
      return JSON.stringify(value);
    } catch (e) {
      return String(value);
    }
  }
  function record(name, ok, expected, actual) {
    results.push({ name: name, ok: !!ok, expected: expected, actual: actual });
    logElement.textContent += (ok ? "ok   " : "FAIL ") + name + (ok ? "" : ": " + show(actual)) + "\n";
  }
  function eq(name, actual, expected) {
    record(name, show(actual) === show(expected), expected, actual);
  }
  // `test` decides; `expected` describes what it accepts, for the report.
  function holds(name, actual, expected, test) {
    var ok = false;
    try {
      ok = test(actual);
    } catch (e) {
      actual = { value: actual, threw: String(e) };
    }
    record(name, ok, expected, actual);
  }
  // A fault of the runtime that is known and reported: the check expects
  // what the runtime does now, so that it passes until the fault is fixed
  // and then fails, asking for the right expectation. The report lists it.
  function knownFault(name, actual, faulty, why) {
    results.push({ name: name, ok: show(actual) === show(faulty), expected: faulty, actual: actual,
                   knownFault: why });
    logElement.textContent += "known " + name + ": " + why + "\n";
  }
  function skip(name, why) {
    skipped.push(name + ": " + why);
  }
  function sleep(ms) {
    return new Promise(function (resolve) { setTimeout(resolve, ms); });
  }
  // The call's outcome as {resolves: x} or {rejects: x}; {pending: ms} when
  // nothing came within the deadline.
  function outcome(promise, ms) {
    return Promise.race([
      Promise.resolve(promise).then(function (v) { return { resolves: v }; },
                                    function (e) { return { rejects: e }; }),
      sleep(ms || ANSWER_MS).then(function () { return { pending: ms || ANSWER_MS }; }),
    ]);
  }
  async function call(name, promise, expected) {
    eq(name, await outcome(promise), expected);
  }
  async function callHolds(name, promise, expected, test) {
    holds(name, await outcome(promise), expected, test);
  }
  function resolves(value) { return { resolves: value }; }
  function rejects(value) { return { rejects: value }; }
  // Tracks whether a promise settled, without waiting for it.
  function watch(promise) {
    var state = { settled: false };
    promise.then(function () { state.settled = true; }, function () { state.settled = true; });
    return state;
  }
  // Polls `get` until it answers `want` or the deadline passes.
  async function becomes(name, get, want, ms) {
    var last;
    var until = Date.now() + (ms || 10000);
    do {
      last = await outcome(get());
      if (show(last) === show(resolves(want))) break;
      await sleep(100);
    } while (Date.now() < until);
    eq(name, last, resolves(want));
  }
  // Waits until the page's width passes `test` three reads in a row.
  async function sized(name, test) {
    var streak = 0;
    var until = Date.now() + 10000;
    while (streak < 3 && Date.now() < until) {
      streak = test(window.innerWidth) ? streak + 1 : 0;
      await sleep(100);
    }
    record(name, streak >= 3, test.description, window.innerWidth);
  }
  // A bridge round trip and one turn of the event loop: every message the
  // page posted before it has been handled by then.
  async function roundTrip() {
    await outcome(vtx.hello());
    await sleep(0);
  }
  function isAbsolute(path) {
    return WINDOWS ? /^([A-Za-z]:\\|\\\\)/.test(path) : path.charAt(0) === "/";
  }
  function isSystemText(text) {
    return typeof text === "string" && text.length > 0 && !/[.\s]$/.test(text);
  }
  // A request for `path` as this platform serves files by absolute path: a
  // full file: address on Windows; on Linux one from the app's root.
  function absoluteAddress(path) {
    return WINDOWS ? "file:///" + path.replace(/\\/g, "/") : path;
  }

  // Everything the runtime posts to the page, for the uuid checks.
  var replies = [];
  window.chrome.webview.addEventListener("message", function (event) { replies.push(event.data); });

  var exeDir = "";
  var tempDir = "";

  async function topLevel() {
    await call("hello", vtx.hello(), resolves("2021.28"));
    await call("isRuntime", vtx.isRuntime(), resolves(true));
    eq("the app's own script ran once, before the page's", window.conformanceAppScriptFirst, 1);
    var hello = vtx.hello;
    var failed;
    try {
      failed = await outcome(hello(), 2000);
      failed = "rejects" in failed;
    } catch (e) {
      failed = true;
    }
    eq("hello taken out of vtx fails", failed, true);
    var exists = vtx.files.fileExists;
    await call("a grouped function taken out of its group works", exists({ filePath: "conformance-report.json" }),
      resolves(false));
    await call("vtx.call with a function ID", vtx.call(10001, {}), resolves("2021.28"));
    await call("vtx.call with the ID as text", vtx.call("10001", {}), resolves("2021.28"));
    await call("data that is not an object reads as no arguments", vtx.call(30001, "x"), rejects("Missing filePath"));
    eq("vtx.events.onCloseQuery is a function", typeof vtx.events.onCloseQuery, "function");
  }

  async function neverAnswered() {
    var cases = [
      ["an unknown function ID", vtx.call(10003, {})],
      ["a function ID that is not a number", vtx.call("abc", {})],
      ["no argument object", vtx.files.fileExists()],
      ["an object where text is expected", vtx.window.setTitle({ title: { text: "x" } })],
      ["an array where text is expected", vtx.files.fileExists({ filePath: ["x"] })],
      ["openFile without an argument object", vtx.dialogs.openFile()],
      ["saveFile with an overwritePrompt that is no boolean", vtx.dialogs.saveFile({ overwritePrompt: "yes" })],
    ];
    var watched = cases.map(function (c) { return [c[0], watch(c[1])]; });
    await roundTrip();
    await sleep(QUIET_MS);
    watched.forEach(function (c) { eq("never answered: " + c[0], c[1].settled, false); });
  }

  async function files() {
    await call("writeTextFile relative, into new folders",
      vtx.files.writeTextFile({ filePath: WORK + "/new/deeper/lines.txt", contents: "one\ntwo\r\nthree\r\u00fc" }),
      resolves(true));
    // Read back through the server's second lookup (beside the executable).
    var bytes = await fetchBytes(WORK + "/new/deeper/lines.txt");
    eq("writeTextFile writes a byte-order mark, UTF-8 and CR LF after every line", bytes,
      [0xef, 0xbb, 0xbf].concat(utf8("one\r\ntwo\r\nthree\r\n\u00fc\r\n")));
    await call("writeTextFile with no contents", vtx.files.writeTextFile({ filePath: WORK + "/empty.txt" }),
      resolves(true));
    eq("writeTextFile with no contents writes the mark alone", await fetchBytes(WORK + "/empty.txt"),
      [0xef, 0xbb, 0xbf]);
    await call("writeTextFile without filePath", vtx.files.writeTextFile({ contents: "x" }),
      rejects("Missing filePath"));
    await call("writeTextFile with an empty filePath", vtx.files.writeTextFile({ filePath: "", contents: "x" }),
      rejects("Missing filePath"));
    await call("writeTextFile with a null filePath", vtx.files.writeTextFile({ filePath: null }),
      rejects("Missing filePath"));
    await vtx.files.writeTextFile({ filePath: WORK + "/a-file.txt", contents: "x" });
    var blocked = exeDir + WORK + SEP + "a-file.txt" + SEP + "below.txt";
    var prefix = "Cannot create file \"" + blocked + "\". ";
    await callHolds("writeTextFile below a file fails with the path and the system's reason",
      vtx.files.writeTextFile({ filePath: blocked, contents: "x" }), { rejects: prefix + "<the system's reason>" },
      function (got) {
        return typeof got.rejects === "string" && got.rejects.indexOf(prefix) === 0 &&
          isSystemText(got.rejects.slice(prefix.length));
      });

    await call("fileExists relative to the executable", vtx.files.fileExists({ filePath: WORK + "/a-file.txt" }),
      resolves(true));
    await call("fileExists with an absolute path",
      vtx.files.fileExists({ filePath: exeDir + WORK + SEP + "a-file.txt" }), resolves(true));
    await call("fileExists on a folder", vtx.files.fileExists({ filePath: WORK }), resolves(false));
    await call("fileExists on a missing file", vtx.files.fileExists({ filePath: WORK + "/nothing.txt" }),
      resolves(false));
    await call("fileExists does not look into the archive", vtx.files.fileExists({ filePath: "index.html" }),
      resolves(false));
    await call("fileExists without filePath", vtx.files.fileExists({}), rejects("Missing filePath"));
    await call("fileExists reads a number as its digits", vtx.files.fileExists({ filePath: 12345 }),
      resolves(false));

    await vtx.files.writeTextFile({ filePath: WORK + "/doomed.txt", contents: "x" });
    await call("deleteFile", vtx.files.deleteFile({ filePath: WORK + "/doomed.txt" }), resolves(true));
    await call("deleteFile removed it", vtx.files.fileExists({ filePath: WORK + "/doomed.txt" }), resolves(false));
    await call("deleteFile on a missing file", vtx.files.deleteFile({ filePath: WORK + "/doomed.txt" }),
      resolves(false));
    await call("deleteFile on a folder", vtx.files.deleteFile({ filePath: WORK + "/new" }), resolves(false));
    await call("deleteFile without filePath", vtx.files.deleteFile({ filePath: "" }), rejects("Missing filePath"));

    var target = exeDir + WORK + SEP + "extracted.json";
    await call("extractFile", vtx.files.extractFile({ sourceFile: "/fixtures/data.json", targetFile: target }),
      resolves(true));
    eq("extractFile copied the entry's bytes", await fetchBytes(WORK + "/extracted.json"),
      await fetchBytes("fixtures/data.json"));
    var empty = exeDir + WORK + SEP + "not-extracted.json";
    await call("extractFile puts sourceFile right after DirName",
      vtx.files.extractFile({ sourceFile: "fixtures/data.json", targetFile: empty }), rejects("File not found"));
    await call("extractFile of a missing entry",
      vtx.files.extractFile({ sourceFile: "/fixtures/missing.json", targetFile: empty }), rejects("File not found"));
    await call("extractFile without sourceFile", vtx.files.extractFile({ targetFile: target }),
      rejects("Missing sourceFile"));
    await call("extractFile without targetFile", vtx.files.extractFile({ sourceFile: "/fixtures/data.json" }),
      rejects("Missing targetFile"));
    await call("extractFile checks sourceFile first", vtx.files.extractFile({}), rejects("Missing sourceFile"));
  }

  async function folders() {
    await call("dirExists relative", vtx.folders.dirExists({ dirPath: WORK + "/new" }), resolves(true));
    await call("dirExists absolute", vtx.folders.dirExists({ dirPath: exeDir + WORK }), resolves(true));
    await call("dirExists on a file", vtx.folders.dirExists({ dirPath: WORK + "/a-file.txt" }), resolves(false));
    await call("dirExists on a missing folder", vtx.folders.dirExists({ dirPath: WORK + "/none" }),
      resolves(false));
    await call("dirExists without dirPath", vtx.folders.dirExists({}), rejects("Missing dirPath"));
    await call("deleteDir removes a folder and what it holds", vtx.folders.deleteDir({ dirPath: WORK + "/new" }),
      resolves(true));
    await call("deleteDir removed it", vtx.folders.dirExists({ dirPath: WORK + "/new" }), resolves(false));
    await call("deleteDir on a missing folder", vtx.folders.deleteDir({ dirPath: WORK + "/new" }),
      resolves(false));
    await call("deleteDir without dirPath", vtx.folders.deleteDir({ dirPath: null }), rejects("Missing dirPath"));

    var named = [["getTempDir", vtx.folders.getTempDir], ["getUserDocumentsDir", vtx.folders.getUserDocumentsDir],
      ["getUserDesktopDir", vtx.folders.getUserDesktopDir], ["getAppExecutableDir", vtx.folders.getAppExecutableDir]];
    for (var i = 0; i < named.length; i++) {
      await callHolds(named[i][0] + " is an absolute folder path ending with " + SEP, named[i][1](),
        { resolves: "an absolute path ending with " + SEP }, function (got) {
          return typeof got.resolves === "string" && isAbsolute(got.resolves) &&
            got.resolves.slice(-1) === SEP;
        });
    }
    await call("getTempDir names a folder", vtx.folders.dirExists({ dirPath: tempDir }), resolves(true));
    await vtx.files.writeTextFile({ filePath: WORK + "/probe.txt", contents: "probe" });
    await call("getAppExecutableDir is where relative paths start",
      vtx.files.fileExists({ filePath: exeDir + WORK + SEP + "probe.txt" }), resolves(true));
  }

  async function appAndWindow() {
    var title = "a \"quoted\" \\ title\nwith \u00fc and \u2013";
    await call("setTitle", vtx.window.setTitle({ title: title }), resolves(true));
    await call("getTitle gives the title back exactly", vtx.window.getTitle(), resolves(title));
    await call("setTitle without a title", vtx.window.setTitle({}), resolves(true));
    await call("getTitle after an empty title", vtx.window.getTitle(), resolves(""));
    await vtx.window.setTitle({ title: "Tessel conformance" });

    await call("getStyle", vtx.window.getStyle(), resolves("normal"));
    await call("setStyle ontop", vtx.window.setStyle({ style: "ontop" }), resolves(true));
    await call("getStyle after ontop", vtx.window.getStyle(), resolves("ontop"));
    await call("setStyle ONTOP", vtx.window.setStyle({ style: "ONTOP" }), resolves(true));
    await call("setStyle is case-sensitive", vtx.window.getStyle(), resolves("normal"));
    await vtx.window.setStyle({ style: "ontop" });
    await call("setStyle without a style", vtx.window.setStyle({}), resolves(true));
    await call("setStyle without a style sets normal", vtx.window.getStyle(), resolves("normal"));

    // getState answers the state asked for at once, while the window
    // manager carries it out later; the page's own size says when it has,
    // so that a late answer cannot overtake the next request.
    var normalWidth = window.innerWidth;
    var wider = function (w) { return w > normalWidth; };
    var normal = function (w) { return w === normalWidth; };
    wider.description = "wider than " + normalWidth;
    normal.description = normalWidth;
    await call("getState", vtx.window.getState(), resolves("normal"));
    await call("setState Maximized", vtx.window.setState({ state: "Maximized" }), resolves(true));
    await call("setState is case-sensitive", vtx.window.getState(), resolves("normal"));
    await call("setState maximized", vtx.window.setState({ state: "maximized" }), resolves(true));
    await becomes("getState after maximized", vtx.window.getState, "maximized");
    await sized("the page grows with the maximized window", wider);
    await call("setState normal", vtx.window.setState({ state: "normal" }), resolves(true));
    await becomes("getState after normal", vtx.window.getState, "normal");
    await sized("the page is back to its size", normal);
    await call("setState minimized", vtx.window.setState({ state: "minimized" }), resolves(true));
    await becomes("getState after minimized", vtx.window.getState, "minimized");
    await vtx.window.setState({ state: "normal" });
    await becomes("getState after restoring", vtx.window.getState, "normal");
    await sized("the restored page has its size", normal);
    await call("setState with an unknown state", vtx.window.setState({ state: "hidden" }), resolves(true));
    await call("setState with an unknown state changes nothing", vtx.window.getState(), resolves("normal"));

    await call("inFullscreen", vtx.app.inFullscreen(), resolves(false));
    var enter = watch(vtx.app.enterFullscreen());
    var again = watch(vtx.app.enterFullscreen());
    await call("inFullscreen after enterFullscreen twice", vtx.app.inFullscreen(), resolves(true));
    await becomes("getState in full screen", vtx.window.getState, "maximized");
    await sized("the page grows in full screen", wider);
    var exit = watch(vtx.app.exitFullscreen());
    await call("inFullscreen after exitFullscreen", vtx.app.inFullscreen(), resolves(false));
    await becomes("getState after full screen", vtx.window.getState, "normal");
    await sized("the page is back to its size after full screen", normal);
    var extra = watch(vtx.app.exitFullscreen());
    await call("exitFullscreen when not in full screen changes nothing", vtx.app.inFullscreen(), resolves(false));
    await roundTrip();
    eq("enterFullscreen and exitFullscreen are never answered",
      [enter.settled, again.settled, exit.settled, extra.settled], [false, false, false, false]);
  }

  async function shell() {
    var workDir = exeDir + WORK;
    var lines = WINDOWS ? "\r\n" : "\n";
    var cases = WINDOWS ? [
      ["command", { command: "echo hello" }, "hello\r\n"],
      ["command output with quotes and backslashes", { command: "echo a\"b\\c" }, "a\"b\\c\r\n"],
      ["command standard error", { command: "(echo oops)1>&2" }, "oops\r\n"],
      ["command workingDir", { command: "cd", workingDir: workDir, showWindow: false }, workDir + "\r\n"],
      ["command with showWindow true", { command: "echo shown", showWindow: true }, "shown\r\n"],
      ["command output is UTF-8 text", { command: "echo caf\u00e9" }, null],
    ] : [
      ["command", { command: "echo hello" }, "hello\n"],
      ["command output with quotes and backslashes", { command: "printf '%s' 'a\"b\\c'" }, "a\"b\\c"],
      ["command standard error", { command: "echo oops >&2" }, "oops\n"],
      ["command workingDir", { command: "pwd", workingDir: workDir, showWindow: false }, workDir + "\n"],
      ["command with showWindow true", { command: "echo shown", showWindow: true }, "shown\n"],
      ["command output keeps NUL bytes", { command: "printf 'a\\000b'" }, "a\u0000b"],
      ["command output is UTF-8 text", { command: "printf 'caf\u00e9'" }, "caf\u00e9"],
    ];
    for (var i = 0; i < cases.length; i++) {
      if (cases[i][2] === null) {
        skip(cases[i][0], "cmd.exe prints in the console's code page, which differs by machine");
        continue;
      }
      await call(cases[i][0], vtx.shell.command(cases[i][1]), resolves(cases[i][2]));
    }
    if (WINDOWS) skip("command output keeps NUL bytes", "cmd.exe cannot print a NUL byte");
    await call("command without command", vtx.shell.command({ workingDir: workDir }), rejects("Missing command"));
    await call("command with a null command", vtx.shell.command({ command: null }), rejects("Missing command"));
    var missingDir = workDir + SEP + "no-such-folder";
    var enterPrefix = "cannot enter the folder '" + missingDir + "': ";
    await callHolds("command in a missing workingDir fails with the reason",
      vtx.shell.command({ command: "echo x", workingDir: missingDir }),
      { rejects: enterPrefix + (WINDOWS ? "<the system's reason>" : "No such file or directory") },
      function (got) {
        if (typeof got.rejects !== "string" || got.rejects.indexOf(enterPrefix) !== 0) return false;
        var reason = got.rejects.slice(enterPrefix.length);
        return WINDOWS ? isSystemText(reason) : reason === "No such file or directory";
      });
    // A long command does not hold the calls after it.
    var order = [];
    var slow = vtx.shell.command({ command: WINDOWS ? "ping -n 3 127.0.0.1 >nul & echo slow" : "sleep 2; echo slow" })
      .then(function (out) { order.push(out); });
    await vtx.hello().then(function () { order.push("hello"); });
    await outcome(slow);
    eq("a long command runs beside other calls", order, ["hello", "slow" + lines]);

    var executed = workDir + SEP + "executed.txt";
    var program = WINDOWS ? { filePath: "cmd.exe", arguments: "/c type nul > \"" + executed + "\"" }
                          : { filePath: "touch", arguments: "\"" + executed + "\"" };
    await call("execute a program with arguments", vtx.shell.execute(program), resolves(true));
    await becomes("execute ran the program", function () {
      return vtx.files.fileExists({ filePath: executed });
    }, true, 20000);
    await call("execute without filePath", vtx.shell.execute({ arguments: "x" }), rejects("Missing filePath"));
    if (WINDOWS) {
      skip("execute a missing program", "the shell may show its own error box, which needs a person");
    } else {
      await call("execute a missing program", vtx.shell.execute({ filePath: "/nonexistent/program" }),
        rejects("No such file or directory"));
    }
    await call("explore an existing file", vtx.shell.explore({ filePath: workDir + SEP + "probe.txt" }),
      resolves(true));
    await call("explore without filePath", vtx.shell.explore({}), rejects("Missing filePath"));

    await vtx.window.setTitle({ title: "Tessel conformance \"windows\"" });
    await callHolds("windows lists the app's window", vtx.shell.windows(),
      { resolves: "an array of strings holding \"Tessel conformance \\\"windows\\\"\"" }, function (got) {
        return Array.isArray(got.resolves) && got.resolves.every(function (t) { return typeof t === "string"; }) &&
          got.resolves.indexOf("Tessel conformance \"windows\"") >= 0;
      });
    await vtx.window.setTitle({ title: "Tessel conformance" });
  }

  function dialogs() {
    // Their argument errors are among the never-answered calls above.
    skip("dialogs.openFile", "a chosen file or a cancel needs a person; only its argument errors are checked");
    skip("dialogs.saveFile", "a chosen file or a cancel needs a person; only its argument errors are checked");
  }

  async function overlapping() {
    var before = replies.length;
    var calls = [];
    for (var i = 0; i < 400; i++) {
      switch (i % 4) {
        case 0: calls.push(vtx.hello().then(function (r) { return r === "2021.28"; })); break;
        case 1: calls.push(vtx.files.fileExists({ filePath: WORK + "/probe.txt" })
          .then(function (r) { return r === true; })); break;
        case 2: calls.push(vtx.files.fileExists({ filePath: "missing-" + i })
          .then(function (r) { return r === false; })); break;
        default: calls.push(vtx.call(30001, {}).then(function () { return false; },
          function (e) { return e === "Missing filePath"; }));
      }
    }
    var settled = await outcome(Promise.all(calls));
    eq("400 overlapping calls settle with their own results",
      settled.resolves ? settled.resolves.filter(function (ok) { return !ok; }).length : settled, 0);
    var seen = {};
    var bad = replies.slice(before).map(function (r) { return r && r.uuid; }).filter(function (u) {
      var ok = typeof u === "string" && /^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$/.test(u) &&
        !seen[u];
      seen[u] = true;
      return !ok;
    });
    eq("400 replies", replies.length - before, 400);
    eq("reply uuids are distinct version-4 uuids in lower case", bad, []);
  }

  // --- serving ---

  function utf8(text) {
    return Array.from(new TextEncoder().encode(text));
  }
  async function fetchBytes(address, init) {
    try {
      var response = await fetch(address, init);
      return Array.from(new Uint8Array(await response.arrayBuffer()));
    } catch (e) {
      return "fetch failed: " + e;
    }
  }
  // What a page sees of a response: status, the headers that matter, body.
  async function request(address, init) {
    try {
      var response = await fetch(address, init);
      var body = new Uint8Array(await response.arrayBuffer());
      return {
        status: response.status,
        type: response.headers.get("content-type"),
        range: response.headers.get("content-range"),
        length: response.headers.get("content-length"),
        acceptRanges: response.headers.get("accept-ranges"),
        policy: response.headers.get("content-security-policy"),
        body: body,
      };
    } catch (e) {
      return { failed: String(e) };
    }
  }
  function text(body) {
    return new TextDecoder().decode(body);
  }
  // The counter fixtures hold a little-endian 32-bit counter.
  function counterBytes(first, last) {
    var out = [];
    for (var i = first; i <= last; i++) out.push(((i >>> 2) >>> (8 * (i & 3))) & 0xff);
    return out;
  }
  function sameBytes(body, first, last) {
    if (!body || body.length !== last - first + 1) return false;
    for (var i = 0; i < body.length; i++) {
      if (body[i] !== (((first + i) >>> 2) >>> (8 * ((first + i) & 3)) & 0xff)) return false;
    }
    return true;
  }

  async function mimeTypes() {
    // The system's MIME database overrides the built-in table, so a type can
    // differ between machines; each list holds what the systems we run on give.
    var cases = [
      ["index.html", ["text/html"]],
      ["fixtures/style.css", ["text/css"]],
      ["fixtures/classic.js", ["text/javascript", "application/javascript", "application/x-javascript"]],
      ["fixtures/data.json", ["application/json"]],
      ["fixtures/image.svg", ["image/svg+xml"]],
      ["fixtures/image.png", ["image/png"]],
      ["fixtures/add.wasm", ["application/wasm"]],
      ["fixtures/text.txt", ["text/plain"]],
      ["fixtures/unknown.tesselx", ["application/octet-stream"]],
    ];
    for (var i = 0; i < cases.length; i++) {
      var got = await request(cases[i][0]);
      // Every type claims the charset but WebAssembly's, whose streaming
      // compile takes the bare type only.
      var want = cases[i][1].map(function (t) { return t === "application/wasm" ? t : t + "; charset=utf-8"; });
      holds("Content-Type of " + cases[i][0], { status: got.status, type: got.type },
        { status: 200, type: want.length === 1 ? want[0] : "one of " + want.join(" | ") },
        function (g) { return g.status === 200 && want.indexOf(g.type) >= 0; });
    }
    // Several Content-Type lines would reach the page joined by ", ".
    var doc = await request("index.html");
    holds("exactly one Content-Type header", doc.type, "one value, no \", \"", function (t) {
      return typeof t === "string" && t.indexOf(",") < 0;
    });

    // What the engine makes of the types.
    eq("a style sheet applies", getComputedStyle(document.getElementById("style-probe")).color, "rgb(1, 2, 3)");
    eq("a classic script runs", window.conformanceClassicScript, "ran");
    var png = document.getElementById("png-probe");
    var svg = document.getElementById("svg-probe");
    eq("a PNG image decodes", [png.complete, png.naturalWidth, png.naturalHeight], [true, 2, 3]);
    eq("an SVG image decodes", [svg.complete, svg.naturalWidth, svg.naturalHeight], [true, 4, 5]);
    var module;
    try {
      module = (await import("./fixtures/module.js")).answer;
    } catch (e) {
      module = "import failed: " + e;
    }
    eq("a module script loads (strict MIME check)", module, 42);
    var bytes;
    try {
      var wasm = await WebAssembly.instantiate(await (await fetch("fixtures/add.wasm")).arrayBuffer());
      bytes = wasm.instance.exports.add(2, 3);
    } catch (e) {
      bytes = "instantiate failed: " + e;
    }
    eq("WebAssembly compiles from the served bytes", bytes, 5);
    var streamed;
    try {
      streamed = (await WebAssembly.instantiateStreaming(fetch("fixtures/add.wasm"))).instance.exports.add(2, 3);
    } catch (e) {
      streamed = e instanceof TypeError ? "TypeError" : String(e);
    }
    eq("WebAssembly compiles as it streams", streamed, 5);
    var json;
    try {
      json = await (await fetch("fixtures/data.json")).json();
    } catch (e) {
      json = "failed: " + e;
    }
    eq("JSON reads back", json, { name: "conformance", items: [1, 2, 3] });
  }

  // An image element's view of an address, which needs no fetch.
  function imageSize(address) {
    return new Promise(function (resolve) {
      var image = new Image();
      image.onload = function () { resolve([image.naturalWidth, image.naturalHeight]); };
      image.onerror = function () { resolve("error"); };
      image.src = address;
      setTimeout(function () { resolve("no load or error within 10 s"); }, 10000);
    });
  }

  async function lookups() {
    var archived = "from the archive\n";
    var cases = [
      ["an archive entry", "fixtures/text.txt", archived],
      ["an address from the app's root", "/fixtures/text.txt", archived],
      ["a query is left off when the name has none", "fixtures/text.txt?v=2", archived],
      ["percent escapes are decoded", "fixtures/with%20space.txt", "a name with a blank\n"],
    ];
    for (var i = 0; i < cases.length; i++) {
      var got = await request(cases[i][1]);
      eq("serves " + cases[i][0], got.failed || [got.status, text(got.body)], [200, cases[i][2]]);
    }
    await vtx.files.writeTextFile({ filePath: WORK + "/beside.txt", contents: "beside" });
    var beside = await request(WORK + "/beside.txt");
    eq("serves a file beside the executable", beside.failed || [beside.status, text(beside.body)],
      [200, "beside\r\n"]);
    var svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"6\" height=\"7\"/>";
    await vtx.files.writeTextFile({ filePath: WORK + "/beside.svg", contents: svg });
    eq("an image beside the executable loads", await imageSize(WORK + "/beside.svg"), [6, 7]);
    await vtx.files.writeTextFile({ filePath: "fixtures/shadowed.txt", contents: "the disk" });
    var shadowed = await request("fixtures/shadowed.txt");
    eq("the archive wins over the disk", shadowed.failed || text(shadowed.body), "the archive wins\n");
    await vtx.files.deleteFile({ filePath: "fixtures/shadowed.txt" });

    // Not served: an escaped "/" and a missing file are left to the engine,
    // which answers with an error page or fails the request.
    var missing = [["a missing file", "fixtures/missing.txt"], ["an escaped /", "fixtures%2Ftext.txt"]];
    for (var j = 0; j < missing.length; j++) {
      var none = await request(missing[j][1]);
      holds("does not serve " + missing[j][0], none.failed || { status: none.status }, "a failed request or status >= 400",
        function (g) { return typeof g === "string" || g.status >= 400; });
    }

    // The third lookup: a file by its absolute path. As a document it gets an
    // origin of its own.
    await vtx.files.writeTextFile({ filePath: tempDir + "tessel-conformance-abs.txt", contents: "absolute" });
    await vtx.files.writeTextFile({ filePath: tempDir + "tessel-conformance-abs.html", contents: "<p>x</p>" });
    await vtx.files.writeTextFile({ filePath: tempDir + "tessel-conformance-abs.svg", contents: svg });
    eq("an image by its absolute path loads",
      await imageSize(absoluteAddress(tempDir + "tessel-conformance-abs.svg")), [6, 7]);
    await vtx.files.deleteFile({ filePath: tempDir + "tessel-conformance-abs.svg" });
    var abs = await request(absoluteAddress(tempDir + "tessel-conformance-abs.txt"));
    eq("serves a file by its absolute path", abs.failed || [abs.status, text(abs.body)], [200, "absolute\r\n"]);
    var absDoc = await request(absoluteAddress(tempDir + "tessel-conformance-abs.html"));
    holds("a document read by its absolute path is sandboxed", absDoc.failed || absDoc.policy,
      "Content-Security-Policy: sandbox ...", function (p) { return typeof p === "string" && /^sandbox\b/.test(p); });
    eq("an archive document is not sandboxed", (await request("index.html")).policy, null);
    await vtx.files.deleteFile({ filePath: tempDir + "tessel-conformance-abs.txt" });
    await vtx.files.deleteFile({ filePath: tempDir + "tessel-conformance-abs.html" });

    var head = await request("fixtures/text.txt", { method: "HEAD" });
    var headSeen = head.failed || { status: head.status, type: head.type, body: head.body.length };
    var headWant = { status: 200, type: "text/plain; charset=utf-8", body: 0 };
    eq("HEAD", headSeen, headWant);
  }

  async function ranges(address, size, label) {
    var cases = [
      ["bytes=0-9", 206, 0, 9],
      ["bytes=100-", 206, 100, size - 1],
      ["bytes=-16", 206, size - 16, size - 1],
      ["bytes=" + (size - 10) + "-" + (size + 100), 206, size - 10, size - 1],
      ["bytes=" + size + "-", 416],
      ["bytes=0-1,4-5", 200, 0, size - 1],
      ["bytes=5-2", 200, 0, size - 1],
      ["items=0-9", 200, 0, size - 1],
    ];
    if (size > 4 << 20) {
      // Across the start of the fifth megabyte, then back to the start: a
      // streamed entry runs its cipher forward and starts again.
      cases.push(["bytes=4194300-4194315", 206, 4194300, 4194315]);
      cases.push(["bytes=1048570-1048585", 206, 1048570, 1048585]);
      cases.push(["bytes=10-19", 206, 10, 19]);
    }
    for (var i = 0; i < cases.length; i++) {
      var c = cases[i];
      var got = await request(address, { headers: { Range: c[0] } });
      var name = label + " " + c[0];
      if (got.failed) {
        record(name, false, c[1], got);
        continue;
      }
      var expected, actual;
      if (c[1] === 206) {
        expected = { status: 206, range: "bytes " + c[2] + "-" + c[3] + "/" + size, length: String(c[3] - c[2] + 1),
          acceptRanges: "bytes", bytes: "the file's bytes " + c[2] + " to " + c[3] };
        actual = { status: got.status, range: got.range, length: got.length, acceptRanges: got.acceptRanges,
          bytes: sameBytes(got.body, c[2], c[3]) ? expected.bytes : Array.from(got.body.slice(0, 16)) };
      } else if (c[1] === 416) {
        expected = { status: 416, range: "bytes */" + size, bodyLength: 0 };
        actual = { status: got.status, range: got.range, bodyLength: got.body.length };
      } else {
        expected = { status: 200, range: null, bytes: "the whole file" };
        actual = { status: got.status, range: got.range,
          bytes: sameBytes(got.body, 0, size - 1) ? "the whole file" : got.body.length + " bytes" };
      }
      eq(name, actual, expected);
    }
  }

  async function serving() {
    await mimeTypes();
    await lookups();
    await ranges("fixtures/range.bin", 10000, "Range on an archive entry:");
    var big = await fetch("fixtures/big.bin", { method: "HEAD" }).then(function (r) { return r.status; },
      function () { return 0; });
    if (big === 200) {
      await ranges("fixtures/big.bin", BIG_SIZE, "Range on a streamed entry:");
      var whole = await request("fixtures/big.bin");
      eq("a streamed entry arrives whole", whole.failed || sameBytes(whole.body, 0, BIG_SIZE - 1), true);
    } else {
      skip("Range on a streamed entry", "fixtures/big.bin was not packed (the runner makes it)");
    }
    if (!WINDOWS) {
      eq("pages show the private address on Linux", location.protocol, "tessel-app:");
    } else {
      eq("pages show their file: address on Windows", location.protocol, "file:");
    }
  }

  // --- trust ---

  async function frames() {
    var kinds = [];
    var reports = {};
    window.addEventListener("message", function (event) {
      var f = event.data && event.data.conformanceFrame;
      if (!f) return;
      reports[f.report.kind] = reports[f.report.kind] || {};
      reports[f.report.kind][f.stage] = f.report;
    });
    var probe = String(window.conformanceFrameProbe);
    function inline(kind) {
      return "<!DOCTYPE html><script>(" + probe + ")(" + JSON.stringify(kind) + ");</" + "script>";
    }
    function add(kind, setup) {
      kinds.push(kind);
      var frame = document.createElement("iframe");
      setup(frame);
      document.body.appendChild(frame);
      return frame;
    }
    add("app-page", function (f) { f.src = "fixtures/frame.html?kind=app-page"; });
    add("sandboxed", function (f) {
      f.sandbox = "allow-scripts";
      f.srcdoc = inline("sandboxed");
    });
    add("srcdoc", function (f) { f.srcdoc = inline("srcdoc"); });
    add("data", function (f) { f.src = "data:text/html;charset=utf-8," + encodeURIComponent(inline("data")); });
    var blank = add("about-blank", function () {});
    // about:blank shares the page's origin: run the probe in it from here.
    try {
      var script = blank.contentDocument.createElement("script");
      script.textContent = "(" + probe + ")('about-blank');";
      blank.contentDocument.documentElement.appendChild(script);
    } catch (e) {
      reports["about-blank"] = { posted: { kind: "about-blank", error: String(e), answered: [] } };
    }

    var until = Date.now() + 20000;
    while (Date.now() < until && kinds.some(function (k) { return !(reports[k] && reports[k].posted); })) {
      await sleep(50);
    }
    await roundTrip();
    await roundTrip();
    await sleep(QUIET_MS);
    for (var i = 0; i < kinds.length; i++) {
      var kind = kinds[i];
      var got = reports[kind] || {};
      eq("a frame (" + kind + ") ran its probe", !!got.posted, true);
      eq("a frame (" + kind + ") gets no answer from the bridge", got.answered ? got.answered.answered : [], []);
      await call("a frame (" + kind + ") has no effect",
        vtx.files.fileExists({ filePath: WORK + "/marker-" + kind + ".txt" }), resolves(false));
    }
    await call("the page keeps its bridge after its frames tried", vtx.hello(), resolves("2021.28"));
  }

  async function permissions() {
    // The app's own top-level page is granted what it asks, without a prompt.
    var notification;
    try {
      notification = await outcome(Notification.requestPermission(), 10000);
    } catch (e) {
      notification = { threw: String(e) };
    }
    eq("the app's page is granted notifications without a prompt", notification, resolves("granted"));
    skip("new windows", "a window the page opens starts a new instance of the app, which outlives the checks");
    skip("the close box", "only vtx.app.close() is exercised; the close box needs a person");
  }

  // --- report and close ---

  async function finish() {
    var failed = results.filter(function (r) { return !r.ok; }).length;
    var report = {
      platform: WINDOWS ? "windows" : "linux",
      engine: navigator.userAgent,
      passed: results.length - failed,
      failed: failed,
      skipped: skipped,
      knownFaults: results.filter(function (r) { return r.knownFault; }).map(function (r) {
        return r.name + ": " + r.knownFault;
      }),
      results: results,
    };
    var written = await outcome(vtx.files.writeTextFile({
      filePath: "conformance-report.json",
      contents: JSON.stringify(report, null, 1),
    }));
    document.title = "DONE " + report.passed + "/" + results.length + (written.resolves ? "" : " (report not written)");
    // The close handshake: the default close query would close too; this one
    // closes once, whoever asks.
    vtx.events.onCloseQuery = function () { vtx.app.close(); };
    vtx.app.close();
  }

  async function run() {
    try {
      exeDir = await vtx.folders.getAppExecutableDir();
      tempDir = await vtx.folders.getTempDir();
      await vtx.folders.deleteDir({ dirPath: WORK });
    } catch (e) {
      record("the folders the checks need", false, "two folder paths", String(e));
    }
    var steps = [topLevel, neverAnswered, files, folders, serving, appAndWindow, shell, dialogs, overlapping,
      frames, permissions];
    for (var i = 0; i < steps.length; i++) {
      try {
        await steps[i]();
      } catch (e) {
        record(steps[i].name + " ran to its end", false, "no exception", e && e.stack ? e.stack : String(e));
      }
    }
    await finish();
  }

  window.addEventListener("load", run);
})();
