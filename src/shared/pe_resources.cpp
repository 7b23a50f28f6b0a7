#include "shared/pe_resources.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <utility>

#include "shared/exe_utils.h"
#include "shared/zip_writer.h"

namespace tessel::shared {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
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

uint64_t AlignUp(uint64_t v, uint64_t alignment) {
  return alignment == 0 ? v : (v + alignment - 1) / alignment * alignment;
}

char16_t UpperAscii(char16_t c) { return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c; }

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return UpperAscii(x) == UpperAscii(y); });
}

// The loader searches each directory by binary search: names first, ordered
// without regard to case, then identifiers in ascending order.
bool ResIdLess(const TResId& a, const TResId& b) {
  if (a.IsName() != b.IsName()) return a.IsName();
  if (!a.IsName()) return a.id < b.id;
  return std::lexicographical_compare(
      a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
      [](char16_t x, char16_t y) { return UpperAscii(x) < UpperAscii(y); });
}

bool ResourceLess(const TResource& a, const TResource& b) {
  if (!(a.type == b.type)) return ResIdLess(a.type, b.type);
  if (!(a.name == b.name)) return ResIdLess(a.name, b.name);
  return a.lang < b.lang;
}

struct Section {
  uint64_t header_offset;  // of its 40-byte entry in the section table
  std::string name;
  uint32_t virtual_size;
  uint32_t virtual_address;
  uint32_t raw_size;
  uint32_t raw_pointer;
};

// The headers of a PE image, checked against the file they came from.
struct Headers {
  uint64_t optional_offset = 0;
  bool pe32_plus = false;
  uint32_t section_alignment = 0;
  uint32_t file_alignment = 0;
  uint64_t directories_offset = 0;
  uint32_t directory_count = 0;
  std::vector<Section> sections;

  uint64_t DirectoryOffset(uint32_t index) const { return directories_offset + 8ULL * index; }
};

Headers ReadHeaders(std::span<const uint8_t> file) {
  const auto need = [&](uint64_t offset, uint64_t length, const char* what) {
    if (offset > file.size() || length > file.size() - offset) {
      throw EPeResourceError(std::string(what) + " at offset " + Hex(offset) +
                             " lies outside the file (" + std::to_string(file.size()) + " bytes)");
    }
  };
  need(0, 64, "DOS header");
  if (file[0] != 'M' || file[1] != 'Z') throw EPeResourceError("not a Windows executable");
  const uint32_t pe = Le32(&file[0x3C]);
  need(pe, 24, "PE header");
  if (Le32(&file[pe]) != 0x00004550) {
    throw EPeResourceError("no PE signature at offset " + Hex(pe));
  }
  Headers h;
  const uint16_t section_count = Le16(&file[pe + 6]);
  const uint16_t optional_size = Le16(&file[pe + 20]);
  h.optional_offset = uint64_t{pe} + 24;
  need(h.optional_offset, optional_size, "PE optional header");
  if (optional_size < 2) throw EPeResourceError("PE image without an optional header");
  const uint16_t magic = Le16(&file[h.optional_offset]);
  if (magic != 0x10B && magic != 0x20B) {
    throw EPeResourceError("unknown PE optional header magic " + Hex(magic));
  }
  h.pe32_plus = magic == 0x20B;
  const uint64_t fixed = h.pe32_plus ? 112 : 96;
  if (optional_size < fixed) throw EPeResourceError("PE optional header too short");
  const uint8_t* opt = &file[h.optional_offset];
  h.section_alignment = Le32(opt + 32);
  h.file_alignment = Le32(opt + 36);
  h.directory_count = Le32(opt + (h.pe32_plus ? 108 : 92));
  h.directories_offset = h.optional_offset + fixed;
  if (h.directory_count > (optional_size - fixed) / 8) {
    throw EPeResourceError("PE data directories run past the optional header");
  }
  if (h.section_alignment == 0 || h.file_alignment == 0 ||
      (h.file_alignment & (h.file_alignment - 1)) != 0 ||
      (h.section_alignment & (h.section_alignment - 1)) != 0) {
    throw EPeResourceError("PE image with an invalid section or file alignment");
  }
  const uint64_t table = h.optional_offset + optional_size;
  need(table, uint64_t{section_count} * 40, "PE section table");
  for (uint64_t i = 0; i < section_count; ++i) {
    const uint8_t* s = &file[table + i * 40];
    Section section{table + i * 40, std::string(reinterpret_cast<const char*>(s), 8),
                    Le32(s + 8),    Le32(s + 12),
                    Le32(s + 16),   Le32(s + 20)};
    section.name.resize(std::strlen(section.name.c_str()));
    h.sections.push_back(std::move(section));
  }
  return h;
}

// Maps an RVA range to its bytes in the file, or throws naming `what`.
std::span<const uint8_t> RvaBytes(std::span<const uint8_t> file, const Headers& h, uint32_t rva,
                                  uint32_t length, const std::string& what) {
  for (const Section& s : h.sections) {
    if (rva < s.virtual_address || rva - s.virtual_address >= s.raw_size) continue;
    const uint64_t inside = rva - s.virtual_address;
    if (length > s.raw_size - inside) break;
    const uint64_t offset = uint64_t{s.raw_pointer} + inside;
    if (offset > file.size() || length > file.size() - offset) break;
    return file.subspan(offset, length);
  }
  throw EPeResourceError(what + " (" + std::to_string(length) + " bytes at RVA " + Hex(rva) +
                         ") lies outside the image's section data");
}

