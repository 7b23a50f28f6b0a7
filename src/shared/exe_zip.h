// The app archive reader: a ZIP archive in a caller-owned memory buffer,
// encrypted entries read with one password.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct zip;  // libzip's archive handle

namespace tessel::shared {

// Opening failed (the message names the problem), or the reader is not open.
class EZipError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TZipEntryInfo {
  std::string name;
  uint64_t size = 0;             // uncompressed
  uint64_t compressed_size = 0;  // as stored, encryption header included
  bool encrypted = false;
};

class TExeZip {
 public:
  TExeZip() = default;
  ~TExeZip();
  TExeZip(const TExeZip&) = delete;
  TExeZip& operator=(const TExeZip&) = delete;
  TExeZip(TExeZip&& other) noexcept;
  TExeZip& operator=(TExeZip&& other) noexcept;

  // The password used for every entry read from now on.
  const std::string& Password() const { return FPassword; }
  void SetPassword(std::string password) { FPassword = std::move(password); }

  // Opens the archive held in `archive`. The reader does not copy the buffer:
  // it must stay alive and unchanged while the reader is open. Whatever was
  // open before is closed first. Throws EZipError naming the problem (not a
  // ZIP archive, truncated, central directory outside the data, local
  // headers that disagree with it); the reader is then not open.
  void SetStream(std::span<const uint8_t> archive);
  bool IsOpen() const { return FArchive != nullptr; }
  void Close();

  // Index of the last entry in central-directory order whose whole name
  // equals `name`, letters A-Z matched without regard to case and every other
  // byte exactly ('/' and '\' differ). -1 when none matches or not open.
  int64_t FindFile(std::string_view name) const;

  // Writes the entry's decrypted, uncompressed content to `stream`. An absent
  // entry, a wrong password or damaged data write nothing and report
  // nothing. Throws EZipError when the reader is not open.
  void ExtractToStream(std::string_view name, std::ostream& stream) const;

  // The entry's content; nullopt when it is absent or cannot be read. Throws
  // EZipError when the reader is not open.
  std::optional<std::string> ReadEntry(std::string_view name) const;

  // Every entry in central-directory order; empty when not open.
  std::vector<TZipEntryInfo> Entries() const;

 private:
  std::optional<std::string> ReadIndex(uint64_t index) const;

  std::string FPassword;
  zip* FArchive = nullptr;
  // ASCII-lower-cased name -> index of its last occurrence.
  std::unordered_map<std::string, uint64_t> FNames;
};

}  // namespace tessel::shared
