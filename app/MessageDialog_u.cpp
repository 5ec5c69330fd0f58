#include "MessageDialog_u.h"

#include <windows.h>

#include "Application.h"
#include "WideText.h"
#include "message_tables.h"

int32_t MsgLanguage = 0;

int32_t MsgBox(uint8_t kind, uint8_t buttons, int32_t messageNo, int32_t language, const std::string& text) {
  try {
    const zefa::MessageBoxContent box = zefa::ComposeMessageBox(kind, buttons, messageNo, language, text);
    const std::wstring wideText = Utf8ToWide(box.text);
    // An empty caption, not a missing one: a missing caption would make
    // the system show its default "Error" in the title bar.
    const std::wstring wideCaption = Utf8ToWide(box.caption);
    if (Application == nullptr) {
      // Before the application exists there is no owner; the message still
      // reaches the user rather than being lost.
      return MessageBoxW(nullptr, wideText.c_str(), wideCaption.c_str(), box.style);
    }
    return Application->ShowMessageBox(wideText, wideCaption, box.style);
  } catch (...) {
    // Out of memory while composing the texts: the box cannot be shown.
    return 0;
  }
}
