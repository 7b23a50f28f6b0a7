// Compiled (never run) by check_types.sh in strict mode: the calls an app
// makes must type-check, and the mistakes marked @ts-expect-error must not.
/// <reference path="../../resources/vtx.d.ts" />

async function usesEveryFunction(): Promise<void> {
  const version: string = await vtx.hello();
  const runtime: boolean = await window.vtx.isRuntime();
  const raw: unknown = await vtx.call(10001, {});

  const opened: string = await vtx.dialogs.openFile({ title: "Pick", fileTypes: "Text|*.txt" });
  const saved: string = await vtx.dialogs.saveFile({ fileName: "a.txt", overwritePrompt: true });

  const exists: boolean = await vtx.files.fileExists({ filePath: "data/a.txt" });
  const deleted: boolean = await vtx.files.deleteFile({ filePath: "data/a.txt" });
  const written: true = await vtx.files.writeTextFile({ filePath: "a.txt", contents: "x" });
  await vtx.files.writeTextFile({ filePath: "empty.txt" });
  const extracted: true = await vtx.files.extractFile({ sourceFile: "/a.json", targetFile: "a.json" });

  const dir: boolean = await vtx.folders.dirExists({ dirPath: "data" });
  const removed: boolean = await vtx.folders.deleteDir({ dirPath: "data" });
  const folders: string[] = await Promise.all([
    vtx.folders.getTempDir(),
    vtx.folders.getUserDocumentsDir(),
    vtx.folders.getUserDesktopDir(),
    vtx.folders.getAppExecutableDir(),
  ]);

  const full: boolean = await vtx.app.inFullscreen();
  void vtx.app.enterFullscreen();
  void vtx.app.exitFullscreen();

  const style: "normal" | "ontop" = await vtx.window.getStyle();
  await vtx.window.setStyle({ style: "ontop" });
  const state: "normal" | "minimized" | "maximized" = await vtx.window.getState();
  await vtx.window.setState({ state: "maximized" });
  const title: string = await vtx.window.getTitle();
  await vtx.window.setTitle({ title: "New" });
  await vtx.window.setTitle({});

  await vtx.shell.execute({ filePath: "notes.txt", arguments: "" });
  await vtx.shell.explore({ filePath: "notes.txt" });
  const output: string = await vtx.shell.command({ command: "echo hi", showWindow: false });
  const captions: string[] = await vtx.shell.windows();

  vtx.events.onCloseQuery = () => {
    void vtx.app.close();
  };

  // A grouped function still works when taken out of its group.
  const fileExists = vtx.files.fileExists;
  await fileExists({ filePath: "a" });

  void [version, runtime, raw, opened, saved, exists, deleted, written, extracted, dir, removed,
        folders, full, style, state, title, output, captions];
}

async function mistakes(): Promise<void> {
  // @ts-expect-error the argument object is required: without it the call is never answered
  await vtx.files.fileExists();
  // @ts-expect-error filePath is required
  await vtx.files.deleteFile({});
  // @ts-expect-error paths are text
  await vtx.folders.dirExists({ dirPath: ["a"] });
  // @ts-expect-error the answer is a boolean
  const text: string = await vtx.files.fileExists({ filePath: "a" });
  // @ts-expect-error no such function
  await vtx.files.readTextFile({ filePath: "a" });
  const hello = vtx.hello;
  // @ts-expect-error hello and isRuntime need vtx as `this`
  await hello();
  // @ts-expect-error a window state the runtime never reports
  const state: "fullscreen" = await vtx.window.getState();
  void [text, state];
}

void usesEveryFunction;
void mistakes;
