// The text helpers no part of the runtime calls: quoting for scripts, random
// names, URL arguments, searching, variants, numbers and path prefixes.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <mutex>
#include <random>
#include <system_error>

#include "platform/os.h"
#include "shared/str_utils.h"
#include "shared/utf.h"

namespace tessel::shared {
namespace {

// Every occurrence of `from`, left to right without overlap.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at; (at = text.find(from)) != std::string_view::npos;) {
    out.append(text.substr(0, at));
    out.append(to);
    text.remove_prefix(at + from.size());
  }
  out.append(text);
  return out;
}

// Bytes up to 0x20 are exactly the UTF-8 forms of the code units up to U+0020.
std::string_view TrimControlsAndBlanks(std::string_view s) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool StartsWithAsciiNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const auto lower = [](char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    };
    if (lower(text[i]) != lower(prefix[i])) return false;
  }
  return true;
}

std::mt19937& ProcessGenerator(std::unique_lock<std::mutex>& lock) {
  static std::mutex mutex;
  lock = std::unique_lock<std::mutex>(mutex);
  static std::mt19937 generator{std::random_device{}()};
  return generator;
}

std::u32string DecodeCodePoints(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  for (std::size_t pos = 0; pos < s.size();) out.push_back(utf::DecodeUtf8(s, pos));
  return out;
}

bool IsWordCharacter(char32_t c) {
  return c > 0x7F || c == U'_' || (c >= U'0' && c <= U'9') || (c >= U'a' && c <= U'z') ||
         (c >= U'A' && c <= U'Z');
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// '+' to blank, then %XX to bytes, then the bytes read as UTF-8.
std::string DecodeQueryPiece(std::string_view piece) {
  std::string bytes;
  bytes.reserve(piece.size());
  for (std::size_t i = 0; i < piece.size(); ++i) {
    const char c = piece[i];
    if (c == '+') {
      bytes.push_back(' ');
    } else if (c == '%' && i + 2 < piece.size() && HexValue(piece[i + 1]) >= 0 &&
               HexValue(piece[i + 2]) >= 0) {
      bytes.push_back(static_cast<char>(HexValue(piece[i + 1]) * 16 + HexValue(piece[i + 2])));
      i += 2;
    } else {
      bytes.push_back(c);
    }
  }
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t pos = 0; pos < bytes.size();) utf::AppendUtf8(out, utf::DecodeUtf8(bytes, pos));
  return out;
}

bool IsPathDelimiter(char c, platform::OsFamily family) {
  return c == '/' || (family == platform::OsFamily::Windows && (c == '\\' || c == ':'));
}

std::string WithSeparator(std::string_view path, char sep) {
  std::string out(path);
  if (out.empty() || out.back() != sep) out.push_back(sep);
  return out;
}

// Shortest text that reads back as the same value, '.' as separator.
template <typename Float>
std::string FloatText(Float value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  return {buf, res.ptr};
}

std::string CurrencyText(std::int64_t ten_thousandths) {
  const bool negative = ten_thousandths < 0;
  // Through unsigned, so the most negative value has a magnitude too.
  const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(ten_thousandths)
                                           : static_cast<std::uint64_t>(ten_thousandths);
  std::string out;
  if (negative) out.push_back('-');
  out += std::to_string(magnitude / 10000);
  const std::uint64_t fraction = magnitude % 10000;
  if (fraction != 0) {
    std::string digits = std::to_string(fraction);
    digits.insert(0, 4 - digits.size(), '0');
    while (digits.back() == '0') digits.pop_back();
    out += "." + digits;
  }
  return out;
}

// Days since 1899-12-30 to a civil date (proleptic Gregorian).
std::string DateText(double days) {
  // Beyond this range the automation date type has no meaning.
  if (!std::isfinite(days) || days < -657435.0 || days > 2958466.0) return {};
  // Negative automation dates count the day backwards and the time forwards.
  double whole = std::trunc(days);
  double fraction = std::fabs(days - whole);
  auto seconds = static_cast<long long>(std::llround(fraction * 86400.0));
  if (seconds >= 86400) {
    seconds -= 86400;
    whole += 1;
  }
  // Howard Hinnant's days-from-civil inverse; 1899-12-30 is day -25569 of 1970.
  const long long z = static_cast<long long>(whole) - 25569 + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long y = yoe + era * 400;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long d = doy - (153 * mp + 2) / 5 + 1;
  const long long m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  char buf[128];
  if (seconds == 0) {
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld", y, m, d);
  } else {
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", y, m, d,
                  seconds / 3600, seconds / 60 % 60, seconds % 60);
  }
  return buf;
}

