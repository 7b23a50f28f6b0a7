#include "shared/exe_utils.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/file_io.h"
#include "platform/os.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/wide_text.h"
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace tessel::shared {

// --- attach offset ----------------------------------------------------------

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t Le64(const uint8_t* p) {
  return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}

std::string Hex(uint64_t v) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  do {
    s.insert(s.begin(), kDigits[v & 15]);
    v >>= 4;
  } while (v != 0);
  return "0x" + s;
}

// Bounds-checked reads over the file; every header field goes through here.
class ImageReader {
 public:
  ImageReader(uint64_t size, const TReadAt& read) : size_(size), read_(read) {}

  uint64_t size() const { return size_; }

  bool Contains(uint64_t offset, uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }

  // Reads `N` bytes at `offset` or throws naming `what`.
  template <size_t N>
  std::array<uint8_t, N> Read(uint64_t offset, const char* what) const {
    std::array<uint8_t, N> out{};
    if (!Contains(offset, N)) {
      throw EExeFormatError(std::string(what) + " at offset " + Hex(offset) +
                            " lies outside the file (" + std::to_string(size_) + " bytes)");
    }
    if (!read_(offset, out)) {
      throw EExeFormatError(std::string("cannot read ") + what + " at offset " + Hex(offset));
    }
    return out;
  }

 private:
  uint64_t size_;
  const TReadAt& read_;
};

// a + b, or an error naming `what` when the sum does not fit in 64 bits.
uint64_t CheckedAdd(uint64_t a, uint64_t b, const std::string& what) {
  if (b > std::numeric_limits<uint64_t>::max() - a) {
    throw EExeFormatError(what + " extends beyond any possible file size");
  }
  return a + b;
}

// Checks that a table of `count` entries of `entry_size` bytes lies inside the
// file and returns its end.
uint64_t TableEnd(const ImageReader& file, uint64_t offset, uint64_t count, uint64_t entry_size,
                  const char* what) {
  // count < 2^32 and entry_size < 2^16 here, so the product cannot overflow.
  const uint64_t end = CheckedAdd(offset, count * entry_size, what);
  if (end > file.size()) {
    throw EExeFormatError(std::string(what) + " (" + std::to_string(count) + " entries at " +
                          Hex(offset) + ") extends beyond the end of the file (" +
                          std::to_string(file.size()) + " bytes)");
  }
  return end;
}

// The certificate table a PE image's security directory names, checked
// against the image's end and the file: `layout.attach_end` becomes where
// it begins. The directory's "address" is a file offset, not an RVA.
void ApplyCertificateTable(const ImageReader& file, uint64_t directory, TImageLayout& layout) {
  const auto entry = file.Read<8>(directory, "PE security directory");
  const uint64_t offset = Le32(entry.data());
  const uint64_t size = Le32(&entry[4]);
  if (size == 0) return;  // an empty directory is no directory
  const std::string what =
      "the certificate table (" + std::to_string(size) + " bytes at " + Hex(offset) + ")";
  if (offset > file.size() || size > file.size() - offset) {
    throw ECertificateTableError(what + " lies outside the file (" + std::to_string(file.size()) +
                                 " bytes)");
  }
  if (offset < layout.attach_offset) {
    throw ECertificateTableError(what + " overlaps the image, which ends at " +
                                 Hex(layout.attach_offset));
  }
  if (offset + size != file.size()) {
    throw ECertificateTableError(
        what + " does not end the file: " + std::to_string(file.size() - offset - size) +
        " bytes follow it (data added after signing)");
  }
  layout.attach_end = offset;
  layout.is_signed = true;
}

