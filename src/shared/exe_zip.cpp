#include "shared/exe_zip.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>

namespace tessel::shared {

using KeyMark = std::array<uint32_t, 3>;

class TZipKeyMarks {
 public:
  static constexpr uint64_t kStep = uint64_t{1} << 20;

  // The last mark at or before `offset` and after `after` (both counted in
  // entry bytes): its offset and keys.
  std::optional<std::pair<uint64_t, KeyMark>> Before(uint64_t entry, uint64_t after,
                                                     uint64_t offset) {
    const std::lock_guard lock(mutex_);
    const auto it = marks_.find(entry);
    if (it == marks_.end()) return std::nullopt;
    const uint64_t count = std::min<uint64_t>(it->second.size(), offset / kStep);
    if (count == 0 || count * kStep <= after) return std::nullopt;
    return std::make_pair(count * kStep, it->second[count - 1]);
  }

  // The keys after `offset` bytes, a multiple of kStep; kept only when they
  // extend the entry's marks without a gap.
  void Add(uint64_t entry, uint64_t offset, const KeyMark& keys) {
    const std::lock_guard lock(mutex_);
    std::vector<KeyMark>& marks = marks_[entry];
    if (marks.size() + 1 == offset / kStep) marks.push_back(keys);
  }

 private:
  std::mutex mutex_;
  std::unordered_map<uint64_t, std::vector<KeyMark>> marks_;
};

namespace {

constexpr uint32_t kEndRecordSignature = 0x06054B50;
constexpr uint32_t kZip64EndRecordSignature = 0x06064B50;
constexpr uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr size_t kEndRecordSize = 22;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kEncryptionHeaderSize = 12;

constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagDataDescriptor = 0x0008;
constexpr uint16_t kFlagStrongEncryption = 0x0040;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t Le64(const uint8_t* p) {
  return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
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

// The two classes of failure as ZIP tools name them, then what exactly.
[[noreturn]] void NotAZip(const std::string& why) {
  throw EZipError("Cannot open the app archive: Not a zip archive: " + why);
}
[[noreturn]] void Fail(const std::string& why) {
  throw EZipError("Cannot open the app archive: Zip archive inconsistent: " + why);
}

// --- the traditional PKWARE cipher (APPNOTE 6.1) ----------------------------------
// Its keys advance with a CRC-32 step per plaintext byte; the step is a table
// lookup here, not a call into zlib.

constexpr uint32_t kCrcPolynomial = 0xEDB88320;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? (c >> 1) ^ kCrcPolynomial : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

struct Keys {
  uint32_t k0 = 0x12345678;
  uint32_t k1 = 0x23456789;
  uint32_t k2 = 0x34567890;

  void Update(uint8_t plain) {
    k0 = kCrcTable[(k0 ^ plain) & 0xFF] ^ (k0 >> 8);
    k1 = (k1 + (k0 & 0xFF)) * 134775813 + 1;
    k2 = kCrcTable[(k2 ^ (k1 >> 24)) & 0xFF] ^ (k2 >> 8);
  }
  uint8_t Mask() const {
    const uint32_t t = (k2 | 2) & 0xFFFF;
    return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
  }
};

// The hot loop: the keys live in registers, one serial chain per byte.
// Without `out` the keys only move past the bytes.
template <bool kStore>
void RunCipher(Keys& keys, const uint8_t* in, uint8_t* out, size_t size) {
  uint32_t k0 = keys.k0;
  uint32_t k1 = keys.k1;
  uint32_t k2 = keys.k2;
  for (size_t i = 0; i < size; ++i) {
    const uint32_t t = (k2 | 2) & 0xFFFF;
    const auto plain = static_cast<uint8_t>(in[i] ^ static_cast<uint8_t>((t * (t ^ 1)) >> 8));
    if constexpr (kStore) out[i] = plain;
    k0 = kCrcTable[(k0 ^ plain) & 0xFF] ^ (k0 >> 8);
    k1 = (k1 + (k0 & 0xFF)) * 134775813 + 1;
    k2 = kCrcTable[(k2 ^ (k1 >> 24)) & 0xFF] ^ (k2 >> 8);
  }
  keys = {k0, k1, k2};
}

void Decrypt(Keys& keys, const uint8_t* in, uint8_t* out, size_t size) {
  RunCipher<true>(keys, in, out, size);
}

void Advance(Keys& keys, const uint8_t* in, size_t size) {
  RunCipher<false>(keys, in, nullptr, size);
}

// Polynomial arithmetic modulo the CRC-32 polynomial (bit-reflected), to move
// a CRC register across n zero bytes in O(log n).
uint32_t MultModP(uint32_t a, uint32_t b) {
  uint32_t m = 1U << 31;
  uint32_t p = 0;
  for (;;) {
    if ((a & m) != 0) {
      p ^= b;
      if ((a & (m - 1)) == 0) break;
    }
    m >>= 1;
    b = (b & 1) != 0 ? (b >> 1) ^ kCrcPolynomial : b >> 1;
  }
  return p;
}

// x^(8n) modulo the polynomial.
uint32_t X8nModP(uint64_t n) {
  static const std::array<uint32_t, 64> kPowers = [] {
    std::array<uint32_t, 64> powers{};  // x^(2^k)
    uint32_t p = 1U << 30;              // x^1
    for (uint32_t& power : powers) {
      power = p;
      p = MultModP(p, p);
    }
    return powers;
  }();
  uint32_t p = 1U << 31;  // x^0
  for (size_t k = 3; n != 0; n >>= 1, ++k) {
    if ((n & 1) != 0) p = MultModP(kPowers[k % 64], p);
  }
  return p;
}

// k0 is a CRC-32 register run over every plaintext byte, so the entry's CRC
// falls out of the keys: a register started at `start` and run over n bytes
// differs from one started at ~0 by `start ^ ~0` moved across n zero bytes.
uint32_t CrcFromKey(uint32_t start, uint32_t end, uint64_t n) {
  return ~(end ^ MultModP(X8nModP(n), start ^ 0xFFFFFFFFU));
}

// --- entry readers -------------------------------------------------------------------

class EntryReaderBase : public TZipEntryReader {
 public:
  EntryReaderBase(std::span<const uint8_t> data, const TZipEntryRecord& entry, const Keys* keys,
                  const TExeZip::TReleasePages& release)
      : release_(data.size() >= kReleaseStep ? release : nullptr),
        data_(data),
        size_(entry.size),
        crc_(entry.crc),
        encrypted_(keys != nullptr),
        start_keys_(keys != nullptr ? *keys : Keys{}),
        keys_(start_keys_) {}

  uint64_t Size() const override { return size_; }
  uint64_t Position() const override { return produced_; }

  void Rewind() override {
    keys_ = start_keys_;
    consumed_ = 0;
    produced_ = 0;
    released_ = 0;
    failed_ = false;
  }

 protected:
  // Hands the bytes consumed since the last call to the release hook, in
  // steps big enough to be worth a system call.
  void ReleaseConsumed(uint64_t consumed) {
    if (!release_ || consumed - released_ < kReleaseStep) return;
    release_(data_.subspan(released_, consumed - released_));
    released_ = consumed;
  }

  static constexpr uint64_t kReleaseStep = uint64_t{8} << 20;
  TExeZip::TReleasePages release_;
  uint64_t released_ = 0;
  std::span<const uint8_t> data_;  // after the encryption header
  uint64_t size_;
  uint32_t crc_;
  bool encrypted_;
  Keys start_keys_;
  Keys keys_;
  uint64_t consumed_ = 0;
  uint64_t produced_ = 0;
  bool failed_ = false;
};

class StoredReader final : public EntryReaderBase {
 public:
  StoredReader(std::span<const uint8_t> data, const TZipEntryRecord& entry, const Keys* keys,
               const TExeZip::TReleasePages& release, std::shared_ptr<TZipKeyMarks> marks,
               uint64_t index)
      : EntryReaderBase(data, entry, keys, release),
        marks_(keys != nullptr && entry.size > TZipKeyMarks::kStep ? std::move(marks) : nullptr),
        index_(index) {}

  int64_t Read(std::span<uint8_t> out) override {
    if (failed_) return -1;
    const uint64_t n = std::min<uint64_t>(out.size(), size_ - produced_);
    if (n == 0) return 0;
    for (uint64_t done = 0; done < n;) {
      const uint64_t step = Step(n - done);
      const uint8_t* in = data_.data() + produced_;
      if (encrypted_) {
        Decrypt(keys_, in, out.data() + done, step);
      } else {
        std::memcpy(out.data() + done, in, step);
        running_crc_ = CrcOf(running_crc_, out.subspan(done, step));
      }
      if (Produced(step) < 0) return -1;
      done += step;
    }
    return static_cast<int64_t>(n);
  }

  int64_t Skip(uint64_t count) override {
    if (failed_) return -1;
    const uint64_t n = std::min(count, size_ - produced_);
    const uint64_t target = produced_ + n;
    // The keys at a mark are what running over the bytes before it gives, so
    // the CRC drawn from them at the end is the same.
    if (marks_) {
      if (const auto mark = marks_->Before(index_, produced_, target)) {
        produced_ = mark->first;
        keys_ = {mark->second[0], mark->second[1], mark->second[2]};
      }
    }
    while (produced_ < target) {
      const uint64_t step = Step(target - produced_);
      const uint8_t* in = data_.data() + produced_;
      if (encrypted_) {
        Advance(keys_, in, step);
      } else {
        running_crc_ = CrcOf(running_crc_, {in, step});
      }
      if (Produced(step) < 0) return -1;
    }
    return static_cast<int64_t>(n);
  }

  void Rewind() override {
    EntryReaderBase::Rewind();
    running_crc_ = 0;
  }

 private:
  static uint32_t CrcOf(uint32_t crc, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
      const auto n = static_cast<uInt>(std::min<size_t>(bytes.size(), 1U << 30));
      crc = static_cast<uint32_t>(crc32(crc, bytes.data(), n));
      bytes = bytes.subspan(n);
    }
    return crc;
  }

  uint32_t Crc() const {
    return encrypted_ ? CrcFromKey(start_keys_.k0, keys_.k0, size_) : running_crc_;
  }

  // At most `left` bytes, ending at the next mark (so its keys can be taken)
  // and within the release step (so pages go as the reader passes them).
  uint64_t Step(uint64_t left) const {
    const uint64_t to_mark = TZipKeyMarks::kStep - produced_ % TZipKeyMarks::kStep;
    return std::min({left, kReleaseStep, marks_ ? to_mark : left});
  }

  // Counts `n` more bytes as produced; the last of them ends the CRC check.
  int64_t Produced(uint64_t n) {
    produced_ += n;
    if (marks_ && produced_ % TZipKeyMarks::kStep == 0 && produced_ < size_) {
      marks_->Add(index_, produced_, {keys_.k0, keys_.k1, keys_.k2});
    }
    ReleaseConsumed(produced_);
    if (produced_ == size_ && Crc() != crc_) {
      failed_ = true;
      return -1;
    }
    return static_cast<int64_t>(n);
  }

  std::shared_ptr<TZipKeyMarks> marks_;  // null: none kept for this entry
  uint64_t index_;
  uint32_t running_crc_ = 0;
};

class DeflatedReader final : public EntryReaderBase {
 public:
  DeflatedReader(std::span<const uint8_t> data, const TZipEntryRecord& entry, const Keys* keys,
                 const TExeZip::TReleasePages& release)
      : EntryReaderBase(data, entry, keys, release) {
    Init();
  }
  ~DeflatedReader() override { inflateEnd(&stream_); }
  DeflatedReader(const DeflatedReader&) = delete;
  DeflatedReader& operator=(const DeflatedReader&) = delete;

