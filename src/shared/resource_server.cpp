#include "shared/resource_server.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/engine_basics.h"
#include "platform/file_io.h"
#include "shared/exe_utils.h"
#include "shared/str_utils.h"
#include "shared/utf.h"

namespace tessel::shared {

namespace {

constexpr std::string_view kFilePrefix = "file:///";

std::string RemoveAll(std::string_view text, std::string_view part) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at; (at = text.find(part)) != std::string_view::npos;) {
    out.append(text.substr(0, at));
    text.remove_prefix(at + part.size());
  }
  out.append(text);
  return out;
}

// The name the MIME type is taken from: what follows the last '\' or ':'.
// '/' does not separate, so "css/site.css" is passed whole.
std::string_view MimeNameOf(std::string_view path) {
  const std::size_t at = path.find_last_of("\\:");
  return at == std::string_view::npos ? path : path.substr(at + 1);
}

// Where a seek lands in a read-only stream of `size` bytes: never past its end.
platform::HRESULT SeekWithin(std::int64_t move, platform::StreamSeek origin, uint64_t current,
                             uint64_t size, uint64_t* next) {
  uint64_t target = 0;
  const platform::HRESULT hr = platform::SeekPosition(current, size, move, origin, &target);
  if (platform::Succeeded(hr)) *next = std::min(target, size);
  return hr;
}

class EntryStream final : public platform::Stream {
 public:
  explicit EntryStream(std::unique_ptr<TZipEntryReader> reader) : reader_(std::move(reader)) {}

  platform::HRESULT Read(void* buffer, std::uint32_t size, std::uint32_t* read) override {
    if (read != nullptr) *read = 0;
    if (buffer == nullptr && size != 0) return platform::kEPointer;
    if (!CatchUp()) return platform::kEFail;
    std::uint32_t count = 0;
    while (count < size) {
      const int64_t n = reader_->Read({static_cast<uint8_t*>(buffer) + count, size - count});
      if (n < 0) return platform::kEFail;
      if (n == 0) break;
      count += static_cast<std::uint32_t>(n);
    }
    position_ += count;
    if (read != nullptr) *read = count;
    return count == size ? platform::kSOk : platform::kSFalse;
  }

  platform::HRESULT Write(const void*, std::uint32_t, std::uint32_t* written) override {
    if (written != nullptr) *written = 0;
    return platform::kEAccessDenied;
  }

  platform::HRESULT Seek(std::int64_t move, platform::StreamSeek origin,
                         std::uint64_t* position) override {
    const platform::HRESULT hr = SeekWithin(move, origin, position_, reader_->Size(), &position_);
    if (position != nullptr && platform::Succeeded(hr)) *position = position_;
    return hr;
  }

  platform::HRESULT SetSize(std::uint64_t) override { return platform::kEAccessDenied; }

 private:
  // Brings the reader to the stream's position: the cipher only runs forward.
  bool CatchUp() {
    if (position_ < reader_->Position()) reader_->Rewind();
    while (reader_->Position() < position_) {
      if (reader_->Skip(position_ - reader_->Position()) <= 0) return false;
    }
    return true;
  }

  std::unique_ptr<TZipEntryReader> reader_;
  uint64_t position_ = 0;
};

class PartStream final : public platform::Stream {
 public:
  PartStream(std::shared_ptr<platform::Stream> whole, uint64_t first, uint64_t length)
      : whole_(std::move(whole)), first_(first), length_(length) {}

  platform::HRESULT Read(void* buffer, std::uint32_t size, std::uint32_t* read) override {
    if (read != nullptr) *read = 0;
    if (buffer == nullptr && size != 0) return platform::kEPointer;
    const auto want = static_cast<std::uint32_t>(std::min<uint64_t>(size, length_ - position_));
    std::uint32_t count = 0;
    if (want != 0) {
      // The whole stream is positioned anew each time: others may share it.
      platform::HRESULT hr = whole_->Seek(static_cast<std::int64_t>(first_ + position_),
                                          platform::StreamSeek::kBegin, nullptr);
      if (platform::Succeeded(hr)) hr = whole_->Read(buffer, want, &count);
      if (platform::Failed(hr)) return hr;
      count = std::min(count, want);
    }
    position_ += count;
    if (read != nullptr) *read = count;
    return count == size ? platform::kSOk : platform::kSFalse;
  }

