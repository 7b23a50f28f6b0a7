#include "shared/exe_zip.h"

#include <zip.h>

#include <algorithm>
#include <array>
#include <utility>

namespace tessel::shared {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string FoldAscii(std::string_view s) {
  std::string folded(s);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

// An entry name fit for a one-line message.
std::string Printable(std::span<const uint8_t> name) {
  std::string s;
  for (const uint8_t c : name.first(std::min<size_t>(name.size(), 80))) {
    s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return "'" + s + (name.size() > 80 ? "...'" : "'");
}

// libzip names the class of a failure ("Not a zip archive", "Zip archive
// inconsistent"); this walks the end record and the central directory to say
// which structure is wrong. Empty when it finds nothing to add (zip64
// archives are left to libzip alone).
std::string DiagnoseArchive(std::span<const uint8_t> data) {
  constexpr size_t kEndRecordSize = 22;
  if (data.size() < kEndRecordSize) {
    return "the data is too short for a ZIP archive (" + std::to_string(data.size()) + " bytes)";
  }
  // The end record is followed by at most a 65535-byte comment.
  const size_t last = data.size() - kEndRecordSize;
  const size_t first = last > 0xFFFF ? last - 0xFFFF : 0;
  size_t end = last + 1;
  for (size_t i = last + 1; i-- > first;) {
    if (Le32(&data[i]) == 0x06054B50) {
      end = i;
      break;
    }
  }
  if (end > last) return "no end-of-central-directory record found";

  const uint8_t* record = &data[end];
  const uint16_t disk = Le16(record + 4);
  const uint16_t cd_disk = Le16(record + 6);
  const uint16_t count = Le16(record + 10);
  const uint32_t cd_size = Le32(record + 12);
  const uint32_t cd_offset = Le32(record + 16);
  if (count == 0xFFFF || cd_size == 0xFFFFFFFF || cd_offset == 0xFFFFFFFF) return {};
  if (disk != 0 || cd_disk != 0) return "the archive spans several disks";
  if (uint64_t{cd_offset} + cd_size > end) {
    return "the central directory (" + std::to_string(cd_size) + " bytes at offset " +
           std::to_string(cd_offset) + ") lies outside the " + std::to_string(end) +
           " bytes before the end record";
  }
  size_t pos = cd_offset;
  const size_t cd_end = uint64_t{cd_offset} + cd_size;
  for (uint32_t i = 0; i < count; ++i) {
    constexpr size_t kCentralHeaderSize = 46;
    if (cd_end - pos < kCentralHeaderSize || Le32(&data[pos]) != 0x02014B50) {
      return "central directory entry " + std::to_string(i) + " at offset " + std::to_string(pos) +
             " is damaged";
    }
    const size_t name_length = Le16(&data[pos + 28]);
    const size_t variable = name_length + Le16(&data[pos + 30]) + Le16(&data[pos + 32]);
    const uint32_t local = Le32(&data[pos + 42]);
    if (cd_end - pos - kCentralHeaderSize < variable) {
      return "central directory entry " + std::to_string(i) + " runs past the directory's end";
    }
    const std::string name = Printable(data.subspan(pos + kCentralHeaderSize, name_length));
    if (uint64_t{local} + 30 > cd_offset) {
      return "entry " + name + ": its local header offset " + std::to_string(local) +
             " lies outside the " + std::to_string(cd_offset) + " bytes of entry data";
    }
    if (Le32(&data[local]) != 0x04034B50) {
      return "entry " + name + ": no local header at offset " + std::to_string(local);
    }
    pos += kCentralHeaderSize + variable;
  }
  return {};
}

}  // namespace

TExeZip::~TExeZip() { Close(); }

TExeZip::TExeZip(TExeZip&& other) noexcept
    : FPassword(std::move(other.FPassword)),
      FArchive(std::exchange(other.FArchive, nullptr)),
      FNames(std::move(other.FNames)) {}

TExeZip& TExeZip::operator=(TExeZip&& other) noexcept {
  if (this != &other) {
    Close();
    FPassword = std::move(other.FPassword);
    FArchive = std::exchange(other.FArchive, nullptr);
    FNames = std::move(other.FNames);
  }
  return *this;
}

void TExeZip::Close() {
  if (FArchive != nullptr) zip_discard(FArchive);
  FArchive = nullptr;
  FNames.clear();
}

void TExeZip::SetStream(std::span<const uint8_t> archive) {
  Close();
  // libzip takes empty data for a new, empty archive; it is no archive here.
  if (const std::string why = DiagnoseArchive(archive); archive.size() < 22) {
    throw EZipError("Cannot open the app archive: " + why);
  }
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(archive.data(), archive.size(), 0, &error);
  zip_t* opened = nullptr;
  if (source != nullptr) {
    // Consistency checks make libzip read every local header now, so offsets
    // that lie are refused here rather than on some later read.
    opened = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (opened == nullptr) zip_source_free(source);
  }
  if (opened == nullptr) {
    std::string message = "Cannot open the app archive: ";
    message += zip_error_strerror(&error);
    zip_error_fini(&error);
    if (const std::string why = DiagnoseArchive(archive); !why.empty()) message += ": " + why;
    throw EZipError(message);
  }
  zip_error_fini(&error);
  FArchive = opened;

  const zip_int64_t count = zip_get_num_entries(FArchive, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* name = zip_get_name(FArchive, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_GUESS);
    if (name != nullptr) FNames[FoldAscii(name)] = static_cast<uint64_t>(i);
  }
}

int64_t TExeZip::FindFile(std::string_view name) const {
  if (FArchive == nullptr) return -1;
  const auto it = FNames.find(FoldAscii(name));
  return it == FNames.end() ? -1 : static_cast<int64_t>(it->second);
}

std::optional<std::string> TExeZip::ReadIndex(uint64_t index) const {
  // libzip 1.7.3 leaks the entry's source when opening fails on an
  // encryption method it cannot decode, so ask before opening.
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(FArchive, index, 0, &st) != 0) return std::nullopt;
  if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && st.encryption_method != ZIP_EM_NONE &&
      zip_encryption_method_supported(st.encryption_method, 0) == 0) {
    return std::nullopt;
  }
  zip_file_t* file = zip_fopen_index_encrypted(FArchive, index, 0,
                                               FPassword.empty() ? nullptr : FPassword.c_str());
  if (file == nullptr) return std::nullopt;
  std::string content;
  std::array<char, 65536> block{};
  bool ok = true;
  for (;;) {
    const zip_int64_t n = zip_fread(file, block.data(), block.size());
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    content.append(block.data(), static_cast<size_t>(n));
  }
  if (zip_fclose(file) != 0) ok = false;
  if (!ok) return std::nullopt;
  return content;
}

