#include "platform/engine_basics.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <nlohmann/json.hpp>

#include "platform/file_io.h"
#include "shared/utf.h"

namespace tessel::platform {
namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

class MemoryStream : public Stream {
 public:
  explicit MemoryStream(std::string content) : bytes_(std::move(content)) {}

  HRESULT Read(void* buffer, std::uint32_t size, std::uint32_t* read) override {
    if (buffer == nullptr && size != 0) return kEPointer;
    std::uint32_t count = 0;
    if (position_ < bytes_.size()) {
      count = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(size, bytes_.size() - static_cast<std::size_t>(position_)));
      std::copy_n(bytes_.data() + position_, count, static_cast<char*>(buffer));
      position_ += count;
    }
    if (read != nullptr) *read = count;
    return count == size ? kSOk : kSFalse;
  }

  HRESULT Write(const void* data, std::uint32_t size, std::uint32_t* written) override {
    if (data == nullptr && size != 0) return kEPointer;
    const std::uint64_t end = position_ + size;
    if (end > bytes_.max_size()) return kEOutOfMemory;
    if (end > bytes_.size()) bytes_.resize(static_cast<std::size_t>(end), '\0');
    std::copy_n(static_cast<const char*>(data), size, bytes_.data() + position_);
    position_ = end;
    if (written != nullptr) *written = size;
    return kSOk;
  }

  HRESULT Seek(std::int64_t move, StreamSeek origin, std::uint64_t* position) override {
    std::uint64_t next = 0;
    const HRESULT hr = SeekPosition(position_, bytes_.size(), move, origin, &next);
    if (Failed(hr)) return hr;
    position_ = next;
    if (position != nullptr) *position = next;
    return kSOk;
  }

  HRESULT SetSize(std::uint64_t size) override {
    if (size > bytes_.max_size()) return kEOutOfMemory;
    bytes_.resize(static_cast<std::size_t>(size), '\0');
    return kSOk;
  }

 private:
  std::string bytes_;
  std::uint64_t position_ = 0;
};

class FileStream : public Stream {
 public:
  explicit FileStream(FileHandle file) : file_(std::move(file)) {}

  HRESULT Read(void* buffer, std::uint32_t size, std::uint32_t* read) override {
    if (buffer == nullptr && size != 0) return kEPointer;
    std::uint32_t count = 0;
    if (SeekFile(file_.get(), position_)) {
      count = static_cast<std::uint32_t>(std::fread(buffer, 1, size, file_.get()));
    }
    std::clearerr(file_.get());
    position_ += count;
    if (read != nullptr) *read = count;
    return count == size ? kSOk : kSFalse;
  }

  HRESULT Write(const void* data, std::uint32_t size, std::uint32_t* written) override {
    if (data == nullptr && size != 0) return kEPointer;
    const bool ok =
        SeekFile(file_.get(), position_) &&
        WriteToFile(file_.get(), std::string_view(static_cast<const char*>(data), size)) &&
        std::fflush(file_.get()) == 0;
    if (!ok) {
      std::clearerr(file_.get());
      return kEFail;
    }
    position_ += size;
    if (written != nullptr) *written = size;
    return kSOk;
  }

  HRESULT Seek(std::int64_t move, StreamSeek origin, std::uint64_t* position) override {
    const std::optional<std::uint64_t> size = OpenFileSize(file_.get());
    if (!size) return kEFail;
    std::uint64_t next = 0;
    const HRESULT hr = SeekPosition(position_, *size, move, origin, &next);
    if (Failed(hr)) return hr;
    position_ = next;
    if (position != nullptr) *position = next;
    return kSOk;
  }

  HRESULT SetSize(std::uint64_t size) override {
    return ResizeOpenFile(file_.get(), size) ? kSOk : kEFail;
  }

 private:
  FileHandle file_;
  std::uint64_t position_ = 0;
};

std::vector<HttpHeader> Matching(const std::vector<HttpHeader>& all, const std::string& name) {
  std::vector<HttpHeader> result;
  for (const auto& header : all) {
    if (EqualsIgnoreAsciiCase(header.first, name)) result.push_back(header);
  }
  return result;
}

}  // namespace

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

HRESULT SeekPosition(std::uint64_t current, std::uint64_t size, std::int64_t move,
                     StreamSeek origin, std::uint64_t* result) {
  std::uint64_t base = 0;
  switch (origin) {
    case StreamSeek::kBegin:
      base = 0;
      break;
    case StreamSeek::kCurrent:
      base = current;
      break;
    case StreamSeek::kEnd:
      base = size;
      break;
    default:
      return kEInvalidArg;
  }
  if (move < 0) {
    const auto back = static_cast<std::uint64_t>(-(move + 1)) + 1;
    if (back > base) return kEInvalidArg;
    *result = base - back;
  } else {
    const auto forward = static_cast<std::uint64_t>(move);
    if (forward > std::numeric_limits<std::uint64_t>::max() - base) return kEInvalidArg;
    *result = base + forward;
  }
  return kSOk;
}

