#include <windows.h>

#include "platform/engine_process.h"

namespace tessel::platform {

bool WaitForProcessOrTerminate(std::uint32_t process_id, std::uint32_t timeout_ms,
                               std::uint32_t exit_code) {
  if (process_id == 0 || process_id == GetCurrentProcessId()) return false;
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, process_id);
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;  // already gone
  bool gone = WaitForSingleObject(process, timeout_ms) == WAIT_OBJECT_0;
  if (!gone && TerminateProcess(process, exit_code)) {
    gone = WaitForSingleObject(process, 1000) == WAIT_OBJECT_0;
  }
  CloseHandle(process);
  return gone;
}

}  // namespace tessel::platform
