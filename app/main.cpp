// The program's entry: the application object, the main window, the loop.
// The program ends when the main window closes; the application object then
// destroys the window, and with it the serial port component.
#include <windows.h>

#include <memory>

#include "Application.h"
#include "SystemError.h"
#include "ZEFA1ID_u.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  auto application = std::make_unique<TApplication>();
  Application = application.get();
  try {
    Application->Initialize();
    Application->SetTitle("ZEFA1 ID Programmer");
    Form1 = new TForm1(Application);
    Application->SetMainWindow(Form1->Handle());
    Application->Run();
  } catch (...) {
    // Only the window's creation can end here: tell the user why nothing
    // appears, then end.
    HandleEscapedException();
    return 1;
  }
  return 0;
}