  platform::HRESULT Write(const void*, std::uint32_t, std::uint32_t* written) override {
    if (written != nullptr) *written = 0;
    return platform::kEAccessDenied;
  }

  platform::HRESULT Seek(std::int64_t move, platform::StreamSeek origin,
                         std::uint64_t* position) override {
    const platform::HRESULT hr = SeekWithin(move, origin, position_, length_, &position_);
    if (position != nullptr && platform::Succeeded(hr)) *position = position_;
    return hr;
  }

  platform::HRESULT SetSize(std::uint64_t) override { return platform::kEAccessDenied; }

 private:
  std::shared_ptr<platform::Stream> whole_;
  uint64_t first_;
  uint64_t length_;
  uint64_t position_ = 0;
};

// A run of digits as a number; values too big for 64 bits saturate, which
// every use below reads as "past any end". nullopt unless all digits.
std::optional<uint64_t> Digits(std::string_view text) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  return value;
}

// The Range header a request may be answered in part for: a GET's only one,
// unless it is conditional on a validator (none is ever sent, so none
// matches and the whole body is due).
std::optional<std::string> RangeHeaderOf(platform::WebResourceRequest& request) {
  std::string method;
  if (platform::Failed(request.get_Method(&method)) || method != "GET") return std::nullopt;
  std::shared_ptr<platform::HttpRequestHeaders> headers;
  if (platform::Failed(request.get_Headers(&headers)) || !headers) return std::nullopt;
  std::vector<platform::HttpHeader> ranges;
  if (platform::Failed(headers->GetHeaders("Range", &ranges)) || ranges.size() != 1) {
    return std::nullopt;
  }
  bool conditional = false;
  if (platform::Failed(headers->Contains("If-Range", &conditional)) || conditional) {
    return std::nullopt;
  }
  return ranges.front().second;
}

enum class TFileRead { Read, Absent, Failed };

// The whole content of the regular file at `path` (links followed); a file
// that is there but cannot be read is told apart from none at all.
TFileRead ReadWholeFile(const std::string& path, std::string* content) {
  if (platform::KindOfPath(path) != platform::PathKind::kFile) return TFileRead::Absent;
  std::optional<std::string> bytes = platform::ReadWholeFile(path);
  if (!bytes) return TFileRead::Failed;
  *content = std::move(*bytes);
  return TFileRead::Read;
}

std::optional<TServedResource> Served(TResourceOrigin origin, std::string location,
                                      std::string_view path, std::string body) {
  TServedResource served;
  served.Origin = origin;
  served.Location = std::move(location);
  served.MimeType = TStrUtils::GetFileMIMEType(MimeNameOf(path));
  served.Body = std::move(body);
  return served;
}

// What one pass of the three lookups came to: what it serves, or nothing,
// with `Stopped` when a lookup found its file but could not serve it.
struct TPass {
  std::optional<TServedResource> Served;
  bool Stopped = false;
};

TPass Stop() { return {std::nullopt, true}; }

TPass LookUpPath(const std::string& path, const TResourceSource& source, const platform::Os& os) {
  if (source.ExeZip != nullptr && !source.AppDirName.empty()) {
    const std::string entry = source.AppDirName + "/" + path;
    if (source.ExeZip->FindFile(entry) != -1) {
      std::unique_ptr<TZipEntryReader> reader = source.ExeZip->OpenEntry(entry);
      if (!reader) return Stop();
      if (reader->Size() >= source.StreamEntriesFrom) {
        std::optional<TServedResource> served = Served(TResourceOrigin::Archive, entry, path, {});
        served->BodyStream = MakeEntryStream(std::move(reader));
        return {std::move(served)};
      }
      std::optional<std::string> body = source.ExeZip->ReadEntry(entry);
      if (!body) return Stop();
      return {Served(TResourceOrigin::Archive, entry, path, std::move(*body))};
    }
  }

  std::string body;
  if (source.ExeZip == nullptr && !source.AppFolder.empty() && !source.AppDirName.empty() &&
      !platform::HasDotSegment(path)) {
    std::string disk_path = source.AppFolder + source.AppDirName + "/" + path;
    for (std::size_t i = source.AppFolder.size(); i < disk_path.size(); ++i) {
      if (disk_path[i] == '/') disk_path[i] = os.PathSeparator();
    }
    switch (ReadWholeFile(disk_path, &body)) {
      case TFileRead::Read:
        return {Served(TResourceOrigin::Archive, disk_path, path, std::move(body))};
      case TFileRead::Failed:
        return Stop();
      case TFileRead::Absent:
        break;
    }
  }
  if (!source.AppDirPath.empty()) {
    std::string disk_path = source.AppDirPath + path;
    for (std::size_t i = source.AppDirPath.size(); i < disk_path.size(); ++i) {
      if (disk_path[i] == '/') disk_path[i] = os.PathSeparator();
    }
    switch (ReadWholeFile(disk_path, &body)) {
      case TFileRead::Read:
        return {Served(TResourceOrigin::BesideExecutable, disk_path, path, std::move(body))};
      case TFileRead::Failed:
        return Stop();
      case TFileRead::Absent:
        break;
    }
  }

  const std::string absolute = os.Family() == platform::OsFamily::Posix ? "/" + path : path;
  if (!os.IsAbsolutePath(absolute)) return {};
  switch (ReadWholeFile(absolute, &body)) {
    case TFileRead::Read:
      return {Served(TResourceOrigin::AbsolutePath, absolute, path, std::move(body))};
    case TFileRead::Failed:
      return Stop();
    case TFileRead::Absent:
      break;
  }
  return {};
}

