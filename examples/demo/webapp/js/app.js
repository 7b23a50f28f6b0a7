// Shows whether the runtime's bridge (window.vtx) is present and calls a few
// of its functions when it is. Works in a plain browser too.
(function () {
  "use strict";

  const log = document.getElementById("log");
  const state = document.getElementById("bridge-state");

  function print(text) {
    log.textContent += text + "\n";
  }

  function call(path, args) {
    // path such as "files.fileExists"; resolves to undefined without a bridge.
    let fn = window.vtx;
    for (const part of path.split(".")) fn = fn && fn[part];
    if (typeof fn !== "function") {
      return Promise.reject(new Error("vtx." + path + " is not available"));
    }
    return Promise.resolve(fn.call(null, args));
  }

  document.getElementById("page-url").textContent = location.href;

  const hasBridge = typeof window.vtx === "object" && window.vtx !== null;
  state.textContent = hasBridge ? "available" : "not available";
  state.className = hasBridge ? "on" : "off";
  for (const button of document.querySelectorAll(".actions button")) {
    button.disabled = !hasBridge;
  }

  document.getElementById("btn-title").addEventListener("click", function () {
    const title = "Tessel Demo - " + new Date().toLocaleTimeString();
    call("window.setTitle", { title: title })
      .then(function () { print("title set to \"" + title + "\""); })
      .catch(function (e) { print("error: " + e.message); });
  });

  document.getElementById("btn-exists").addEventListener("click", function () {
    call("files.fileExists", { filePath: "vtx.ini" })
      .then(function (exists) { print("vtx.ini exists beside the app: " + exists); })
      .catch(function (e) { print("error: " + e.message); });
  });
})();
