// Text helpers of the shared units: JSON string literals, MIME types of file
// names, splitting and joining delimited lists. Texts are UTF-8; where a rule
// counts UTF-16 code units, the function converts inside.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessel::shared {

// An ordered, zero-based, growable array of texts.
using TArrayStrings = std::vector<std::string>;

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
};

}  // namespace tessel::shared
