#include "Forms.h"

#include <commctrl.h>

#include <algorithm>

#include "Application.h"
#include "SystemError.h"
#include "WideText.h"

namespace {

// Fixed frame: the form fits its controls, so it is neither resized nor
// maximised, and it never scrolls.
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kFormExStyle = 0;

void InitCommonControlsOnce() {
  static const bool done = [] {
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES;
    return InitCommonControlsEx(&controls) != FALSE;
  }();
  (void)done;
}

HICON LoadProgramIcon(int metricX, int metricY) {
  // Shared: the class keeps using it for the whole run.
  return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), L"MAINICON", IMAGE_ICON,
                                       GetSystemMetrics(metricX), GetSystemMetrics(metricY), LR_SHARED));
}

TFontDesc DefaultFormFont() {
  TFontDesc font;
  font.Name = "MS Shell Dlg 2";
  font.Height = 11;
  return font;
}

}  // namespace

TForm::TForm(TComponent* owner, const std::wstring& windowClass)
    : TComponent(owner),
      FFont(DefaultFormFont()),
      FBrush(std::make_unique<TBrush>(clBtnFace)),
      FAutoSize(false),
      FDestroying(false),
      FFocusedControl(nullptr) {
  InitCommonControlsOnce();
  WNDCLASSEXW cls = {};
  cls.cbSize = sizeof(cls);
  cls.lpfnWndProc = TForm::WindowProc;
  cls.hInstance = GetModuleHandleW(nullptr);
  cls.hIcon = LoadProgramIcon(SM_CXICON, SM_CYICON);
  cls.hIconSm = LoadProgramIcon(SM_CXSMICON, SM_CYSMICON);
  cls.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  cls.lpszClassName = windowClass.c_str();
  RegisterWindowClass(cls);
  // Created hidden: the creation handler runs, and may show its box, first.
  HWND ownerWindow = Application != nullptr ? Application->Handle() : nullptr;
  FWindow.Reset(CreateWindowExW(kFormExStyle, windowClass.c_str(), L"", kFormStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, ownerWindow, nullptr, GetModuleHandleW(nullptr), this));
  if (!FWindow) RaiseLastSystemError("ウィンドウを作成できません");
}

TForm::~TForm() {
  FDestroying = true;
  // The components may still need the window while they shut down (the
  // serial port component closes its port here).
  while (ComponentCount() > 0) delete Components(ComponentCount() - 1);
  if (Application != nullptr && Application->MainWindow() == Handle()) Application->SetMainWindow(nullptr);
  SetWindowLongPtrW(Handle(), GWLP_USERDATA, 0);
  FWindow.Reset();
}

void TForm::SetCaption(const std::string& text) { SetWindowTextW(Handle(), Utf8ToWide(text).c_str()); }

std::string TForm::Caption() const {
  const int length = GetWindowTextLengthW(Handle());
  std::wstring text(static_cast<size_t>(std::max(length, 0)) + 1, L'\0');
  text.resize(static_cast<size_t>(std::max(GetWindowTextW(Handle(), &text[0], length + 1), 0)));
  return WideToUtf8(text);
}