  int64_t Read(std::span<uint8_t> out) override {
    if (failed_) return -1;
    if (out.empty()) return 0;
    const uint64_t want = std::min<uint64_t>(out.size(), std::numeric_limits<uInt>::max());
    stream_.next_out = out.data();
    stream_.avail_out = static_cast<uInt>(want);
    while (stream_.avail_out != 0 && !ended_) {
      if (stream_.avail_in == 0) {
        const uint64_t n = std::min<uint64_t>(block_.size(), data_.size() - consumed_);
        if (n == 0) return Failed();  // the data ends before the stream does
        const uint8_t* in = data_.data() + consumed_;
        if (encrypted_) {
          Decrypt(keys_, in, block_.data(), n);
          stream_.next_in = block_.data();
        } else {
          stream_.next_in = const_cast<uint8_t*>(in);  // zlib does not write to it
        }
        stream_.avail_in = static_cast<uInt>(n);
        consumed_ += n;
        // zlib keeps its own window; only a plain entry's input is still
        // referenced, up to what zlib has not taken yet.
        ReleaseConsumed(encrypted_ ? consumed_ : consumed_ - n);
      }
      const int result = inflate(&stream_, Z_NO_FLUSH);
      if (result == Z_STREAM_END) {
        ended_ = true;
      } else if (result != Z_OK) {
        return Failed();
      }
    }
    const uint64_t n = want - stream_.avail_out;
    produced_ += n;
    if (produced_ > size_) return Failed();  // more than the directory promised
    crc_so_far_ = static_cast<uint32_t>(crc32(crc_so_far_, out.data(), static_cast<uInt>(n)));
    if (ended_ && (produced_ != size_ || crc_so_far_ != crc_)) return Failed();
    return static_cast<int64_t>(n);
  }