std::shared_ptr<Stream> MakeMemoryStream(std::string content) {
  return std::make_shared<MemoryStream>(std::move(content));
}

HRESULT CreateFileStream(const std::string& path, std::shared_ptr<Stream>* stream) {
  if (stream == nullptr) return kEPointer;
  if (path.empty()) return kEInvalidArg;
  errno = 0;
  FileHandle file = OpenFile(path, "w+b");
  if (!file) {
    const int error = errno;
    const std::string folder = ParentPath(path);
    if (!folder.empty() && KindOfPath(folder) != PathKind::kDirectory) return kEPathNotFound;
    if (error == EACCES || error == EISDIR || error == EPERM || error == EROFS) {
      return kEAccessDenied;
    }
    return kEFail;
  }
  *stream = std::make_shared<FileStream>(std::move(file));
  return kSOk;
}

HRESULT ReadWholeStream(Stream* stream, std::string* bytes) {
  if (stream == nullptr || bytes == nullptr) return kEPointer;
  HRESULT hr = stream->Seek(0, StreamSeek::kBegin, nullptr);
  if (Failed(hr)) return hr;
  std::string result;
  char buffer[16384];
  for (;;) {
    std::uint32_t read = 0;
    hr = stream->Read(buffer, sizeof buffer, &read);
    if (Failed(hr)) return hr;
    result.append(buffer, read);
    if (read < sizeof buffer) break;
  }
  *bytes = std::move(result);
  return kSOk;
}

// --- headers -----------------------------------------------------------------

HRESULT BasicHttpHeaders::GetHeader(const std::string& name, std::string* value) {
  if (value == nullptr) return kEPointer;
  for (const auto& header : headers_) {
    if (EqualsIgnoreAsciiCase(header.first, name)) {
      *value = header.second;
      return kSOk;
    }
  }
  return kEInvalidArg;
}

HRESULT BasicHttpHeaders::GetHeaders(const std::string& name, std::vector<HttpHeader>* headers) {
  if (headers == nullptr) return kEPointer;
  *headers = Matching(headers_, name);
  return kSOk;
}

HRESULT BasicHttpHeaders::Contains(const std::string& name, bool* contains) {
  if (contains == nullptr) return kEPointer;
  *contains = !Matching(headers_, name).empty();
  return kSOk;
}

HRESULT BasicHttpHeaders::SetHeader(const std::string& name, const std::string& value) {
  if (name.empty()) return kEInvalidArg;
  RemoveHeader(name);
  headers_.emplace_back(name, value);
  return kSOk;
}

HRESULT BasicHttpHeaders::RemoveHeader(const std::string& name) {
  std::erase_if(headers_,
                [&](const HttpHeader& h) { return EqualsIgnoreAsciiCase(h.first, name); });
  return kSOk;
}

HRESULT BasicHttpHeaders::GetIterator(std::vector<HttpHeader>* headers) {
  if (headers == nullptr) return kEPointer;
  *headers = headers_;
  return kSOk;
}

HRESULT BasicHttpResponseHeaders::AppendHeader(const std::string& name, const std::string& value) {
  if (name.empty()) return kEInvalidArg;
  headers_.emplace_back(name, value);
  return kSOk;
}

HRESULT BasicHttpResponseHeaders::Contains(const std::string& name, bool* contains) {
  if (contains == nullptr) return kEPointer;
  *contains = !Matching(headers_, name).empty();
  return kSOk;
}

HRESULT BasicHttpResponseHeaders::GetHeader(const std::string& name, std::string* value) {
  if (value == nullptr) return kEPointer;
  const auto matching = Matching(headers_, name);
  if (matching.empty()) return kEInvalidArg;
  std::string joined;
  for (const auto& header : matching) {
    if (!joined.empty()) joined += ", ";
    joined += header.second;
  }
  *value = std::move(joined);
  return kSOk;
}

HRESULT BasicHttpResponseHeaders::GetHeaders(const std::string& name,
                                             std::vector<HttpHeader>* headers) {
  if (headers == nullptr) return kEPointer;
  *headers = Matching(headers_, name);
  return kSOk;
}

HRESULT BasicHttpResponseHeaders::GetIterator(std::vector<HttpHeader>* headers) {
  if (headers == nullptr) return kEPointer;
  *headers = headers_;
  return kSOk;
}

