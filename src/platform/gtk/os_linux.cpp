#include <iconv.h>
#include <langinfo.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <clocale>
#include <mutex>

#include "platform/gtk/linux_os.h"

namespace tessel::platform {

std::string LinuxOs::ExecutablePath() const {
  std::array<char, 4096> buf{};
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  return {buf.data(), static_cast<size_t>(n)};
}

std::string LinuxOs::AnsiToUtf8(std::string_view bytes) const {
  // The locale's character set stands in for Windows' ANSI code page. The
  // process starts in the "C" locale, so ask for the user's one explicitly.
  static const std::string charset = [] {
    static std::once_flag once;
    std::call_once(once, [] { std::setlocale(LC_CTYPE, ""); });
    const char* cs = nl_langinfo(CODESET);
    return std::string(cs != nullptr && *cs != '\0' ? cs : "ANSI_X3.4-1968");
  }();
  iconv_t cd = iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(bytes);
  std::string out;
  std::array<char, 4096> chunk{};
  auto* in = const_cast<char*>(bytes.data());  // iconv's signature is not const-correct
  size_t in_left = bytes.size();
  while (in_left > 0) {
    char* dst = chunk.data();
    size_t dst_left = chunk.size();
    const size_t r = iconv(cd, &in, &in_left, &dst, &dst_left);
    out.append(chunk.data(), chunk.size() - dst_left);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      out += "\xEF\xBF\xBD";  // U+FFFD for a byte the charset cannot decode
      ++in;
      --in_left;
    }
  }
  iconv_close(cd);
  return out;
}

std::unique_ptr<Os> MakeNativeOs() { return std::make_unique<LinuxOs>(); }

}  // namespace tessel::platform