  // Inflating has no shortcut: the bytes are produced into a scratch block.
  int64_t Skip(uint64_t count) override {
    std::array<uint8_t, 16384> scratch{};
    uint64_t skipped = 0;
    while (skipped < count) {
      const int64_t n = Read({scratch.data(), std::min<uint64_t>(scratch.size(), count - skipped)});
      if (n < 0) return -1;
      if (n == 0) break;
      skipped += static_cast<uint64_t>(n);
    }
    return static_cast<int64_t>(skipped);
  }

  void Rewind() override {
    EntryReaderBase::Rewind();
    inflateEnd(&stream_);
    Init();
  }

 private:
  void Init() {
    stream_ = z_stream{};
    ended_ = false;
    crc_so_far_ = 0;
    // Raw deflate: the ZIP entry has no zlib header.
    if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) failed_ = true;
  }
  int64_t Failed() {
    failed_ = true;
    return -1;
  }

  z_stream stream_{};
  bool ended_ = false;
  uint32_t crc_so_far_ = 0;
  std::array<uint8_t, 65536> block_{};
};

// --- the central directory ------------------------------------------------------------

struct Directory {
  uint64_t count = 0;
  uint64_t size = 0;
  uint64_t offset = 0;
  uint64_t end = 0;  // where the end records begin
};

Directory FindDirectory(std::span<const uint8_t> data) {
  if (data.size() < kEndRecordSize) {
    NotAZip("the data is too short for a ZIP archive (" + std::to_string(data.size()) + " bytes)");
  }
  // The end record is followed by at most a 65535-byte comment.
  const size_t last = data.size() - kEndRecordSize;
  const size_t first = last > 0xFFFF ? last - 0xFFFF : 0;
  size_t end = last + 1;
  for (size_t i = last + 1; i-- > first;) {
    if (Le32(&data[i]) == kEndRecordSignature) {
      end = i;
      break;
    }
  }
  if (end > last) NotAZip("no end-of-central-directory record found");

  const uint8_t* record = &data[end];
  if (Le16(record + 4) != 0 || Le16(record + 6) != 0) Fail("the archive spans several disks");
  Directory dir{Le16(record + 10), Le32(record + 12), Le32(record + 16), end};

  if (dir.count == 0xFFFF || dir.size == 0xFFFFFFFF || dir.offset == 0xFFFFFFFF) {
    // Zip64: a locator right before the end record names the larger record.
    constexpr size_t kLocatorSize = 20;
    constexpr size_t kZip64RecordSize = 56;
    if (end >= kLocatorSize && Le32(&data[end - kLocatorSize]) == kZip64LocatorSignature) {
      const uint64_t at = Le64(&data[end - kLocatorSize + 8]);
      if (at > end - kLocatorSize || end - kLocatorSize - at < kZip64RecordSize ||
          Le32(&data[at]) != kZip64EndRecordSignature) {
        Fail("the zip64 end record is damaged");
      }
      const uint8_t* zip64 = &data[at];
      dir = {Le64(zip64 + 32), Le64(zip64 + 40), Le64(zip64 + 48), at};
    }
  }
  if (dir.offset > dir.end || dir.size > dir.end - dir.offset) {
    Fail("the central directory (" + std::to_string(dir.size) + " bytes at offset " +
         std::to_string(dir.offset) + ") lies outside the " + std::to_string(dir.end) +
         " bytes before the end record");
  }
  if (dir.count > dir.size / kCentralHeaderSize) {
    Fail("the central directory (" + std::to_string(dir.size) + " bytes) cannot hold " +
         std::to_string(dir.count) + " entries");
  }
  return dir;
}

// The zip64 extra field replaces the 32-bit fields that are all ones, in
// this order.
void ApplyZip64Extra(std::span<const uint8_t> extra, TZipEntryRecord& entry) {
  while (extra.size() >= 4) {
    const uint16_t id = Le16(extra.data());
    const size_t length = Le16(extra.data() + 2);
    if (length > extra.size() - 4) return;
    if (id == 0x0001) {
      std::span<const uint8_t> field = extra.subspan(4, length);
      for (uint64_t* value : {&entry.size, &entry.compressed_size, &entry.local_offset}) {
        if (*value != 0xFFFFFFFF) continue;
        if (field.size() < 8) return;
        *value = Le64(field.data());
        field = field.subspan(8);
      }
      return;
    }
    extra = extra.subspan(4 + length);
  }
}

std::vector<TZipEntryRecord> ReadDirectory(std::span<const uint8_t> data, const Directory& dir) {
  std::vector<TZipEntryRecord> entries;
  entries.reserve(dir.count);
  const std::span<const uint8_t> cd = data.subspan(dir.offset, dir.size);
  size_t pos = 0;
  for (uint64_t i = 0; i < dir.count; ++i) {
    if (cd.size() - pos < kCentralHeaderSize || Le32(&cd[pos]) != kCentralSignature) {
      Fail("central directory entry " + std::to_string(i) + " at offset " +
           std::to_string(dir.offset + pos) + " is damaged");
    }
    const uint8_t* h = &cd[pos];
    const size_t name_length = Le16(h + 28);
    const size_t extra_length = Le16(h + 30);
    const size_t variable = name_length + extra_length + Le16(h + 32);
    if (cd.size() - pos - kCentralHeaderSize < variable) {
      Fail("central directory entry " + std::to_string(i) + " runs past the directory's end");
    }
    const std::span<const uint8_t> name = cd.subspan(pos + kCentralHeaderSize, name_length);
    TZipEntryRecord entry;
    entry.name.assign(name.begin(), name.end());
    entry.flags = Le16(h + 8);
    entry.method = Le16(h + 10);
    entry.dos_time = Le16(h + 12);
    entry.crc = Le32(h + 16);
    entry.compressed_size = Le32(h + 20);
    entry.size = Le32(h + 24);
    entry.local_offset = Le32(h + 42);
    ApplyZip64Extra(cd.subspan(pos + kCentralHeaderSize + name_length, extra_length), entry);
    // Only the offsets are checked here: the local headers are read when
    // their entry is, so opening touches nothing but the directory.
    if (entry.local_offset > dir.offset || dir.offset - entry.local_offset < kLocalHeaderSize) {
      Fail("entry " + Printable(name) + ": its local header offset " +
           std::to_string(entry.local_offset) + " lies outside the " + std::to_string(dir.offset) +
           " bytes of entry data");
    }
    entries.push_back(std::move(entry));
    pos += kCentralHeaderSize + variable;
  }
  return entries;
}

}  // namespace