TImageLayout PeAttachOffset(const ImageReader& file) {
  const auto dos = file.Read<64>(0, "DOS header");
  const uint32_t pe_offset = Le32(&dos[0x3C]);
  const auto sig = file.Read<4>(pe_offset, "PE signature");
  if (Le32(sig.data()) != 0x00004550) {
    throw EExeFormatError("no PE signature at offset " + Hex(pe_offset) +
                          ": a DOS program, not a Windows image");
  }
  const auto header = file.Read<20>(uint64_t{pe_offset} + 4, "PE file header");
  const uint16_t section_count = Le16(&header[2]);
  const uint16_t optional_size = Le16(&header[16]);
  const uint64_t optional_offset = uint64_t{pe_offset} + 24;
  if (optional_size < 2) {
    throw EExeFormatError("PE image without an optional header: an object file, not an image");
  }
  const uint16_t magic = Le16(file.Read<2>(optional_offset, "PE optional header").data());
  if (magic != 0x10B && magic != 0x20B) {
    throw EExeFormatError("unknown PE optional header magic " + Hex(magic));
  }
  const uint64_t table = optional_offset + optional_size;
  TableEnd(file, table, section_count, 40, "PE section table");

  uint32_t attach = 0;
  for (uint64_t i = 0; i < section_count; ++i) {
    const auto section = file.Read<40>(table + i * 40, "PE section header");
    const uint32_t raw_size = Le32(&section[16]);
    if (raw_size == 0) continue;
    // The sum wraps at 32 bits, as the loader's own fields do.
    const uint32_t end = static_cast<uint32_t>(Le32(&section[20]) + raw_size);
    attach = std::max(attach, end);
  }
  TImageLayout layout{TImageFormat::kPe, attach, file.size()};
  // The data directories follow the optional header's fixed fields; an
  // image with fewer than five has no security directory.
  const uint64_t directories = magic == 0x20B ? 112 : 96;
  constexpr uint64_t kSecurity = 4;
  if (optional_size >= directories + (kSecurity + 1) * 8) {
    const auto count = file.Read<4>(optional_offset + directories - 4, "PE directory count");
    if (Le32(count.data()) > kSecurity) {
      ApplyCertificateTable(file, optional_offset + directories + kSecurity * 8, layout);
    }
  }
  return layout;
}

uint64_t ElfAttachOffset(const ImageReader& file) {
  const auto eh = file.Read<64>(0, "ELF header");
  if (eh[4] != 2) throw EExeFormatError("32-bit ELF images are not supported");
  if (eh[5] != 1) throw EExeFormatError("big-endian ELF images are not supported");
  const uint16_t type = Le16(&eh[16]);
  if (type != 2 && type != 3) {
    throw EExeFormatError("ELF file of type " + std::to_string(type) +
                          " is not an executable or shared object");
  }
  const uint64_t phoff = Le64(&eh[32]);
  const uint64_t shoff = Le64(&eh[40]);
  const uint16_t ehsize = Le16(&eh[52]);
  const uint16_t phentsize = Le16(&eh[54]);
  uint64_t phnum = Le16(&eh[56]);
  const uint16_t shentsize = Le16(&eh[58]);
  uint64_t shnum = Le16(&eh[60]);

  uint64_t attach = std::max<uint64_t>(64, ehsize);

  // Section 0 carries the real counts when they do not fit in the header.
  if (shoff != 0 && (shnum == 0 || phnum == 0xFFFF)) {
    if (shentsize < 64) throw EExeFormatError("ELF section header size too small");
    const auto s0 = file.Read<64>(shoff, "ELF section header 0");
    if (shnum == 0) shnum = Le64(&s0[32]);
    if (phnum == 0xFFFF) phnum = Le32(&s0[44]);
  }

  if (phnum != 0) {
    if (phentsize < 56) throw EExeFormatError("ELF program header size too small");
    attach = std::max(attach, TableEnd(file, phoff, phnum, phentsize, "ELF program header table"));
    for (uint64_t i = 0; i < phnum; ++i) {
      const auto ph = file.Read<56>(phoff + i * phentsize, "ELF program header");
      const std::string what = "ELF segment " + std::to_string(i);
      attach = std::max(attach, CheckedAdd(Le64(&ph[8]), Le64(&ph[32]), what));
    }
  }

  if (shnum != 0) {
    if (shentsize < 64) throw EExeFormatError("ELF section header size too small");
    // A count taken from section 0 is 64 bits wide; the table must still fit.
    if (shnum > file.size() / shentsize) {
      throw EExeFormatError("ELF section header table (" + std::to_string(shnum) +
                            " entries) is larger than the file");
    }
    attach = std::max(attach, TableEnd(file, shoff, shnum, shentsize, "ELF section header table"));
    for (uint64_t i = 0; i < shnum; ++i) {
      const auto sh = file.Read<64>(shoff + i * shentsize, "ELF section header");
      constexpr uint32_t kNoBits = 8;
      if (Le32(&sh[4]) == kNoBits) continue;
      const std::string what = "ELF section " + std::to_string(i);
      attach = std::max(attach, CheckedAdd(Le64(&sh[24]), Le64(&sh[32]), what));
    }
  }
  return attach;
}

}  // namespace