std::optional<std::string> TExeZip::ReadEntry(std::string_view name) const {
  if (FArchive == nullptr) throw EZipError("The app archive is not open");
  const int64_t index = FindFile(name);
  if (index < 0) return std::nullopt;
  return ReadIndex(static_cast<uint64_t>(index));
}

void TExeZip::ExtractToStream(std::string_view name, std::ostream& stream) const {
  // Read whole first: a failure halfway must leave the destination untouched.
  const std::optional<std::string> content = ReadEntry(name);
  if (content) stream.write(content->data(), static_cast<std::streamsize>(content->size()));
}

std::vector<TZipEntryInfo> TExeZip::Entries() const {
  std::vector<TZipEntryInfo> entries;
  if (FArchive == nullptr) return entries;
  const zip_int64_t count = zip_get_num_entries(FArchive, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(FArchive, static_cast<zip_uint64_t>(i), 0, &st) != 0) continue;
    TZipEntryInfo info;
    if ((st.valid & ZIP_STAT_NAME) != 0) info.name = st.name;
    if ((st.valid & ZIP_STAT_SIZE) != 0) info.size = st.size;
    if ((st.valid & ZIP_STAT_COMP_SIZE) != 0) info.compressed_size = st.comp_size;
    info.encrypted =
        (st.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && st.encryption_method != ZIP_EM_NONE;
    entries.push_back(std::move(info));
  }
  return entries;
}

}  // namespace tessel::shared