std::int32_t ResolutionNumber(std::string_view digits) {
  std::int32_t value = 0;
  const auto res = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (res.ec != std::errc() || res.ptr != digits.data() + digits.size()) {
    throw EConvertError("'" + std::string(digits) + "' is not a valid integer value");
  }
  return value;
}

}  // namespace

std::string TStrUtils::GetJavascriptArrayFromMultilineString(std::string_view value) {
  std::string out;
  for (const std::string& line : ExplodeStrings("\n", value)) {
    if (line.empty()) continue;
    if (!out.empty()) out += ", ";
    out += '"';
    out += QuoteJavascript(TrimControlsAndBlanks(line));
    out += '"';
  }
  return out;
}

std::string TStrUtils::QuoteJavascript(std::string_view value) {
  return ReplaceAll(ReplaceAll(value, "'", "\\x27"), "\"", "\\x22");
}

std::string TStrUtils::UnquoteJavascript(std::string_view value) {
  return ReplaceAll(ReplaceAll(value, "\\x27", "'"), "\\x22", "\"");
}

std::string TStrUtils::QuoteArguments(std::string_view value) {
  return ReplaceAll(ReplaceAll(QuoteJavascript(value), ":", "\\x3a"), "|", "\\x7c");
}

std::string TStrUtils::UnquoteArguments(std::string_view value) {
  return ReplaceAll(ReplaceAll(UnquoteJavascript(value), "\\x3a", ":"), "\\x7c", "|");
}

std::string TStrUtils::GetRandomString(int length, std::string_view char_sequence) {
  std::string out;
  if (length <= 0 || char_sequence.empty()) return out;
  // Whole characters as they stand, so a drawn character is never half of one.
  std::vector<std::string_view> characters;
  for (std::size_t pos = 0; pos < char_sequence.size();) {
    const std::size_t start = pos;
    utf::DecodeUtf8(char_sequence, pos);
    characters.push_back(char_sequence.substr(start, pos - start));
  }
  std::unique_lock<std::mutex> lock;
  std::mt19937& generator = ProcessGenerator(lock);
  std::uniform_int_distribution<std::size_t> pick(0, characters.size() - 1);
  for (int i = 0; i < length; ++i) out.append(characters[pick(generator)]);
  return out;
}

std::string TStrUtils::GetControlRandomSuffix(std::string_view name) {
  return std::string(name) + "-" + GetRandomString(10, "abcdefghijklmnopqrstuvwxyz1234567890");
}

std::string TStrUtils::GetCompilerCacheDir(std::string_view app_file_path, std::string_view suffix,
                                           std::string_view temp_cache,
                                           std::string_view default_dir) {
  platform::Os& os = platform::CurrentOs();
  const char sep = os.PathSeparator();
  const platform::OsFamily family = os.Family();
  std::string_view folder;
  std::string name;
  if (app_file_path.empty()) {
    name = WithSeparator(temp_cache, sep);
  } else {
    std::size_t cut = app_file_path.size();
    while (cut > 0 && !IsPathDelimiter(app_file_path[cut - 1], family)) --cut;
    folder = app_file_path.substr(0, cut);
    std::string_view file = app_file_path.substr(cut);
    const std::size_t dot = file.rfind('.');
    if (dot != std::string_view::npos) file = file.substr(0, dot);
    name = WithSeparator(std::string(file) + std::string(suffix), sep);
  }
  std::error_code ec;
  const bool folder_exists =
      !folder.empty() &&
      std::filesystem::is_directory(
          std::filesystem::path(std::u8string(folder.begin(), folder.end())), ec);
  return (folder_exists ? std::string(folder) : WithSeparator(default_dir, sep)) + name;
}

void TStrUtils::GetUrlArguments(std::string_view url, TArrayStrings& arguments) {
  arguments.clear();
  const std::size_t question = url.find('?');
  if (question == std::string_view::npos) return;
  std::string_view query = url.substr(question + 1);
  query = query.substr(0, query.find('#'));
  if (query.empty()) return;
  for (const std::string& piece : ExplodeStrings("&", query)) {
    arguments.push_back(DecodeQueryPiece(piece));
  }
}

