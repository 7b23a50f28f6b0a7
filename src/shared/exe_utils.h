// The app archive behind an executable image: where the image ends, copying
// the archive out of the running executable and appending one to an
// executable (the packaging side).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::shared {

// UTF-8 text to a file-system path and back; a plain std::string would be
// taken in the ANSI code page by Windows' wide file API.
std::filesystem::path Utf8ToPath(std::string_view utf8);
std::string PathToUtf8(const std::filesystem::path& path);

// A read-only mapping of part of a file. Its pages are read from the file
// when first touched, so a big range costs nothing until it is used. The file
// must not shrink while it is mapped (the running executable cannot).
class TMappedFile {
 public:
  TMappedFile() = default;
  ~TMappedFile();
  TMappedFile(const TMappedFile&) = delete;
  TMappedFile& operator=(const TMappedFile&) = delete;
  TMappedFile(TMappedFile&& other) noexcept;
  TMappedFile& operator=(TMappedFile&& other) noexcept;

  // Maps `length` bytes at `offset` (length > 0). Throws std::runtime_error
  // when the file cannot be opened or mapped.
  static TMappedFile Map(const std::string& path, uint64_t offset, uint64_t length);

  std::span<const uint8_t> Bytes() const { return {FData, FSize}; }

  // Drops the whole pages of `range` (part of Bytes()) from the process's
  // resident memory; they stay cached by the system and read back unchanged
  // when touched again.
  void Release(std::span<const uint8_t> range) const;

 private:
  void Unmap();

  void* FView = nullptr;  // the mapping as the system made it: page-aligned
  size_t FViewSize = 0;
  const uint8_t* FData = nullptr;
  size_t FSize = 0;
};

// The headers of a file do not describe an executable image we can measure:
// not PE or ELF64, truncated, or lying about where their tables are.
class EExeFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A PE image's security directory names a certificate table that cannot be
// the signature of this file: outside it, over the image, or followed by
// other data (appended after signing).
class ECertificateTableError : public EExeFormatError {
 public:
  using EExeFormatError::EExeFormatError;
};

enum class TImageFormat { kPe, kElf64 };

struct TImageLayout {
  TImageFormat format;
  // First byte after the image: where an attached archive starts. May lie
  // beyond the end of a truncated file.
  uint64_t attach_offset;
  // Where attached data ends: the start of a signed image's certificate
  // table, else the end of the file.
  uint64_t attach_end;
  // A signed PE image: its certificate table runs from attach_end to the
  // end of the file.
  bool is_signed = false;
};

// Fills `out` with the bytes at `offset`. Only called for ranges inside the
// file size given alongside it; false reports a read failure.
using TReadAt = std::function<bool(uint64_t offset, std::span<uint8_t> out)>;

// The attach offset of an image from its headers.
// PE (PE32 or PE32+): the largest PointerToRawData + SizeOfRawData over the
// section table, summed as an unsigned 32-bit value; sections without raw
// data count 0.
// ELF64 (little-endian executable or shared object): the largest end of the
// ELF header, the program header table, every segment's file extent, the
// section header table and every section's data (SHT_NOBITS excluded).
// A PE image whose security directory (data directory 4, a file offset and a
// size) is not empty is signed: its certificate table must lie after the
// image and end the file, else ECertificateTableError. An attached archive
// then ends where the table begins (with the signer's padding to 8 bytes).
// Throws EExeFormatError naming the problem; never reads outside the file.
TImageLayout ComputeAttachOffset(uint64_t file_size, const TReadAt& read);
TImageLayout ComputeAttachOffset(std::span<const uint8_t> file);
// Same for a file on disk. Throws std::runtime_error when it cannot be read.
TImageLayout ComputeAttachOffsetOfFile(const std::string& path);

