#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string_view>
#include <thread>

#include "platform/file_io.h"
#include "platform/folder_watch.h"
#include "platform/ui_dispatch.h"

namespace tessel::platform {
namespace {

constexpr uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                             IN_MOVED_TO | IN_DELETE_SELF | IN_ONLYDIR;

class LinuxFolderWatch final : public FolderWatch {
 public:
  LinuxFolderWatch(int inotify, int stop, std::string root, int quiet_ms,
                   std::function<void(const FolderChanges&)> on_change)
      : inotify_(inotify),
        stop_(stop),
        root_(std::move(root)),
        quiet_ms_(quiet_ms),
        on_change_(std::move(on_change)) {}

  ~LinuxFolderWatch() override {
    *alive_ = false;
    const uint64_t one = 1;
    if (thread_.joinable()) {
      static_cast<void>(write(stop_, &one, sizeof one));
      thread_.join();
    }
    close(inotify_);
    close(stop_);
  }

  LinuxFolderWatch(const LinuxFolderWatch&) = delete;
  LinuxFolderWatch& operator=(const LinuxFolderWatch&) = delete;

  // Watches `relative` (empty: the root) and every folder below it. False
  // when the root itself cannot be watched; a subfolder that goes away
  // while it is being walked is simply not watched.
  bool AddTree(const std::string& relative, std::string* error) {
    const std::string full = relative.empty() ? root_ : root_ + '/' + relative;
    const int wd = inotify_add_watch(inotify_, full.c_str(), kEvents);
    if (wd < 0) {
      if (error != nullptr) *error = std::strerror(errno);
      return false;
    }
    folders_[wd] = relative;
    DIR* dir = opendir(full.c_str());
    if (dir == nullptr) return true;
    std::vector<std::string> children;
    while (const dirent* entry = readdir(dir)) {
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string child =
          relative.empty() ? std::string(name) : relative + '/' + std::string(name);
      // Links to folders are not followed: a link back up would never end.
      if (IsRealDirectory(root_ + '/' + child)) children.push_back(child);
    }
    closedir(dir);
    for (const std::string& child : children) AddTree(child, nullptr);
    return true;
  }

  void Start() {
    thread_ = std::thread([this] { Run(); });
  }

 private:
  void Run() {
    std::set<std::string> pending;
    alignas(inotify_event) char buffer[16384];
    for (;;) {
      pollfd fds[2] = {{inotify_, POLLIN, 0}, {stop_, POLLIN, 0}};
      const int ready = poll(fds, 2, pending.empty() ? -1 : quiet_ms_);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if ((fds[1].revents & POLLIN) != 0) return;
      if (ready == 0) {
        Post(FolderChanges(pending.begin(), pending.end()));
        pending.clear();
        continue;
      }
      const ssize_t got = read(inotify_, buffer, sizeof buffer);
      if (got <= 0) continue;
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        Take(*event, pending);
      }
    }
  }

  void Take(const inotify_event& event, std::set<std::string>& pending) {
    if ((event.mask & IN_Q_OVERFLOW) != 0) {
      pending.insert(std::string());
      return;
    }
    const auto folder = folders_.find(event.wd);
    if (folder == folders_.end()) return;
    if ((event.mask & IN_IGNORED) != 0) {
      folders_.erase(folder);
      return;
    }
    if ((event.mask & IN_DELETE_SELF) != 0) return;  // its parent says so too
    const std::string name = event.len > 0 ? std::string(event.name) : std::string();
    const std::string relative = folder->second.empty() ? name
                                 : name.empty()         ? folder->second
                                                        : folder->second + '/' + name;
    pending.insert(relative);
    // A folder made or moved in: its files may already be there.
    if ((event.mask & IN_ISDIR) != 0 && (event.mask & (IN_CREATE | IN_MOVED_TO)) != 0) {
      AddTree(relative, nullptr);
    }
  }

  void Post(FolderChanges changes) {
    RunOnUiThread([alive = alive_, on_change = on_change_, changes = std::move(changes)] {
      if (*alive) on_change(changes);
    });
  }

  int inotify_;
  int stop_;
  std::string root_;
  int quiet_ms_;
  std::function<void(const FolderChanges&)> on_change_;
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
  std::map<int, std::string> folders_;  // watch descriptor -> folder relative to the root
  std::thread thread_;
};

}  // namespace

std::unique_ptr<FolderWatch> WatchFolder(const std::string& path, int quiet_ms,
                                         std::function<void(const FolderChanges&)> on_change,
                                         std::string& error) {
  std::string root = path;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  const int inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify < 0) {
    error = std::strerror(errno);
    return nullptr;
  }
  const int stop = eventfd(0, EFD_CLOEXEC);
  if (stop < 0) {
    error = std::strerror(errno);
    close(inotify);
    return nullptr;
  }
  auto watch =
      std::make_unique<LinuxFolderWatch>(inotify, stop, root, quiet_ms, std::move(on_change));
  if (!watch->AddTree(std::string(), &error)) return nullptr;
  watch->Start();
  return watch;
}

}  // namespace tessel::platform
