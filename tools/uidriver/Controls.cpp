#include "Controls.h"

#include <cstring>

#include "CommandLine.h"
#include "ControlIds.h"
#include "Program.h"
#include "WideText.h"

namespace uidriver {

namespace {

struct ChildSearch {
  std::wstring className;
  std::wstring text;
  bool anyText;
  HWND found;
};

BOOL CALLBACK MatchChild(HWND child, LPARAM param) {
  auto* search = reinterpret_cast<ChildSearch*>(param);
  if (!HasClass(child, search->className.c_str())) return TRUE;
  if (!search->anyText && WindowText(child) != search->text) return TRUE;
  search->found = child;
  return FALSE;
}

HWND FindById(HWND mainWindow, int id, const std::string& designation) {
  HWND control = GetDlgItem(mainWindow, id);
  if (control == nullptr) throw DriverError("no control " + designation + " (id " + std::to_string(id) + ")");
  return control;
}

struct ListSearch {
  DWORD threadId;
  HWND found;
};

BOOL CALLBACK MatchDroppedList(HWND wnd, LPARAM param) {
  auto* search = reinterpret_cast<ListSearch*>(param);
  if (GetWindowThreadProcessId(wnd, nullptr) != search->threadId) return TRUE;
  if (!IsWindowVisible(wnd) || !HasClass(wnd, L"ComboLBox")) return TRUE;
  search->found = wnd;
  return FALSE;
}

}  // namespace

HWND FindControl(HWND mainWindow, const std::string& designation) {
  if (designation == "main") return mainWindow;
  for (const auto& entry : zefa::control_id::kAll) {
    if (designation == entry.name) return FindById(mainWindow, entry.id, designation);
  }
  if (!designation.empty() && designation[0] == '#') return FindById(mainWindow, static_cast<int>(ParseInteger(designation.substr(1), "a control id")), designation);
  const size_t colon = designation.find(':');
  if (colon == std::string::npos) throw DriverError("unknown control " + designation);
  ChildSearch search{Utf8ToWide(designation.substr(0, colon)), Utf8ToWide(designation.substr(colon + 1)), colon + 1 == designation.size(),
                     nullptr};
  EnumChildWindows(mainWindow, MatchChild, reinterpret_cast<LPARAM>(&search));
  if (search.found == nullptr) throw DriverError("no control " + designation);
  return search.found;
}

RECT RectInClient(HWND mainWindow, HWND wnd) {
  RECT rect = {};
  if (wnd == mainWindow) {
    GetClientRect(mainWindow, &rect);
    return rect;
  }
  GetWindowRect(wnd, &rect);
  MapWindowPoints(HWND_DESKTOP, mainWindow, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

LRESULT SendBounded(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam, DWORD timeoutMs) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(wnd, message, wParam, lParam, SMTO_NORMAL, timeoutMs, &result)) {
    throw DriverError("the program did not answer within " + std::to_string(timeoutMs) + " ms");
  }
  return static_cast<LRESULT>(result);
}

std::vector<std::wstring> ComboItems(HWND combo, DWORD timeoutMs) {
  const LRESULT count = SendBounded(combo, CB_GETCOUNT, 0, 0, timeoutMs);
  if (count == CB_ERR) throw DriverError("not a list");
  std::vector<std::wstring> items;
  for (LRESULT i = 0; i < count; ++i) {
    const LRESULT length = SendBounded(combo, CB_GETLBTEXTLEN, i, 0, timeoutMs);
    std::wstring text(length > 0 ? static_cast<size_t>(length) + 1 : 1, L'\0');
    const LRESULT copied = SendBounded(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(&text[0]), timeoutMs);
    text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    items.push_back(text);
  }
  return items;
}

int ComboItemIndex(HWND combo, const std::string& item, DWORD timeoutMs) {
  const auto items = ComboItems(combo, timeoutMs);
  const std::wstring wide = Utf8ToWide(item);
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i] == wide) return static_cast<int>(i);
  }
  const long index = ParseInteger(item, "an item (its index or its text)");
  if (index < 0 || index >= static_cast<long>(items.size())) {
    throw DriverError("no item " + item + " in a list of " + std::to_string(items.size()));
  }
  return static_cast<int>(index);
}

HWND DroppedList(HWND combo) {
  ListSearch search{GetWindowThreadProcessId(combo, nullptr), nullptr};
  EnumWindows(MatchDroppedList, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace uidriver