std::vector<HttpHeader> ParseHeaderLines(std::string_view text) {
  std::vector<HttpHeader> headers;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const auto name = TrimBlanks(line.substr(0, colon));
    if (name.empty()) continue;
    headers.emplace_back(std::string(name), std::string(TrimBlanks(line.substr(colon + 1))));
  }
  return headers;
}

// --- requests and responses --------------------------------------------------

BasicWebResourceRequest::BasicWebResourceRequest(std::string uri, std::string method,
                                                 std::vector<HttpHeader> headers,
                                                 std::shared_ptr<Stream> content)
    : uri_(std::move(uri)),
      method_(std::move(method)),
      headers_(std::make_shared<BasicHttpHeaders>(std::move(headers))),
      content_(std::move(content)) {}

HRESULT BasicWebResourceRequest::get_Uri(std::string* uri) {
  if (uri == nullptr) return kEPointer;
  *uri = uri_;
  return kSOk;
}
HRESULT BasicWebResourceRequest::put_Uri(const std::string& uri) {
  uri_ = uri;
  return kSOk;
}
HRESULT BasicWebResourceRequest::get_Method(std::string* method) {
  if (method == nullptr) return kEPointer;
  *method = method_;
  return kSOk;
}
HRESULT BasicWebResourceRequest::put_Method(const std::string& method) {
  method_ = method;
  return kSOk;
}
HRESULT BasicWebResourceRequest::get_Content(std::shared_ptr<Stream>* content) {
  if (content == nullptr) return kEPointer;
  *content = content_;
  return kSOk;
}
HRESULT BasicWebResourceRequest::put_Content(std::shared_ptr<Stream> content) {
  content_ = std::move(content);
  return kSOk;
}
HRESULT BasicWebResourceRequest::get_Headers(std::shared_ptr<HttpRequestHeaders>* headers) {
  if (headers == nullptr) return kEPointer;
  *headers = headers_;
  return kSOk;
}

BasicWebResourceResponse::BasicWebResourceResponse(std::shared_ptr<Stream> content, int status_code,
                                                   std::string reason_phrase,
                                                   std::vector<HttpHeader> headers)
    : content_(std::move(content)),
      status_code_(status_code),
      reason_phrase_(std::move(reason_phrase)),
      headers_(std::make_shared<BasicHttpResponseHeaders>(std::move(headers))) {}

HRESULT BasicWebResourceResponse::get_Content(std::shared_ptr<Stream>* content) {
  if (content == nullptr) return kEPointer;
  *content = content_;
  return kSOk;
}
HRESULT BasicWebResourceResponse::put_Content(std::shared_ptr<Stream> content) {
  content_ = std::move(content);
  return kSOk;
}
HRESULT BasicWebResourceResponse::get_Headers(std::shared_ptr<HttpResponseHeaders>* headers) {
  if (headers == nullptr) return kEPointer;
  *headers = headers_;
  return kSOk;
}
HRESULT BasicWebResourceResponse::get_StatusCode(int* status_code) {
  if (status_code == nullptr) return kEPointer;
  *status_code = status_code_;
  return kSOk;
}
HRESULT BasicWebResourceResponse::put_StatusCode(int status_code) {
  status_code_ = status_code;
  return kSOk;
}
HRESULT BasicWebResourceResponse::get_ReasonPhrase(std::string* reason) {
  if (reason == nullptr) return kEPointer;
  *reason = reason_phrase_;
  return kSOk;
}
HRESULT BasicWebResourceResponse::put_ReasonPhrase(const std::string& reason) {
  reason_phrase_ = reason;
  return kSOk;
}

HRESULT MakeWebResourceResponse(std::shared_ptr<Stream> content, int status_code,
                                const std::string& reason_phrase, const std::string& headers,
                                std::shared_ptr<WebResourceResponse>* response) {
  if (response == nullptr) return kEPointer;
  // HTTP status codes have three digits; anything else cannot be delivered.
  if (status_code < 100 || status_code > 999) return kEInvalidArg;
  *response = std::make_shared<BasicWebResourceResponse>(std::move(content), status_code,
                                                         reason_phrase, ParseHeaderLines(headers));
  return kSOk;
}

