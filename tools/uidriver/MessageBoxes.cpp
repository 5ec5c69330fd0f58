#include "MessageBoxes.h"

#include "CommandLine.h"
#include "Program.h"

namespace uidriver {

namespace {

const struct {
  int id;
  const char* name;
} kButtonNames[] = {
    {IDOK, "OK"},        {IDCANCEL, "Cancel"}, {IDABORT, "Abort"},       {IDRETRY, "Retry"},
    {IDIGNORE, "Ignore"}, {IDYES, "Yes"},       {IDNO, "No"},             {IDCLOSE, "Close"},
    {IDHELP, "Help"},     {IDTRYAGAIN, "TryAgain"}, {IDCONTINUE, "Continue"},
};

BOOL CALLBACK CollectButton(HWND child, LPARAM param) {
  if (!IsWindowVisible(child) || !HasClass(child, L"Button")) return TRUE;
  reinterpret_cast<std::vector<BoxButton>*>(param)->push_back(BoxButton{GetDlgCtrlID(child), WindowText(child)});
  return TRUE;
}

}  // namespace

std::vector<BoxButton> BoxButtons(HWND box) {
  std::vector<BoxButton> buttons;
  EnumChildWindows(box, CollectButton, reinterpret_cast<LPARAM>(&buttons));
  return buttons;
}

std::wstring BoxText(HWND box) {
  HWND text = GetDlgItem(box, 0xFFFF);
  return text == nullptr ? std::wstring() : WindowText(text);
}

std::string ButtonName(int id) {
  for (const auto& entry : kButtonNames) {
    if (entry.id == id) return entry.name;
  }
  return std::to_string(id);
}

int ButtonId(const std::string& nameOrNumber) {
  for (const auto& entry : kButtonNames) {
    if (lstrcmpiA(entry.name, nameOrNumber.c_str()) == 0) return entry.id;
  }
  return static_cast<int>(ParseInteger(nameOrNumber, "a button (OK, Cancel, Yes, ... or its id)"));
}

const char* IconName(BoxIcon icon) {
  switch (icon) {
    case kIconNone: return "none";
    case kIconWarning: return "warning";
    case kIconInformation: return "information";
    case kIconQuestion: return "question";
    case kIconError: return "error";
    default: return "other";
  }
}

}  // namespace uidriver
