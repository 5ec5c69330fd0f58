// Shows one message box through MsgBox and exits with what MsgBox returned,
// so that a test can drive the box and check the result.
//
//   msgbox_probe KIND BUTTONS MESSAGE_NO LANGUAGE TEXT [--no-application]
//
// --no-application calls MsgBox before the application object exists.
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <string>

#include "Application.h"
#include "MessageDialog_u.h"
#include "WideText.h"

int main() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || (argc != 6 && argc != 7)) return 100;
  const auto number = [&](int i) { return static_cast<int32_t>(std::wcstol(argv[i], nullptr, 10)); };
  const bool withApplication = argc == 6;
  const std::string text = WideToUtf8(argv[5]);

  TApplication* app = nullptr;
  if (withApplication) {
    app = new TApplication;
    Application = app;
    app->SetTitle("msgbox_probe");
    app->Initialize();
  }
  const int32_t result = MsgBox(static_cast<uint8_t>(number(1)), static_cast<uint8_t>(number(2)), number(3), number(4), text);
  delete app;
  LocalFree(argv);
  return result;
}