EventRegistrationToken NextEventToken() {
  static std::atomic<EventRegistrationToken> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

#define TESSEL_ENGINE_CLEAR(Name, field, Handler) field.Clear();
#define TESSEL_ENGINE_COUNT(Name, field, Handler) count += (field).size();

void WebViewEventLists::Clear(){TESSEL_ENGINE_WEB_VIEW_EVENTS(TESSEL_ENGINE_CLEAR)} std::size_t
    WebViewEventLists::SubscriptionCount() const {
  std::size_t count = 0;
  TESSEL_ENGINE_WEB_VIEW_EVENTS(TESSEL_ENGINE_COUNT)
  return count;
}

void ControllerEventLists::Clear(){TESSEL_ENGINE_CONTROLLER_EVENTS(TESSEL_ENGINE_CLEAR)} std::size_t
    ControllerEventLists::SubscriptionCount() const {
  std::size_t count = 0;
  TESSEL_ENGINE_CONTROLLER_EVENTS(TESSEL_ENGINE_COUNT)
  return count;
}

#undef TESSEL_ENGINE_CLEAR
#undef TESSEL_ENGINE_COUNT

// --- filters -------------------------------------------------------------------

bool WildcardMatch(std::string_view pattern, std::string_view text) {
  // Iterative glob with one backtrack point: linear in practice, never
  // exponential on patterns with many stars.
  std::size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() &&
        (pattern[p] == '?' || LowerAscii(pattern[p]) == LowerAscii(text[t]))) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool FiltersMatch(const std::vector<ResourceFilter>& filters, std::string_view uri,
                  WebResourceContext context) {
  for (const auto& filter : filters) {
    if (filter.context != WebResourceContext::kAll && filter.context != context) continue;
    if (WildcardMatch(filter.uri, uri)) return true;
  }
  return false;
}

// --- JSON ----------------------------------------------------------------------

bool IsJson(std::string_view text) { return nlohmann::json::accept(text); }

namespace {

// The code unit of a "\uXXXX" escape at `at` (the backslash), or -1.
int EscapedUnit(std::string_view json, std::size_t at) {
  if (at + 6 > json.size() || json[at] != '\\' || json[at + 1] != 'u') return -1;
  int unit = 0;
  for (std::size_t i = at + 2; i < at + 6; ++i) {
    const char c = json[i];
    int digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return -1;
    }
    unit = unit * 16 + digit;
  }
  return unit;
}

bool IsHigh(int unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLow(int unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string WithoutLoneSurrogates(std::string_view json) {
  if (json.find("\\u") == std::string_view::npos) return std::string(json);
  std::string out;
  out.reserve(json.size());
  for (std::size_t i = 0; i < json.size();) {
    if (json[i] != '\\' || i + 1 >= json.size()) {
      out += json[i++];
      continue;
    }
    const int unit = EscapedUnit(json, i);
    if (IsHigh(unit) && IsLow(EscapedUnit(json, i + 6))) {
      out.append(json.substr(i, 12));
      i += 12;
    } else if (IsHigh(unit) || IsLow(unit)) {
      out += "\\ufffd";
      i += 6;
    } else {
      out.append(json.substr(i, 2));  // any other escape, "\\" included
      i += 2;
    }
  }
  return out;
}

bool DecodeJsonString(std::string_view json, std::string* text) {
  const auto trimmed = json.find_first_not_of(" \t\r\n");
  if (trimmed == std::string_view::npos || json[trimmed] != '"') return false;
  auto value = nlohmann::json::parse(json, nullptr, false);
  if (value.is_discarded() || !value.is_string()) return false;
  if (text != nullptr) *text = value.get<std::string>();
  return true;
}

std::string EncodeJsonString(std::string_view text) {
  return nlohmann::json(std::string(text))
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool StartsWithIgnoreAsciiCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualsIgnoreAsciiCase(text.substr(0, prefix.size()), prefix);
}

bool HasDotSegment(std::string_view path) {
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view segment = path.substr(start, end - start);
    if (segment == "." || segment == "..") return true;
    start = end + 1;
  }
  return false;
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsUtf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t start = at;
    // An invalid byte decodes to U+FFFD alone; a real U+FFFD takes three.
    if (shared::utf::DecodeUtf8(text, at) == shared::utf::kReplacement && at == start + 1) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<std::string> DecodeAddressPath(std::string_view path) {
  const std::string_view name = path.substr(0, path.find_first_of("?#"));
  std::string decoded;
  decoded.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] != '%') {
      decoded += name[i];
      continue;
    }
    if (i + 2 >= name.size()) return std::nullopt;
    const int high = HexValue(name[i + 1]);
    const int low = HexValue(name[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    const char byte = static_cast<char>(high * 16 + low);
    if (byte == '\0' || byte == '/' || byte == '\\') return std::nullopt;
    decoded += byte;
    i += 2;
  }
  if (!IsUtf8(decoded) || HasDotSegment(decoded)) return std::nullopt;
  return decoded;
}

}  // namespace tessel::platform