// The bytes from an RVA to the end of its section's data in the file.
std::span<const uint8_t> RvaBytesToSectionEnd(std::span<const uint8_t> file, const Headers& h,
                                              uint32_t rva, const std::string& what) {
  for (const Section& s : h.sections) {
    if (rva < s.virtual_address || rva - s.virtual_address >= s.raw_size) continue;
    const uint64_t offset = uint64_t{s.raw_pointer} + (rva - s.virtual_address);
    if (offset >= file.size()) break;
    const uint64_t room = s.raw_size - (rva - s.virtual_address);
    return file.subspan(offset, std::min<uint64_t>(room, file.size() - offset));
  }
  throw EPeResourceError(what + " at RVA " + Hex(rva) + " lies outside the image's section data");
}

// Reads the three-level resource tree: type, name, language.
class TreeReader {
 public:
  TreeReader(std::span<const uint8_t> file, const Headers& h, std::span<const uint8_t> tree)
      : file_(file), headers_(h), tree_(tree) {}

  void Read(std::vector<TResource>& out) {
    TResource path;
    ReadDirectory(0, 0, path, out);
  }

 private:
  void Need(uint64_t offset, uint64_t length, const char* what) const {
    if (offset > tree_.size() || length > tree_.size() - offset) {
      throw EPeResourceError(std::string("resource ") + what + " at offset " + Hex(offset) +
                             " lies outside the resource section");
    }
  }

  TResId ReadId(uint32_t field) const {
    if ((field & 0x80000000U) == 0) {
      if (field > 0xFFFF)
        throw EPeResourceError("resource identifier " + Hex(field) + " too large");
      return TResId::Id(static_cast<uint16_t>(field));
    }
    const uint32_t offset = field & 0x7FFFFFFFU;
    Need(offset, 2, "name");
    const uint16_t length = Le16(&tree_[offset]);
    Need(offset + 2ULL, 2ULL * length, "name");
    std::u16string name(length, u'\0');
    for (uint16_t i = 0; i < length; ++i)
      name[i] = static_cast<char16_t>(Le16(&tree_[offset + 2 + 2ULL * i]));
    if (name.empty()) throw EPeResourceError("resource with an empty name");
    return TResId::Name(name);
  }

  void ReadDirectory(uint32_t offset, int level, TResource& path, std::vector<TResource>& out) {
    // Each directory once: a tree that points back into itself would loop,
    // and shared subdirectories would multiply its size.
    if (!visited_.insert(offset).second) {
      throw EPeResourceError("resource directory at offset " + Hex(offset) +
                             " is reached twice (a loop in the resource tree)");
    }
    Need(offset, 16, "directory");
    const uint32_t count = uint32_t{Le16(&tree_[offset + 12])} + Le16(&tree_[offset + 14]);
    Need(offset + 16ULL, 8ULL * count, "directory entries");
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* entry = &tree_[offset + 16 + 8ULL * i];
      const TResId id = ReadId(Le32(entry));
      const uint32_t target = Le32(entry + 4);
      const bool is_directory = (target & 0x80000000U) != 0;
      if (level < 2) {
        if (!is_directory) {
          throw EPeResourceError("resource tree: data where a directory belongs (level " +
                                 std::to_string(level + 1) + ")");
        }
        (level == 0 ? path.type : path.name) = id;
        ReadDirectory(target & 0x7FFFFFFFU, level + 1, path, out);
        continue;
      }
      if (is_directory || id.IsName()) {
        throw EPeResourceError("resource tree deeper than type, name and language");
      }
      Need(target, 16, "data entry");
      const uint8_t* data_entry = &tree_[target];
      TResource resource{path.type, path.name, id.id, Le32(data_entry + 8), {}};
      const std::span<const uint8_t> data =
          RvaBytes(file_, headers_, Le32(data_entry), Le32(data_entry + 4), "resource data");
      resource.data.assign(data.begin(), data.end());
      out.push_back(std::move(resource));
    }
  }

  std::span<const uint8_t> file_;
  const Headers& headers_;
  std::span<const uint8_t> tree_;
  std::set<uint32_t> visited_;
};

constexpr uint32_t kExportDirectory = 0;
constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kCertificateDirectory = 4;
constexpr uint32_t kRelocationDirectory = 5;

struct DirectoryEntry {
  uint32_t rva;
  uint32_t size;
};

DirectoryEntry ReadDirectoryEntry(std::span<const uint8_t> file, const Headers& h, uint32_t index) {
  if (index >= h.directory_count) return {0, 0};
  const uint8_t* p = &file[h.DirectoryOffset(index)];
  return {Le32(p), Le32(p + 4)};
}

// The section that holds the resource tree; it must start there.
size_t ResourceSectionIndex(const Headers& h, DirectoryEntry resources) {
  for (size_t i = 0; i < h.sections.size(); ++i) {
    if (h.sections[i].virtual_address == resources.rva && h.sections[i].raw_size != 0) return i;
  }
  throw EPeResourceError("the resource directory at RVA " + Hex(resources.rva) +
                         " does not begin a section");
}

