// The program's message boxes: system dialogs of class #32770.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "HookProtocol.h"

namespace uidriver {

struct BoxButton {
  int id;
  std::wstring text;
};

// The visible buttons of a box in the order the box holds them.
std::vector<BoxButton> BoxButtons(HWND box);
// The message text of a box (its static with id 0xFFFF).
std::wstring BoxText(HWND box);

// Name of a button identifier (IDOK "OK", IDCANCEL "Cancel", ...), and the
// identifier of a name or a number; raises for neither.
std::string ButtonName(int id);
int ButtonId(const std::string& nameOrNumber);

const char* IconName(BoxIcon icon);

}  // namespace uidriver
