// The resources of a Windows executable image, read and rewritten without
// the platform's resource-update calls, so that Windows apps can be packed
// from any system. Also the pieces shared with the platform path: icon file
// validation, the group directory built from it and the version-string edit.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::shared {

// The image or its resource tree cannot be read or rewritten; the message
// names the problem.
class EPeResourceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr uint16_t kRtIcon = 3;
inline constexpr uint16_t kRtGroupIcon = 14;
inline constexpr uint16_t kRtVersion = 16;
inline constexpr uint16_t kLangEnUs = 1033;
inline constexpr std::u16string_view kMainIconName = u"MAINICON";
inline constexpr uint64_t kMaxIconFileSize = 1048576;

// A resource type or name: an integer identifier or a text.
struct TResId {
  uint16_t id = 0;
  std::u16string name;  // not empty: a named resource

  static TResId Id(uint16_t id) { return {id, {}}; }
  static TResId Name(std::u16string_view name) { return {0, std::u16string(name)}; }
  bool IsName() const { return !name.empty(); }
  // Names compare as the loader looks them up: without regard to ASCII case.
  bool operator==(const TResId& other) const;
};

struct TResource {
  TResId type;
  TResId name;
  uint16_t lang = 0;
  uint32_t code_page = 0;
  std::vector<uint8_t> data;
};

// A PE32 or PE32+ image and its resources. The image must end with its last
// section's data: anything behind it (an attached archive, a symbol table, a
// signature) would be lost or misplaced by a rewrite, so it is refused.
class TPeImage {
 public:
  // Throws EPeResourceError naming the problem; never reads outside `file`.
  explicit TPeImage(std::vector<uint8_t> file);

  // In the order of the resource directory: types, names, then languages.
  const std::vector<TResource>& Resources() const { return resources_; }
  const TResource* Find(const TResId& type, const TResId& name, uint16_t lang) const;
  // The lowest language a (type, name) pair has, as the platform enumerates
  // them first; nothing when the resource is absent.
  std::optional<uint16_t> FirstLanguage(const TResId& type, const TResId& name) const;
  // Adds or replaces the resource of the same type, name and language.
  void Put(TResource resource);
  bool Remove(const TResId& type, const TResId& name, uint16_t lang);

  // The image with the resource section rebuilt from Resources(): sections
  // behind it moved, section table, image size and checksum fixed. Throws
  // EPeResourceError when the layout does not allow that.
  std::vector<uint8_t> Build() const;

 private:
  std::vector<uint8_t> file_;
  std::vector<TResource> resources_;
};

// What a loader needs to know of a library before it can be used: the
// image's kind and the names it exports.
struct TPeLibrary {
  bool pe32_plus = false;
  uint16_t machine = 0;  // 0x8664 for x64
  bool is_dll = false;
  std::vector<std::string> exports;  // by name, in the export table's order
};

// Reads a PE image's headers and export names (attached data allowed).
// Throws EPeResourceError naming the problem; never reads outside `file`.
TPeLibrary ReadPeLibrary(std::span<const uint8_t> file);

// True for bytes that pass the icon file checks: at least 6 bytes, not an
// executable ("MZ"), a complete directory, and every image inside the file.
bool IsValidIconFile(std::span<const uint8_t> ico);

// The RT_GROUP_ICON directory for an icon file's images, numbered 1 to n,
// with idReserved and idType taken from `previous` (a group directory; zero
// when it is shorter than 4 bytes). `ico` must be valid.
std::vector<uint8_t> BuildGroupIconDirectory(std::span<const uint8_t> ico,
                                             std::span<const uint8_t> previous);

// The image `index` of a valid icon file.
std::span<const uint8_t> IconFileImage(std::span<const uint8_t> ico, size_t index);
size_t IconFileImageCount(std::span<const uint8_t> ico);

// Replaces the "MAINICON" group and its images with those of an icon file:
// the previous group and each image it names are removed in their first
// language, the new images become RT_ICON 1..n and the group "MAINICON", all
// in language 1033. Throws EPeResourceError ("Icon file is too large",
// "Icon file is invalid", or a missing "MAINICON").
void ReplaceMainIcon(TPeImage& image, std::span<const uint8_t> ico);