uint64_t ImageEnd(const Headers& h) {
  uint64_t end = 0;
  for (const Section& s : h.sections) {
    if (s.raw_size != 0) end = std::max(end, uint64_t{s.raw_pointer} + s.raw_size);
  }
  return end;
}

// Serializes a sorted resource list as a resource section placed at `rva`.
std::vector<uint8_t> SerializeTree(const std::vector<TResource>& resources, uint32_t rva) {
  // Group into types and names, keeping the sorted order.
  struct Name {
    const TResId* id;
    std::vector<const TResource*> langs;
  };
  struct Type {
    const TResId* id;
    std::vector<Name> names;
  };
  std::vector<Type> types;
  for (const TResource& r : resources) {
    if (types.empty() || !(*types.back().id == r.type)) types.push_back({&r.type, {}});
    std::vector<Name>& names = types.back().names;
    if (names.empty() || !(*names.back().id == r.name)) names.push_back({&r.name, {}});
    names.back().langs.push_back(&r);
  }

  const auto dir_size = [](size_t entries) { return 16 + 8 * entries; };
  // Layout: root, type directories, name directories, data entries, names,
  // then the data, each piece aligned for its readers.
  size_t offset = dir_size(types.size());
  std::vector<size_t> type_dir(types.size());
  for (size_t t = 0; t < types.size(); ++t) {
    type_dir[t] = offset;
    offset += dir_size(types[t].names.size());
  }
  std::vector<std::vector<size_t>> name_dir(types.size());
  for (size_t t = 0; t < types.size(); ++t) {
    for (const Name& n : types[t].names) {
      name_dir[t].push_back(offset);
      offset += dir_size(n.langs.size());
    }
  }
  const size_t data_entries = offset;
  offset += 16 * resources.size();
  std::vector<std::pair<const std::u16string*, size_t>> strings;
  const auto add_string = [&](const TResId& id) {
    if (!id.IsName()) return;
    strings.emplace_back(&id.name, offset);
    offset += 2 + 2 * id.name.size();
  };
  for (const Type& t : types) {
    add_string(*t.id);
    for (const Name& n : t.names) add_string(*n.id);
  }
  offset = AlignUp(offset, 8);
  std::vector<size_t> data_offsets;
  for (const TResource& r : resources) {
    data_offsets.push_back(offset);
    offset = AlignUp(offset + r.data.size(), 8);
  }
  if (offset + uint64_t{rva} > std::numeric_limits<uint32_t>::max()) {
    throw EPeResourceError("the resources do not fit in a 32-bit image");
  }

  std::vector<uint8_t> out(offset, 0);
  const auto id_field = [&](const TResId& id) -> uint32_t {
    if (!id.IsName()) return id.id;
    for (const auto& [name, at] : strings) {
      if (name == &id.name) return 0x80000000U | static_cast<uint32_t>(at);
    }
    return 0;  // unreachable: every name was laid out above
  };
  const auto write_dir = [&](size_t at, const auto& children, auto&& id_of, auto&& target_of) {
    uint16_t named = 0;
    for (const auto& c : children) named += id_of(c).IsName() ? 1 : 0;
    Put16(&out[at + 12], named);
    Put16(&out[at + 14], static_cast<uint16_t>(children.size() - named));
    for (size_t i = 0; i < children.size(); ++i) {
      Put32(&out[at + 16 + 8 * i], id_field(id_of(children[i])));
      Put32(&out[at + 20 + 8 * i], target_of(i));
    }
  };
  size_t resource_index = 0;
  write_dir(
      0, types, [](const Type& t) -> const TResId& { return *t.id; },
      [&](size_t t) { return 0x80000000U | static_cast<uint32_t>(type_dir[t]); });
  for (size_t t = 0; t < types.size(); ++t) {
    write_dir(
        type_dir[t], types[t].names, [](const Name& n) -> const TResId& { return *n.id; },
        [&](size_t i) { return 0x80000000U | static_cast<uint32_t>(name_dir[t][i]); });
    for (size_t n = 0; n < types[t].names.size(); ++n) {
      const std::vector<const TResource*>& langs = types[t].names[n].langs;
      Put16(&out[name_dir[t][n] + 14], static_cast<uint16_t>(langs.size()));
      for (size_t l = 0; l < langs.size(); ++l) {
        const size_t entry = data_entries + 16 * resource_index;
        Put32(&out[name_dir[t][n] + 16 + 8 * l], langs[l]->lang);
        Put32(&out[name_dir[t][n] + 20 + 8 * l], static_cast<uint32_t>(entry));
        Put32(&out[entry], rva + static_cast<uint32_t>(data_offsets[resource_index]));
        Put32(&out[entry + 4], static_cast<uint32_t>(langs[l]->data.size()));
        Put32(&out[entry + 8], langs[l]->code_page);
        std::copy(langs[l]->data.begin(), langs[l]->data.end(),
                  out.begin() + static_cast<std::ptrdiff_t>(data_offsets[resource_index]));
        ++resource_index;
      }
    }
  }
  for (const auto& [name, at] : strings) {
    Put16(&out[at], static_cast<uint16_t>(name->size()));
    for (size_t i = 0; i < name->size(); ++i) Put16(&out[at + 2 + 2 * i], (*name)[i]);
  }
  return out;
}

