// Writes app archives: every entry stored, encrypted with traditional PKWARE
// encryption and followed by a data descriptor (flags 0x0009, version needed
// 2.0), '/' separators, no archive comment, no zip64. Files only: folders
// are implied by the names and get no entries of their own. Names are stored
// as given (UTF-8) without the language-encoding flag, which would change
// the flags: libzip recognises UTF-8 names, Info-ZIP takes non-ASCII names
// for code page 437.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <istream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::shared {

class EZipWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TDosDateTime {
  uint16_t time = 0;           // hours << 11 | minutes << 5 | seconds / 2
  uint16_t date = 1 << 5 | 1;  // (year - 1980) << 9 | month << 5 | day: 1980-01-01
};

// `t` in UTC, clamped to the years 1980-2107 that the format holds.
TDosDateTime ToDosDateTime(std::time_t t);

class TZipWriter {
 public:
  // Writes the archive to `out` from its current position; offsets in the
  // archive count from there.
  TZipWriter(std::ostream& out, std::string password);

  // Adds one entry with the bytes of `data` up to its end, read twice (the
  // encryption header is derived from the name and content, so the same
  // entries give the same archive). Throws EZipWriteError on a bad name, an
  // entry or archive too large for the format (4 GiB, 65535 entries), a
  // content that changes between the reads, or when `data` (which must be
  // seekable) or `out` fail.
  void AddEntry(std::string_view name, std::istream& data, TDosDateTime when);
  void AddEntry(std::string_view name, std::string_view data, TDosDateTime when);

  // Writes the central directory and the end record. Nothing can be added
  // afterwards.
  void Finish();

  // Called with the number of data bytes written so far, after each block.
  std::function<void(uint64_t written)> OnProgress;

 private:
  struct Entry {
    std::string name;
    TDosDateTime when;
    uint32_t crc = 0;
    uint32_t compressed_size = 0;
    uint32_t size = 0;
    uint32_t offset = 0;
  };

  void Write(const void* data, size_t size);
  uint32_t Offset() const;

  std::ostream& FOut;
  std::string FPassword;
  std::vector<Entry> FEntries;
  uint64_t FWritten = 0;
  uint64_t FDataWritten = 0;
  bool FFinished = false;
};

// A fresh name beside `path` ("<path>.tmp-<8 hex digits>") for writing a
// file that is renamed to `path` once complete.
std::string TempPathBeside(const std::string& path);

struct TZipFileEntry {
  std::string name;  // entry name, '/' separators
  std::string path;  // UTF-8 path of the file whose content it gets
};

// Writes an archive of `entries`, in their order and each dated `when`, to
// `zip_path`. Goes through a temporary file beside it, so `zip_path` is
// either complete or untouched. Throws EZipWriteError naming the file or
// entry at fault.
void WriteZipFile(const std::string& zip_path, const std::vector<TZipFileEntry>& entries,
                  std::string_view password, TDosDateTime when = {},
                  const std::function<void(uint64_t written)>& on_progress = nullptr);

}  // namespace tessel::shared