TExeZip::TExeZip(TExeZip&& other) noexcept
    : FPassword(std::move(other.FPassword)),
      FReleasePages(std::move(other.FReleasePages)),
      FKeyMarks(std::move(other.FKeyMarks)),
      FOpen(std::exchange(other.FOpen, false)),
      FData(std::exchange(other.FData, std::span<const uint8_t>())),
      FDataEnd(std::exchange(other.FDataEnd, 0)),
      FEntries(std::move(other.FEntries)),
      FNames(std::move(other.FNames)) {
  other.Close();
}

TExeZip& TExeZip::operator=(TExeZip&& other) noexcept {
  if (this != &other) {
    FPassword = std::move(other.FPassword);
    FReleasePages = std::move(other.FReleasePages);
    FKeyMarks = std::move(other.FKeyMarks);
    FOpen = std::exchange(other.FOpen, false);
    FData = std::exchange(other.FData, std::span<const uint8_t>());
    FDataEnd = std::exchange(other.FDataEnd, 0);
    FEntries = std::move(other.FEntries);
    FNames = std::move(other.FNames);
    other.Close();
  }
  return *this;
}

void TExeZip::Close() {
  FOpen = false;
  FData = {};
  FKeyMarks.reset();
  FDataEnd = 0;
  FEntries.clear();
  FNames.clear();
}

