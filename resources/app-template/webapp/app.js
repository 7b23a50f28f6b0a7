// @ts-check
/// <reference path="vtx.d.ts" />
// The page's own script. window.vtx calls the runtime's native functions;
// each returns a promise. vtx.d.ts (left out of the packaged app by
// .tesselignore) lets editors complete and check these calls.

const appFolder = /** @type {HTMLElement} */ (document.getElementById("app-folder"));
const openFile = /** @type {HTMLButtonElement} */ (document.getElementById("open-file"));
const chosenFile = /** @type {HTMLElement} */ (document.getElementById("chosen-file"));

if (window.vtx) {
  vtx.folders.getAppExecutableDir().then(
    (folder) => { appFolder.textContent = folder; },
    (error) => { appFolder.textContent = "(" + error + ")"; });

  openFile.addEventListener("click", async () => {
    try {
      const path = await vtx.dialogs.openFile({ title: "Open a file", fileTypes: "All files|*.*" });
      chosenFile.textContent = path === "" ? "No file chosen." : "You chose " + path;
    } catch (error) {
      chosenFile.textContent = "The dialog failed: " + error;
    }
  });
} else {
  // In a plain browser there is no runtime to answer.
  appFolder.textContent = "(not in Tessel)";
  openFile.disabled = true;
}
