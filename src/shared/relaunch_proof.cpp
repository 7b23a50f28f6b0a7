#include "shared/relaunch_proof.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <span>

#include "platform/file_io.h"
#include "platform/os.h"
#include "shared/sys_utils.h"

namespace tessel::shared {
namespace {

constexpr std::size_t kTokenBytes = 32;
constexpr std::size_t kTokenLength = 2 * kTokenBytes;
// The token's first digits name its file, so instances started close
// together each find their own.
constexpr std::size_t kFileKeyLength = 16;
constexpr std::string_view kFilePrefix = "relaunch-";
constexpr std::string_view kFileSuffix = ".token";

bool IsToken(std::string_view text) {
  if (text.size() != kTokenLength) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string TokenFilePath(const std::string& data_dir, std::string_view token) {
  return data_dir + std::string(kFilePrefix) + std::string(token.substr(0, kFileKeyLength)) +
         std::string(kFileSuffix);
}

// Every byte compared whatever the first difference, so the time taken
// tells nothing about how much of a guess was right.
bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

bool IsFresh(std::int64_t written_ms, std::int64_t now_ms) {
  // A clock set back may date a file ahead; as far ahead as behind is fine.
  return written_ms >= now_ms - kRelaunchTokenLifetimeMs &&
         written_ms <= now_ms + kRelaunchTokenLifetimeMs;
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Files of tokens nobody consumed (a child that never started) prove
// nothing any more; they go when the next token is issued.
void RemoveStaleTokenFiles(const std::string& data_dir, std::int64_t now_ms) {
  platform::Os& os = platform::CurrentOs();
  const auto entries =
      os.ListDirectory(data_dir, std::string(kFilePrefix) + "*" + std::string(kFileSuffix));
  if (!entries) return;
  for (const platform::DirectoryEntry& entry : *entries) {
    if (entry.is_directory) continue;
    const std::string path = data_dir + entry.name;
    const std::optional<std::int64_t> written = os.LastWriteTimeMs(path);
    if (written && !IsFresh(*written, now_ms)) platform::RemoveFile(path);
  }
}

}  // namespace

std::string AppDataDirPath(const std::string& app_id) {
  return TSysUtils::GetLocalAppDataDirPath() + app_id + platform::CurrentOs().PathSeparator();
}

std::optional<std::string> IssueRelaunchToken(const std::string& data_dir) {
  std::array<std::uint8_t, kTokenBytes> bytes{};
  if (!platform::CurrentOs().SecureRandom(bytes)) return std::nullopt;
  constexpr std::string_view kDigits = "0123456789abcdef";
  std::string token;
  token.reserve(kTokenLength);
  for (const std::uint8_t b : bytes) {
    token.push_back(kDigits[b >> 4]);
    token.push_back(kDigits[b & 0x0F]);
  }
  RemoveStaleTokenFiles(data_dir, NowMs());
  const std::string path = TokenFilePath(data_dir, token);
  platform::FileHandle file = platform::CreatePrivateFile(path);
  if (!file) return std::nullopt;
  const bool written = platform::WriteToFile(file.get(), token) && std::fflush(file.get()) == 0;
  file.reset();
  if (!written) {
    platform::RemoveFile(path);
    return std::nullopt;
  }
  return token;
}

bool ConsumeRelaunchToken(const std::string& data_dir, std::string_view token,
                          std::int64_t now_ms) {
  if (!IsToken(token)) return false;
  const std::string path = TokenFilePath(data_dir, token);
  bool proven = false;
  if (platform::FileHandle file = platform::OpenPrivateFile(path)) {
    // One byte more than a token, so a longer content cannot pass as one.
    std::array<char, kTokenLength + 1> content{};
    const std::size_t got = std::fread(content.data(), 1, content.size(), file.get());
    const std::optional<std::int64_t> written = platform::OpenFileWriteTimeMs(file.get());
    proven = SameText(std::string_view(content.data(), got), token) && written &&
             IsFresh(*written, now_ms);
  }
  // Removed whatever it held; one that stays could be shown again.
  const bool removed = platform::RemoveFile(path);
  return proven && removed;
}

bool ConsumeRelaunchToken(const std::string& data_dir, std::string_view token) {
  return ConsumeRelaunchToken(data_dir, token, NowMs());
}

std::string TakeRelaunchToken() {
  platform::Os& os = platform::CurrentOs();
  const std::string name(kRelaunchTokenVariable);
  std::string token = os.GetEnv(name);
  os.UnsetEnv(name);
  return token;
}

bool StartRelaunch(const std::string& arguments, const std::string& data_dir) {
  const std::optional<std::string> token = IssueRelaunchToken(data_dir);
  // Without a token the new instance would be one started by hand.
  if (!token) return false;
  platform::Os& os = platform::CurrentOs();
  if (os.StartWithVariable(os.ExecutablePath(), arguments, std::string(kRelaunchTokenVariable),
                           *token)) {
    return true;
  }
  platform::RemoveFile(TokenFilePath(data_dir, *token));
  return false;
}

}  // namespace tessel::shared
