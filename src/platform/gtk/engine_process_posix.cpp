#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/engine_process.h"

namespace tessel::platform {
namespace {

// True when the process has ended. A child of ours is reaped on the way, so
// it does not linger as a zombie (which kill(pid, 0) would still find).
bool Ended(pid_t pid) {
  const pid_t reaped = waitpid(pid, nullptr, WNOHANG);
  if (reaped == pid) return true;
  if (reaped == 0) return false;  // our child, still running
  return kill(pid, 0) != 0 && errno == ESRCH;
}

}  // namespace

bool WaitForProcessOrTerminate(std::uint32_t process_id, std::uint32_t timeout_ms,
                               std::uint32_t /*exit_code: POSIX cannot choose one*/) {
  const auto pid = static_cast<pid_t>(process_id);
  // Never signal ourselves, a process group or every process.
  if (pid <= 1) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (Ended(pid)) return true;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (kill(pid, SIGKILL) != 0) return errno == ESRCH;
  for (int i = 0; i < 100; ++i) {
    if (Ended(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

}  // namespace tessel::platform
