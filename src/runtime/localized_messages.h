// The start-up message catalogue: ten texts in each of six languages, picked
// by the user's language, and the modal dialogs built from them.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace tessel::runtime {

// The user's language as a two-letter ISO 639 code, "de" for any German
// locale; empty when it cannot be told. Asked anew at every call.
std::string GetLanguageCode();

// Replaces where GetLanguageCode asks (tests; the OS seam later). An empty
// function restores the default, which reads LC_ALL, else LC_MESSAGES, else
// LANG, and takes the language part of the first one set ("es_MX.UTF-8" ->
// "es").
using LanguageCodeProvider = std::function<std::string()>;
void SetLanguageCodeProvider(LanguageCodeProvider provider);

// The text at `message_index` (0 to 9) in the user's language, else English.
// On Linux, messages 5, 6, 7 and 9 name the app archive and WebKitGTK 4.1
// with its package instead of a Windows application and WebView2.
// Index 0 is the language code of the row used. Throws
// std::out_of_range("MessageIndex is out of range!") for any other index.
std::string GetLocalizedMessage(int message_index);

// Shows `msg` in the platform's modal message dialog with `title`, the
// `buttons` in their standard layout order and the i-th laid-out button
// captioned captions[i]; returns the modal result (platform::mrYes,
// platform::mrCancel, ...). UI thread only.
int LocalizedMessageDlg(const std::string& msg, platform::DialogType type,
                        const std::vector<platform::DialogButton>& buttons,
                        const std::vector<std::string>& captions, const std::string& title);

// Shows message `message_index` as an error dialog (title text 1, one Yes
// button captioned with text 3) and then ends the process with exit code 0
// by throwing EProcessExit{0}, whatever the answer. UI thread only.
[[noreturn]] void ShowFatalMessage(int message_index);

}  // namespace tessel::runtime