// The checksum the loader verifies for drivers and the tools report: 16-bit
// one's-complement-style sum of the file with the field itself as zero, plus
// the file's length.
uint32_t PeChecksum(std::span<const uint8_t> file, uint64_t checksum_offset) {
  uint64_t sum = 0;
  for (size_t i = 0; i < file.size(); i += 2) {
    uint32_t word = file[i];
    if (i + 1 < file.size()) word |= uint32_t{file[i + 1]} << 8;
    if (i >= checksum_offset && i < checksum_offset + 4) word = 0;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + file.size());
}

}  // namespace

bool TResId::operator==(const TResId& other) const {
  if (IsName() != other.IsName()) return false;
  return IsName() ? EqualNoCase(name, other.name) : id == other.id;
}

TPeLibrary ReadPeLibrary(std::span<const uint8_t> file) {
  const Headers h = ReadHeaders(file);
  const uint64_t pe = h.optional_offset - 24;
  TPeLibrary library;
  library.pe32_plus = h.pe32_plus;
  library.machine = Le16(&file[pe + 4]);
  library.is_dll = (Le16(&file[pe + 22]) & 0x2000) != 0;  // IMAGE_FILE_DLL
  const DirectoryEntry dir = ReadDirectoryEntry(file, h, kExportDirectory);
  if (dir.rva == 0 || dir.size == 0) return library;
  const std::span<const uint8_t> table = RvaBytes(file, h, dir.rva, 40, "export directory");
  const uint32_t count = Le32(&table[24]);
  const uint32_t names_rva = Le32(&table[32]);
  if (count == 0) return library;
  // Names go through 16-bit ordinals, and each is bounded, so that no table
  // can make this slow.
  constexpr uint32_t kMaxNames = 0x10000;
  constexpr size_t kMaxName = 1024;
  if (count > kMaxNames) {
    throw EPeResourceError("export table with " + std::to_string(count) +
                           " names (more than 65536)");
  }
  const std::span<const uint8_t> names = RvaBytes(file, h, names_rva, count * 4, "export names");
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t rva = Le32(&names[i * 4ULL]);
    // A name runs to its NUL inside its section's data.
    const std::span<const uint8_t> rest = RvaBytesToSectionEnd(file, h, rva, "export name");
    const auto end = rest.begin() + static_cast<std::ptrdiff_t>(std::min(rest.size(), kMaxName));
    const auto nul = std::find(rest.begin(), end, uint8_t{0});
    if (nul == end) throw EPeResourceError("export name without its end");
    library.exports.emplace_back(rest.begin(), nul);
  }
  return library;
}

TPeImage::TPeImage(std::vector<uint8_t> file) : file_(std::move(file)) {
  const Headers h = ReadHeaders(file_);
  const uint64_t end = ImageEnd(h);
  if (end > file_.size()) {
    throw EPeResourceError("the image is truncated: its sections end at byte " +
                           std::to_string(end) + " of a " + std::to_string(file_.size()) +
                           "-byte file");
  }
  if (end < file_.size()) {
    throw EPeResourceError(std::to_string(file_.size() - end) +
                           " bytes follow the image's last section (attached data or a symbol "
                           "table); edit the image before anything is appended");
  }
  const DirectoryEntry dir = ReadDirectoryEntry(file_, h, kResourceDirectory);
  if (dir.rva == 0 || dir.size == 0) return;
  const Section& section = h.sections[ResourceSectionIndex(h, dir)];
  const std::span<const uint8_t> tree =
      std::span<const uint8_t>(file_).subspan(section.raw_pointer, section.raw_size);
  TreeReader(file_, h, tree).Read(resources_);
  std::stable_sort(resources_.begin(), resources_.end(), ResourceLess);
  // Equal keys cannot be told apart by the loader; keep the last, as it does
  // not matter which and a rebuilt tree must not carry both.
  const auto same = [](const TResource& a, const TResource& b) {
    return a.type == b.type && a.name == b.name && a.lang == b.lang;
  };
  resources_.erase(std::unique(resources_.begin(), resources_.end(), same), resources_.end());
}

const TResource* TPeImage::Find(const TResId& type, const TResId& name, uint16_t lang) const {
  for (const TResource& r : resources_) {
    if (r.type == type && r.name == name && r.lang == lang) return &r;
  }
  return nullptr;
}

std::optional<uint16_t> TPeImage::FirstLanguage(const TResId& type, const TResId& name) const {
  for (const TResource& r : resources_) {
    if (r.type == type && r.name == name) return r.lang;
  }
  return std::nullopt;
}

void TPeImage::Put(TResource resource) {
  Remove(resource.type, resource.name, resource.lang);
  const auto at = std::upper_bound(resources_.begin(), resources_.end(), resource, ResourceLess);
  resources_.insert(at, std::move(resource));
}

bool TPeImage::Remove(const TResId& type, const TResId& name, uint16_t lang) {
  const auto it = std::find_if(resources_.begin(), resources_.end(), [&](const TResource& r) {
    return r.type == type && r.name == name && r.lang == lang;
  });
  if (it == resources_.end()) return false;
  resources_.erase(it);
  return true;
}

