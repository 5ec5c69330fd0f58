#include "Session.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "CommandLine.h"
#include "Controls.h"
#include "MessageBoxes.h"
#include "Screen.h"
#include "WideText.h"

namespace uidriver {

namespace {

constexpr DWORD kDefaultTimeoutMs = 5000;
// How long a single question to the program may take (reading a text, a
// selection): it answers at once unless its thread is stuck.
constexpr DWORD kAnswerTimeoutMs = 2000;
// How long a click or a drop waits for its window to be enabled again.
constexpr DWORD kEnableTimeoutMs = 1000;
const wchar_t kMainClass[] = L"TForm1";
const wchar_t kBoxClass[] = L"#32770";
const wchar_t kTooltipClass[] = L"tooltips_class32";
const wchar_t kDefaultProgram[] = L"ZEFA1ID.exe";

JsonArray RectArray(const RECT& r) {
  JsonArray a;
  a.AddInt(r.left).AddInt(r.top).AddInt(r.right - r.left).AddInt(r.bottom - r.top);
  return a;
}

std::string Hex32(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value));
  return text;
}

// A COLORREF (0x00BBGGRR) as "rrggbb", the form of the pixels command.
std::string RgbHex(COLORREF colour) {
  char text[8];
  std::snprintf(text, sizeof text, "%02x%02x%02x", GetRValue(colour), GetGValue(colour), GetBValue(colour));
  return text;
}

std::string PixelsHex(const std::vector<uint32_t>& pixels) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(pixels.size() * 6);
  for (const uint32_t p : pixels) {
    for (int shift = 20; shift >= 0; shift -= 4) hex += digits[(p >> shift) & 0xF];
  }
  return hex;
}

bool AllPainted(HWND wnd) {
  if (GetUpdateRect(wnd, nullptr, FALSE)) return false;
  for (HWND child = GetWindow(wnd, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    if (IsWindowVisible(child) && !AllPainted(child)) return false;
  }
  return true;
}

// A point of the main window's own background: inside its client area, on
// no control and outside the rectangle to avoid (screen coordinates).
POINT BackgroundPoint(HWND mainWindow, const RECT& avoid) {
  RECT client;
  GetClientRect(mainWindow, &client);
  for (LONG y = client.bottom - 3; y >= client.top + 2; y -= 3) {
    for (LONG x = client.left + 2; x < client.right - 2; x += 3) {
      POINT point = {x, y};
      if (ChildWindowFromPointEx(mainWindow, point, CWP_SKIPINVISIBLE) != mainWindow) continue;
      ClientToScreen(mainWindow, &point);
      if (PtInRect(&avoid, point)) continue;
      return point;
    }
  }
  throw DriverError("the main window shows no free background to click on");
}

}  // namespace

double NowMs() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

const std::string& Args::Text(size_t i, const char* what) const {
  if (!Has(i)) throw DriverError(FCommand + ": missing " + what);
  return FWords[i];
}

long Args::Int(size_t i, const char* what) const { return ParseInteger(Text(i, what), what); }

DWORD Args::TimeoutMs(size_t i, DWORD defaultMs) const {
  if (!Has(i)) return defaultMs;
  const long ms = Int(i, "time-out (ms)");
  if (ms < 0) throw DriverError(FCommand + ": a time-out cannot be negative");
  return static_cast<DWORD>(ms);
}

void Args::AtMost(size_t count) const {
  if (FWords.size() > count) throw DriverError(FCommand + ": too many arguments");
}