void TForm::SetPosition(int left, int top) {
  SetWindowPos(Handle(), nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TForm::SetClientSize(int width, int height) {
  RECT frame = {0, 0, width, height};
  AdjustWindowRectEx(&frame, kFormStyle, FALSE, kFormExStyle);
  SetWindowPos(Handle(), nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  // The frame the system really draws may differ from what it predicts
  // (another theme, Wine's drivers): correct by what the client area shows.
  const SIZE actual = ClientSize();
  if (actual.cx != width || actual.cy != height) {
    RECT window = {};
    GetWindowRect(Handle(), &window);
    SetWindowPos(Handle(), nullptr, 0, 0, window.right - window.left + width - actual.cx,
                 window.bottom - window.top + height - actual.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

SIZE TForm::ClientSize() const {
  RECT client = {};
  GetClientRect(Handle(), &client);
  return SIZE{client.right - client.left, client.bottom - client.top};
}

void TForm::SetAutoSize(bool autoSize) {
  FAutoSize = autoSize;
  ControlBoundsChanged();
}

void TForm::ControlBoundsChanged() {
  if (!FAutoSize || FDestroying) return;
  LONG right = 0;
  LONG bottom = 0;
  for (const TControl* control : FControls) {
    const RECT bounds = control->BoundsRect();
    right = std::max(right, bounds.right);
    bottom = std::max(bottom, bounds.bottom);
  }
  SetClientSize(right, bottom);
}

void TForm::SetColor(TColor color) {
  FBrush = std::make_unique<TBrush>(color);
  RedrawWindow(Handle(), nullptr, nullptr, RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN);
}

void TForm::SetFont(const TFontDesc& wanted) {
  FFont = wanted;
  for (TControl* control : FControls) {
    if (control->ParentFont()) control->InheritFont(wanted);
  }
}

void TForm::Show() {
  ShowWindow(Handle(), SW_SHOWNORMAL);
  UpdateWindow(Handle());
}

void TForm::Close() {
  ShowWindow(Handle(), SW_HIDE);
  if (Application != nullptr && Application->MainWindow() == Handle()) Application->Terminate();
}

bool TForm::CloseQuery() {
  bool canClose = true;
  // A copy: the handler may assign the event while it runs.
  const TCloseQueryEvent handler = OnCloseQuery;
  if (handler) handler(this, canClose);
  return canClose;
}

TControl* TForm::FindControl(HWND window) const {
  if (window == nullptr) return nullptr;
  const auto found =
      std::find_if(FControls.begin(), FControls.end(), [window](TControl* c) { return c->Handle() == window; });
  return found == FControls.end() ? nullptr : *found;
}

void TForm::DoCreate() {
  try {
    FireEvent(OnCreate, this);
  } catch (...) {
    HandleEscapedException();
  }
}

void TForm::AddControl(TControl* control) {
  if (control->TabStop()) {
    control->FTabOrder =
        static_cast<int>(std::count_if(FControls.begin(), FControls.end(), [](TControl* c) { return c->TabStop(); }));
  }
  FControls.push_back(control);
  ControlBoundsChanged();
}

void TForm::RemoveControl(TControl* control) {
  FControls.erase(std::remove(FControls.begin(), FControls.end(), control), FControls.end());
  if (FFocusedControl == control->Handle()) FFocusedControl = nullptr;
}

void TForm::ApplyTabOrder() {
  // The Tab key follows the window order. The controls that take the focus
  // swap places among themselves, sorted by their tab order (ties by
  // creation); every other control keeps its place of creation.
  std::vector<TControl*> stops;
  std::copy_if(FControls.begin(), FControls.end(), std::back_inserter(stops), [](TControl* c) { return c->TabStop(); });
  std::stable_sort(stops.begin(), stops.end(),
                   [](const TControl* a, const TControl* b) { return a->TabOrder() < b->TabOrder(); });
  auto nextStop = stops.begin();
  HWND previous = HWND_TOP;
  for (TControl* control : FControls) {
    TControl* placed = control->TabStop() ? *nextStop++ : control;
    SetWindowPos(placed->Handle(), previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    previous = placed->Handle();
  }
}

void TForm::Activated(bool active) {
  if (active) {
    FocusSavedControl();
    return;
  }
  // Remember where the focus was, to give it back when the form returns.
  HWND focus = GetFocus();
  while (focus != nullptr && GetParent(focus) != Handle() && IsChild(Handle(), focus)) focus = GetParent(focus);
  if (focus != nullptr && GetParent(focus) == Handle()) FFocusedControl = focus;
}

void TForm::FocusSavedControl() {
  HWND target = FFocusedControl;
  if (target == nullptr || !IsWindowEnabled(target) || !IsWindowVisible(target)) {
    target = GetNextDlgTabItem(Handle(), nullptr, FALSE);
  }
  if (target != nullptr) SetFocus(target);
}

TControl* TForm::FocusedPushButton() const {
  TControl* focused = FindControl(GetFocus());
  return dynamic_cast<TButton*>(focused) != nullptr && IsWindowEnabled(focused->Handle()) ? focused : nullptr;
}

LRESULT CALLBACK TForm::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* form = reinterpret_cast<TForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (form == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  try {
    return form->HandleMessage(window, message, wParam, lParam);
  } catch (...) {
    HandleEscapedException();
    return 0;
  }
}

LRESULT TForm::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (TControl* control = FDestroying ? nullptr : FindControl(reinterpret_cast<HWND>(lParam))) {
        control->Notify(HIWORD(wParam));
        return 0;
      }
      break;
    case CM_DEFERREDNOTIFY:
      // The control may be gone by now: it is looked up by its window.
      if (TControl* control = FDestroying ? nullptr : FindControl(reinterpret_cast<HWND>(lParam))) {
        control->DeferredNotify(static_cast<WORD>(wParam));
      }
      return 0;
    case WM_CTLCOLORSTATIC:
      if (TControl* control = FindControl(reinterpret_cast<HWND>(lParam))) {
        if (HBRUSH brush = control->ColorStatic(reinterpret_cast<HDC>(wParam))) {
          return reinterpret_cast<LRESULT>(brush);
        }
      }
      break;
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (TControl* control = FindControl(item->hwndItem)) {
        control->DrawItem(*item);
        return TRUE;
      }
      break;
    }
    case WM_CTLCOLORBTN:
      return reinterpret_cast<LRESULT>(Brush());
    case WM_ERASEBKGND: {
      RECT client = {};
      GetClientRect(window, &client);
      FillRect(reinterpret_cast<HDC>(wParam), &client, Brush());
      return 1;
    }
    case DM_GETDEFID:
      // A plain window has no default button; as in a dialog box, Enter
      // presses the push button that has the focus.
      if (const TControl* button = FocusedPushButton()) return MAKELRESULT(button->ControlId(), DC_HASDEFID);
      return 0;
    case WM_CLOSE:
      if (CloseQuery()) Close();
      return 0;
    case WM_QUERYENDSESSION:
      return CloseQuery() ? TRUE : FALSE;
    case WM_SYSCOMMAND:
      // An owned window minimised on its own would leave no trace on the
      // task bar: the application window is minimised instead, and hides
      // the main form with it.
      if ((wParam & 0xFFF0) == SC_MINIMIZE && Application != nullptr && Application->MainWindow() == window &&
          GetWindow(window, GW_OWNER) == Application->Handle()) {
        Application->Minimize();
        return 0;
      }
      break;
    case WM_ACTIVATE:
      Activated(LOWORD(wParam) != WA_INACTIVE && HIWORD(wParam) == 0);
      return 0;
    case WM_SETFOCUS:
      FocusSavedControl();
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}
