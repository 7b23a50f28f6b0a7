// Type declarations of window.vtx, the native functions a Tessel app's pages
// call. Reference this file from a page script for completion and type checks:
//
//   /// <reference path="vtx.d.ts" />
//
// Every function returns a promise that settles when the runtime answers.
// A failed call rejects with a string that says what went wrong, such as
// "Missing filePath". Relative paths are resolved against the folder of the
// app's executable, not against the page or the app archive.
//
// Some calls are never answered: app.close, app.enterFullscreen and
// app.exitFullscreen (typed Promise<never>), and any call whose arguments the
// runtime cannot read (an argument object left out, or an object or array
// where text is expected). Run the app with TESSEL_TRACE=1 to see why a call
// got no answer.

declare namespace Vtx {
  /** A list of file types: "Text files|*.txt;All files|*.*". */
  type FileTypes = string;

  interface OpenFileArgs {
    /** Initial file name. */
    fileName?: string;
    /** Dialog title; "Open file" when left out. */
    title?: string;
    /** Items "name|mask" separated by ";"; an item without exactly one "|" is skipped. */
    fileTypes?: FileTypes;
  }

  interface SaveFileArgs extends OpenFileArgs {
    /** Ask before replacing an existing file; false when left out. */
    overwritePrompt?: boolean | "true" | "false";
  }

  interface FilePathArgs {
    /** Required. Relative paths are resolved against the executable's folder. */
    filePath: string;
  }

  interface WriteTextFileArgs extends FilePathArgs {
    /** Written as UTF-8 with a byte-order mark, every line ended by CR LF. */
    contents?: string;
  }

  interface ExtractFileArgs {
    /** Required. Path inside the app's folder of the archive, starting with "/". */
    sourceFile: string;
    /** Required. Taken as given: a relative path is relative to the current folder. */
    targetFile: string;
  }

  interface DirPathArgs {
    /** Required. Relative paths are resolved against the executable's folder. */
    dirPath: string;
  }

  type WindowStyle = "normal" | "ontop";
  type WindowState = "normal" | "minimized" | "maximized";

  interface ShellExecuteArgs {
    /** Required. A program, document or address, handed to the system as it is. */
    filePath: string;
    /** Command-line arguments of a program. */
    arguments?: string;
  }

  interface ShellCommandArgs {
    /** Required. Run by the system's command interpreter. */
    command: string;
    /** Folder to run in; the runtime's current folder when left out. */
    workingDir?: string;
    /** Shows a console window (Windows) when exactly true or "true". */
    showWindow?: boolean | "true" | "false";
  }

  interface Dialogs {
    /** The chosen path, or "" when the user cancels. */
    openFile(args: OpenFileArgs): Promise<string>;
    /** The chosen path, or "" when the user cancels. */
    saveFile(args: SaveFileArgs): Promise<string>;
  }

  interface Files {
    /** True when a file (not a folder) exists there. Rejects with "Missing filePath". */
    fileExists(args: FilePathArgs): Promise<boolean>;
    /** True when the file was deleted, false when it was not. Rejects with "Missing filePath". */
    deleteFile(args: FilePathArgs): Promise<boolean>;
    /** Creates missing folders on the way. Rejects with "Missing filePath" or the I/O error's text. */
    writeTextFile(args: WriteTextFileArgs): Promise<true>;
    /** Copies an entry of the app archive to disk. Rejects with "Missing sourceFile",
     *  "Missing targetFile" or "File not found". */
    extractFile(args: ExtractFileArgs): Promise<true>;
  }

  interface Folders {
    /** True when a folder exists there. Rejects with "Missing dirPath". */
    dirExists(args: DirPathArgs): Promise<boolean>;
    /** Removes the folder and everything in it; false when it could not. Rejects with "Missing dirPath". */
    deleteDir(args: DirPathArgs): Promise<boolean>;
    /** Folder paths end with the system's path separator. */
    getTempDir(): Promise<string>;
    getUserDocumentsDir(): Promise<string>;
    getUserDesktopDir(): Promise<string>;
    /** The folder that relative paths are resolved against. */
    getAppExecutableDir(): Promise<string>;
  }

  interface App {
    /** Closes the application. Never answered. */
    close(): Promise<never>;
    inFullscreen(): Promise<boolean>;
    /** Never answered. */
    enterFullscreen(): Promise<never>;
    /** Never answered. */
    exitFullscreen(): Promise<never>;
  }

  interface Window {
    getStyle(): Promise<WindowStyle>;
    /** Any value other than "ontop" sets "normal". */
    setStyle(args: { style?: WindowStyle | string }): Promise<true>;
    getState(): Promise<WindowState>;
    /** Any value other than the three states leaves the window as it is. */
    setState(args: { state?: WindowState | string }): Promise<true>;
    getTitle(): Promise<string>;
    setTitle(args: { title?: string }): Promise<true>;
  }

  interface Shell {
    /** Rejects with "Missing filePath" or the system's error text. */
    execute(args: ShellExecuteArgs): Promise<true>;
    /** Shows the item in the file manager. Rejects with "Missing filePath" or the system's error text. */
    explore(args: FilePathArgs): Promise<true>;
    /** Everything the command wrote to standard output and standard error. Rejects with "Missing command". */
    command(args: ShellCommandArgs): Promise<string>;
    /** The captions of the desktop's top-level windows. */
    windows(): Promise<string[]>;
  }

  interface Events {
    /** Run when the user tries to close the window. The default closes the app; a page that
     *  replaces it closes the window itself with vtx.app.close(). */
    onCloseQuery: () => void;
  }

  interface Api {
    /** Posts one message with a function ID; the functions below are shorthands. */
    call(funcID: number, args: object): Promise<unknown>;
    /** The bridge version, "2021.28". Call it as vtx.hello(). */
    hello(this: Api): Promise<string>;
    /** True in the runtime. Call it as vtx.isRuntime(). */
    isRuntime(this: Api): Promise<boolean>;
    dialogs: Dialogs;
    files: Files;
    folders: Folders;
    app: App;
    window: Window;
    shell: Shell;
    events: Events;
  }
}

interface Window {
  vtx: Vtx.Api;
}

declare var vtx: Vtx.Api;
