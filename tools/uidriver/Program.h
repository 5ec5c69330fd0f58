// The program under drive: a process that the driver started or found, and
// its top-level windows. A program the driver started is tied to the driver
// by a job object, so that it ends with the driver however the driver ends.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Handles.h"

namespace uidriver {

class Program {
 public:
  Program() = default;
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  // Ends a started program that still runs.
  ~Program();

  // Starts path with the given arguments in path's folder.
  void Launch(const std::wstring& path, const std::vector<std::wstring>& args);
  // Takes the running process whose file name is exeName (ZEFA1ID.exe);
  // false while there is none.
  bool TryAttach(const std::wstring& exeName);

  bool Known() const { return static_cast<bool>(FProcess); }
  DWORD ProcessId() const { return FProcessId; }
  bool Running() const;
  // The exit code once the program has ended.
  DWORD ExitCode() const;
  // Ends the program at once and waits (bounded) until it is gone.
  void Kill();

  // The first visible top-level window of the program with that class.
  HWND FindVisibleWindow(const wchar_t* className) const;
  // Visible top-level windows of the program with that class, the
  // foremost first.
  std::vector<HWND> VisibleWindows(const wchar_t* className) const;
  // All of them, hidden ones too.
  std::vector<HWND> Windows(const wchar_t* className) const;

 private:
  void Forget();

  UniqueHandle FProcess;
  UniqueHandle FJob;
  DWORD FProcessId = 0;
};

// Class and text of a window of any process.
bool HasClass(HWND wnd, const wchar_t* className);
std::wstring WindowText(HWND wnd);
std::wstring ClassOf(HWND wnd);

}  // namespace uidriver
