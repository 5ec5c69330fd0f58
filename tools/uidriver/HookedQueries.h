// Asks the driver's hook, inside the program's user-interface thread, what
// only that process can tell: a window's font and a message box's icon.
#pragma once

#include <windows.h>

#include <map>
#include <vector>

#include "Handles.h"
#include "HookProtocol.h"

namespace uidriver {

struct FontFacts {
  LOGFONTW font;
  bool isDefault;  // the window has no font of its own
};

class HookedQueries {
 public:
  HookedQueries() = default;
  HookedQueries(const HookedQueries&) = delete;
  HookedQueries& operator=(const HookedQueries&) = delete;
  ~HookedQueries();

  FontFacts Font(HWND wnd, DWORD timeoutMs);
  BoxIcon Icon(HWND box, DWORD timeoutMs);
  std::vector<ToolFacts> Tools(HWND tooltip, DWORD timeoutMs);
  // Removes the hooks (for example when the program is started again).
  void Unhook();

 private:
  void EnsureReady();
  void EnsureHooked(DWORD threadId);
  QueryReply Ask(HWND wnd, QueryKind kind, DWORD timeoutMs);

  HMODULE FHookModule = nullptr;
  HOOKPROC FHookProc = nullptr;
  UniqueHandle FReplyArea;
  MappedView FReplyView;
  std::map<DWORD, HHOOK> FHooks;  // by the program's thread id
  LONG FSequence = 0;
};

}  // namespace uidriver
