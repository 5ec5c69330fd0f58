// The application object: its own window, the title, the message loop, the
// process-pending-messages service and the default handling of an exception
// that escapes an event handler. All of it runs on the user-interface
// thread.
//
// The application window owns the forms and the message boxes. It has no
// size, so nothing of it shows but its task-bar button, titled with the
// application's title: the one button of the program, from its first box
// on, with the main form shown or not.
#pragma once

#include <windows.h>

#include <exception>
#include <string>

#include "Component.h"

class TApplication : public TComponent {
 public:
  TApplication();
  // Destroys the components it owns (the forms), then its window.
  ~TApplication() override;

  // Creates the application window, still hidden. Call once, before any
  // form exists.
  void Initialize();
  HWND Handle() const { return FHandle; }

  const std::string& Title() const { return FTitle; }
  void SetTitle(const std::string& title);

  // The window that Run shows and whose dialog keys (Tab, Enter) the loop
  // handles.
  void SetMainWindow(HWND window) { FMainWindow = window; }
  HWND MainWindow() const { return FMainWindow; }

  // Shows the main window, then dispatches messages until Terminate or a
  // WM_QUIT, also one that ProcessMessages took out of the queue.
  void Run();
  void Terminate();
  // Minimises the application window; the main form is hidden with it, and
  // shown again when it is restored.
  void Minimize();
  bool Terminated() const { return FTerminated; }

  // Dispatches every message that waits for this thread, messages sent from
  // other threads included, then returns.
  void ProcessMessages();

  // Default handling of an exception that escaped an event handler: its
  // message in an error box; the program carries on.
  void HandleException(const std::exception& error);
  void HandleException();  // for an exception of unknown type

  // A system message box owned by the application window. The thread's
  // other visible windows are disabled while it is up, so that the box is
  // modal to the whole program, as a user expects.
  int ShowMessageBox(const std::wstring& text, const std::wstring& caption, UINT flags);

 private:
  bool Dispatch(MSG& msg);
  // Shows the application window, and with it the task-bar button.
  void ShowTaskbarButton();
  static LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

  HWND FHandle;
  HWND FMainWindow;
  bool FMainHiddenByMinimize;
  std::string FTitle;
  bool FTerminated;
};

// The one application object; created by the program's entry.
extern TApplication* Application;