std::vector<uint8_t> TPeImage::Build() const {
  const Headers h = ReadHeaders(file_);
  const DirectoryEntry dir = ReadDirectoryEntry(file_, h, kResourceDirectory);
  if (dir.rva == 0 || dir.size == 0) {
    throw EPeResourceError("the image has no resource section to rewrite");
  }
  if (ReadDirectoryEntry(file_, h, kCertificateDirectory).size != 0) {
    throw EPeResourceError("the image is signed; a rewrite would break its signature");
  }
  const size_t rsrc_index = ResourceSectionIndex(h, dir);
  const Section& rsrc = h.sections[rsrc_index];
  if (h.sections.back().header_offset + 40 > rsrc.raw_pointer) {
    throw EPeResourceError("the resource section overlaps the image's headers");
  }
  const DirectoryEntry relocations = ReadDirectoryEntry(file_, h, kRelocationDirectory);

  // Sections behind the resource section move with its new size; only the
  // base relocations may be there, as nothing in the code refers to them.
  std::vector<size_t> behind;
  for (size_t i = 0; i < h.sections.size(); ++i) {
    const Section& s = h.sections[i];
    if (i == rsrc_index) continue;
    const bool after_va = s.virtual_address > rsrc.virtual_address;
    const bool after_raw = s.raw_size != 0 && s.raw_pointer > rsrc.raw_pointer;
    if (after_va != after_raw && s.raw_size != 0) {
      throw EPeResourceError("section '" + s.name +
                             "' lies on different sides of the resources in file and memory");
    }
    if (!after_va) continue;
    const bool holds_relocations =
        relocations.size != 0 && relocations.rva >= s.virtual_address &&
        relocations.rva - s.virtual_address < std::max(s.virtual_size, s.raw_size);
    if (!holds_relocations) {
      throw EPeResourceError("cannot grow the resources: section '" + s.name + "' follows them");
    }
    behind.push_back(i);
  }
  std::sort(behind.begin(), behind.end(), [&](size_t a, size_t b) {
    return h.sections[a].virtual_address < h.sections[b].virtual_address;
  });

  const std::vector<uint8_t> tree = SerializeTree(resources_, rsrc.virtual_address);
  const uint64_t raw_size = AlignUp(tree.size(), h.file_alignment);
  std::vector<uint8_t> out(file_.begin(), file_.begin() + rsrc.raw_pointer);
  out.insert(out.end(), tree.begin(), tree.end());
  out.resize(rsrc.raw_pointer + raw_size, 0);

  const auto write_section = [&](const Section& s, uint32_t va, uint32_t vsize, uint32_t ptr,
                                 uint32_t rsize) {
    Put32(&out[s.header_offset + 8], vsize);
    Put32(&out[s.header_offset + 12], va);
    Put32(&out[s.header_offset + 16], rsize);
    Put32(&out[s.header_offset + 20], ptr);
  };
  const auto fits32 = [](uint64_t v) {
    if (v > std::numeric_limits<uint32_t>::max()) {
      throw EPeResourceError("the rebuilt image does not fit in 32-bit offsets");
    }
    return static_cast<uint32_t>(v);
  };
  write_section(rsrc, rsrc.virtual_address, fits32(tree.size()), rsrc.raw_pointer,
                fits32(raw_size));
  Put32(&out[h.DirectoryOffset(kResourceDirectory)], rsrc.virtual_address);
  Put32(&out[h.DirectoryOffset(kResourceDirectory) + 4], fits32(tree.size()));

  uint64_t next_va = AlignUp(uint64_t{rsrc.virtual_address} + tree.size(), h.section_alignment);
  uint64_t image_end = next_va;
  for (size_t i = 0; i < h.sections.size(); ++i) {
    const Section& s = h.sections[i];
    if (i == rsrc_index || std::find(behind.begin(), behind.end(), i) != behind.end()) continue;
    image_end = std::max(image_end,
                         AlignUp(uint64_t{s.virtual_address} + std::max(s.virtual_size, s.raw_size),
                                 h.section_alignment));
  }
  for (const size_t i : behind) {
    const Section& s = h.sections[i];
    const uint64_t va = next_va;
    const uint32_t ptr = s.raw_size == 0 ? 0 : fits32(out.size());
    if (s.raw_size != 0) {
      out.insert(out.end(), file_.begin() + s.raw_pointer,
                 file_.begin() + s.raw_pointer + s.raw_size);
    }
    write_section(s, fits32(va), s.virtual_size, ptr, s.raw_size);
    // Directories inside a moved section move with it.
    for (uint32_t d = 0; d < h.directory_count; ++d) {
      const DirectoryEntry e = ReadDirectoryEntry(file_, h, d);
      if (e.size != 0 && e.rva >= s.virtual_address &&
          e.rva - s.virtual_address < std::max(s.virtual_size, s.raw_size)) {
        Put32(&out[h.DirectoryOffset(d)], fits32(e.rva - s.virtual_address + va));
      }
    }
    next_va = AlignUp(va + std::max(s.virtual_size, s.raw_size), h.section_alignment);
    image_end = std::max(image_end, next_va);
  }
  const uint8_t* opt = &file_[h.optional_offset];
  // SizeOfInitializedData follows the resource section's new raw size.
  const uint64_t initialized = uint64_t{Le32(opt + 8)} - rsrc.raw_size + raw_size;
  Put32(&out[h.optional_offset + 8], static_cast<uint32_t>(initialized));
  Put32(&out[h.optional_offset + 56], fits32(image_end));
  Put32(&out[h.optional_offset + 64], PeChecksum(out, h.optional_offset + 64));
  return out;
}

