// Any bytes through the text parsers of the string helpers: URL arguments,
// resolutions and argument unquoting must neither crash nor break their
// promises about what they give back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "shared/str_utils.h"
#include "shared/utf.h"

using tessel::shared::EConvertError;
using tessel::shared::TArrayStrings;
using tessel::shared::TStrUtils;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool IsUtf8(std::string_view s) {
  for (std::size_t pos = 0; pos < s.size();) {
    const std::size_t start = pos;
    if (tessel::shared::utf::DecodeUtf8(s, pos) == tessel::shared::utf::kReplacement &&
        s.substr(start, pos - start) != "\xEF\xBF\xBD") {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  TArrayStrings args;
  TStrUtils::GetUrlArguments(bytes, args);
  std::size_t total = 0;
  for (const std::string& a : args) {
    Check(IsUtf8(a));
    total += a.size();
  }
  // Decoding never grows a piece beyond three bytes per input byte (U+FFFD).
  Check(total <= 3 * size);

  std::int32_t width = 0;
  std::int32_t height = 0;
  try {
    TStrUtils::StrToResolution(bytes, width, height);
    Check((width == -1) == (height == -1));
    Check(width >= -1 && height >= -1);
    if (width != -1) {
      Check(bytes.find('x') != std::string_view::npos);
    }
  } catch (const EConvertError&) {
    Check(width == -1 && height == -1);
  }

  const std::string unquoted = TStrUtils::UnquoteArguments(bytes);
  Check(unquoted.size() <= size);
  Check(TStrUtils::UnquoteArguments(TStrUtils::QuoteArguments(bytes)) == unquoted);
  const std::string quoted = TStrUtils::QuoteArguments(bytes);
  Check(quoted.find_first_of("'\":|") == std::string::npos);
  return 0;
}