bool TStrUtils::SubStringExists(std::string_view a_string, std::string_view sub_string,
                                TStringSearchOptions search_options) {
  if ((search_options & soDown) == 0 || sub_string.empty()) return false;
  const bool match_case = (search_options & soMatchCase) != 0;
  // Simple folding maps one code point to one, so positions stay comparable.
  std::u32string text = DecodeCodePoints(match_case ? a_string : utf::FoldCase(a_string));
  const std::u32string needle =
      DecodeCodePoints(match_case ? sub_string : utf::FoldCase(sub_string));
  if ((search_options & soWholeWord) == 0) {
    return text.find(needle) != std::u32string::npos;
  }
  for (std::size_t at = text.find(needle); at != std::u32string::npos;
       at = text.find(needle, at + 1)) {
    const std::size_t end = at + needle.size();
    if ((at == 0 || !IsWordCharacter(text[at - 1])) &&
        (end == text.size() || !IsWordCharacter(text[end]))) {
      return true;
    }
  }
  return false;
}

std::string TStrUtils::OleVarToStr(const OleVariant& value) {
  struct Visitor {
    std::string operator()(std::monostate /*unused*/) const { return {}; }
    std::string operator()(OleNull /*unused*/) const { return {}; }
    std::string operator()(OleObject /*unused*/) const { return {}; }
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(bool b) const { return b ? "True" : "False"; }
    std::string operator()(float f) const { return FloatText(f); }
    std::string operator()(double d) const { return FloatText(d); }
    std::string operator()(OleCurrency c) const { return CurrencyText(c.ten_thousandths); }
    std::string operator()(OleDate d) const { return DateText(d.days); }
    std::string operator()(std::int8_t i) const { return std::to_string(i); }
    std::string operator()(std::uint8_t i) const { return std::to_string(i); }
    std::string operator()(std::int16_t i) const { return std::to_string(i); }
    std::string operator()(std::uint16_t i) const { return std::to_string(i); }
    std::string operator()(std::int32_t i) const { return std::to_string(i); }
    std::string operator()(std::uint32_t i) const { return std::to_string(i); }
    std::string operator()(std::int64_t i) const { return std::to_string(i); }
    std::string operator()(std::uint64_t i) const { return std::to_string(i); }
  };
  return std::visit(Visitor{}, value);
}

std::string TStrUtils::AddLeadingZeroes(std::int32_t number, std::int32_t length) {
  const bool negative = number < 0;
  const std::uint32_t magnitude =
      negative ? 0U - static_cast<std::uint32_t>(number) : static_cast<std::uint32_t>(number);
  std::string digits = std::to_string(magnitude);
  if (length > 0 && digits.size() < static_cast<std::size_t>(length)) {
    digits.insert(0, static_cast<std::size_t>(length) - digits.size(), '0');
  }
  if (negative) digits.insert(digits.begin(), '-');
  return digits;
}

void TStrUtils::StrToResolution(std::string_view value, std::int32_t& width, std::int32_t& height) {
  width = -1;
  height = -1;
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  // The leftmost match starts at the first run of digits followed by "x" and
  // a digit; greedy runs make each group the whole run.
  for (std::size_t i = 0; i < value.size();) {
    if (!digit(value[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < value.size() && digit(value[end])) ++end;
    if (end + 1 < value.size() && value[end] == 'x' && digit(value[end + 1])) {
      std::size_t end2 = end + 1;
      while (end2 < value.size() && digit(value[end2])) ++end2;
      const std::int32_t w = ResolutionNumber(value.substr(i, end - i));
      const std::int32_t h = ResolutionNumber(value.substr(end + 1, end2 - end - 1));
      width = w;
      height = h;
      return;
    }
    i = end;
  }
}

std::string TStrUtils::RepeatString(std::string_view value, std::uint32_t count) {
  std::string out;
  out.reserve(value.size() * count);
  for (std::uint32_t i = 0; i < count; ++i) out.append(value);
  return out;
}

std::string TStrUtils::Capitalize(std::string_view value) {
  std::string out(value);
  if (!out.empty() && out[0] >= 'a' && out[0] <= 'z') out[0] = static_cast<char>(out[0] - 32);
  return out;
}

bool TStrUtils::FilePathIsHttpUrl(std::string_view path) {
  return StartsWithAsciiNoCase(path, "http://") || StartsWithAsciiNoCase(path, "https://");
}

bool TStrUtils::FilePathIsAppRelative(std::string_view path) {
  return StartsWithAsciiNoCase(path, "app/files/");
}

bool TStrUtils::FilePathIsPluginRelative(std::string_view path) {
  return StartsWithAsciiNoCase(path, "app/plugins/");
}

}  // namespace tessel::shared