Session::Session() {
  FCommands = {
      {"launch", {&Session::Launch, "launch PATH [ARG...]   start the program; it ends with the driver"}},
      {"attach", {&Session::Attach, "attach [EXE] [MS]      drive the running program of that file name (ZEFA1ID.exe)"}},
      {"wait-main", {&Session::WaitMain, "wait-main [MS]         until the main window is shown"}},
      {"wait-exit", {&Session::WaitExit, "wait-exit [MS]         until the program has ended; its exit code"}},
      {"kill", {&Session::Kill, "kill                   end the program at once"}},
      {"window", {&Session::WindowInfo, "window                 the main window: caption, style, position, client size"}},
      {"close", {&Session::CloseBox, "close                  the main window's close box"}},
      {"windows", {&Session::TopWindows, "windows                every top-level window: styles, owner, task-bar button"}},
      {"end-session", {&Session::EndSession, "end-session [MS]       ask every window to let the session end, then tell them"}},
      {"control", {&Session::ControlInfo, "control CTRL           class, text, id, position and size, state"}},
      {"font", {&Session::Font, "font CTRL              face, height, weight, charset of its font"}},
      {"click", {&Session::Click, "click CTRL             press a button (posted: never waits for its handler)"}},
      {"click-then", {&Session::ClickThen, "click-then CTRL ACTION [ARG]  press CTRL and post ACTION behind it: click CTRL2, close, close-up LIST"}},
      {"mouse-click", {&Session::MouseClick, "mouse-click CTRL|X Y   a real left click on a control or a client point"}},
      {"pixels", {&Session::Pixels, "pixels CTRL [X Y W H]  colours shown in a client rectangle, rrggbb per pixel"}},
      {"ping", {&Session::Ping, "ping [MS]              the main window answers a message within MS"}},
      {"repaint", {&Session::Repaint, "repaint CTRL [MS]      invalidate, then wait until it has been painted again"}},
      {"children", {&Session::Children, "children               the main window's controls in z-order (the tab order)"}},
      {"hints", {&Session::Hints, "hints                  every tooltip text of the program and its control"}},
      {"mouse-move", {&Session::MouseMove, "mouse-move CTRL|X Y    rest the pointer on a control or a client point"}},
      {"mouse-park", {&Session::MousePark, "mouse-park             rest the pointer in a corner, off the program"}},
      {"wait-tooltip", {&Session::WaitTooltip, "wait-tooltip [MS]      until a tooltip shows; its text"}},
      {"items", {&Session::Items, "items CTRL             a list's items, selection and item heights"}},
      {"selection", {&Session::Selection, "selection CTRL         a list's selected index and text"}},
      {"set-selection", {&Session::SetSelection, "set-selection CTRL N   select item N without a close-up"}},
      {"drop", {&Session::Drop, "drop CTRL              drop a list down; what it shows"}},
      {"pick", {&Session::Pick, "pick CTRL ITEM         click an item of the dropped list (index or text)"}},
      {"escape", {&Session::Escape, "escape CTRL            close the dropped list with Escape"}},
      {"click-away", {&Session::ClickAway, "click-away CTRL        close the dropped list by a click elsewhere"}},
      {"choose", {&Session::Choose, "choose CTRL ITEM       drop the list and click ITEM: a close-up"}},
      {"wait-box", {&Session::WaitBox, "wait-box [MS]          until a message box is up; caption, text, icon, buttons"}},
      {"box", {&Session::CurrentBox, "box                    the message box that is up now"}},
      {"press", {&Session::Press, "press BUTTON [MS]      press OK, Cancel, Yes, ... of the box; wait until it closes"}},
      {"expect-no-box", {&Session::ExpectNoBox, "expect-no-box MS       fail if a message box comes up within MS"}},
      {"sleep", {&Session::SleepFor, "sleep MS"}},
      {"help", {&Session::Help, "help                   this list"}},
      {"quit", {&Session::Quit, "quit                   end the session (and a program it started)"}},
  };
}

std::string Session::Run(const std::vector<std::string>& words) {
  if (words.empty()) return JsonObject().SetBool("ok", false).SetText("error", "empty command").Text();
  const auto command = FCommands.find(words[0]);
  if (command == FCommands.end()) {
    return JsonObject().SetBool("ok", false).SetText("error", "unknown command " + words[0] + " (try help)").Text();
  }
  try {
    const Args args(words[0], std::vector<std::string>(words.begin() + 1, words.end()));
    const JsonObject result = (this->*command->second.handler)(args);
    return JsonObject().SetBool("ok", true).Merge(result).Text();
  } catch (const std::exception& error) {
    return JsonObject().SetBool("ok", false).SetText("error", words[0] + ": " + error.what()).Text();
  }
}

template <class Ready>
void Session::WaitUntil(DWORD timeoutMs, const std::string& what, Ready ready, bool programMayEnd) {
  const double start = NowMs();
  while (true) {
    if (ready()) return;
    if (!programMayEnd && FProgram.Known() && !FProgram.Running()) {
      throw DriverError("the program ended (exit code " + std::to_string(FProgram.ExitCode()) + ") while waiting for " +
                        what);
    }
    if (NowMs() - start >= timeoutMs) {
      throw DriverError("time-out: no " + what + " within " + std::to_string(timeoutMs) + " ms");
    }
    Sleep(1);
  }
}

Program& Session::EnsureProgram() {
  if (!FProgram.Known() && !FProgram.TryAttach(kDefaultProgram)) {
    throw DriverError("no program: launch one, or start ZEFA1ID.exe");
  }
  return FProgram;
}

HWND Session::MainWindow() {
  HWND main = EnsureProgram().FindVisibleWindow(kMainClass);
  if (main == nullptr) throw DriverError("the main window is not shown");
  return main;
}

