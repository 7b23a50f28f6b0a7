// Watching a folder tree for changes, for an app folder run live: every
// write, creation, rename or removal of a file anywhere below it, folders
// made later included. The system tells (inotify, ReadDirectoryChangesW);
// nothing is polled.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tessel::platform {

class FolderWatch {
 public:
  virtual ~FolderWatch() = default;
};

// The paths that changed, relative to the watched folder and '/'-separated,
// each once, sorted. An empty path stands for "anything may have changed"
// (the system dropped events it could not keep).
using FolderChanges = std::vector<std::string>;

// Starts watching the folder `path` and everything below it. Once a burst of
// changes has been quiet for `quiet_ms` milliseconds, `on_change` is called
// once, on the UI thread (through RunOnUiThread), with what changed in it.
// Null when the folder cannot be watched; `error` then names the reason.
// Destroying the watch (on the UI thread) stops it: no call comes after the
// destructor returns.
std::unique_ptr<FolderWatch> WatchFolder(const std::string& path, int quiet_ms,
                                         std::function<void(const FolderChanges&)> on_change,
                                         std::string& error);

}  // namespace tessel::platform
