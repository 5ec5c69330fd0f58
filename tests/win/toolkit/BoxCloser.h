// Closes the message boxes that a thread shows, from a thread of its own,
// and keeps their captions and texts: a box of the code under test would
// otherwise wait for a click for ever.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "WideText.h"

class BoxCloser {
 public:
  explicit BoxCloser(DWORD thread) : FThread(thread), FWorker([this] { Run(); }) {}
  ~BoxCloser() {
    FStop = true;
    FWorker.join();
  }
  BoxCloser(const BoxCloser&) = delete;
  BoxCloser& operator=(const BoxCloser&) = delete;

  // Caption and text of each box closed so far, in order.
  std::vector<std::pair<std::string, std::string>> Boxes() {
    std::lock_guard<std::mutex> lock(FMutex);
    return FBoxes;
  }

 private:
  static BOOL CALLBACK FindBox(HWND window, LPARAM found) {
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    if (std::wstring(name) != L"#32770" || !IsWindowVisible(window)) return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  void Run() {
    while (!FStop) {
      HWND box = nullptr;
      EnumThreadWindows(FThread, FindBox, reinterpret_cast<LPARAM>(&box));
      if (box != nullptr) {
        wchar_t text[512] = {};
        wchar_t caption[256] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 512);
        GetWindowTextW(box, caption, 256);
        {
          std::lock_guard<std::mutex> lock(FMutex);
          FBoxes.emplace_back(WideToUtf8(caption), WideToUtf8(text));
        }
        SendMessageW(box, WM_COMMAND, IDOK, 0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  DWORD FThread;
  std::atomic<bool> FStop{false};
  std::mutex FMutex;
  std::vector<std::pair<std::string, std::string>> FBoxes;
  std::thread FWorker;
};
