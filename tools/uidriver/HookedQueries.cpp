#include "HookedQueries.h"

#include <string>

#include "CommandLine.h"

namespace uidriver {

namespace {

std::wstring HookModulePath() {
  wchar_t path[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  std::wstring own(path, n);
  return own.substr(0, own.find_last_of(L"\\/") + 1) + L"uidriver_hook.dll";
}

}  // namespace

HookedQueries::~HookedQueries() {
  Unhook();
  if (FHookModule != nullptr) FreeLibrary(FHookModule);
}

void HookedQueries::Unhook() {
  for (const auto& hook : FHooks) UnhookWindowsHookEx(hook.second);
  FHooks.clear();
}

void HookedQueries::EnsureReady() {
  if (FHookModule == nullptr) {
    FHookModule = LoadLibraryW(HookModulePath().c_str());
    if (FHookModule == nullptr) throw DriverError("uidriver_hook.dll not found beside the driver");
    FHookProc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(FHookModule, HookProcName())));
    if (FHookProc == nullptr) throw DriverError("uidriver_hook.dll has no hook procedure");
  }
  if (!FReplyArea) {
    wchar_t name[64];
    ReplyAreaName(GetCurrentProcessId(), name, 64);
    FReplyArea.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(QueryReply), name));
    if (!FReplyArea) throw DriverError("cannot create the hook's reply area");
    FReplyView.Reset(MapViewOfFile(FReplyArea.Get(), FILE_MAP_WRITE, 0, 0, sizeof(QueryReply)));
    if (FReplyView.Get() == nullptr) throw DriverError("cannot map the hook's reply area");
  }
}

void HookedQueries::EnsureHooked(DWORD threadId) {
  if (FHooks.count(threadId) != 0) return;
  HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, FHookProc, FHookModule, threadId);
  if (hook == nullptr) {
    throw DriverError("cannot hook the program's thread (error " + std::to_string(GetLastError()) + ")");
  }
  FHooks[threadId] = hook;
}

QueryReply HookedQueries::Ask(HWND wnd, QueryKind kind, DWORD timeoutMs) {
  EnsureReady();
  const DWORD threadId = GetWindowThreadProcessId(wnd, nullptr);
  if (threadId == 0) throw DriverError("the window is gone");
  EnsureHooked(threadId);
  auto* reply = static_cast<QueryReply*>(FReplyView.Get());
  // Sequence numbers fit in the bits of lParam above the query kind.
  FSequence = (FSequence + 1) & 0x07FFFFFF;
  if (FSequence == 0) FSequence = 1;
  InterlockedExchange(&reply->sequence, 0);
  static const UINT message = RegisterWindowMessageW(QueryMessageName());
  DWORD_PTR ignored = 0;
  const LPARAM query = (static_cast<LPARAM>(FSequence) << 4) | kind;
  if (!SendMessageTimeoutW(wnd, message, GetCurrentProcessId(), query, SMTO_NORMAL, timeoutMs, &ignored)) {
    throw DriverError("the program did not answer within " + std::to_string(timeoutMs) + " ms");
  }
  if (InterlockedCompareExchange(&reply->sequence, 0, 0) != FSequence) {
    throw DriverError("the driver's hook did not answer (is uidriver_hook.dll loadable by the program?)");
  }
  return *reply;
}


FontFacts HookedQueries::Font(HWND wnd, DWORD timeoutMs) {
  const QueryReply reply = Ask(wnd, kQueryFont, timeoutMs);
  return FontFacts{reply.font, reply.fontIsDefault != 0};
}

BoxIcon HookedQueries::Icon(HWND box, DWORD timeoutMs) {
  return static_cast<BoxIcon>(Ask(box, kQueryBoxIcon, timeoutMs).icon);
}

std::vector<ToolFacts> HookedQueries::Tools(HWND tooltip, DWORD timeoutMs) {
  const QueryReply reply = Ask(tooltip, kQueryTools, timeoutMs);
  const int count = reply.toolCount < 0 ? 0 : (reply.toolCount > kMaxTools ? kMaxTools : reply.toolCount);
  return std::vector<ToolFacts>(reply.tools, reply.tools + count);
}

}  // namespace uidriver
