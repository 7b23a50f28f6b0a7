// Serving the web application's "file:///" requests: from the app archive,
// then from beside the executable, then from the absolute path. The lookup is
// a plain function over its inputs; the engine glue only turns its result
// into a response.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/engine.h"
#include "platform/os.h"
#include "shared/exe_zip.h"

namespace tessel::shared {

// Where the lookups search.
struct TResourceSource {
  // The app archive; null skips the first lookup. Not owned.
  const TExeZip* ExeZip = nullptr;
  // The web application's folder inside the archive; empty skips the first
  // lookup.
  std::string AppDirName;
  // The executable's folder with its trailing separator; empty skips the
  // second lookup (it would otherwise read from the current folder).
  std::string AppDirPath;
  // Archive entries of this size or more are decrypted as the engine reads
  // them instead of whole before answering.
  uint64_t StreamEntriesFrom = uint64_t{4} << 20;
  // An app folder run live, with its trailing separator: when ExeZip is
  // null, its `AppDirName` folder stands for the archive's in the first
  // lookup (what it serves counts as the archive's), with no "." or ".."
  // segments, so nothing outside that folder passes for the app's.
  std::string AppFolder = {};
};

enum class TResourceOrigin { Archive, BesideExecutable, AbsolutePath };

struct TServedResource {
  // The address as requested.
  std::string Uri;
  TResourceOrigin Origin = TResourceOrigin::Archive;
  // The archive entry name or the disk path that was read.
  std::string Location;
  std::string MimeType;
  std::string Body;
  // Instead of Body for a big archive entry: its content read on demand.
  // Damage found further in fails the read there (the engine then fails the
  // load), since the whole entry is not checked before answering.
  std::shared_ptr<platform::Stream> BodyStream;
  // How AnswerResourceRequest answered: 200, or 206 / 416 for a byte range,
  // with the Content-Range it sent.
  int Status = 200;
  std::string ContentRange;
};

// What a request's Range header asks of a body of `size` bytes. Only one
// range of bytes is honoured; several ranges, another unit or a malformed
// header ask for the whole body, as if there were no header.
struct TByteRange {
  enum TKind { Whole, Part, Unsatisfiable };
  TKind Kind = Whole;
  // The part's first and last byte (inclusive), when Kind is Part.
  uint64_t First = 0;
  uint64_t Last = 0;
};
TByteRange ParseRangeHeader(std::string_view header, uint64_t size) noexcept;

// The bytes `first` to `first + length` of `whole`, as a stream of their own
// positioned at its start. Seeking moves within the part only.
std::shared_ptr<platform::Stream> MakePartStream(std::shared_ptr<platform::Stream> whole,
                                                 uint64_t first, uint64_t length);

// A read-only stream over an archive entry, decrypted as it is read. Seeking
// costs nothing until the next read, which restarts the cipher when it
// moves back.
std::shared_ptr<platform::Stream> MakeEntryStream(std::unique_ptr<TZipEntryReader> reader);

// The one header line of every served response.
std::string ResourceResponseHeaders(std::string_view mime_type);

// A MIME type a view shows as a document of its own (HTML, XHTML, SVG,
// XML), as opposed to a script, style sheet or picture inside one.
bool IsDocumentType(std::string_view mime_type);

// The header line added to a document served by absolute path.
inline constexpr std::string_view kForeignDocumentPolicy =
    "Content-Security-Policy: sandbox allow-scripts allow-forms allow-popups allow-modals";

// Looks `uri` up as the engine reported it. Only addresses that begin with
// "file:///" (any letter case) are looked up; the path is the address with
// every exact "file:///" removed, used as it is first: percent escapes,
// queries, fragments and dot segments are part of the name. The MIME type
// comes from the path's text after its last '\' or ':'.
//
// When none of the three lookups below finds that name (none finds a file it
// cannot read either), they run once more, in the same order, for the name
// the page meant: the path up to its first '?' or '#', percent escapes
// decoded. That second pass is skipped when the name comes out the same, and
// finds nothing when an escape is malformed ("%G1", a '%' near the end),
// decodes to a NUL, '/' or '\', when the decoded bytes are not UTF-8, or
// when the name has a "." or ".." segment: it names no file the first pass
// could not, and nothing above the folder a lookup reads below. Location and
// the MIME type are the decoded name's; Uri stays the address as requested.
//
// 1. Archive: entry `AppDirName` + "/" + path (entry names match without
//    regard to ASCII case); for an app folder run live, that file below
//    `AppFolder` instead (names as the file system matches them).
// 2. Beside the executable: `AppDirPath` + path with '/' turned into the
//    platform's separator; regular files only (links followed).
// 3. Absolute: the path with "/" in front on POSIX, as it is on Windows;
//    only when that is an absolute path, so nothing is read relative to the
//    current folder.
//
// nullopt when nothing is found, and also when a lookup finds its file but
// cannot read it whole (for an entry served as BodyStream: cannot open it) (damaged or
// undecryptable entry, read error) or the MIME lookup fails: an empty or partial body must not pass
// for the file. Never throws.
std::optional<TServedResource> LookUpResource(std::string_view uri, const TResourceSource& source,
                                              const platform::Os& os) noexcept;

// Answers one resource request: reads the request's address, looks it up
// with LookUpResource and, on a hit, puts a response of status 200 "OK" with
// ResourceResponseHeaders (and kForeignDocumentPolicy for a document served
// by absolute path) and the body made by `environment`. Otherwise, or
// when any engine call fails, the request is left untouched, so the engine
// handles it itself. Returns what was served, its Body and BodyStream empty (they went
// into the response). Never throws.
//
// A GET with one Range header (and no If-Range: nothing served carries a
// validator) that ParseRangeHeader finds a part in is answered 206 "Partial
// Content" with those bytes only, the same Content-Type line and then
// Content-Range, Content-Length and Accept-Ranges; a big entry's stream then
// starts at the part without handing out the bytes before it. A range that
// starts past the end is answered 416 "Range Not Satisfiable" with
// "Content-Range: bytes */<size>" and no body.
std::optional<TServedResource> AnswerResourceRequest(platform::EngineEnvironment* environment,
                                                     platform::WebResourceRequestedEventArgs* args,
                                                     const TResourceSource& source,
                                                     const platform::Os& os) noexcept;

}  // namespace tessel::shared