// The version-template keys in the order they are written.
inline constexpr std::string_view kVersionKeys[] = {
    "CompanyName",    "FileDescription", "FileVersion",      "InternalName",
    "LegalCopyright", "LegalTrademarks", "OriginalFileName", "ProgramID",
    "ProductName",    "ProductVersion",  "Comments"};

struct TVersionText {
  std::string key;       // matched without regard to case
  std::u16string value;  // the new text
};

// Where a version string lives inside a version block: its value's room.
struct TVersionValue {
  std::u16string table;  // string table name, e.g. "040904E4"
  std::u16string key;
  size_t offset = 0;  // byte offset of the value in the block
  size_t chars = 0;   // characters reported for it, its terminating NUL included
};

// The string values that "\VarFileInfo\Translation" leads to, in translation
// order. Throws EPeResourceError for a block whose lengths lie.
std::vector<TVersionValue> ListVersionValues(std::span<const uint8_t> block);

// The four 16-bit parts of a numeric version, most significant first.
using TVersionNumber = std::array<uint16_t, 4>;

// A version text read as a number: one to four parts of decimal digits, each
// 0..65535, separated by dots; missing parts are 0 ("1.2" is 1.2.0.0).
// Nothing for any other text (blanks, a suffix, a fifth part, "").
std::optional<TVersionNumber> ParseVersionNumber(std::u16string_view text);
std::string VersionNumberText(const TVersionNumber& number);  // "1.2.0.0"

// The numbers of a version block's fixed part (VS_FIXEDFILEINFO).
struct TFixedVersion {
  TVersionNumber file{};
  TVersionNumber product{};
};

// Nothing when the block has no fixed part (too short a value or a wrong
// signature). Throws EPeResourceError for a damaged block.
std::optional<TFixedVersion> ReadFixedVersion(std::span<const uint8_t> block);

// Sets one version of a fixed part in place; `fixed` points at the
// VS_FIXEDFILEINFO (52 bytes), `file` picks dwFileVersion over
// dwProductVersion.
void PutFixedVersion(uint8_t* fixed, bool file, const TVersionNumber& number);

// The text a string value holds: up to its first NUL.
std::u16string VersionValueText(std::span<const uint8_t> block, const TVersionValue& value);

// Writes each text in place into a copy of a version block: the value's room
// is filled with NULs and the text copied from its start. A text that does
// not fit (more characters than the room less its NUL) is not written; its
// key lands in `too_long` and the value keeps its old text. Keys the block
// lacks are skipped. A "FileVersion" or "ProductVersion" text that is written
// and reads as a number (ParseVersionNumber) sets the same number in the
// fixed part, so that what installers and Explorer's details read agrees
// with the text; other texts leave the fixed part as it is. Throws
// EPeResourceError for a damaged block.
std::vector<uint8_t> WriteVersionTexts(std::span<const uint8_t> block,
                                       const std::vector<TVersionText>& texts,
                                       std::vector<std::string>* too_long = nullptr);

// The version block an edit starts from: the neutral-language resource when
// an earlier edit left one, else the first language of RT_VERSION 1.
const TResource* FindVersionResource(const TPeImage& image);

// Writes the texts into the image's version information and stores it as
// the neutral-language resource beside the template. Each value `texts` does
// not set loses its trailing blanks: a template's padding is room for a
// text, not one, and would show as the text of a key nobody set; the room
// stays for later edits. False when the image has no version information.
// Texts that do not fit go to `too_long`.
bool UpdateVersionTexts(TPeImage& image, const std::vector<TVersionText>& texts,
                        std::vector<std::string>* too_long = nullptr);

// Edits the PE file at `exe_path`: its main icon from the icon file bytes
// `icon` (when given) and its version texts (when any). The file is replaced
// only once the whole edit succeeded. Throws EPeResourceError naming the
// problem, also when `texts` is not empty and the image has no version
// information.
void EditExeResources(const std::string& exe_path, const std::vector<uint8_t>* icon,
                      const std::vector<TVersionText>& texts,
                      std::vector<std::string>* too_long = nullptr);

}  // namespace tessel::shared