TImageLayout ComputeAttachOffset(uint64_t file_size, const TReadAt& read) {
  const ImageReader file(file_size, read);
  if (file_size < 4) throw EExeFormatError("file too short to be an executable");
  const auto magic = file.Read<4>(0, "file signature");
  if (magic[0] == 'M' && magic[1] == 'Z') return PeAttachOffset(file);
  if (magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F') {
    return {TImageFormat::kElf64, ElfAttachOffset(file), file_size};
  }
  throw EExeFormatError("not an executable image (neither PE nor ELF)");
}

TImageLayout ComputeAttachOffset(std::span<const uint8_t> file) {
  return ComputeAttachOffset(file.size(), [file](uint64_t offset, std::span<uint8_t> out) {
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
    return true;
  });
}

TImageLayout ComputeAttachOffsetOfFile(const std::string& path) {
  const platform::FileHandle in = platform::OpenFile(path, "rb");
  if (!in) throw std::runtime_error("Cannot open " + path);
  const std::optional<uint64_t> size = platform::OpenFileSize(in.get());
  if (!size) throw std::runtime_error("Cannot read " + path);
  return ComputeAttachOffset(*size, [&in](uint64_t offset, std::span<uint8_t> out) {
    return platform::SeekFile(in.get(), offset) &&
           std::fread(out.data(), 1, out.size(), in.get()) == out.size();
  });
}

// --- fatal error seam ---------------------------------------------------------

namespace {

std::mutex g_fatal_mutex;
TFatalErrorHandler g_fatal_handler;

void DefaultFatalError(const std::string& text, const std::string& caption) {
  const std::string line = caption + ": " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  std::exit(0);
}

}  // namespace

TFatalErrorHandler SetFatalErrorHandler(TFatalErrorHandler handler) {
  const std::lock_guard lock(g_fatal_mutex);
  return std::exchange(g_fatal_handler, std::move(handler));
}

void ShowFatalError(const std::string& text, const std::string& caption) {
  TFatalErrorHandler handler;
  {
    const std::lock_guard lock(g_fatal_mutex);
    handler = g_fatal_handler;
  }
  if (handler) {
    handler(text, caption);
  } else {
    DefaultFatalError(text, caption);
  }
}

// --- TExeUtils ------------------------------------------------------------------

TExeUtils::TExeUtils() : FExePath(platform::CurrentOs().ExecutablePath()) {}

TExeUtils::TExeUtils(std::string exe_path) : FExePath(std::move(exe_path)) {}