// --- icon files ------------------------------------------------------------------

size_t IconFileImageCount(std::span<const uint8_t> ico) { return Le16(&ico[4]); }

bool IsValidIconFile(std::span<const uint8_t> ico) {
  if (ico.size() < 6) return false;
  if (ico[0] == 'M' && ico[1] == 'Z') return false;
  const size_t count = IconFileImageCount(ico);
  if (ico.size() < 6 + 16 * count) return false;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = &ico[6 + 16 * i];
    const uint32_t size = Le32(entry + 8);
    const uint32_t offset = Le32(entry + 12);
    const uint32_t end = offset + size;
    if (end < offset || end > ico.size()) return false;
  }
  return true;
}

std::span<const uint8_t> IconFileImage(std::span<const uint8_t> ico, size_t index) {
  const uint8_t* entry = &ico[6 + 16 * index];
  return ico.subspan(Le32(entry + 12), Le32(entry + 8));
}

std::vector<uint8_t> BuildGroupIconDirectory(std::span<const uint8_t> ico,
                                             std::span<const uint8_t> previous) {
  const size_t count = IconFileImageCount(ico);
  std::vector<uint8_t> dir(6 + 14 * count, 0);
  if (previous.size() >= 4) std::copy_n(previous.begin(), 4, dir.begin());
  Put16(&dir[4], static_cast<uint16_t>(count));
  for (size_t i = 0; i < count; ++i) {
    std::copy_n(&ico[6 + 16 * i], 12, &dir[6 + 14 * i]);
    Put16(&dir[6 + 14 * i + 12], static_cast<uint16_t>(i + 1));
  }
  return dir;
}

void ReplaceMainIcon(TPeImage& image, std::span<const uint8_t> ico) {
  if (ico.size() > kMaxIconFileSize) throw EPeResourceError("Icon file is too large");
  if (!IsValidIconFile(ico)) throw EPeResourceError("Icon file is invalid");
  const TResId group_type = TResId::Id(kRtGroupIcon);
  const TResId main_icon = TResId::Name(kMainIconName);
  const std::optional<uint16_t> group_lang = image.FirstLanguage(group_type, main_icon);
  if (!group_lang) throw EPeResourceError("the executable has no \"MAINICON\" icon group");
  const std::vector<uint8_t> previous = image.Find(group_type, main_icon, *group_lang)->data;
  image.Remove(group_type, main_icon, *group_lang);
  const size_t previous_count = previous.size() >= 6 ? Le16(&previous[4]) : 0;
  for (size_t i = 0; i < previous_count && 6 + 14 * i + 14 <= previous.size(); ++i) {
    const TResId id = TResId::Id(Le16(&previous[6 + 14 * i + 12]));
    if (const std::optional<uint16_t> lang = image.FirstLanguage(TResId::Id(kRtIcon), id)) {
      image.Remove(TResId::Id(kRtIcon), id, *lang);
    }
  }
  const size_t count = IconFileImageCount(ico);
  for (size_t i = 0; i < count; ++i) {
    const std::span<const uint8_t> data = IconFileImage(ico, i);
    image.Put({TResId::Id(kRtIcon), TResId::Id(static_cast<uint16_t>(i + 1)), kLangEnUs, 0,
               std::vector<uint8_t>(data.begin(), data.end())});
  }
  image.Put({group_type, main_icon, kLangEnUs, 0, BuildGroupIconDirectory(ico, previous)});
}

// --- version information -------------------------------------------------------

namespace {

// One block of a version resource: header, key, value and children.
struct VersionBlock {
  size_t offset;  // in the whole resource
  size_t length;  // wLength, clamped to what the parent holds
  uint16_t value_length;
  uint16_t type;  // 1: text, value length in characters
  std::u16string key;
  size_t value_offset;
  size_t children_offset;
};

class VersionReader {
 public:
  explicit VersionReader(std::span<const uint8_t> block) : block_(block) {}

  VersionBlock Read(size_t offset, size_t limit) const {
    if (limit > block_.size() || offset > limit || limit - offset < 6) {
      throw EPeResourceError("version information is damaged at offset " + Hex(offset));
    }
    VersionBlock b{
        offset, Le16(&block_[offset]), Le16(&block_[offset + 2]), Le16(&block_[offset + 4]), {}, 0,
        0};
    if (b.length < 6 || b.length > limit - offset) {
      throw EPeResourceError("version information block at offset " + Hex(offset) +
                             " has a length that does not fit its parent");
    }
    const size_t end = offset + b.length;
    size_t p = offset + 6;
    for (;;) {
      if (p + 2 > end) throw EPeResourceError("version information key without its end");
      const auto c = static_cast<char16_t>(Le16(&block_[p]));
      p += 2;
      if (c == u'\0') break;
      b.key.push_back(c);
    }
    b.value_offset = std::min(AlignUp(p, 4), end);
    const size_t value_bytes = b.type == 1 ? 2U * b.value_length : b.value_length;
    if (value_bytes > end - b.value_offset) {
      throw EPeResourceError("version value \"" + Narrow(b.key) + "\" runs past its block");
    }
    b.children_offset = std::min(AlignUp(b.value_offset + value_bytes, 4), end);
    return b;
  }

