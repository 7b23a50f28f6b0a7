// Ending the process from deep inside start-up without leaving the call
// stack's objects unreleased.
#pragma once

namespace tessel::runtime {

// Thrown to end the process: it unwinds to the program entry, which returns
// `exit_code` as the process's exit code. Deliberately not a std::exception,
// so that a handler for ordinary errors on the way cannot swallow it.
struct EProcessExit {
  int exit_code = 0;
};

}  // namespace tessel::runtime