int64_t TExeUtils::GetFileLength(const std::string& path) {
  const std::optional<uint64_t> size = platform::RegularFileSize(path);
  if (!size || *size > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return -1;
  return static_cast<int64_t>(*size);
}

int64_t TExeUtils::GetExeFileLength() const { return GetFileLength(FExePath); }

TImageLayout TExeUtils::GetAttachOffset() const { return ComputeAttachOffsetOfFile(FExePath); }

int64_t TExeUtils::AttachedLength(uint64_t& attach_offset) const {
  const int64_t file_length = GetExeFileLength();
  if (file_length < 0) return -1;
  const TImageLayout layout = GetAttachOffset();
  attach_offset = layout.attach_offset;
  // A signature's certificate table is no part of the archive before it.
  const uint64_t end = std::min(layout.attach_end, static_cast<uint64_t>(file_length));
  if (attach_offset >= end) return 0;
  return static_cast<int64_t>(end - attach_offset);
}

bool TExeUtils::ExeHasAttachedStub() {
  uint64_t attach_offset = 0;
  return AttachedLength(attach_offset) > 0;
}

void TExeUtils::CopyBlocks(std::FILE* in, int64_t length, const std::string& source,
                           const std::function<void(const char*, size_t)>& write) {
  if (OnProgressMax) OnProgressMax(*this, length);
  std::vector<char> buffer(kBlockSize);
  int64_t total = 0;
  while (total < length) {
    // Never more than the length taken before the copy: a file that grows
    // meanwhile does not make the copy longer than announced.
    const auto want =
        static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(kBlockSize), length - total));
    const size_t got = std::fread(buffer.data(), 1, want, in);
    if (got == 0) {
      throw std::runtime_error("Cannot read " + source + ": it ended after " +
                               std::to_string(total) + " of " + std::to_string(length) + " bytes");
    }
    write(buffer.data(), got);
    total += static_cast<int64_t>(got);
    if (OnProgressPos) OnProgressPos(*this, total);
  }
}

void TExeUtils::GetZipFromExe(std::vector<uint8_t>& stream) {
  stream.clear();
  uint64_t attach_offset = 0;
  const int64_t length = AttachedLength(attach_offset);
  if (length <= 0) {
    ShowFatalError(std::string(kNotAValidApplicationText), "Error");
    return;
  }
  const platform::FileHandle in = platform::OpenFile(FExePath, "rb");
  if (!in || !platform::SeekFile(in.get(), attach_offset)) {
    throw std::runtime_error("Cannot open " + FExePath);
  }
  stream.reserve(static_cast<size_t>(length));
  CopyBlocks(in.get(), length, FExePath, [&stream](const char* data, size_t size) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    stream.insert(stream.end(), bytes, bytes + size);
  });
}

void TExeUtils::ExtractZipFromExe(const std::string& zip_path) {
  uint64_t attach_offset = 0;
  const int64_t length = AttachedLength(attach_offset);
  if (length <= 0) {
    ShowFatalError(std::string(kNotAValidApplicationText), "Error");
    return;
  }
  const platform::FileHandle in = platform::OpenFile(FExePath, "rb");
  if (!in || !platform::SeekFile(in.get(), attach_offset)) {
    throw std::runtime_error("Cannot open " + FExePath);
  }
  platform::FileHandle out = platform::OpenFile(zip_path, "wb");
  if (!out) throw std::runtime_error("Cannot create file " + zip_path);
  CopyBlocks(in.get(), length, FExePath, [&](const char* data, size_t size) {
    if (!platform::WriteToFile(out.get(), {data, size})) {
      throw std::runtime_error("Cannot write " + zip_path);
    }
  });
  if (std::fclose(out.release()) != 0) throw std::runtime_error("Cannot write " + zip_path);
}

void TExeUtils::AppendZipToExe(const std::string& zip_path, const std::string& exe_path) {
  const platform::FileHandle in = platform::OpenFile(zip_path, "rb");
  if (!in) throw std::runtime_error("Cannot open " + zip_path);
  // Appending mode would create a missing executable; there must be one.
  if (GetFileLength(exe_path) < 0) throw std::runtime_error("Cannot open " + exe_path);
  platform::FileHandle out = platform::OpenFile(exe_path, "ab");
  if (!out) throw std::runtime_error("Cannot open " + exe_path + " for writing");
  const int64_t length = GetFileLength(zip_path);
  if (length < 0) throw std::runtime_error("Cannot open " + zip_path);
  CopyBlocks(in.get(), length, zip_path, [&](const char* data, size_t size) {
    if (!platform::WriteToFile(out.get(), {data, size})) {
      throw std::runtime_error("Cannot write " + exe_path);
    }
  });
  if (std::fclose(out.release()) != 0) throw std::runtime_error("Cannot write " + exe_path);
}