  std::vector<VersionBlock> Children(const VersionBlock& parent) const {
    std::vector<VersionBlock> out;
    const size_t end = parent.offset + parent.length;
    size_t p = parent.children_offset;
    while (p + 6 <= end) {
      const VersionBlock child = Read(p, end);
      out.push_back(child);
      p = AlignUp(p + child.length, 4);
    }
    return out;
  }

  static std::string Narrow(std::u16string_view s) {
    std::string out;
    for (const char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
  }

 private:
  std::span<const uint8_t> block_;
};

std::u16string Hex4(uint16_t v) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string s(4, u'0');
  for (int i = 3; i >= 0; --i, v = static_cast<uint16_t>(v >> 4)) s[i] = kDigits[v & 15];
  return s;
}

const VersionBlock* ChildNamed(const std::vector<VersionBlock>& children, std::u16string_view key) {
  for (const VersionBlock& c : children) {
    if (EqualNoCase(c.key, key)) return &c;
  }
  return nullptr;
}

std::u16string Widen(std::string_view s) { return {s.begin(), s.end()}; }

constexpr uint32_t kFixedSignature = 0xFEEF04BD;
constexpr size_t kFixedSize = 52;

// Where the block's VS_FIXEDFILEINFO lies; nothing when it has none.
std::optional<size_t> FixedPartOffset(std::span<const uint8_t> block) {
  if (block.size() < 6) throw EPeResourceError("version information is too short");
  const VersionBlock root =
      VersionReader(block).Read(0, std::min<size_t>(block.size(), Le16(&block[0])));
  if (root.type != 0 || root.value_length < kFixedSize ||
      Le32(&block[root.value_offset]) != kFixedSignature) {
    return std::nullopt;
  }
  return root.value_offset;
}

TVersionNumber GetVersionNumber(const uint8_t* ms_ls) {
  const uint32_t ms = Le32(ms_ls);
  const uint32_t ls = Le32(ms_ls + 4);
  return {static_cast<uint16_t>(ms >> 16), static_cast<uint16_t>(ms),
          static_cast<uint16_t>(ls >> 16), static_cast<uint16_t>(ls)};
}

}  // namespace

std::optional<TVersionNumber> ParseVersionNumber(std::u16string_view text) {
  TVersionNumber number{};
  size_t part = 0;
  size_t p = 0;
  for (;;) {
    if (part == number.size() || p == text.size() || text[p] < u'0' || text[p] > u'9') {
      return std::nullopt;
    }
    uint32_t value = 0;
    for (; p < text.size() && text[p] >= u'0' && text[p] <= u'9'; ++p) {
      value = value * 10 + (text[p] - u'0');
      if (value > 0xFFFF) return std::nullopt;
    }
    number[part++] = static_cast<uint16_t>(value);
    if (p == text.size()) return number;
    if (text[p++] != u'.') return std::nullopt;
  }
}

std::string VersionNumberText(const TVersionNumber& number) {
  return std::to_string(number[0]) + "." + std::to_string(number[1]) + "." +
         std::to_string(number[2]) + "." + std::to_string(number[3]);
}

std::optional<TFixedVersion> ReadFixedVersion(std::span<const uint8_t> block) {
  const std::optional<size_t> at = FixedPartOffset(block);
  if (!at) return std::nullopt;
  return TFixedVersion{GetVersionNumber(&block[*at + 8]), GetVersionNumber(&block[*at + 16])};
}

void PutFixedVersion(uint8_t* fixed, bool file, const TVersionNumber& number) {
  uint8_t* ms_ls = fixed + (file ? 8 : 16);
  Put32(ms_ls, (uint32_t{number[0]} << 16) | number[1]);
  Put32(ms_ls + 4, (uint32_t{number[2]} << 16) | number[3]);
}

std::u16string VersionValueText(std::span<const uint8_t> block, const TVersionValue& value) {
  std::u16string text;
  for (size_t i = 0; i < value.chars && value.offset + 2 * i + 2 <= block.size(); ++i) {
    const auto c = static_cast<char16_t>(Le16(&block[value.offset + 2 * i]));
    if (c == u'\0') break;
    text.push_back(c);
  }
  return text;
}