HWND Session::Control(const Args& args, size_t i) { return FindControl(MainWindow(), args.Text(i, "control")); }

// The box the user faces: a modal box disables the boxes below it, so the
// foremost enabled one.
HWND Session::TopBox() {
  const auto boxes = EnsureProgram().VisibleWindows(kBoxClass);
  for (HWND box : boxes) {
    if (IsWindowEnabled(box)) return box;
  }
  return boxes.empty() ? nullptr : boxes.front();
}

HWND Session::WaitForBox(DWORD timeoutMs) {
  HWND box = nullptr;
  WaitUntil(timeoutMs, "message box", [&] { return (box = TopBox()) != nullptr; });
  return box;
}

// ---- The program

JsonObject Session::Launch(const Args& args) {
  const std::wstring path = Utf8ToWide(args.Text(0, "program path"));
  std::vector<std::wstring> programArgs;
  for (size_t i = 1; i < args.Count(); ++i) programArgs.push_back(Utf8ToWide(args.Text(i, "argument")));
  FQueries.Unhook();
  FProgram.Launch(path, programArgs);
  FLastClickMs = -1;
  return JsonObject().SetInt("pid", FProgram.ProcessId());
}

JsonObject Session::Attach(const Args& args) {
  args.AtMost(2);
  const std::wstring name = args.Has(0) ? Utf8ToWide(args.Text(0, "file name")) : std::wstring(kDefaultProgram);
  FQueries.Unhook();
  WaitUntil(args.TimeoutMs(1, kDefaultTimeoutMs), "running " + WideToUtf8(name),
            [&] { return FProgram.TryAttach(name); });
  return JsonObject().SetInt("pid", FProgram.ProcessId());
}

JsonObject Session::WaitMain(const Args& args) {
  args.AtMost(1);
  EnsureProgram();
  HWND main = nullptr;
  WaitUntil(args.TimeoutMs(0, kDefaultTimeoutMs), "main window",
            [&] { return (main = FProgram.FindVisibleWindow(kMainClass)) != nullptr; });
  return JsonObject().SetText("caption", WindowText(main));
}

JsonObject Session::WaitExit(const Args& args) {
  args.AtMost(1);
  EnsureProgram();
  WaitUntil(args.TimeoutMs(0, kDefaultTimeoutMs), "end of the program", [&] { return !FProgram.Running(); }, true);
  return JsonObject().SetInt("exit_code", FProgram.ExitCode());
}

JsonObject Session::Kill(const Args& args) {
  args.AtMost(0);
  EnsureProgram().Kill();
  return JsonObject().SetInt("exit_code", FProgram.ExitCode());
}

// ---- The main window and its controls

JsonObject Session::WindowInfo(const Args& args) {
  args.AtMost(0);
  HWND main = MainWindow();
  RECT outer, client;
  GetWindowRect(main, &outer);
  GetClientRect(main, &client);
  POINT origin = {0, 0};
  ClientToScreen(main, &origin);
  const DWORD style = static_cast<DWORD>(GetWindowLongW(main, GWL_STYLE));
  return JsonObject()
      .SetText("caption", WindowText(main))
      .SetText("class", ClassOf(main))
      .SetText("style", Hex32(style))
      .SetText("exstyle", Hex32(static_cast<DWORD>(GetWindowLongW(main, GWL_EXSTYLE))))
      .SetArray("client_size", JsonArray().AddInt(client.right).AddInt(client.bottom))
      .SetArray("window", RectArray(outer))
      .SetArray("client_origin", JsonArray().AddInt(origin.x).AddInt(origin.y))
      .SetBool("enabled", IsWindowEnabled(main) != FALSE)
      .SetBool("scroll_bars", (style & (WS_HSCROLL | WS_VSCROLL)) != 0)
      .SetText("button_face", RgbHex(GetSysColor(COLOR_BTNFACE)));
}

JsonObject Session::CloseBox(const Args& args) {
  args.AtMost(0);
  // What a click on the close box sends; posted, since closing may run
  // handlers that show boxes.
  if (!PostMessageW(MainWindow(), WM_SYSCOMMAND, SC_CLOSE, 0)) throw DriverError("cannot post SC_CLOSE");
  return JsonObject();
}

