// Run by a page of another origin inside the app page (served by the test's
// own HTTP server, or as a data: page), with `marker` naming a file it tries
// to delete: through window.vtx, the page channel, the channel beneath it and
// a forged event to the relay. None of it may reach the host. Reports to the
// parent what it could try.
(function () {
  "use strict";
  var tried = [];
  function attempt(name, work) {
    try {
      work();
      tried.push(name);
    } catch (e) {
      tried.push(name + " failed: " + e);
    }
  }
  function message(uuid) {
    return { id: 30002, uuid: uuid, data: { filePath: marker } };
  }
  attempt("vtx", function () {
    window.vtx.files.deleteFile({ filePath: marker });
    window.vtx.hello();
  });
  attempt("postMessage", function () {
    window.chrome.webview.postMessage(message("foreign-post"));
    window.chrome.webview.postMessage({ id: 10001, uuid: "foreign-hello", data: {} });
  });
  attempt("channel", function () {
    window.webkit.messageHandlers.tesselWebview.postMessage(JSON.stringify(message("foreign-channel")));
  });
  attempt("relay event", function () {
    window.dispatchEvent(new CustomEvent("tessel-webview-post",
      { detail: JSON.stringify(message("foreign-event")) }));
  });
  parent.postMessage({ foreign: tried }, "*");
})();
