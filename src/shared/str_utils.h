// Text helpers of the shared units: JSON string literals, MIME types of file
// names, splitting and joining delimited lists. Texts are UTF-8; where a rule
// counts UTF-16 code units, the function converts inside.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tessel::shared {

// An ordered, zero-based, growable array of texts.
using TArrayStrings = std::vector<std::string>;

// ---- further text helpers: types ---------------------------------------------

// The search flags of TStrUtils::SubStringExists, combined with |.
enum TStringSearchOption : unsigned {
  soDown = 1U << 0,       // search forward from the start; without it nothing is found
  soMatchCase = 1U << 1,  // exact case; otherwise case-insensitive (simple case folding)
  soWholeWord = 1U << 2,  // the match must stand as a whole word
};
using TStringSearchOptions = unsigned;

// An automation variant as far as OleVarToStr reads it. Dates are OLE
// automation dates (days since 1899-12-30, the fraction the time of day);
// currency is a count of ten-thousandths.
struct OleNull {};
struct OleObject {};  // an object, an array or anything else without a text form
struct OleCurrency {
  std::int64_t ten_thousandths = 0;
};
struct OleDate {
  double days = 0;
};
using OleVariant =
    std::variant<std::monostate, OleNull, std::string, bool, std::int8_t, std::uint8_t,
                 std::int16_t, std::uint16_t, std::int32_t, std::uint32_t, std::int64_t,
                 std::uint64_t, float, double, OleCurrency, OleDate, OleObject>;

// A text that does not stand for a 32-bit integer where one was required.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TStrUtils {
 public:
  TStrUtils() = delete;

  // The JSON string literal of `value`, quotation marks included, pure ASCII.
  // Works on UTF-16 code units: '"' '\' '/' and \b \t \n \f \r get their short
  // escapes, every other unit below U+0020 or above U+007F is \uXXXX with
  // upper-case hex (a supplementary character gives its two surrogates), and
  // U+0020..U+007F stay as they are. A byte that is not valid UTF-8 is encoded
  // as U+FFFD ("\uFFFD"), so the result is always one valid literal.
  static std::string StringToJsonString(std::string_view value);

  // The lower-case MIME type of a file name or path by its extension (see
  // MimeExtensionOf in shared/mime_table.h); "application/octet-stream" when
  // the extension is unknown. Uses the process-wide table, built from the
  // built-in list and the system's MIME database on first use. Throws
  // std::runtime_error("Invalid data type for '...'") when the system
  // database holds a value of the wrong type.
  static std::string GetFileMIMEType(std::string_view file_name);

  // The pieces of `value` between the occurrences of `separator`, empty pieces
  // included, untrimmed; at least one piece. An empty separator never occurs.
  static TArrayStrings ExplodeStrings(std::string_view separator, std::string_view value);

  // The items joined with `separator`; the empty text for an empty array.
  static std::string ImplodeStrings(std::string_view separator, const TArrayStrings& array_string);

  // ---- further text helpers ------------------------------------------------
  // Portable; texts are UTF-8 and pass through byte for byte where a rule
  // does not touch them.

  // The non-empty lines of `value` (split at line feeds; a line is skipped
  // only when empty before trimming), each trimmed of code units up to U+0020,
  // passed through QuoteJavascript and put in quotation marks, joined by ", ".
  // No brackets.
  static std::string GetJavascriptArrayFromMultilineString(std::string_view value);

  // Every ' becomes \x27, then every " becomes \x22; nothing else changes
  // (backslashes neither), so a text that already holds such an escape does
  // not come back unchanged from Unquote. Unquote undoes them in that order.
  static std::string QuoteJavascript(std::string_view value);
  static std::string UnquoteJavascript(std::string_view value);

  // QuoteJavascript, then ':' becomes \x3a and '|' becomes \x7c.
  // UnquoteArguments undoes them after UnquoteJavascript.
  static std::string QuoteArguments(std::string_view value);
  static std::string UnquoteArguments(std::string_view value);

  // `length` characters (none when <= 0) drawn uniformly and independently
  // from the characters of `char_sequence` with the process's one generator
  // (seeded once per process). A character is a whole code point, so a
  // supplementary character is never split. Empty when `char_sequence` is.
  static std::string GetRandomString(int length, std::string_view char_sequence);

  // `name`, '-', and ten characters from a-z and 0-9.
  static std::string GetControlRandomSuffix(std::string_view name);

  // The folder "<base><name><Suffix>\" for a compiler cache, with the
  // platform's separator: <name> is the file name of `app_file_path` without
  // its extension, or `temp_cache` when the path is empty; <base> is the
  // folder of `app_file_path` when that folder exists, else `default_dir`
  // with a separator added when missing.
  static std::string GetCompilerCacheDir(std::string_view app_file_path, std::string_view suffix,
                                         std::string_view temp_cache, std::string_view default_dir);

  // Replaces `arguments` with the pieces of the URL's query (after the first
  // '?', up to a following '#'), split at every '&', each with '+' made a
  // blank and then %XX escapes decoded as UTF-8; bytes that do not form UTF-8
  // become U+FFFD and a '%' without two hex digits stays as it is. No query,
  // or an empty one, gives no pieces.
  static void GetUrlArguments(std::string_view url, TArrayStrings& arguments);

  // Whether `sub_string` occurs in `a_string`, searching forward from the
  // start (only with soDown). Without soMatchCase both are compared by simple
  // case folding. With soWholeWord the occurrence must neither follow nor be
  // followed by a word character (ASCII letters, digits, '_' and every
  // character above U+007F). An empty `sub_string` is never found.
  static bool SubStringExists(std::string_view a_string, std::string_view sub_string,
                              TStringSearchOptions search_options);

  // The text form of a string, number, boolean ("True"/"False"), currency or
  // date variant; empty for anything else. Numbers use '.' and the shortest
  // form that reads back the same; dates are "yyyy-mm-dd", with
  // " hh:nn:ss" when the time of day is not midnight.
  static std::string OleVarToStr(const OleVariant& value);

  // `number` in decimal with at least `length` digits, zero-padded after any
  // minus sign (printf's "%.*d").
  static std::string AddLeadingZeroes(std::int32_t number, std::int32_t length);

  // Sets both to -1, then to the two numbers of the first match of
  // "([0-9]+)x([0-9]+)" anywhere in `value` (lower-case x only). Throws
  // EConvertError("'<digits>' is not a valid integer value") when a matched
  // number does not fit 32 bits; both then stay -1.
  static void StrToResolution(std::string_view value, std::int32_t& width, std::int32_t& height);

  // `value` repeated `count` times.
  static std::string RepeatString(std::string_view value, std::uint32_t count);

  // `value` with its first character upper-cased when it is a to z.
  static std::string Capitalize(std::string_view value);

  // Prefix tests, ASCII case-insensitive: "http://" or "https://";
  // "app/files/"; "app/plugins/" (forward slashes only).
  static bool FilePathIsHttpUrl(std::string_view path);
  static bool FilePathIsAppRelative(std::string_view path);
  static bool FilePathIsPluginRelative(std::string_view path);
};

}  // namespace tessel::shared
