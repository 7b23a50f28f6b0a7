// The floor for bench_webview: the same page and the same message ping-pong
// written directly against WebKitGTK, with nothing of ours in between (a
// private scheme answered from memory, a script message handler one way,
// evaluate_javascript the other). Prints "loaded" when the first navigation
// has finished, then "roundtrips_per_second <n>".
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char kPage[] =
    "<!DOCTYPE html><html><head><title>bench</title><script>"
    "function deliver(n) { window.webkit.messageHandlers.bench.postMessage(JSON.stringify(n + 1)); "
    "}"
    "</script></head><body>bench</body></html>";

struct State {
  WebKitWebView* view = nullptr;
  int rounds = 0;
  int warmup = 0;
  int done = 0;
  std::chrono::steady_clock::time_point start;
};

void Serve(WebKitURISchemeRequest* request, gpointer) {
  GInputStream* stream = g_memory_input_stream_new_from_data(kPage, std::strlen(kPage), nullptr);
  WebKitURISchemeResponse* response =
      webkit_uri_scheme_response_new(stream, static_cast<gint64>(std::strlen(kPage)));
  webkit_uri_scheme_response_set_status(response, 200, "OK");
  webkit_uri_scheme_response_set_content_type(response, "text/html");
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
  g_object_unref(stream);
}

void Send(State* state, long n) {
  const std::string script = "deliver(" + std::to_string(n) + ");";
  webkit_web_view_evaluate_javascript(state->view, script.c_str(), -1, nullptr, nullptr, nullptr,
                                      nullptr, nullptr);
}

void Received(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
  auto* state = static_cast<State*>(data);
  gchar* text = jsc_value_to_string(webkit_javascript_result_get_js_value(result));
  const long n = std::strtol(text, nullptr, 10);
  g_free(text);
  ++state->done;
  if (state->done == state->warmup) state->start = std::chrono::steady_clock::now();
  if (state->done == state->warmup + state->rounds) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - state->start).count();
    std::printf("roundtrips_per_second %.1f\n", state->rounds / seconds);
    std::fflush(stdout);
    gtk_main_quit();
    return;
  }
  Send(state, n);
}

void LoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
  if (event != WEBKIT_LOAD_FINISHED) return;
  std::printf("loaded\n");
  std::fflush(stdout);
  Send(static_cast<State*>(data), 0);
}

}  // namespace

int main(int argc, char** argv) {
  State state;
  state.rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
  state.warmup = 100;
  gtk_init(&argc, &argv);
  WebKitWebContext* context = webkit_web_context_new_ephemeral();
  webkit_web_context_register_uri_scheme(context, "raw-app", Serve, nullptr, nullptr);
  WebKitUserContentManager* content = webkit_user_content_manager_new();
  webkit_user_content_manager_register_script_message_handler(content, "bench");
  g_signal_connect(content, "script-message-received::bench", G_CALLBACK(Received), &state);
  state.view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context,
                                            "user-content-manager", content, nullptr));
  g_signal_connect(state.view, "load-changed", G_CALLBACK(LoadChanged), &state);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 800, 600);
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(state.view));
  gtk_widget_show_all(window);
  webkit_web_view_load_uri(state.view, "raw-app://app/index.html");
  gtk_main();
  return 0;
}