// What the page meant by `path`, when that says anything new.
std::optional<std::string> DecodedPath(std::string_view path) {
  std::optional<std::string> decoded = platform::DecodeAddressPath(path);
  if (decoded == path) return std::nullopt;
  return decoded;
}

std::optional<TServedResource> LookUp(std::string_view uri, const TResourceSource& source,
                                      const platform::Os& os) {
  if (!platform::StartsWithIgnoreAsciiCase(uri, kFilePrefix)) return std::nullopt;
  // Only the exact spelling is removed: "FILE:///x" passes the test above
  // but keeps its prefix, so no lookup finds it.
  const std::string path = RemoveAll(uri, kFilePrefix);
  TPass pass = LookUpPath(path, source, os);
  // The name as written comes first, so an entry really called
  // "my%20page.html" or "a?b" is still the one served; what the page meant
  // is looked for only when nothing at all answers to the name as written.
  if (pass.Served || pass.Stopped) return std::move(pass.Served);
  const std::optional<std::string> decoded = DecodedPath(path);
  if (!decoded) return std::nullopt;
  return LookUpPath(*decoded, source, os).Served;
}

}  // namespace

std::shared_ptr<platform::Stream> MakeEntryStream(std::unique_ptr<TZipEntryReader> reader) {
  return std::make_shared<EntryStream>(std::move(reader));
}

TByteRange ParseRangeHeader(std::string_view header, uint64_t size) noexcept {
  constexpr std::string_view kUnit = "bytes=";
  header = platform::TrimBlanks(header);
  if (!platform::StartsWithIgnoreAsciiCase(header, kUnit)) return {};
  const std::string_view bounds = platform::TrimBlanks(header.substr(kUnit.size()));
  const std::size_t dash = bounds.find('-');
  if (dash == std::string_view::npos || bounds.find(',') != std::string_view::npos) return {};
  const std::optional<uint64_t> first = Digits(bounds.substr(0, dash));
  const std::string_view last_text = bounds.substr(dash + 1);
  const std::optional<uint64_t> last = Digits(last_text);
  if (!first) {
    // "-n": the last n bytes, all of them when the body is shorter. An empty
    // body has no last byte to name, so it is sent whole.
    if (dash != 0 || !last) return {};
    if (*last == 0) return {TByteRange::Unsatisfiable};
    if (size == 0) return {};
    return {TByteRange::Part, size - std::min(*last, size), size - 1};
  }
  if (!last_text.empty() && (!last || *last < *first)) return {};
  if (*first >= size) return {TByteRange::Unsatisfiable};
  return {TByteRange::Part, *first, last ? std::min(*last, size - 1) : size - 1};
}

std::shared_ptr<platform::Stream> MakePartStream(std::shared_ptr<platform::Stream> whole,
                                                 uint64_t first, uint64_t length) {
  return std::make_shared<PartStream>(std::move(whole), first, length);
}

bool IsDocumentType(std::string_view mime_type) {
  for (const std::string_view type :
       {"text/html", "application/xhtml+xml", "image/svg+xml", "text/xml", "application/xml"}) {
    if (mime_type == type) return true;
  }
  return false;
}

