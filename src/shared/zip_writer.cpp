#include "shared/zip_writer.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <system_error>

#include "shared/exe_utils.h"

namespace tessel::shared {

namespace fs = std::filesystem;

namespace {

constexpr uint16_t kVersionNeeded = 20;
// Bit 0: encrypted; bit 3: sizes and CRC follow the data in a descriptor.
constexpr uint16_t kFlags = 0x0009;
constexpr size_t kEncryptionHeaderSize = 12;
constexpr uint32_t kMax32 = std::numeric_limits<uint32_t>::max();

// Traditional PKWARE stream cipher (APPNOTE 6.1).
class PkwareCipher {
 public:
  explicit PkwareCipher(std::string_view password) : table_(get_crc_table()) {
    for (const char c : password) Update(static_cast<uint8_t>(c));
  }

  void Encrypt(uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      const uint32_t t = (keys_[2] | 2) & 0xFFFF;
      const uint8_t plain = data[i];
      data[i] = static_cast<uint8_t>(plain ^ static_cast<uint8_t>((t * (t ^ 1)) >> 8));
      Update(plain);
    }
  }

 private:
  uint32_t Crc(uint32_t crc, uint8_t b) const {
    return static_cast<uint32_t>(table_[(crc ^ b) & 0xFF]) ^ (crc >> 8);
  }

  void Update(uint8_t c) {
    keys_[0] = Crc(keys_[0], c);
    keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813 + 1;
    keys_[2] = Crc(keys_[2], static_cast<uint8_t>(keys_[1] >> 24));
  }

  const z_crc_t* table_;
  std::array<uint32_t, 3> keys_{0x12345678, 0x23456789, 0x34567890};
};

class Bytes {
 public:
  Bytes& U16(uint16_t v) {
    data_.push_back(static_cast<char>(v & 0xFF));
    data_.push_back(static_cast<char>(v >> 8));
    return *this;
  }
  Bytes& U32(uint32_t v) {
    U16(static_cast<uint16_t>(v & 0xFFFF));
    return U16(static_cast<uint16_t>(v >> 16));
  }
  Bytes& Text(std::string_view s) {
    data_.append(s);
    return *this;
  }
  const std::string& str() const { return data_; }

 private:
  std::string data_;
};

}  // namespace

TDosDateTime ToDosDateTime(std::time_t t) {
  // UTC, not the packing machine's zone: the same time gives the same bytes
  // anywhere.
  std::tm tm{};
#ifdef _WIN32
  if (gmtime_s(&tm, &t) != 0 || tm.tm_year < 80) return {};
#else
  if (gmtime_r(&t, &tm) == nullptr || tm.tm_year < 80) return {};
#endif
  if (tm.tm_year > 207) {
    return {static_cast<uint16_t>(23 << 11 | 59 << 5 | 29),
            static_cast<uint16_t>(127 << 9 | 12 << 5 | 31)};
  }
  return {static_cast<uint16_t>(tm.tm_hour << 11 | tm.tm_min << 5 | std::min(tm.tm_sec, 59) / 2),
          static_cast<uint16_t>((tm.tm_year - 80) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday)};
}

TZipWriter::TZipWriter(std::ostream& out, std::string password)
    : FOut(out), FPassword(std::move(password)) {}

void TZipWriter::Write(const void* data, size_t size) {
  if (!FOut.write(static_cast<const char*>(data), static_cast<std::streamsize>(size))) {
    throw EZipWriteError("Cannot write the archive");
  }
  FWritten += size;
}

uint32_t TZipWriter::Offset() const {
  if (FWritten > kMax32) throw EZipWriteError("The archive is larger than 4 GiB");
  return static_cast<uint32_t>(FWritten);
}