void TExeZip::SetStream(std::span<const uint8_t> archive) {
  Close();
  const Directory dir = FindDirectory(archive);
  std::vector<TZipEntryRecord> entries = ReadDirectory(archive, dir);
  std::unordered_map<std::string, uint64_t> names;
  names.reserve(entries.size());
  for (uint64_t i = 0; i < entries.size(); ++i) names[FoldAscii(entries[i].name)] = i;
  FData = archive;
  FKeyMarks = std::make_shared<TZipKeyMarks>();
  FDataEnd = dir.offset;
  FEntries = std::move(entries);
  FNames = std::move(names);
  FOpen = true;
}

int64_t TExeZip::FindFile(std::string_view name) const {
  if (!FOpen) return -1;
  const auto it = FNames.find(FoldAscii(name));
  return it == FNames.end() ? -1 : static_cast<int64_t>(it->second);
}

std::unique_ptr<TZipEntryReader> TExeZip::OpenIndex(uint64_t index) const {
  const TZipEntryRecord& entry = FEntries[index];
  if ((entry.flags & kFlagStrongEncryption) != 0) return nullptr;
  if (entry.method != kMethodStored && entry.method != kMethodDeflated) return nullptr;

  // The local header: its name and extra field decide where the data starts.
  const uint64_t local = entry.local_offset;  // checked against FDataEnd on open
  const uint8_t* header = &FData[local];
  if (Le32(header) != kLocalSignature) return nullptr;
  const uint64_t data_start = local + kLocalHeaderSize + Le16(header + 26) + Le16(header + 28);
  if (data_start > FDataEnd || entry.compressed_size > FDataEnd - data_start) return nullptr;
  std::span<const uint8_t> data = FData.subspan(data_start, entry.compressed_size);

  const bool encrypted = (entry.flags & kFlagEncrypted) != 0;
  Keys keys;
  if (encrypted) {
    if (data.size() < kEncryptionHeaderSize) return nullptr;
    for (const char c : FPassword) keys.Update(static_cast<uint8_t>(c));
    std::array<uint8_t, kEncryptionHeaderSize> plain{};
    Decrypt(keys, data.data(), plain.data(), plain.size());
    // The last header byte checks the password: the CRC's high byte, or with
    // a data descriptor the time's (what Info-ZIP writes); other writers mix
    // them up, and the CRC at the end catches the 1 in 128 that slip by.
    const uint8_t check = plain.back();
    const bool matches = check == static_cast<uint8_t>(entry.crc >> 24) ||
                         ((entry.flags & kFlagDataDescriptor) != 0 &&
                          check == static_cast<uint8_t>(Le16(header + 10) >> 8));
    if (!matches) return nullptr;
    data = data.subspan(kEncryptionHeaderSize);
  }
  if (entry.method == kMethodStored) {
    if (data.size() != entry.size) return nullptr;
    return std::make_unique<StoredReader>(data, entry, encrypted ? &keys : nullptr, FReleasePages,
                                          FKeyMarks, index);
  }
  return std::make_unique<DeflatedReader>(data, entry, encrypted ? &keys : nullptr, FReleasePages);
}

