#include "shared/resource_server.h"

#include <algorithm>
#include <array>
#include <utility>

#include "platform/engine_basics.h"
#include "platform/file_io.h"
#include "shared/exe_utils.h"
#include "shared/str_utils.h"

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
    const uint64_t base = origin == platform::StreamSeek::kBegin     ? 0
                          : origin == platform::StreamSeek::kCurrent ? position_
                                                                     : reader_->Size();
    if (move < 0 && static_cast<uint64_t>(-(move + 1)) + 1 > base) return platform::kEInvalidArg;
    const uint64_t next = move < 0 ? base - static_cast<uint64_t>(-(move + 1)) - 1
                                   : base + static_cast<uint64_t>(move);
    position_ = std::min(next, reader_->Size());
    if (position != nullptr) *position = position_;
    return platform::kSOk;
  }

  platform::HRESULT SetSize(std::uint64_t) override { return platform::kEAccessDenied; }

 private:
  // Brings the reader to the stream's position: the cipher only runs forward.
  bool CatchUp() {
    if (position_ < reader_->Position()) reader_->Rewind();
    std::array<uint8_t, 65536> skipped{};
    while (reader_->Position() < position_) {
      const uint64_t n = std::min<uint64_t>(skipped.size(), position_ - reader_->Position());
      if (reader_->Read({skipped.data(), n}) <= 0) return false;
    }
    return true;
  }

  std::unique_ptr<TZipEntryReader> reader_;
  uint64_t position_ = 0;
};

enum class TFileRead { Read, Absent, Failed };

// The whole content of the regular file at `path` (links followed).
TFileRead ReadWholeFile(const std::string& path, std::string* content) {
  if (platform::KindOfPath(path) != platform::PathKind::kFile) return TFileRead::Absent;
  const platform::FileHandle in = platform::OpenFile(path, "rb");
  if (!in) return TFileRead::Failed;
  std::string bytes;
  std::array<char, 65536> block{};
  std::size_t got = 0;
  while ((got = std::fread(block.data(), 1, block.size(), in.get())) > 0) {
    bytes.append(block.data(), got);
  }
  if (std::ferror(in.get()) != 0) return TFileRead::Failed;
  *content = std::move(bytes);
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

std::optional<TServedResource> LookUp(std::string_view uri, const TResourceSource& source,
                                      const platform::Os& os) {
  if (!platform::StartsWithIgnoreAsciiCase(uri, kFilePrefix)) return std::nullopt;
  // Only the exact spelling is removed: "FILE:///x" passes the test above
  // but keeps its prefix, so no lookup finds it.
  const std::string path = RemoveAll(uri, kFilePrefix);

  if (source.ExeZip != nullptr && !source.AppDirName.empty()) {
    const std::string entry = source.AppDirName + "/" + path;
    if (source.ExeZip->FindFile(entry) != -1) {
      std::unique_ptr<TZipEntryReader> reader = source.ExeZip->OpenEntry(entry);
      if (!reader) return std::nullopt;
      if (reader->Size() >= source.StreamEntriesFrom) {
        std::optional<TServedResource> served = Served(TResourceOrigin::Archive, entry, path, {});
        served->BodyStream = MakeEntryStream(std::move(reader));
        return served;
      }
      std::optional<std::string> body = source.ExeZip->ReadEntry(entry);
      if (!body) return std::nullopt;
      return Served(TResourceOrigin::Archive, entry, path, std::move(*body));
    }
  }

  std::string body;
  if (!source.AppDirPath.empty()) {
    std::string disk_path = source.AppDirPath + path;
    for (std::size_t i = source.AppDirPath.size(); i < disk_path.size(); ++i) {
      if (disk_path[i] == '/') disk_path[i] = os.PathSeparator();
    }
    switch (ReadWholeFile(disk_path, &body)) {
      case TFileRead::Read:
        return Served(TResourceOrigin::BesideExecutable, disk_path, path, std::move(body));
      case TFileRead::Failed:
        return std::nullopt;
      case TFileRead::Absent:
        break;
    }
  }

  const std::string absolute = os.Family() == platform::OsFamily::Posix ? "/" + path : path;
  if (!os.IsAbsolutePath(absolute)) return std::nullopt;
  if (ReadWholeFile(absolute, &body) == TFileRead::Read) {
    return Served(TResourceOrigin::AbsolutePath, absolute, path, std::move(body));
  }
  return std::nullopt;
}

}  // namespace

std::shared_ptr<platform::Stream> MakeEntryStream(std::unique_ptr<TZipEntryReader> reader) {
  return std::make_shared<EntryStream>(std::move(reader));
}

std::string ResourceResponseHeaders(std::string_view mime_type) {
  std::string headers = "Content-Type: ";
  headers.append(mime_type);
  headers.append("; charset=utf-8");
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

    std::shared_ptr<platform::WebResourceResponse> response;
    std::shared_ptr<platform::Stream> body =
        served->BodyStream ? std::move(served->BodyStream)
                           : platform::MakeMemoryStream(std::move(served->Body));
    const platform::HRESULT created = environment->CreateWebResourceResponse(
        std::move(body), 200, "OK", ResourceResponseHeaders(served->MimeType), &response);
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
