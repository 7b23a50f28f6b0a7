// Proof that an instance was started by a running instance of the same app
// (a relaunch) rather than by hand: the relaunch command line is no secret,
// since anybody can read the app's ID from its archive. The starting
// instance leaves a one-time token in a file of the app's data folder that
// only the user can read and hands the token to its child in the
// environment; the child consumes it once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessel::shared {

// The environment variable that carries the token to the started instance.
inline constexpr std::string_view kRelaunchTokenVariable = "TESSEL_RELAUNCH_TOKEN";

// How long a token's file proves anything after it was written.
inline constexpr std::int64_t kRelaunchTokenLifetimeMs = 120000;  // two minutes

// The app's data folder as start-up names it: the user's local app data
// folder, then `app_id`, with the platform's separator after each.
std::string AppDataDirPath(const std::string& app_id);

// Writes a new token's file into `data_dir` (ending with a separator) and
// returns the token: 64 lowercase hex digits from 32 bytes of the system's
// secure random source. Files of earlier tokens that are out of their
// lifetime go. Nullopt when no random bytes or no file could be had.
std::optional<std::string> IssueRelaunchToken(const std::string& data_dir);

// Whether `token` is the one a file in `data_dir` holds, written within
// kRelaunchTokenLifetimeMs of `now_ms` (milliseconds since 1970-01-01 UTC),
// and the file one only this user may read (POSIX). The file goes whatever
// the answer, and the answer is false when it cannot go, so a token proves
// at most once. Text that is no token touches nothing.
bool ConsumeRelaunchToken(const std::string& data_dir, std::string_view token, std::int64_t now_ms);
// The same, at the system clock's current time.
bool ConsumeRelaunchToken(const std::string& data_dir, std::string_view token);

// The token this process was started with (empty when none), removed from
// the environment at once, so that nothing this process starts (the
// engine's processes included) inherits it.
std::string TakeRelaunchToken();

// Starts this executable again with `arguments` (the relaunch command
// line) and a fresh token in its environment only; this process's own
// environment never holds it. False when nothing started; the token's file
// is then removed.
bool StartRelaunch(const std::string& arguments, const std::string& data_dir);

}  // namespace tessel::shared