std::unique_ptr<TZipEntryReader> TExeZip::OpenEntry(std::string_view name) const {
  if (!FOpen) throw EZipError("The app archive is not open");
  const int64_t index = FindFile(name);
  if (index < 0) return nullptr;
  return OpenIndex(static_cast<uint64_t>(index));
}

std::optional<std::string> TExeZip::ReadEntry(std::string_view name) const {
  if (!FOpen) throw EZipError("The app archive is not open");
  const int64_t index = FindFile(name);
  if (index < 0) return std::nullopt;
  const std::unique_ptr<TZipEntryReader> reader = OpenIndex(static_cast<uint64_t>(index));
  if (!reader) return std::nullopt;
  // A stored entry's size is bounded by the archive, so it is allocated at
  // once; a deflated one grows as it inflates, whatever its header claims.
  const uint64_t size = reader->Size();
  const bool stored = FEntries[static_cast<uint64_t>(index)].method == kMethodStored;
  std::string content(stored ? size : std::min<uint64_t>(size, uint64_t{1} << 20), '\0');
  uint64_t filled = 0;
  for (;;) {
    if (filled == content.size()) {
      if (filled == size) {
        // Whatever follows must be the end.
        uint8_t probe = 0;
        if (reader->Read({&probe, 1}) != 0) return std::nullopt;
        break;
      }
      content.resize(std::min<uint64_t>(size, filled * 2));
    }
    const int64_t n = reader->Read(
        {reinterpret_cast<uint8_t*>(content.data()) + filled, content.size() - filled});
    if (n <= 0) return std::nullopt;  // the entry ended short, or is damaged
    filled += static_cast<uint64_t>(n);
  }
  return content;
}

std::vector<TZipEntryInfo> TExeZip::Entries() const {
  std::vector<TZipEntryInfo> entries;
  entries.reserve(FEntries.size());
  for (const TZipEntryRecord& e : FEntries) {
    entries.push_back({e.name, e.size, e.compressed_size, (e.flags & kFlagEncrypted) != 0});
  }
  return entries;
}

}  // namespace tessel::shared
