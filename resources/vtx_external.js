/*
 * window.vtx: the page side of the script bridge.
 *
 * Each function posts one message {id, uuid, data} to the host through
 * window.chrome.webview and returns a promise. The host answers with
 * {uuid, success, result}; the reply whose uuid matches settles the promise:
 * resolved with result when success is true, rejected with result otherwise.
 * Replies may come in any order, and some calls are never answered
 * (app.close, app.enterFullscreen, app.exitFullscreen).
 *
 * A function ID is the group number times 10000 plus the function's place in
 * its group: 1 top level, 2 dialogs, 3 files, 4 folders, 5 app, 6 window,
 * 7 shell.
 *
 * This script runs at the creation of every document, before the page's own
 * scripts.
 */
window.vtx = {
  call: function (funcID, args) {
    var uuid = "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx".replace(/[xy]/g, function (c) {
      var r = Math.random() * 16 | 0;
      return (c === "x" ? r : (r & 3) | 8).toString(16);
    });
    return new Promise(function (resolve, reject) {
      // One listener per pending call, in place before the message leaves so
      // that no reply can arrive unseen.
      var exec = function (message) {
        var reply = message.data;
        if (reply && reply.uuid === uuid) {
          window.chrome.webview.removeEventListener("message", exec);
          if (reply.success) {
            resolve(reply.result);
          } else {
            reject(reply.result);
          }
        }
      };
      window.chrome.webview.addEventListener("message", exec);
      window.chrome.webview.postMessage({id: funcID, uuid: uuid, data: args});
    });
  },
  hello: function () { return this.call(10001, {}); },
  isRuntime: function () { return this.call(10002, {}); },
  dialogs: {
    openFile: function (args) { return window.vtx.call(20001, args); },
    saveFile: function (args) { return window.vtx.call(20002, args); }
  },
  files: {
    fileExists: function (args) { return window.vtx.call(30001, args); },
    deleteFile: function (args) { return window.vtx.call(30002, args); },
    writeTextFile: function (args) { return window.vtx.call(30003, args); },
    extractFile: function (args) { return window.vtx.call(30004, args); }
  },
  folders: {
    dirExists: function (args) { return window.vtx.call(40001, args); },
    deleteDir: function (args) { return window.vtx.call(40002, args); },
    getTempDir: function () { return window.vtx.call(40003, {}); },
    getUserDocumentsDir: function () { return window.vtx.call(40004, {}); },
    getUserDesktopDir: function () { return window.vtx.call(40005, {}); },
    getAppExecutableDir: function () { return window.vtx.call(40006, {}); }
  },
  app: {
    close: function () { return window.vtx.call(50001, {}); },
    inFullscreen: function () { return window.vtx.call(50002, {}); },
    enterFullscreen: function () { return window.vtx.call(50003, {}); },
    exitFullscreen: function () { return window.vtx.call(50004, {}); }
  },
  window: {
    getStyle: function () { return window.vtx.call(60001, {}); },
    setStyle: function (args) { return window.vtx.call(60002, args); },
    getState: function () { return window.vtx.call(60003, {}); },
    setState: function (args) { return window.vtx.call(60004, args); },
    getTitle: function () { return window.vtx.call(60005, {}); },
    setTitle: function (args) { return window.vtx.call(60006, args); }
  },
  shell: {
    execute: function (args) { return window.vtx.call(70001, args); },
    explore: function (args) { return window.vtx.call(70002, args); },
    command: function (args) { return window.vtx.call(70003, args); },
    windows: function () { return window.vtx.call(70004, {}); }
  },
  events: {
    // The host runs "vtx.events.onCloseQuery();" when the user tries to close
    // the window. A page that assigns its own function here decides when to
    // close by calling window.vtx.app.close() itself.
    onCloseQuery: function () {
      window.vtx.app.close();
    }
  }
};
