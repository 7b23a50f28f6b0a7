// Tiny executable images and file helpers for the archive tests: images are
// built byte by byte, so each test states exactly the headers it relies on.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "shared/exe_utils.h"

namespace tessel::test {

inline void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  Put16(b, at, static_cast<uint16_t>(v));
  Put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}
inline void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  Put32(b, at, static_cast<uint32_t>(v));
  Put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}

struct PeSection {
  uint32_t pointer;  // PointerToRawData
  uint32_t size;     // SizeOfRawData
};

// DOS header (e_lfanew 0x40), PE signature, file header, a PE32+ optional
// header of 240 bytes and the section table. The file is as long as its
// headers and every section's raw data (sums that wrap are not followed).
inline constexpr size_t kPeSectionTable = 0x40 + 4 + 20 + 240;

inline std::vector<uint8_t> MakePe(const std::vector<PeSection>& sections) {
  std::vector<uint8_t> b(kPeSectionTable + 40 * sections.size(), 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, 0x40);
  Put32(b, 0x40, 0x00004550);
  Put16(b, 0x44, 0x8664);
  Put16(b, 0x46, static_cast<uint16_t>(sections.size()));
  Put16(b, 0x54, 240);
  Put16(b, 0x58, 0x20B);
  uint64_t end = b.size();
  for (size_t i = 0; i < sections.size(); ++i) {
    const size_t at = kPeSectionTable + 40 * i;
    std::copy_n(".sect\0\0\0", 8, b.begin() + static_cast<std::ptrdiff_t>(at));
    Put32(b, at + 16, sections[i].size);
    Put32(b, at + 20, sections[i].pointer);
    const uint64_t section_end = uint64_t{sections[i].pointer} + sections[i].size;
    if (sections[i].size != 0 && section_end <= 0xFFFFFFFF) end = std::max(end, section_end);
  }
  b.resize(end, 0xCC);
  return b;
}

// A library image (PE32+) whose one section, at RVA 0x1000, holds an export
// table naming `exports`; `machine` and `dll` set the file header.
inline std::vector<uint8_t> MakePeLibrary(const std::vector<std::string>& exports,
                                          uint16_t machine = 0x8664, bool dll = true) {
  constexpr size_t kOptional = 0x58;
  constexpr uint32_t kData = 0x200;
  constexpr uint32_t kRva = 0x1000;
  std::vector<uint8_t> b = MakePe({{kData, 0x200}});
  std::fill(b.begin() + kData, b.end(), 0);
  Put16(b, 0x44, machine);
  Put16(b, 0x56, dll ? 0x2022 : 0x0022);  // characteristics
  Put32(b, kOptional + 32, 0x1000);       // section alignment
  Put32(b, kOptional + 36, 0x200);        // file alignment
  Put32(b, kOptional + 108, 16);          // data directories
  Put32(b, kOptional + 112, kRva);        // the export directory
  Put32(b, kOptional + 116, 40);
  Put32(b, kPeSectionTable + 8, 0x200);  // virtual size
  Put32(b, kPeSectionTable + 12, kRva);
  Put32(b, kData + 24, static_cast<uint32_t>(exports.size()));
  Put32(b, kData + 32, kRva + 40);
  uint32_t name_at = 40 + 4 * static_cast<uint32_t>(exports.size());
  for (size_t i = 0; i < exports.size(); ++i) {
    Put32(b, kData + 40 + 4 * i, kRva + name_at);
    std::copy(exports[i].begin(), exports[i].end(), b.begin() + kData + name_at);
    name_at += static_cast<uint32_t>(exports[i].size()) + 1;
  }
  return b;
}

struct ElfRange {
  uint64_t offset;
  uint64_t size;
  uint32_t type = 1;  // sections: SHT_PROGBITS; 8 is SHT_NOBITS
};

// ELF64 little-endian executable: header, program headers right after it,
// and the section header table at `shoff` (0: after all segment and section
// data, 8-aligned). The file ends with the last of them.
inline std::vector<uint8_t> MakeElf(const std::vector<ElfRange>& segments,
                                    const std::vector<ElfRange>& sections, uint64_t shoff = 0) {
  std::vector<uint8_t> b(64 + 56 * segments.size(), 0);
  const uint8_t ident[] = {0x7F, 'E', 'L', 'F', 2, 1, 1};
  std::copy(std::begin(ident), std::end(ident), b.begin());
  Put16(b, 16, 2);   // ET_EXEC
  Put16(b, 18, 62);  // x86-64
  Put32(b, 20, 1);
  Put64(b, 32, segments.empty() ? 0 : 64);
  Put16(b, 52, 64);
  Put16(b, 54, 56);
  Put16(b, 56, static_cast<uint16_t>(segments.size()));
  Put16(b, 58, 64);
  Put16(b, 60, static_cast<uint16_t>(sections.size()));
  uint64_t data_end = b.size();
  for (size_t i = 0; i < segments.size(); ++i) {
    const size_t at = 64 + 56 * i;
    Put32(b, at, 1);  // PT_LOAD
    Put64(b, at + 8, segments[i].offset);
    Put64(b, at + 32, segments[i].size);
    data_end = std::max(data_end, segments[i].offset + segments[i].size);
  }
  for (const ElfRange& s : sections) {
    if (s.type != 8) data_end = std::max(data_end, s.offset + s.size);
  }
  if (shoff == 0) shoff = (data_end + 7) / 8 * 8;
  if (!sections.empty()) Put64(b, 40, shoff);
  b.resize(std::max<uint64_t>(b.size(), data_end), 0x90);
  if (!sections.empty()) b.resize(std::max<uint64_t>(b.size(), shoff + 64 * sections.size()), 0);
  for (size_t i = 0; i < sections.size(); ++i) {
    const size_t at = shoff + 64 * i;
    Put32(b, at + 4, sections[i].type);
    Put64(b, at + 24, sections[i].offset);
    Put64(b, at + 32, sections[i].size);
  }
  return b;
}

// A fresh folder removed with everything in it at the end of the test. Its
// name has non-ASCII letters, so every path built from it tests UTF-8 paths.
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            shared::Utf8ToPath("tessel-t\xC3\xABst-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // UTF-8 path of `name` inside the folder.
  std::string File(const std::string& name) const {
    return shared::PathToUtf8(path_ / shared::Utf8ToPath(name));
  }

 private:
  std::filesystem::path path_;
};

inline void WriteBytes(const std::string& path, const void* data, size_t size) {
  const auto p = shared::Utf8ToPath(path);
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}
inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  WriteBytes(path, bytes.data(), bytes.size());
}
inline void WriteBytes(const std::string& path, const std::string& text) {
  WriteBytes(path, text.data(), text.size());
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(shared::Utf8ToPath(path), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Bytes 0, 1, ... 255, 0, 1, ...: every byte value, no run a bug could hide in.
inline std::vector<uint8_t> Pattern(size_t size, uint8_t seed = 0) {
  std::vector<uint8_t> b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
  return b;
}

}  // namespace tessel::test
