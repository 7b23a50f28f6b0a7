// Ending an engine's browser process from outside, for the web view
// component's CloseBrowserProcess.
#pragma once

#include <cstdint>

namespace tessel::platform {

// Waits up to `timeout_ms` for process `process_id` to end and terminates it
// (with `exit_code` where the platform can choose one; SIGKILL on POSIX)
// when it has not. True when the process is gone afterwards. Any thread;
// blocks for at most about `timeout_ms`.
bool WaitForProcessOrTerminate(std::uint32_t process_id, std::uint32_t timeout_ms,
                               std::uint32_t exit_code);

}  // namespace tessel::platform
