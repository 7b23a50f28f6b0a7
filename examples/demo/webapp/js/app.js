// The demo's control panel: every button calls one function of window.vtx
// with the arguments from the fields beside it and shows the answer in the
// results list. Works in a plain browser too, where the buttons stay off.
/// <reference path="../../../../resources/vtx.d.ts" />
(function () {
  "use strict";

  /** @type {(id: string) => any} The page's fields and buttons, by id. */
  const $ = (id) => document.getElementById(id);
  const log = $("log");
  const hasBridge = typeof window.vtx === "object" && window.vtx !== null;
  const onWindows = /win/i.test(navigator.platform);

  // The arguments each function takes, read from the fields when clicked.
  const argumentsOf = {
    "window.setTitle": () => ({ title: $("win-title").value }),
    "window.setStyle": () => ({ style: $("win-style").value }),
    "window.setState": () => ({ state: $("win-state").value }),
    "files.fileExists": () => ({ filePath: $("file-path").value }),
    "files.deleteFile": () => ({ filePath: $("file-path").value }),
    "files.writeTextFile": () => ({ filePath: $("file-path").value, contents: $("file-contents").value }),
    "files.extractFile": () => ({ sourceFile: $("extract-source").value, targetFile: $("extract-target").value }),
    "folders.dirExists": () => ({ dirPath: $("dir-path").value }),
    "folders.deleteDir": () => ({ dirPath: $("dir-path").value }),
    "dialogs.openFile": () => dialogArgs(false),
    "dialogs.saveFile": () => dialogArgs(true),
    "shell.command": () => ({ command: $("sh-command").value }),
    "shell.execute": () => ({ filePath: $("sh-path").value, arguments: $("sh-args").value }),
    "shell.explore": () => ({ filePath: $("sh-path").value }),
  };

  // These post their message and never hear back.
  const neverAnswered = new Set(["app.close", "app.enterFullscreen", "app.exitFullscreen"]);

  // Where an answer is handy next: a chosen file goes to the file field, a
  // folder to the folder field.
  const useAnswer = {
    "dialogs.openFile": (path) => path && ($("file-path").value = path),
    "dialogs.saveFile": (path) => path && ($("file-path").value = path),
    "folders.getTempDir": (dir) => ($("dir-path").value = dir),
    "folders.getUserDocumentsDir": (dir) => ($("dir-path").value = dir),
    "folders.getUserDesktopDir": (dir) => ($("dir-path").value = dir),
    "folders.getAppExecutableDir": (dir) => ($("dir-path").value = dir),
    "window.getTitle": (title) => ($("win-title").value = title),
  };

  function dialogArgs(save) {
    const args = { fileTypes: $("dlg-types").value };
    if ($("dlg-title").value) args.title = $("dlg-title").value;
    if ($("dlg-name").value) args.fileName = $("dlg-name").value;
    if (save) args.overwritePrompt = $("dlg-overwrite").checked;
    return args;
  }

  function functionOf(path) {
    let owner = window.vtx;
    const parts = path.split(".");
    for (let i = 0; i < parts.length - 1; i++) owner = owner && owner[parts[i]];
    const fn = owner && owner[parts[parts.length - 1]];
    return typeof fn === "function" ? fn.bind(owner) : null;
  }

  function show(value) {
    return typeof value === "string" ? JSON.stringify(value) : JSON.stringify(value, null, 1);
  }

  // Adds an entry to the top of the results; returns it for the answer.
  function entry(call, kind, text) {
    const item = document.createElement("li");
    item.className = "entry " + kind;
    const head = document.createElement("span");
    head.className = "call";
    head.textContent = call;
    const result = document.createElement("span");
    result.className = "result";
    result.textContent = text;
    item.append(head, result);
    log.prepend(item);
    while (log.children.length > 60) log.lastElementChild.remove();
    return item;
  }

  function settle(item, kind, text, started) {
    item.className = "entry " + kind;
    item.querySelector(".result").textContent = text;
    const time = document.createElement("span");
    time.className = "time";
    time.textContent = Math.max(0, Math.round(performance.now() - started)) + " ms";
    item.querySelector(".call").append(time);
  }

  async function run(path) {
    const fn = functionOf(path);
    const args = argumentsOf[path] ? argumentsOf[path]() : undefined;
    const call = "vtx." + path + "(" + (args ? JSON.stringify(args) : "") + ")";
    if (!fn) {
      entry(call, "fail", "not available outside the runtime");
      return;
    }
    const item = entry(call, "wait", "waiting for the answer\u2026");
    const started = performance.now();
    const promise = args ? fn(args) : fn();
    if (neverAnswered.has(path)) {
      settle(item, "info", "sent; this function never answers", started);
      if (path !== "app.close") {
        // The window changes a moment later; ask what the runtime thinks now.
        setTimeout(() => run("app.inFullscreen"), 400);
      }
      return;
    }
    try {
      const result = await promise;
      settle(item, "ok", show(result), started);
      if (useAnswer[path]) useAnswer[path](result);
    } catch (error) {
      settle(item, "fail", "failed: " + show(error), started);
    }
  }

  // --- the close handshake -------------------------------------------------------

  let confirmClose = null;
  const closeButton = $("close-button");
  closeButton.addEventListener("click", (event) => {
    // A first click arms the button; the second one closes.
    if (!confirmClose) {
      event.stopImmediatePropagation();
      closeButton.textContent = "Click again to close";
      confirmClose = setTimeout(() => {
        closeButton.textContent = "close";
        confirmClose = null;
      }, 3000);
    }
  });

  const defaultCloseQuery = hasBridge ? window.vtx.events.onCloseQuery : null;
  $("ask-close").addEventListener("change", (event) => {
    if (!hasBridge) return;
    window.vtx.events.onCloseQuery = $("ask-close").checked
      ? () => {
          entry("vtx.events.onCloseQuery()", "info", "the user asked to close the window");
          $("close-banner").hidden = false;
        }
      : defaultCloseQuery;
  });
  $("close-yes").addEventListener("click", () => {
    $("close-banner").hidden = true;
    run("app.close");
  });
  $("close-no").addEventListener("click", () => {
    $("close-banner").hidden = true;
    entry("close refused", "info", "the window stays open");
  });

  // --- start-up ----------------------------------------------------------------------

  $("page-url").textContent = location.href;
  $("sh-command").value = onWindows ? "ver" : "uname -a";
  $("clear-log").addEventListener("click", () => log.replaceChildren());

  const state = $("bridge-state");
  state.textContent = hasBridge ? "bridge available" : "bridge not available";
  state.classList.add(hasBridge ? "on" : "off");
  const callButtons = /** @type {NodeListOf<HTMLButtonElement>} */ (
    document.querySelectorAll("button[data-call]")
  );
  for (const button of callButtons) {
    button.disabled = !hasBridge;
    button.title = "vtx." + button.dataset.call + "()";
    button.addEventListener("click", () => run(button.dataset.call));
  }
  const closeControls = /** @type {NodeListOf<HTMLButtonElement | HTMLInputElement>} */ (
    document.querySelectorAll("#close-banner button, #ask-close")
  );
  for (const button of closeControls) {
    button.disabled = !hasBridge;
  }

  if (hasBridge) {
    Promise.all([window.vtx.hello(), window.vtx.isRuntime()]).then(([version, runtime]) => {
      $("bridge-version").textContent = "version " + version + (runtime ? " \u00b7 runtime" : "");
    });
    window.vtx.folders.getTempDir().then((dir) => {
      if (!$("extract-target").value) $("extract-target").value = dir + "tessel-demo-index.html";
    });
  }
})();
