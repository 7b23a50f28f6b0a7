// The private scheme: each request of "tessel-app://app/..." goes to the
// host's WebResourceRequested handlers, and what they do not answer is
// served from the file at that absolute path or as a not-found page.
// Response bodies are handed to WebKit as streams it reads as it needs them.
#include <gtk/gtk.h>
#include <libsoup/soup.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/engine.h"
#include "platform/engine_basics.h"
#include "platform/gtk/engine_webkit_core.h"
#include "platform/gtk/engine_webkit_uri.h"

namespace tessel::platform::webkit {
namespace {

bool IsHeaderSafe(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

class WebResourceRequestedArgs : public WebResourceRequestedEventArgs {
 public:
  std::shared_ptr<WebResourceRequest> request;
  std::shared_ptr<WebResourceResponse> response;
  WebResourceContext context = WebResourceContext::kOther;
  HRESULT get_Request(std::shared_ptr<WebResourceRequest>* v) override { return Out(v, request); }
  HRESULT get_Response(std::shared_ptr<WebResourceResponse>* v) override {
    return Out(v, response);
  }
  HRESULT put_Response(std::shared_ptr<WebResourceResponse> v) override {
    response = std::move(v);
    return kSOk;
  }
  HRESULT get_ResourceContext(WebResourceContext* v) override { return Out(v, context); }
};

void FinishWith(WebKitURISchemeRequest* request, GInputStream* body, gint64 length, int status,
                const std::string& reason, const std::string& content_type,
                const std::vector<HttpHeader>& headers) {
  WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(body, length);
  webkit_uri_scheme_response_set_status(response, static_cast<guint>(status),
                                        reason.empty() ? nullptr : reason.c_str());
  if (!content_type.empty())
    webkit_uri_scheme_response_set_content_type(response, content_type.c_str());
  SoupMessageHeaders* soup_headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
  for (const auto& [name, value] : headers) {
    if (!name.empty() && IsHeaderSafe(name) && IsHeaderSafe(value)) {
      soup_message_headers_append(soup_headers, name.c_str(), value.c_str());
    }
  }
  webkit_uri_scheme_response_set_http_headers(response, soup_headers);
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
}

void FinishWithBytes(WebKitURISchemeRequest* request, std::string body, int status,
                     const std::string& reason, const std::string& content_type,
                     const std::vector<HttpHeader>& headers) {
  const auto length = static_cast<gint64>(body.size());
  GBytes* bytes = g_bytes_new(body.data(), body.size());
  GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
  g_bytes_unref(bytes);
  FinishWith(request, stream, length, status, reason, content_type, headers);
  g_object_unref(stream);
}

// A GInputStream over a seam stream. WebKit reads a body as it needs it, on
// a GIO worker thread, so a big body is never in memory whole and the UI
// thread does not wait for it.
struct SeamInputStream {
  GInputStream parent;
  std::shared_ptr<Stream>* stream;  // null once closed
};
struct SeamInputStreamClass {
  GInputStreamClass parent_class;
};
gpointer g_seam_input_stream_parent = nullptr;

gssize SeamRead(GInputStream* base, void* buffer, gsize count, GCancellable* cancellable,
                GError** error) {
  auto* self = reinterpret_cast<SeamInputStream*>(base);
  if (g_cancellable_set_error_if_cancelled(cancellable, error)) return -1;
  std::uint32_t read = 0;
  const auto want = static_cast<std::uint32_t>(std::min<gsize>(count, gsize{1} << 20));
  if (self->stream == nullptr || Failed((*self->stream)->Read(buffer, want, &read))) {
    // Damaged data found late: the load fails rather than ending short.
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_FAILED, "The response body cannot be read");
    return -1;
  }
  return static_cast<gssize>(read);
}

gboolean SeamClose(GInputStream* base, GCancellable*, GError**) {
  auto* self = reinterpret_cast<SeamInputStream*>(base);
  delete self->stream;
  self->stream = nullptr;
  return TRUE;
}

void SeamFinalize(GObject* object) {
  SeamClose(G_INPUT_STREAM(object), nullptr, nullptr);
  G_OBJECT_CLASS(g_seam_input_stream_parent)->finalize(object);
}

GType SeamInputStreamType() {
  static gsize type = 0;
  if (g_once_init_enter(&type)) {
    const GType registered = g_type_register_static_simple(
        G_TYPE_INPUT_STREAM, "TesselSeamInputStream", sizeof(SeamInputStreamClass),
        [](gpointer klass, gpointer) {
          g_seam_input_stream_parent = g_type_class_peek_parent(klass);
          G_INPUT_STREAM_CLASS(klass)->read_fn = SeamRead;
          G_INPUT_STREAM_CLASS(klass)->close_fn = SeamClose;
          G_OBJECT_CLASS(klass)->finalize = SeamFinalize;
        },
        sizeof(SeamInputStream), nullptr, static_cast<GTypeFlags>(0));
    g_once_init_leave(&type, registered);
  }
  return static_cast<GType>(type);
}

GInputStream* NewSeamInputStream(std::shared_ptr<Stream> stream) {
  auto* self = static_cast<SeamInputStream*>(g_object_new(SeamInputStreamType(), nullptr));
  self->stream = new std::shared_ptr<Stream>(std::move(stream));
  return G_INPUT_STREAM(self);
}

// What the engine does with a request nobody answered: the file at that
// absolute path, or a not-found page. FilePathOfUri names only files the
// host's lookups try before leaving a request, so when the host has seen a
// request and left it, this finds nothing and its trace may say so.
void ServeFromDisk(WebKitURISchemeRequest* request, const std::string& uri) {
  const auto path = FilePathOfUri(uri);
  if (path) {
    GFile* file = g_file_new_for_path(path->c_str());
    GFileInfo* info =
        g_file_query_info(file, G_FILE_ATTRIBUTE_STANDARD_TYPE "," G_FILE_ATTRIBUTE_STANDARD_SIZE,
                          G_FILE_QUERY_INFO_NONE, nullptr, nullptr);
    GFileInputStream* stream = nullptr;
    if (info != nullptr && g_file_info_get_file_type(info) == G_FILE_TYPE_REGULAR) {
      stream = g_file_read(file, nullptr, nullptr);
    }
    if (stream != nullptr) {
      gchar* guessed = g_content_type_guess(path->c_str(), nullptr, 0, nullptr);
      gchar* mime = guessed != nullptr ? g_content_type_get_mime_type(guessed) : nullptr;
      FinishWith(request, G_INPUT_STREAM(stream), g_file_info_get_size(info), 200, "OK", Str(mime),
                 {});
      g_free(mime);
      g_free(guessed);
      g_object_unref(stream);
      g_object_unref(info);
      g_object_unref(file);
      return;
    }
    if (info != nullptr) g_object_unref(info);
    g_object_unref(file);
  }
  gchar* escaped = g_markup_escape_text(path ? path->c_str() : uri.c_str(), -1);
  std::string page =
      "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Not Found</title></head>"
      "<body><h1>Not Found</h1><p>The file <code>" +
      Str(escaped) + "</code> was not found.</p></body></html>";
  g_free(escaped);
  FinishWithBytes(request, std::move(page), 404, "Not Found", "text/html; charset=utf-8", {});
}

}  // namespace

bool ViewCore::Serve(WebKitURISchemeRequest* request, const std::string& uri) {
  SoupMessageHeaders* soup_headers = webkit_uri_scheme_request_get_http_headers(request);
  std::vector<HttpHeader> headers;
  std::string accept;
  if (soup_headers != nullptr) {
    SoupMessageHeadersIter it;
    const char* name = nullptr;
    const char* value = nullptr;
    soup_message_headers_iter_init(&it, soup_headers);
    while (soup_message_headers_iter_next(&it, &name, &value)) {
      headers.emplace_back(Str(name), Str(value));
      if (g_ascii_strcasecmp(name, "Accept") == 0) accept = Str(value);
    }
  }
  const WebResourceContext context = GuessResourceContext(uri, accept);
  if (web_resource_requested.empty() || !FiltersMatch(filters, uri, context)) return false;

  std::shared_ptr<Stream> content;
  if (GInputStream* body = webkit_uri_scheme_request_get_http_body(request)) {
    std::string bytes;
    char buffer[16384];
    gssize read = 0;
    while ((read = g_input_stream_read(body, buffer, sizeof buffer, nullptr, nullptr)) > 0) {
      bytes.append(buffer, static_cast<std::size_t>(read));
    }
    g_object_unref(body);
    content = MakeMemoryStream(std::move(bytes));
  }
  auto args = std::make_shared<WebResourceRequestedArgs>();
  args->request = std::make_shared<BasicWebResourceRequest>(
      uri, Str(webkit_uri_scheme_request_get_http_method(request)), std::move(headers), content);
  args->context = context;
  web_resource_requested.Raise(std::shared_ptr<WebResourceRequestedEventArgs>(args));
  const auto response = args->response;
  if (!response) return false;

  std::shared_ptr<Stream> response_body;
  std::string body;
  response->get_Content(&response_body);
  // Small bodies are taken whole now; big ones are read as WebKit asks.
  constexpr std::uint64_t kStreamBodyFrom = std::uint64_t{1} << 20;
  std::uint64_t body_size = 0;
  const bool streamed =
      response_body && Succeeded(response_body->Seek(0, StreamSeek::kEnd, &body_size)) &&
      body_size >= kStreamBodyFrom && body_size <= static_cast<std::uint64_t>(G_MAXINT64) &&
      Succeeded(response_body->Seek(0, StreamSeek::kBegin, nullptr));
  if (!streamed && response_body && Failed(ReadWholeStream(response_body.get(), &body))) {
    body.clear();
  }
  int status = 200;
  response->get_StatusCode(&status);
  if (status < 100 || status > 999) status = 500;
  std::string reason;
  response->get_ReasonPhrase(&reason);
  std::vector<HttpHeader> response_headers;
  std::shared_ptr<HttpResponseHeaders> header_collection;
  if (Succeeded(response->get_Headers(&header_collection)) && header_collection) {
    header_collection->GetIterator(&response_headers);
  }
  std::string content_type;
  for (const auto& [name, value] : response_headers) {
    if (g_ascii_strcasecmp(name.c_str(), "Content-Type") == 0) {
      content_type = value.substr(0, value.find(';'));
      break;
    }
  }
  if (streamed) {
    GInputStream* stream = NewSeamInputStream(std::move(response_body));
    FinishWith(request, stream, static_cast<gint64>(body_size), status,
               IsHeaderSafe(reason) ? reason : std::string(), content_type, response_headers);
    g_object_unref(stream);
    return true;
  }
  FinishWithBytes(request, std::move(body), status, IsHeaderSafe(reason) ? reason : std::string(),
                  content_type, response_headers);
  return true;
}

namespace {

// A request that names a document of another origin as its sender (by its
// Origin or Referer). The scheme being local keeps such pages out already;
// this keeps them out should an engine version let one through.
bool FromForeignDocument(WebKitURISchemeRequest* request) {
  SoupMessageHeaders* headers = webkit_uri_scheme_request_get_http_headers(request);
  if (headers == nullptr) return false;
  const std::string_view app_origin(kAppRoot, sizeof kAppRoot - 2);  // without the last '/'
  const char* origin = soup_message_headers_get_one(headers, "Origin");
  if (origin != nullptr && !EqualsIgnoreAsciiCase(origin, app_origin)) return true;
  const char* referer = soup_message_headers_get_one(headers, "Referer");
  return referer != nullptr && !StartsWithIgnoreAsciiCase(referer, kAppRoot);
}

}  // namespace

void ServeRequest(WebKitURISchemeRequest* request, gpointer) {
  Safe([&] {
    if (FromForeignDocument(request)) {
      GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED, "Not allowed");
      webkit_uri_scheme_request_finish_error(request, error);
      g_error_free(error);
      return;
    }
    const std::string uri = FromEngineRequestUri(Str(webkit_uri_scheme_request_get_uri(request)));
    WebKitWebView* view = webkit_uri_scheme_request_get_web_view(request);
    auto* core = view != nullptr
                     ? static_cast<ViewCore*>(g_object_get_data(G_OBJECT(view), kCoreKey))
                     : nullptr;
    bool served = false;
    if (core != nullptr && !core->closed()) served = core->Serve(request, uri);
    if (!served) ServeFromDisk(request, uri);
  });
}

}  // namespace tessel::platform::webkit