std::vector<TVersionValue> ListVersionValues(std::span<const uint8_t> block) {
  const VersionReader reader(block);
  if (block.size() < 6) throw EPeResourceError("version information is too short");
  const VersionBlock root = reader.Read(0, std::min<size_t>(block.size(), Le16(&block[0])));
  const std::vector<VersionBlock> top = reader.Children(root);
  std::vector<TVersionValue> values;
  const VersionBlock* var_info = ChildNamed(top, u"VarFileInfo");
  const VersionBlock* string_info = ChildNamed(top, u"StringFileInfo");
  if (var_info == nullptr || string_info == nullptr) return values;
  const std::vector<VersionBlock> vars = reader.Children(*var_info);
  const VersionBlock* translation = ChildNamed(vars, u"Translation");
  if (translation == nullptr) return values;
  const std::vector<VersionBlock> tables = reader.Children(*string_info);
  const size_t value_bytes =
      translation->type == 1 ? 2U * translation->value_length : translation->value_length;
  for (size_t t = 0; t + 4 <= value_bytes; t += 4) {
    const uint8_t* pair = &block[translation->value_offset + t];
    const std::u16string name = Hex4(Le16(pair)) + Hex4(Le16(pair + 2));
    const VersionBlock* table = ChildNamed(tables, name);
    if (table == nullptr) continue;
    for (const VersionBlock& s : reader.Children(*table)) {
      values.push_back({name, s.key, s.value_offset, s.type == 1 ? s.value_length : 0U});
    }
  }
  return values;
}

std::vector<uint8_t> WriteVersionTexts(std::span<const uint8_t> block,
                                       const std::vector<TVersionText>& texts,
                                       std::vector<std::string>* too_long) {
  std::vector<uint8_t> out(block.begin(), block.end());
  const std::vector<TVersionValue> values = ListVersionValues(block);
  const std::optional<size_t> fixed = FixedPartOffset(block);
  for (const TVersionText& text : texts) {
    const std::u16string key = Widen(text.key);
    bool reported = false;
    bool written = false;
    for (const TVersionValue& v : values) {
      if (!EqualNoCase(v.key, key) || v.chars == 0) continue;
      if (text.value.size() > v.chars - 1) {
        if (too_long != nullptr && !reported) too_long->push_back(text.key);
        reported = true;
        continue;
      }
      std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(v.offset), 2 * v.chars, 0);
      for (size_t i = 0; i < text.value.size(); ++i) Put16(&out[v.offset + 2 * i], text.value[i]);
      written = true;
    }
    const bool file = EqualNoCase(key, u"FileVersion");
    if (written && fixed && (file || EqualNoCase(key, u"ProductVersion"))) {
      if (const std::optional<TVersionNumber> number = ParseVersionNumber(text.value)) {
        PutFixedVersion(&out[*fixed], file, *number);
      }
    }
  }
  return out;
}

const TResource* FindVersionResource(const TPeImage& image) {
  const TResId type = TResId::Id(kRtVersion);
  const TResId name = TResId::Id(1);
  if (const TResource* neutral = image.Find(type, name, 0)) return neutral;
  const std::optional<uint16_t> lang = image.FirstLanguage(type, name);
  return lang ? image.Find(type, name, *lang) : nullptr;
}

bool UpdateVersionTexts(TPeImage& image, const std::vector<TVersionText>& texts,
                        std::vector<std::string>* too_long) {
  const TResource* source = FindVersionResource(image);
  if (source == nullptr) return false;
  TResource updated{source->type, source->name, 0, source->code_page,
                    WriteVersionTexts(source->data, texts, too_long)};
  for (const TVersionValue& v : ListVersionValues(updated.data)) {
    const bool set = std::any_of(texts.begin(), texts.end(), [&](const TVersionText& t) {
      return EqualNoCase(v.key, Widen(t.key));
    });
    if (set) continue;
    std::u16string text = VersionValueText(updated.data, v);
    const size_t kept = text.find_last_not_of(u' ') + 1;  // npos + 1 == 0: blanks alone
    if (kept == text.size()) continue;
    std::fill(updated.data.begin() + static_cast<std::ptrdiff_t>(v.offset + 2 * kept),
              updated.data.begin() + static_cast<std::ptrdiff_t>(v.offset + 2 * v.chars), 0);
  }
  image.Put(std::move(updated));
  return true;
}

void EditExeResources(const std::string& exe_path, const std::vector<uint8_t>* icon,
                      const std::vector<TVersionText>& texts, std::vector<std::string>* too_long) {
  namespace fs = std::filesystem;
  std::vector<uint8_t> bytes;
  {
    std::ifstream in(Utf8ToPath(exe_path), std::ios::binary);
    if (!in) throw EPeResourceError("cannot open " + exe_path);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) throw EPeResourceError("cannot read " + exe_path);
  }
  TPeImage image(std::move(bytes));
  if (icon != nullptr) ReplaceMainIcon(image, *icon);
  if (!texts.empty() && !UpdateVersionTexts(image, texts, too_long)) {
    throw EPeResourceError("the executable has no version information");
  }
  const std::vector<uint8_t> out = image.Build();
  const std::string temp = TempPathBeside(exe_path);
  std::error_code ec;
  {
    std::ofstream file(Utf8ToPath(temp), std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    file.close();
    if (!file) {
      fs::remove(Utf8ToPath(temp), ec);
      throw EPeResourceError("cannot write " + temp);
    }
  }
  fs::permissions(Utf8ToPath(temp), fs::status(Utf8ToPath(exe_path), ec).permissions(),
                  fs::perm_options::replace, ec);
  fs::rename(Utf8ToPath(temp), Utf8ToPath(exe_path), ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(Utf8ToPath(temp), ignored);
    throw EPeResourceError("cannot replace " + exe_path + ": " + ec.message());
  }
}

}  // namespace tessel::shared