// Shows a fatal error and ends the process. The default prints
// "<caption>: <text>" on stderr and exits with code 0; start-up replaces it
// with the system message box. A handler that returns makes the failing
// operation return without a result.
using TFatalErrorHandler = std::function<void(const std::string& text, const std::string& caption)>;
// Installs `handler` (nullptr: the default) and returns the previous one.
TFatalErrorHandler SetFatalErrorHandler(TFatalErrorHandler handler);
void ShowFatalError(const std::string& text, const std::string& caption);

inline constexpr std::string_view kNotAValidApplicationText =
    "This is not a valid Windows application";

class TExeUtils {
 public:
  using TOnProgressMax = std::function<void(TExeUtils& sender, int64_t max)>;
  using TOnProgressPos = std::function<void(TExeUtils& sender, int64_t pos)>;

  static constexpr size_t kBlockSize = 10240;

  // Called once before a copy with the number of bytes it will move.
  TOnProgressMax OnProgressMax;
  // Called after each block with the number of bytes copied so far.
  TOnProgressPos OnProgressPos;

  // Works on the running executable.
  TExeUtils();
  // Works on `exe_path` as if it were the running executable.
  explicit TExeUtils(std::string exe_path);

  const std::string& ExePath() const { return FExePath; }

  // True when data lies between the executable's image and the end of its
  // file (or its certificate table). False when the file is missing; throws
  // EExeFormatError when its headers are unreadable.
  bool ExeHasAttachedStub();

  // Replaces the contents of `stream` with the attached archive. Without
  // attached data: the fatal "This is not a valid Windows application"
  // error. Throws std::runtime_error on read failures (also when the file
  // shrinks during the copy).
  void GetZipFromExe(std::vector<uint8_t>& stream);

  // Writes the attached archive into a new (or truncated) file at `zip_path`.
  // Same failures as GetZipFromExe, plus one when the file cannot be created.
  void ExtractZipFromExe(const std::string& zip_path);

  // Appends the whole file `zip_path` to the end of `exe_path`. Does not check
  // that the executable carries no attached data yet. Throws
  // std::runtime_error when either file cannot be opened, read or written.
  void AppendZipToExe(const std::string& zip_path, const std::string& exe_path);

  // Replaces the main icon ("MAINICON") of `exe_path` with the images of the
  // icon file `ico_path`. Apply before an archive is appended. Throws
  // std::runtime_error whose message names the failed step ("Icon file is
  // too large", "Icon file is invalid", "FindResource failed (1)", ...); the
  // executable is then left as it was. On Windows through the platform's
  // resource-update calls, elsewhere through the portable editor.
  void ChangeExeIcon(const std::string& exe_path, const std::string& ico_path);

  // Writes the texts in place into the string values of the executable's
  // version information and stores the result as the neutral-language
  // version resource. True when that resource has been written. A text
  // longer than its value's room is not written: that value keeps its old
  // text (the platform path cannot report it; check first with
  // ListVersionValues).
  bool UpdateExeInfo(const std::string& exe_path, const std::string& company_name,
                     const std::string& file_description, const std::string& file_version,
                     const std::string& internal_name, const std::string& legal_copyright,
                     const std::string& legal_trademarks, const std::string& original_file_name,
                     const std::string& program_id, const std::string& product_name,
                     const std::string& product_version, const std::string& comments);

 private:
  // Length of the file in bytes, or -1 when no file matches the path.
  static int64_t GetFileLength(const std::string& path);
  int64_t GetExeFileLength() const;
  TImageLayout GetAttachOffset() const;

  // Bytes behind the image, up to a signature's certificate table; 0 or
  // less when there are none.
  int64_t AttachedLength(uint64_t& attach_offset) const;
  // Copies `length` bytes from `in` to `write` in blocks, reporting progress.
  void CopyBlocks(std::FILE* in, int64_t length, const std::string& source,
                  const std::function<void(const char*, size_t)>& write);

  std::string FExePath;

 public:
  // The attached archive mapped in place instead of copied: start-up then
  // costs the same for an app of any size, and only the entries read are
  // ever loaded. Same failures as GetZipFromExe, without progress calls.
  TMappedFile MapZipFromExe();
};

}  // namespace tessel::shared