namespace {

// The shell's rule: a visible window has a task-bar button when it asks
// for one, or when it is unowned and no tool window.
bool HasTaskbarButton(HWND wnd) {
  if (!IsWindowVisible(wnd)) return false;
  const DWORD exStyle = static_cast<DWORD>(GetWindowLongW(wnd, GWL_EXSTYLE));
  if ((exStyle & WS_EX_APPWINDOW) != 0) return true;
  return GetWindow(wnd, GW_OWNER) == nullptr && (exStyle & WS_EX_TOOLWINDOW) == 0;
}

// The caption the system keeps: asks the program nothing, so it answers
// even while the program is busy.
std::wstring KeptCaption(HWND wnd) {
  wchar_t text[512];
  const int n = GetWindowTextW(wnd, text, 512);
  return std::wstring(text, n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace

JsonObject Session::TopWindows(const Args& args) {
  args.AtMost(0);
  JsonArray windows;
  JsonArray buttons;
  for (HWND wnd : EnsureProgram().Windows(nullptr)) {
    HWND owner = GetWindow(wnd, GW_OWNER);
    const bool button = HasTaskbarButton(wnd);
    if (button) buttons.AddText(KeptCaption(wnd));
    windows.AddObject(JsonObject()
                          .SetText("class", ClassOf(wnd))
                          .SetText("caption", KeptCaption(wnd))
                          .SetBool("visible", IsWindowVisible(wnd) != FALSE)
                          .SetBool("enabled", IsWindowEnabled(wnd) != FALSE)
                          .SetText("style", Hex32(static_cast<DWORD>(GetWindowLongW(wnd, GWL_STYLE))))
                          .SetText("exstyle", Hex32(static_cast<DWORD>(GetWindowLongW(wnd, GWL_EXSTYLE))))
                          .SetText("owner_class", owner == nullptr ? std::wstring() : ClassOf(owner))
                          .SetBool("taskbar", button));
  }
  return JsonObject().SetArray("windows", windows).SetArray("taskbar", buttons);
}

JsonObject Session::EndSession(const Args& args) {
  args.AtMost(1);
  const DWORD timeoutMs = args.TimeoutMs(0, kDefaultTimeoutMs);
  // As the system does: every top-level window is asked, then every one is
  // told whether the session ends. A program that agreed would then be
  // ended by the system; the driver leaves that to its caller.
  const auto windows = EnsureProgram().Windows(nullptr);
  bool agreed = true;
  JsonArray refusedBy;
  for (HWND wnd : windows) {
    DWORD_PTR answer = TRUE;
    if (!SendMessageTimeoutW(wnd, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, timeoutMs, &answer)) {
      if (!IsWindow(wnd)) continue;
      throw DriverError(WideToUtf8(ClassOf(wnd)) + " gave no answer to WM_QUERYENDSESSION within " +
                        std::to_string(timeoutMs) + " ms");
    }
    if (answer == FALSE) {
      agreed = false;
      refusedBy.AddText(ClassOf(wnd));
    }
  }
  for (HWND wnd : windows) {
    DWORD_PTR ignored = 0;
    if (IsWindow(wnd)) SendMessageTimeoutW(wnd, WM_ENDSESSION, agreed ? TRUE : FALSE, 0, SMTO_NORMAL, timeoutMs, &ignored);
  }
  return JsonObject().SetBool("agreed", agreed).SetArray("refused_by", refusedBy);
}

JsonObject Session::ControlInfo(const Args& args) {
  args.AtMost(1);
  HWND main = MainWindow();
  HWND control = Control(args, 0);
  return JsonObject()
      .SetInt("id", GetDlgCtrlID(control))
      .SetText("class", ClassOf(control))
      .SetText("text", WindowText(control))
      .SetArray("rect", RectArray(RectInClient(main, control)))
      .SetText("style", Hex32(static_cast<DWORD>(GetWindowLongW(control, GWL_STYLE))))
      .SetBool("visible", IsWindowVisible(control) != FALSE)
      .SetBool("enabled", IsWindowEnabled(control) != FALSE);
}

JsonObject Session::Font(const Args& args) {
  args.AtMost(1);
  const FontFacts facts = FQueries.Font(Control(args, 0), kAnswerTimeoutMs);
  return JsonObject()
      .SetText("face", std::wstring(facts.font.lfFaceName))
      .SetInt("height", facts.font.lfHeight)
      .SetInt("weight", facts.font.lfWeight)
      .SetInt("charset", facts.font.lfCharSet)
      .SetBool("italic", facts.font.lfItalic != 0)
      .SetBool("default", facts.isDefault);
}

void Session::RequireEnabled(HWND main, HWND control, const std::string& refusal) {
  // A person cannot work a control of a disabled window (a modal box up);
  // a window enabled again just after its box closed is waited for.
  try {
    WaitUntil(kEnableTimeoutMs, "enabled window", [&] { return IsWindowEnabled(main) && IsWindowEnabled(control); });
  } catch (const DriverError&) {
    throw DriverError(refusal + ": its window is disabled");
  }
}

JsonObject Session::Click(const Args& args) {
  args.AtMost(1);
  HWND main = MainWindow();
  HWND button = Control(args, 0);
  RequireEnabled(main, button, args.Text(0, "control") + " cannot be pressed");
  // Posted: the handler may show a modal box, and the driver must go on.
  if (!PostMessageW(button, BM_CLICK, 0, 0)) throw DriverError("cannot post the click");
  FLastClickMs = NowMs();
  return JsonObject();
}

// Two actions that reach the program's queue together: the second is
// handled only once the first button's handler lets the queue be served,
// however loaded the machine is.
JsonObject Session::ClickThen(const Args& args) {
  args.AtMost(3);
  HWND main = MainWindow();
  HWND button = Control(args, 0);
  const std::string action = args.Text(1, "action");
  HWND target = main;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  if (action == "click") {
    target = Control(args, 2);
    RequireEnabled(main, target, args.Text(2, "control") + " cannot be pressed");
    message = BM_CLICK;
  } else if (action == "close") {
    args.AtMost(2);
    message = WM_SYSCOMMAND;
    wParam = SC_CLOSE;
  } else if (action == "close-up") {
    // What a list sends its window when it closes, on its current selection.
    HWND list = Control(args, 2);
    message = WM_COMMAND;
    wParam = MAKEWPARAM(GetDlgCtrlID(list), CBN_CLOSEUP);
    lParam = reinterpret_cast<LPARAM>(list);
  } else {
    throw DriverError("unknown action " + action + " (click CTRL, close, close-up LIST)");
  }
  RequireEnabled(main, button, args.Text(0, "control") + " cannot be pressed");
  if (!PostMessageW(button, BM_CLICK, 0, 0)) throw DriverError("cannot post the click");
  FLastClickMs = NowMs();
  if (!PostMessageW(target, message, wParam, lParam)) throw DriverError("cannot post " + action);
  return JsonObject();
}

// A screen point given as a control (its centre) or as X Y in client
// coordinates of the main window.
POINT Session::ClientPoint(const Args& args) {
  args.AtMost(2);
  HWND main = MainWindow();
  POINT point;
  if (args.Count() == 2) {
    point = {args.Int(0, "x"), args.Int(1, "y")};
  } else {
    const RECT rect = RectInClient(main, Control(args, 0));
    point = {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
  }
  ClientToScreen(main, &point);
  return point;
}

JsonObject Session::MouseClick(const Args& args) {
  ClickAt(ClientPoint(args));
  FLastClickMs = NowMs();
  return JsonObject();
}

JsonObject Session::MouseMove(const Args& args) {
  const POINT point = ClientPoint(args);
  // Two moves: a tooltip counts its delay from the pointer's arrival.
  if (!SetCursorPos(point.x + 1, point.y) || !SetCursorPos(point.x, point.y)) {
    throw DriverError("cannot move the pointer");
  }
  return JsonObject();
}

// Where the pointer rests matters: a list dropped under it takes the item
// there as a choice, and a control under it shows its hint.
void Session::ParkPointer(const std::vector<RECT>& alsoAvoid) {
  std::vector<RECT> avoid = alsoAvoid;
  if (FProgram.Known()) {
    for (HWND window : FProgram.VisibleWindows(kMainClass)) {
      RECT rect;
      GetWindowRect(window, &rect);
      avoid.push_back(rect);
    }
  }
  MovePointer(CornerOutside(avoid));
}

JsonObject Session::MousePark(const Args& args) {
  args.AtMost(0);
  ParkPointer({});
  POINT at;
  GetCursorPos(&at);
  return JsonObject().SetArray("pointer", JsonArray().AddInt(at.x).AddInt(at.y));
}

JsonObject Session::WaitTooltip(const Args& args) {
  args.AtMost(1);
  EnsureProgram();
  HWND tip = nullptr;
  WaitUntil(args.TimeoutMs(0, kDefaultTimeoutMs), "tooltip",
            [&] { return (tip = FProgram.FindVisibleWindow(kTooltipClass)) != nullptr; });
  return JsonObject().SetText("text", WindowText(tip));
}

JsonObject Session::Hints(const Args& args) {
  args.AtMost(0);
  HWND main = MainWindow();
  JsonArray hints;
  for (HWND tooltip : FProgram.Windows(kTooltipClass)) {
    for (const ToolFacts& tool : FQueries.Tools(tooltip, kAnswerTimeoutMs)) {
      // A tool named by its window (TTF_IDISHWND) or a rectangle of one.
      const HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(
          (tool.flags & TTF_IDISHWND) != 0 ? tool.id : tool.window));
      hints.AddObject(JsonObject()
                          .SetInt("id", window == main ? 0 : GetDlgCtrlID(window))
                          .SetText("class", ClassOf(window))
                          .SetText("text", std::wstring(tool.text)));
    }
  }
  return JsonObject().SetArray("hints", hints);
}

JsonObject Session::Children(const Args& args) {
  args.AtMost(0);
  JsonArray children;
  for (HWND child = GetWindow(MainWindow(), GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    const auto style = static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE));
    children.AddObject(JsonObject()
                           .SetInt("id", GetDlgCtrlID(child))
                           .SetText("class", ClassOf(child))
                           .SetBool("tabstop", (style & WS_TABSTOP) != 0)
                           .SetBool("visible", (style & WS_VISIBLE) != 0));
  }
  return JsonObject().SetArray("children", children);
}

JsonObject Session::Pixels(const Args& args) {
  args.AtMost(5);
  HWND main = MainWindow();
  HWND target = Control(args, 0);
  RECT rect;
  GetClientRect(target, &rect);
  if (args.Count() == 5) {
    rect.left = args.Int(1, "x");
    rect.top = args.Int(2, "y");
    rect.right = rect.left + args.Int(3, "width");
    rect.bottom = rect.top + args.Int(4, "height");
  } else if (args.Count() != 1) {
    throw DriverError("give a control alone or with X Y W H");
  }
  MapWindowPoints(target, HWND_DESKTOP, reinterpret_cast<POINT*>(&rect), 2);
  // What the screen shows is only the window's if nothing covers it.
  if (!IsWindowEnabled(main)) throw DriverError("the main window is disabled (a message box is up)");
  const auto pixels = CapturePixels(rect);
  return JsonObject()
      .SetInt("width", rect.right - rect.left)
      .SetInt("height", rect.bottom - rect.top)
      .SetText("rgb", PixelsHex(pixels));
}

JsonObject Session::Ping(const Args& args) {
  args.AtMost(1);
  HWND main = MainWindow();
  const double start = NowMs();
  SendBounded(main, WM_NULL, 0, 0, args.TimeoutMs(0, kAnswerTimeoutMs));
  return JsonObject().SetNumber("ms", NowMs() - start);
}

JsonObject Session::Repaint(const Args& args) {
  args.AtMost(2);
  HWND target = Control(args, 0);
  const double start = NowMs();
  RedrawWindow(target, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
  // The update region empties only when the program's thread paints.
  WaitUntil(args.TimeoutMs(1, kAnswerTimeoutMs), "repaint", [&] { return AllPainted(target); });
  return JsonObject().SetNumber("ms", NowMs() - start);
}

// ---- Drop-down lists

JsonObject Session::Items(const Args& args) {
  args.AtMost(1);
  HWND combo = Control(args, 0);
  JsonArray texts;
  const auto items = ComboItems(combo, kAnswerTimeoutMs);
  for (const auto& item : items) texts.AddText(item);
  return JsonObject()
      .SetInt("count", static_cast<int64_t>(items.size()))
      .SetArray("items", texts)
      .SetInt("selected", SendBounded(combo, CB_GETCURSEL, 0, 0, kAnswerTimeoutMs))
      .SetInt("item_height", SendBounded(combo, CB_GETITEMHEIGHT, 0, 0, kAnswerTimeoutMs))
      .SetInt("field_height", SendBounded(combo, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0, kAnswerTimeoutMs))
      .SetBool("dropped", SendBounded(combo, CB_GETDROPPEDSTATE, 0, 0, kAnswerTimeoutMs) != 0);
}

JsonObject Session::Selection(const Args& args) {
  args.AtMost(1);
  HWND combo = Control(args, 0);
  const LRESULT index = SendBounded(combo, CB_GETCURSEL, 0, 0, kAnswerTimeoutMs);
  const auto items = ComboItems(combo, kAnswerTimeoutMs);
  const bool valid = index >= 0 && static_cast<size_t>(index) < items.size();
  return JsonObject().SetInt("index", index).SetText("text", valid ? items[static_cast<size_t>(index)] : std::wstring());
}

JsonObject Session::SetSelection(const Args& args) {
  args.AtMost(2);
  HWND combo = Control(args, 0);
  const long index = args.Int(1, "index");
  SendBounded(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0, kAnswerTimeoutMs);
  return JsonObject().SetInt("index", SendBounded(combo, CB_GETCURSEL, 0, 0, kAnswerTimeoutMs));
}

// A list dropped under the pointer selects the item there (and Escape
// keeps it under Wine): the pointer first leaves every place where the list
// may open, below or above the control.
void Session::ParkPointerOffList(HWND combo) {
  RECT column;
  GetWindowRect(combo, &column);
  const LRESULT droppedWidth = SendBounded(combo, CB_GETDROPPEDWIDTH, 0, 0, kAnswerTimeoutMs);
  column.right = std::max<LONG>(column.right, column.left + static_cast<LONG>(std::max<LRESULT>(droppedWidth, 0)));
  column.top = 0;
  column.bottom = GetSystemMetrics(SM_CYSCREEN);
  ParkPointer({column});
}

JsonObject Session::Drop(const Args& args) {
  args.AtMost(1);
  HWND main = MainWindow();
  HWND combo = Control(args, 0);
  RequireEnabled(main, combo, args.Text(0, "control") + " cannot be dropped");
  ParkPointerOffList(combo);
  SendBounded(combo, CB_SHOWDROPDOWN, TRUE, 0, kAnswerTimeoutMs);
  HWND list = nullptr;
  WaitUntil(kAnswerTimeoutMs, "dropped list", [&] { return (list = DroppedList(combo)) != nullptr; });
  RECT listRect;
  POINT pointer;
  GetWindowRect(list, &listRect);
  if (GetCursorPos(&pointer) && PtInRect(&listRect, pointer)) {
    throw DriverError("the pointer rests on the dropped list");
  }
  RECT client;
  GetClientRect(list, &client);
  const LRESULT itemHeight = SendBounded(list, LB_GETITEMHEIGHT, 0, 0, kAnswerTimeoutMs);
  const LRESULT count = SendBounded(list, LB_GETCOUNT, 0, 0, kAnswerTimeoutMs);
  const LRESULT top = SendBounded(list, LB_GETTOPINDEX, 0, 0, kAnswerTimeoutMs);
  const LONG fits = itemHeight > 0 ? client.bottom / static_cast<LONG>(itemHeight) : 0;
  const LRESULT visible = std::min<LRESULT>(fits, count - top);
  return JsonObject()
      .SetInt("visible_items", visible)
      .SetInt("count", count)
      .SetInt("top_index", top)
      .SetInt("item_height", itemHeight)
      .SetArray("list", RectArray(RectInClient(main, list)));
}

HWND Session::RequireDropped(HWND combo) {
  HWND list = DroppedList(combo);
  if (list == nullptr || SendBounded(combo, CB_GETDROPPEDSTATE, 0, 0, kAnswerTimeoutMs) == 0) {
    throw DriverError("the list is not dropped");
  }
  return list;
}

JsonObject Session::AwaitCloseUp(HWND combo) {
  WaitUntil(kAnswerTimeoutMs, "close-up",
            [&] { return SendBounded(combo, CB_GETDROPPEDSTATE, 0, 0, kAnswerTimeoutMs) == 0; });
  return JsonObject().SetInt("index", SendBounded(combo, CB_GETCURSEL, 0, 0, kAnswerTimeoutMs));
}

JsonObject Session::Pick(const Args& args) {
  args.AtMost(2);
  HWND combo = Control(args, 0);
  HWND list = RequireDropped(combo);
  const int index = ComboItemIndex(combo, args.Text(1, "item"), kAnswerTimeoutMs);
  // Scrolled into view first, as a person would with the scroll bar.
  RECT item = {};
  RECT client;
  GetClientRect(list, &client);
  SendBounded(list, LB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&item), kAnswerTimeoutMs);
  if (item.top < 0 || item.bottom > client.bottom) {
    SendBounded(list, LB_SETTOPINDEX, index, 0, kAnswerTimeoutMs);
    SendBounded(list, LB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&item), kAnswerTimeoutMs);
  }
  POINT centre = {(item.left + item.right) / 2, (item.top + item.bottom) / 2};
  ClientToScreen(list, &centre);
  ClickAt(centre);
  return AwaitCloseUp(combo);
}

JsonObject Session::Escape(const Args& args) {
  args.AtMost(1);
  HWND combo = Control(args, 0);
  RequireDropped(combo);
  PostMessageW(combo, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
  PostMessageW(combo, WM_KEYUP, VK_ESCAPE, 0xC0010001);
  return AwaitCloseUp(combo);
}

JsonObject Session::ClickAway(const Args& args) {
  args.AtMost(1);
  HWND combo = Control(args, 0);
  HWND list = RequireDropped(combo);
  RECT listRect;
  GetWindowRect(list, &listRect);
  ClickAt(BackgroundPoint(MainWindow(), listRect));
  return AwaitCloseUp(combo);
}

JsonObject Session::Choose(const Args& args) {
  args.AtMost(2);
  const std::string control = args.Text(0, "control");
  Drop(Args("drop", {control}));
  return Pick(Args("pick", {control, args.Text(1, "item")}));
}

// ---- Message boxes

JsonObject Session::DescribeBox(HWND box) {
  JsonArray buttons;
  for (const auto& button : BoxButtons(box)) {
    buttons.AddObject(JsonObject().SetInt("id", button.id).SetText("name", ButtonName(button.id)).SetText("text", button.text));
  }
  HWND owner = GetWindow(box, GW_OWNER);
  JsonObject info;
  info.SetText("caption", WindowText(box))
      .SetText("text", BoxText(box))
      .SetText("icon", IconName(FQueries.Icon(box, kAnswerTimeoutMs)))
      .SetArray("buttons", buttons)
      .SetText("owner_class", owner == nullptr ? std::wstring() : ClassOf(owner))
      .SetText("owner_caption", owner == nullptr ? std::wstring() : WindowText(owner))
      .SetBool("main_visible", FProgram.FindVisibleWindow(kMainClass) != nullptr)
      .SetInt("boxes", static_cast<int64_t>(FProgram.VisibleWindows(kBoxClass).size()));
  return info;
}

JsonObject Session::WaitBox(const Args& args) {
  args.AtMost(1);
  HWND box = WaitForBox(args.TimeoutMs(0, kDefaultTimeoutMs));
  // Time the box's arrival before the questions that describe it.
  const double arrivedMs = NowMs();
  JsonObject info = DescribeBox(box);
  if (FLastClickMs >= 0) info.SetNumber("click_to_box_ms", arrivedMs - FLastClickMs);
  return info;
}

JsonObject Session::CurrentBox(const Args& args) {
  args.AtMost(0);
  HWND box = TopBox();
  if (box == nullptr) throw DriverError("no message box is up");
  return DescribeBox(box);
}

JsonObject Session::Press(const Args& args) {
  args.AtMost(2);
  const int id = ButtonId(args.Text(0, "button"));
  const DWORD timeoutMs = args.TimeoutMs(1, kDefaultTimeoutMs);
  HWND box = WaitForBox(timeoutMs);
  JsonObject info = DescribeBox(box);
  HWND button = GetDlgItem(box, id);
  if (button == nullptr || !IsWindowVisible(button)) {
    throw DriverError("the box has no button " + args.Text(0, "button"));
  }
  HWND owner = GetWindow(box, GW_OWNER);
  // What a click on the button sends its box; posted, for the program may
  // show its next box at once.
  if (!PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button))) {
    throw DriverError("cannot post the press");
  }
  // Help leaves the box up; every other button closes it.
  if (id != IDHELP) {
    WaitUntil(timeoutMs, "closing of the box", [&] { return !IsWindow(box) || !IsWindowVisible(box); }, true);
    // Back in a message loop, the program has finished with the box (its
    // windows are enabled again) and goes on with what follows it.
    // A program that ends, or drops the owner, has finished with it too.
    DWORD_PTR ignored = 0;
    if (owner != nullptr && !SendMessageTimeoutW(owner, WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs, &ignored) &&
        GetLastError() == ERROR_TIMEOUT && IsWindow(owner)) {
      throw DriverError("the program did not go on within " + std::to_string(timeoutMs) + " ms of the box closing");
    }
  }
  return info.SetText("pressed", ButtonName(id));
}

JsonObject Session::ExpectNoBox(const Args& args) {
  args.AtMost(1);
  const DWORD ms = args.TimeoutMs(0, 0);
  EnsureProgram();
  const double start = NowMs();
  do {
    if (HWND box = TopBox()) {
      JsonObject info = DescribeBox(box);
      throw DriverError("a message box is up: " + info.Text());
    }
    Sleep(1);
  } while (NowMs() - start < ms);
  return JsonObject();
}

// ---- The session

JsonObject Session::SleepFor(const Args& args) {
  args.AtMost(1);
  Sleep(args.TimeoutMs(0, 0));
  return JsonObject();
}

JsonObject Session::Help(const Args& args) {
  args.AtMost(0);
  JsonArray usage;
  for (const auto& command : FCommands) usage.AddText(Utf8ToWide(command.second.usage));
  return JsonObject().SetArray("commands", usage);
}

JsonObject Session::Quit(const Args& args) {
  args.AtMost(0);
  FFinished = true;
  return JsonObject();
}

}  // namespace uidriver