// --- mapping the attached archive ------------------------------------------------------

TMappedFile::~TMappedFile() { Unmap(); }

TMappedFile::TMappedFile(TMappedFile&& other) noexcept
    : FView(std::exchange(other.FView, nullptr)),
      FViewSize(std::exchange(other.FViewSize, 0)),
      FData(std::exchange(other.FData, nullptr)),
      FSize(std::exchange(other.FSize, 0)) {}

TMappedFile& TMappedFile::operator=(TMappedFile&& other) noexcept {
  if (this != &other) {
    Unmap();
    FView = std::exchange(other.FView, nullptr);
    FViewSize = std::exchange(other.FViewSize, 0);
    FData = std::exchange(other.FData, nullptr);
    FSize = std::exchange(other.FSize, 0);
  }
  return *this;
}

void TMappedFile::Unmap() {
  if (FView == nullptr) return;
#ifdef _WIN32
  UnmapViewOfFile(FView);
#else
  munmap(FView, FViewSize);
#endif
  FView = nullptr;
  FViewSize = 0;
  FData = nullptr;
  FSize = 0;
}

void TMappedFile::Release(std::span<const uint8_t> range) const {
  if (range.empty() || range.data() < FData || range.data() + range.size() > FData + FSize) return;
#ifdef _WIN32
  constexpr uintptr_t kPage = 4096;
#else
  static const auto kPage = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
#endif
  const auto begin = (reinterpret_cast<uintptr_t>(range.data()) + kPage - 1) / kPage * kPage;
  const auto end = (reinterpret_cast<uintptr_t>(range.data()) + range.size()) / kPage * kPage;
  if (end <= begin) return;
#ifdef _WIN32
  // Unlocking pages that are not locked takes them out of the working set.
  VirtualUnlock(reinterpret_cast<void*>(begin), end - begin);
#else
  // A read-only private mapping: dropped pages read back from the file.
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
#endif
}

TMappedFile TMappedFile::Map(const std::string& path, uint64_t offset, uint64_t length) {
  if (length == 0 || length > std::numeric_limits<size_t>::max() / 2) {
    throw std::runtime_error("Cannot map " + std::to_string(length) + " bytes of " + path);
  }
  TMappedFile mapped;
#ifdef _WIN32
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const uint64_t granularity = info.dwAllocationGranularity;
  const uint64_t start = offset / granularity * granularity;
  const HANDLE file = CreateFileW(platform::WideFromUtf8(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("Cannot open " + path);
  const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  CloseHandle(file);
  if (mapping == nullptr) throw std::runtime_error("Cannot map " + path);
  const auto view_size = static_cast<size_t>(offset - start + length);
  void* view = MapViewOfFile(mapping, FILE_MAP_READ, static_cast<DWORD>(start >> 32),
                             static_cast<DWORD>(start & 0xFFFFFFFF), view_size);
  // The view keeps the mapping object alive.
  CloseHandle(mapping);
  if (view == nullptr) throw std::runtime_error("Cannot map " + path);
#else
  const auto page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  const uint64_t start = offset / page * page;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("Cannot open " + path);
  const auto view_size = static_cast<size_t>(offset - start + length);
  void* view = mmap(nullptr, view_size, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(start));
  close(fd);  // the mapping keeps the file
  if (view == MAP_FAILED) throw std::runtime_error("Cannot map " + path);
#endif
  mapped.FView = view;
  mapped.FViewSize = view_size;
  mapped.FData = static_cast<const uint8_t*>(view) + (offset - start);
  mapped.FSize = static_cast<size_t>(length);
  return mapped;
}

TMappedFile TExeUtils::MapZipFromExe() {
  uint64_t attach_offset = 0;
  const int64_t length = AttachedLength(attach_offset);
  if (length <= 0) {
    ShowFatalError(std::string(kNotAValidApplicationText), "Error");
    return {};
  }
  return TMappedFile::Map(FExePath, attach_offset, static_cast<uint64_t>(length));
}

}  // namespace tessel::shared