void TZipWriter::AddEntry(std::string_view name, std::istream& data, TDosDateTime when) {
  if (FFinished) throw EZipWriteError("The archive is already finished");
  if (name.empty() || name.size() > 0xFFFF) {
    throw EZipWriteError("Invalid entry name of " + std::to_string(name.size()) + " bytes");
  }
  if (FEntries.size() >= 0xFFFF) throw EZipWriteError("More than 65535 entries");

  Entry entry;
  entry.name = std::string(name);
  entry.when = when;
  entry.offset = Offset();

  // The encryption header is derived from the entry rather than drawn at
  // random, so that the same files give the same archive: a first pass
  // takes the content's CRC and size, the second encrypts.
  const std::istream::pos_type start = data.tellg();
  if (start == std::istream::pos_type(-1)) {
    throw EZipWriteError("Cannot read the content of entry " + entry.name);
  }
  std::array<char, 65536> block{};
  uLong first_crc = crc32(0, nullptr, 0);
  uint64_t first_size = 0;
  for (;;) {
    data.read(block.data(), block.size());
    const auto got = static_cast<size_t>(data.gcount());
    if (got == 0) break;
    first_size += got;
    if (first_size > kMax32 - kEncryptionHeaderSize) {
      throw EZipWriteError("Entry " + entry.name + " is larger than 4 GiB");
    }
    first_crc =
        crc32(first_crc, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(got));
  }
  if (data.bad()) throw EZipWriteError("Cannot read the content of entry " + entry.name);
  data.clear();
  if (!data.seekg(start)) throw EZipWriteError("Cannot read the content of entry " + entry.name);

  // Sizes and CRC are zero here and follow the data in the descriptor.
  Bytes local;
  local.U32(0x04034B50).U16(kVersionNeeded).U16(kFlags).U16(0);
  local.U16(when.time).U16(when.date).U32(0).U32(0).U32(0);
  local.U16(static_cast<uint16_t>(name.size())).U16(0).Text(name);
  Write(local.str().data(), local.str().size());

  PkwareCipher cipher(FPassword);
  // With bit 3 set, the last header byte checks the password against the high
  // byte of the modification time (what Info-ZIP tests; libzip accepts it
  // as well as the CRC's high byte).
  std::array<uint8_t, kEncryptionHeaderSize> header{};
  uint64_t seed = 0xCBF29CE484222325ULL;  // FNV-1a over the name, then mixed
  for (const char c : name) seed = (seed ^ static_cast<uint8_t>(c)) * 0x100000001B3ULL;
  seed ^= static_cast<uint64_t>(first_crc) << 32 ^ first_size;
  for (size_t i = 0; i + 1 < header.size(); ++i) {
    seed += 0x9E3779B97F4A7C15ULL;  // splitmix64
    uint64_t z = seed;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    header[i] = static_cast<uint8_t>(z ^ (z >> 31));
  }
  header.back() = static_cast<uint8_t>(when.time >> 8);
  cipher.Encrypt(header.data(), header.size());
  Write(header.data(), header.size());

  uLong crc = crc32(0, nullptr, 0);
  uint64_t size = 0;
  for (;;) {
    data.read(block.data(), block.size());
    const auto got = static_cast<size_t>(data.gcount());
    if (got == 0) break;
    size += got;
    if (size > kMax32 - kEncryptionHeaderSize) {
      throw EZipWriteError("Entry " + entry.name + " is larger than 4 GiB");
    }
    crc = crc32(crc, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(got));
    cipher.Encrypt(reinterpret_cast<uint8_t*>(block.data()), got);
    Write(block.data(), got);
    FDataWritten += got;
    if (OnProgress) OnProgress(FDataWritten);
  }
  if (data.bad()) throw EZipWriteError("Cannot read the content of entry " + entry.name);
  if (crc != first_crc || size != first_size) {
    throw EZipWriteError("Entry " + entry.name + " changed while it was packed");
  }

  entry.crc = static_cast<uint32_t>(crc);
  entry.size = static_cast<uint32_t>(size);
  entry.compressed_size = static_cast<uint32_t>(size + kEncryptionHeaderSize);
  Bytes descriptor;
  descriptor.U32(0x08074B50).U32(entry.crc).U32(entry.compressed_size).U32(entry.size);
  Write(descriptor.str().data(), descriptor.str().size());
  Offset();
  FEntries.push_back(std::move(entry));
}

void TZipWriter::AddEntry(std::string_view name, std::string_view data, TDosDateTime when) {
  std::istringstream in{std::string(data)};
  AddEntry(name, in, when);
}

void TZipWriter::Finish() {
  if (FFinished) throw EZipWriteError("The archive is already finished");
  FFinished = true;
  const uint32_t directory_offset = Offset();
  Bytes directory;
  for (const Entry& e : FEntries) {
    // Made by 2.0 on MS-DOS/FAT: no host-specific attributes.
    directory.U32(0x02014B50).U16(kVersionNeeded).U16(kVersionNeeded).U16(kFlags).U16(0);
    directory.U16(e.when.time).U16(e.when.date).U32(e.crc).U32(e.compressed_size).U32(e.size);
    directory.U16(static_cast<uint16_t>(e.name.size())).U16(0).U16(0).U16(0).U16(0).U32(0);
    directory.U32(e.offset).Text(e.name);
  }
  Write(directory.str().data(), directory.str().size());
  const uint64_t directory_size = FWritten - directory_offset;
  Offset();
  const auto count = static_cast<uint16_t>(FEntries.size());
  Bytes end;
  end.U32(0x06054B50).U16(0).U16(0).U16(count).U16(count);
  end.U32(static_cast<uint32_t>(directory_size)).U32(directory_offset).U16(0);
  Write(end.str().data(), end.str().size());
  FOut.flush();
  if (!FOut) throw EZipWriteError("Cannot write the archive");
}

std::string TempPathBeside(const std::string& path) {
  std::random_device random;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string suffix = ".tmp-";
  const uint32_t r = random();
  for (int shift = 28; shift >= 0; shift -= 4) suffix += kDigits[(r >> shift) & 0xF];
  return path + suffix;
}

void WriteZipFile(const std::string& zip_path, const std::vector<TZipFileEntry>& entries,
                  std::string_view password, TDosDateTime when,
                  const std::function<void(uint64_t written)>& on_progress) {
  const std::string temp = TempPathBeside(zip_path);
  try {
    {
      std::ofstream out(Utf8ToPath(temp), std::ios::binary | std::ios::trunc);
      if (!out) throw EZipWriteError("Cannot create file " + temp);
      TZipWriter writer(out, std::string(password));
      writer.OnProgress = on_progress;
      for (const TZipFileEntry& entry : entries) {
        const fs::path source = Utf8ToPath(entry.path);
        std::ifstream in(source, std::ios::binary);
        if (!in) throw EZipWriteError("Cannot read " + entry.path);
        try {
          writer.AddEntry(entry.name, in, when);
        } catch (const EZipWriteError& e) {
          throw EZipWriteError(std::string(e.what()) + " (" + entry.path + ")");
        }
      }
      writer.Finish();
      out.close();
      if (!out) throw EZipWriteError("Cannot write " + temp);
    }
    std::error_code ec;
    fs::rename(Utf8ToPath(temp), Utf8ToPath(zip_path), ec);
    if (ec) throw EZipWriteError("Cannot create file " + zip_path + ": " + ec.message());
  } catch (...) {
    std::error_code ignored;
    fs::remove(Utf8ToPath(temp), ignored);
    throw;
  }
}

}  // namespace tessel::shared