std::string ResourceResponseHeaders(std::string_view mime_type) {
  std::string headers = "Content-Type: ";
  headers.append(mime_type);
  // WebAssembly's streaming compile takes this type only without parameters.
  if (mime_type != "application/wasm") headers.append("; charset=utf-8");
  return headers;
}

std::optional<TServedResource> LookUpResource(std::string_view uri, const TResourceSource& source,
                                              const platform::Os& os) noexcept {
  try {
    std::optional<TServedResource> served = LookUp(uri, source, os);
    if (served) served->Uri = uri;
    return served;
  } catch (...) {
    // A failed MIME lookup, a closed archive, memory: answering nothing lets
    // the engine handle the request as for a missing file.
    return std::nullopt;
  }
}

std::optional<TServedResource> AnswerResourceRequest(platform::EngineEnvironment* environment,
                                                     platform::WebResourceRequestedEventArgs* args,
                                                     const TResourceSource& source,
                                                     const platform::Os& os) noexcept {
  try {
    if (environment == nullptr || args == nullptr) return std::nullopt;
    std::shared_ptr<platform::WebResourceRequest> request;
    if (platform::Failed(args->get_Request(&request)) || !request) return std::nullopt;
    std::string uri;
    if (platform::Failed(request->get_Uri(&uri))) return std::nullopt;
    std::optional<TServedResource> served = LookUpResource(uri, source, os);
    if (!served) return std::nullopt;

    uint64_t size = served->Body.size();
    if (served->BodyStream &&
        (platform::Failed(served->BodyStream->Seek(0, platform::StreamSeek::kEnd, &size)) ||
         platform::Failed(served->BodyStream->Seek(0, platform::StreamSeek::kBegin, nullptr)))) {
      return std::nullopt;
    }
    const std::optional<std::string> range_header = RangeHeaderOf(*request);
    const TByteRange range = range_header ? ParseRangeHeader(*range_header, size) : TByteRange{};
    std::string reason = "OK";
    std::string headers = ResourceResponseHeaders(served->MimeType);
    // A file reached by its absolute path is not the app's: as a document it
    // gets an origin of its own, so it can neither reach the app's pages
    // (parent, opener) nor read what the app stores, nor start downloads.
    if (served->Origin == TResourceOrigin::AbsolutePath && IsDocumentType(served->MimeType)) {
      headers.append("\r\n").append(kForeignDocumentPolicy);
    }
    std::shared_ptr<platform::Stream> body;
    switch (range.Kind) {
      case TByteRange::Whole:
        body = served->BodyStream ? std::move(served->BodyStream)
                                  : platform::MakeMemoryStream(std::move(served->Body));
        break;
      case TByteRange::Part: {
        const uint64_t length = range.Last - range.First + 1;
        if (served->BodyStream) {
          body = MakePartStream(std::move(served->BodyStream), range.First, length);
        } else {
          served->Body.erase(range.First + length);
          served->Body.erase(0, range.First);
          body = platform::MakeMemoryStream(std::move(served->Body));
        }
        served->Status = 206;
        served->ContentRange = "bytes " + std::to_string(range.First) + "-" +
                               std::to_string(range.Last) + "/" + std::to_string(size);
        reason = "Partial Content";
        headers += "\r\nContent-Range: " + served->ContentRange +
                   "\r\nContent-Length: " + std::to_string(length) + "\r\nAccept-Ranges: bytes";
        break;
      }
      case TByteRange::Unsatisfiable:
        body = platform::MakeMemoryStream();
        served->Status = 416;
        served->ContentRange = "bytes */" + std::to_string(size);
        reason = "Range Not Satisfiable";
        headers = "Content-Range: " + served->ContentRange +
                  "\r\nContent-Length: 0\r\nAccept-Ranges: bytes";
        break;
    }
    // A HEAD request asks for the headers alone; engines pass on whatever
    // body the answer has.
    std::string method;
    if (platform::Succeeded(request->get_Method(&method)) && method == "HEAD") {
      body = platform::MakeMemoryStream();
    }

    std::shared_ptr<platform::WebResourceResponse> response;
    const platform::HRESULT created = environment->CreateWebResourceResponse(
        std::move(body), served->Status, reason, headers, &response);
    served->Body.clear();
    served->BodyStream.reset();
    if (platform::Failed(created) || !response) return std::nullopt;
    if (platform::Failed(args->put_Response(std::move(response)))) return std::nullopt;
    return served;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace tessel::shared
