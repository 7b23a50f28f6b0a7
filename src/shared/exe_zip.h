// The app archive reader: a ZIP archive in a caller-owned memory range (a copy
// or a mapping of the executable), encrypted entries read with one password.
// Only the central directory is read when opening; an entry's bytes are read
// when it is asked for.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tessel::shared {

class TZipKeyMarks;

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

// Where an entry's data lies and how to decode it, as the central directory
// says.
struct TZipEntryRecord {
  std::string name;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t dos_time = 0;
  uint32_t crc = 0;
  uint64_t compressed_size = 0;
  uint64_t size = 0;
  uint64_t local_offset = 0;
};

// One entry's content, decrypted and inflated on demand, block by block: big
// entries never need to be in memory whole. The archive's range must outlive
// it. Not thread-safe; one reader per consumer.
class TZipEntryReader {
 public:
  virtual ~TZipEntryReader() = default;
  // The uncompressed size the central directory gives; a reader never yields
  // more, and a shorter entry is an error.
  virtual uint64_t Size() const = 0;
  // Bytes produced so far.
  virtual uint64_t Position() const = 0;
  // Fills `out` with up to out.size() next bytes: the count, 0 at the end,
  // -1 when the data is damaged or the password wrong (the CRC check of the
  // last block included). After -1 every read fails.
  virtual int64_t Read(std::span<uint8_t> out) = 0;
  // Moves past up to `count` next bytes without handing them out, checked
  // as Read checks them: the count, 0 at the end, -1 as for Read. A stored
  // entry's bytes only go through the cipher's keys (or the CRC) in place,
  // from the last key mark of an earlier reader before the target on.
  virtual int64_t Skip(uint64_t count) = 0;
  // Back to the first byte (the cipher cannot start elsewhere).
  virtual void Rewind() = 0;
};

class TExeZip {
 public:
  TExeZip() = default;
  ~TExeZip() = default;
  TExeZip(const TExeZip&) = delete;
  TExeZip& operator=(const TExeZip&) = delete;
  TExeZip(TExeZip&& other) noexcept;
  TExeZip& operator=(TExeZip&& other) noexcept;

  // The password used for every entry read from now on.
  const std::string& Password() const { return FPassword; }
  void SetPassword(std::string password) { FPassword = std::move(password); }

  // Opens the archive held in `archive`. The reader does not copy the range:
  // it must stay alive and unchanged while the reader is open. Whatever was
  // open before is closed first. Throws EZipError naming the problem (not a
  // ZIP archive, truncated, central directory outside the data, entries
  // whose data would lie outside it); the reader is then not open.
  void SetStream(std::span<const uint8_t> archive);
  bool IsOpen() const { return FOpen; }
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

  // A reader of the entry's content; null when it is absent, its local header
  // is damaged, its method or encryption is one we cannot decode, or the
  // password's check byte does not match. Damage further in shows as a
  // failing Read. Throws EZipError when the reader is not open.
  std::unique_ptr<TZipEntryReader> OpenEntry(std::string_view name) const;

  // Every entry in central-directory order; empty when not open.
  std::vector<TZipEntryInfo> Entries() const;

  // Called by entry readers with archive bytes of a big entry they have
  // consumed and will not read again until rewound, so the owner of a
  // mapping can drop those pages: serving a 1 GB entry then does not keep
  // 1 GB resident. Null: nothing is released.
  using TReleasePages = std::function<void(std::span<const uint8_t>)>;
  void SetReleasePages(TReleasePages release) { FReleasePages = std::move(release); }

 private:
  std::unique_ptr<TZipEntryReader> OpenIndex(uint64_t index) const;

  std::string FPassword;
  TReleasePages FReleasePages;
  // The cipher's keys every megabyte into big encrypted stored entries, as
  // readers pass there: a later skip starts from the last one before its
  // target instead of from the entry's start. Shared by every reader of the
  // archive that is open, on any thread.
  std::shared_ptr<TZipKeyMarks> FKeyMarks;
  bool FOpen = false;
  std::span<const uint8_t> FData;
  // Where the entry data ends: the central directory's offset.
  uint64_t FDataEnd = 0;
  std::vector<TZipEntryRecord> FEntries;
  // ASCII-lower-cased name -> index of its last occurrence.
  std::unordered_map<std::string, uint64_t> FNames;
};

}  // namespace tessel::shared
