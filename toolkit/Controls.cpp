#include "Controls.h"

#include <commctrl.h>

#include <algorithm>

#include "Forms.h"
#include "SystemError.h"
#include "WideText.h"

namespace {

std::wstring WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  if (length <= 0) return std::wstring();
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(window, &text[0], length + 1);
  text.resize(static_cast<size_t>(std::max(copied, 0)));
  return text;
}

int WindowHeight(HWND window) {
  RECT rect = {};
  GetWindowRect(window, &rect);
  return rect.bottom - rect.top;
}

}  // namespace

// The tooltip of one control; its window is owned by the form.
class THint {
 public:
  THint(HWND owner, HWND tool, const std::string& text);
  ~THint();
  THint(const THint&) = delete;
  THint& operator=(const THint&) = delete;

 private:
  TOOLINFOW ToolInfo();

  HWND FOwner;
  HWND FTool;
  std::wstring FText;
  TWindowHandle FWindow;
};

THint::THint(HWND owner, HWND tool, const std::string& text) : FOwner(owner), FTool(tool), FText(Utf8ToWide(text)) {
  FWindow.Reset(CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, owner, nullptr,
                                GetModuleHandleW(nullptr), nullptr));
  if (!FWindow) RaiseLastSystemError("ヒントを作成できません");
  TOOLINFOW toolInfo = ToolInfo();
  if (!SendMessageW(FWindow.Get(), TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&toolInfo))) {
    RaiseLastSystemError("ヒントを作成できません");
  }
}

THint::~THint() {
  // Takes the tooltip's hook off the control before the tooltip goes.
  TOOLINFOW toolInfo = ToolInfo();
  SendMessageW(FWindow.Get(), TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&toolInfo));
}

TOOLINFOW THint::ToolInfo() {
  TOOLINFOW toolInfo = {};
  toolInfo.cbSize = sizeof(toolInfo);
  // The tooltip watches the control's mouse messages itself.
  toolInfo.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  toolInfo.hwnd = FOwner;
  toolInfo.uId = reinterpret_cast<UINT_PTR>(FTool);
  toolInfo.lpszText = &FText[0];
  return toolInfo;
}

// ---------------------------------------------------------------------------

TControl::TControl(TForm* parent, int controlId, const wchar_t* windowClass, DWORD style)
    : TComponent(parent),
      FParent(parent),
      FFont(std::make_unique<TFont>(parent->Font())),
      FParentFont(true),
      FTabOrder(-1) {
  FWindow.Reset(CreateWindowExW(0, windowClass, L"", style | WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, parent->Handle(),
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId)),
                                GetModuleHandleW(nullptr), nullptr));
  if (!FWindow) RaiseLastSystemError("コントロールを作成できません");
  SendFontToWindow();
  // Last: nothing after it may fail, or the form would keep a dead control.
  parent->AddControl(this);
}

TControl::~TControl() {
  FHint.reset();
  FParent->RemoveControl(this);
}

int TControl::ControlId() const { return GetDlgCtrlID(Handle()); }

void TControl::SetBounds(int left, int top, int width, int height) {
  MoveWindow(Handle(), left, top, width, height, TRUE);
  BoundsChanged();
}

void TControl::BoundsChanged() { FParent->ControlBoundsChanged(); }

RECT TControl::BoundsRect() const {
  RECT rect = {};
  GetWindowRect(Handle(), &rect);
  MapWindowPoints(HWND_DESKTOP, FParent->Handle(), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

void TControl::SetCaption(const std::string& text) { SetWindowTextW(Handle(), Utf8ToWide(text).c_str()); }

std::string TControl::Caption() const { return WideToUtf8(WindowText(Handle())); }

void TControl::SendFontToWindow() {
  SendMessageW(Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(FFont->Handle()), TRUE);
}

void TControl::SetFont(const TFontDesc& wanted) {
  InheritFont(wanted);
  FParentFont = false;
}

void TControl::InheritFont(const TFontDesc& wanted) {
  // The window switches to the new font before the old one is deleted.
  std::unique_ptr<TFont> font = std::make_unique<TFont>(wanted);
  FFont.swap(font);
  SendFontToWindow();
  FontChanged();
}

bool TControl::TabStop() const { return (GetWindowLongPtrW(Handle(), GWL_STYLE) & WS_TABSTOP) != 0; }

void TControl::SetTabOrder(int order) {
  FTabOrder = order;
  FParent->ApplyTabOrder();
}

void TControl::SetHint(const std::string& text) {
  FHint.reset();
  FHintText = text;
  if (!text.empty()) FHint = std::make_unique<THint>(FParent->Handle(), Handle(), text);
}

void TControl::PostNotify(WORD code) {
  if (!PostMessageW(FParent->Handle(), CM_DEFERREDNOTIFY, code, reinterpret_cast<LPARAM>(Handle()))) {
    // A full queue must not swallow the notification.
    DeferredNotify(code);
  }
}

void FireEvent(const TNotifyEvent& event, TObject* sender) {
  // A copy: the handler may assign the event while it runs.
  const TNotifyEvent handler = event;
  if (handler) handler(sender);
}

// ---------------------------------------------------------------------------

TLabel::TLabel(TForm* parent, int controlId)
    : TControl(parent, controlId, L"STATIC", SS_LEFTNOWORDWRAP | SS_NOPREFIX) {}

void TLabel::SetWordWrap(bool wrap) {
  LONG_PTR style = GetWindowLongPtrW(Handle(), GWL_STYLE);
  style = (style & ~static_cast<LONG_PTR>(SS_TYPEMASK)) | (wrap ? SS_LEFT : SS_LEFTNOWORDWRAP);
  SetWindowLongPtrW(Handle(), GWL_STYLE, style);
  InvalidateRect(Handle(), nullptr, TRUE);
}

bool TLabel::WordWrap() const { return (GetWindowLongPtrW(Handle(), GWL_STYLE) & SS_TYPEMASK) == SS_LEFT; }

HBRUSH TLabel::ColorStatic(HDC dc) {
  SetTextColor(dc, ColorToRGB(Font().Color));
  SetBkColor(dc, ColorToRGB(Parent()->Color()));
  return Parent()->Brush();
}

// ---------------------------------------------------------------------------

TButton::TButton(TForm* parent, int controlId)
    : TControl(parent, controlId, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP) {}

void TButton::Notify(WORD code) {
  if (code == BN_CLICKED) FireEvent(OnClick, this);
}

// ---------------------------------------------------------------------------

TComboBox::TComboBox(TForm* parent, int controlId)
    : TControl(parent, controlId, L"COMBOBOX",
               CBS_DROPDOWNLIST | CBS_OWNERDRAWFIXED | CBS_HASSTRINGS | WS_VSCROLL | WS_TABSTOP),
      FBounds{},
      FItemHeight(0),
      FDropDownCount(8) {
  ApplyHeights();
}

void TComboBox::SetBounds(int left, int top, int width, int height) {
  FBounds = RECT{left, top, left + width, top + height};
  ApplyHeights();
  BoundsChanged();
}

void TComboBox::AddItem(const std::string& text) {
  const LRESULT index = SendMessageW(Handle(), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Utf8ToWide(text).c_str()));
  if (index == CB_ERR || index == CB_ERRSPACE) RaiseLastSystemError("リストに項目を追加できません");
  ApplyHeights();
}

int TComboBox::ItemCount() const { return static_cast<int>(SendMessageW(Handle(), CB_GETCOUNT, 0, 0)); }

std::string TComboBox::Item(int index) const {
  const LRESULT length = SendMessageW(Handle(), CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) return std::string();
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const LRESULT copied = SendMessageW(Handle(), CB_GETLBTEXT, static_cast<WPARAM>(index),
                                      reinterpret_cast<LPARAM>(&text[0]));
  text.resize(copied == CB_ERR ? 0 : static_cast<size_t>(copied));
  return WideToUtf8(text);
}

int TComboBox::ItemIndex() const { return static_cast<int>(SendMessageW(Handle(), CB_GETCURSEL, 0, 0)); }

void TComboBox::SetItemIndex(int index) {
  if (index < 0 || index >= ItemCount()) index = -1;
  SendMessageW(Handle(), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int TComboBox::ItemHeight() const { return static_cast<int>(SendMessageW(Handle(), CB_GETITEMHEIGHT, 0, 0)); }

void TComboBox::SetItemHeight(int height) {
  FItemHeight = height;
  ApplyHeights();
}

void TComboBox::SetDropDownCount(int count) {
  FDropDownCount = std::max(count, 1);
  ApplyHeights();
}

bool TComboBox::DroppedDown() const { return SendMessageW(Handle(), CB_GETDROPPEDSTATE, 0, 0) != FALSE; }

void TComboBox::FontChanged() {
  // A new font resets the heights that the combo box works out itself.
  ApplyHeights();
}

int TComboBox::FontCellHeight() const {
  TWindowDC dc(Handle());
  TSelection font(dc.Get(), FontHandle());
  TEXTMETRICW metrics = {};
  GetTextMetricsW(dc.Get(), &metrics);
  return metrics.tmHeight;
}

void TComboBox::ApplyHeights() {
  const int itemHeight = FItemHeight > 0 ? FItemHeight : FontCellHeight();
  SendMessageW(Handle(), CB_SETITEMHEIGHT, 0, itemHeight);
  const int closedHeight = FBounds.bottom - FBounds.top;
  const int width = FBounds.right - FBounds.left;
  if (closedHeight <= 0 || width <= 0) return;
  ApplyClosedHeight(closedHeight);

  // A combo box takes the height given to it as its dropped height: the
  // closed part, the visible items and the list's border.
  const int visible = std::min(FDropDownCount, std::max(ItemCount(), 1));
  SendMessageW(Handle(), CB_SETMINVISIBLE, static_cast<WPARAM>(visible), 0);
  const int dropped = closedHeight + visible * itemHeight + 2 * GetSystemMetrics(SM_CYBORDER);
  SetWindowPos(Handle(), nullptr, FBounds.left, FBounds.top, width, dropped, SWP_NOZORDER | SWP_NOACTIVATE);
}

void TComboBox::ApplyClosedHeight(int height) {
  // The window is the selection field plus the frame that the system draws
  // around it. Systems differ in that frame, and some report the field
  // higher than it was set: step the value set until the window is right.
  LRESULT field = SendMessageW(Handle(), CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
  for (int pass = 0; pass < 4 && field != CB_ERR; ++pass) {
    const int difference = height - WindowHeight(Handle());
    if (difference == 0 || field + difference <= 0) break;
    field += difference;
    SendMessageW(Handle(), CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
  }
}

void TComboBox::DrawItem(const DRAWITEMSTRUCT& item) {
  const bool selected = (item.itemState & ODS_SELECTED) != 0;
  const bool disabled = (item.itemState & ODS_DISABLED) != 0;
  RECT area = item.rcItem;
  FillRect(item.hDC, &area, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
  if (item.itemID != static_cast<UINT>(-1)) {
    const COLORREF color = disabled   ? GetSysColor(COLOR_GRAYTEXT)
                           : selected ? GetSysColor(COLOR_HIGHLIGHTTEXT)
                                      : ColorToRGB(Font().Color);
    const std::wstring text = Utf8ToWide(Item(static_cast<int>(item.itemID)));
    TSelection font(item.hDC, FontHandle());
    SetTextColor(item.hDC, color);
    SetBkMode(item.hDC, TRANSPARENT);
    RECT textArea = area;
    textArea.left += 2;
    DrawTextW(item.hDC, text.c_str(), static_cast<int>(text.size()), &textArea,
              DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  }
  if ((item.itemState & ODS_FOCUS) != 0 && (item.itemState & ODS_NOFOCUSRECT) == 0) DrawFocusRect(item.hDC, &area);
}

void TComboBox::Notify(WORD code) {
  // The list sends this while it is still closing (and to a caller that may
  // wait for the send); the handler runs once that is over.
  if (code == CBN_CLOSEUP) PostNotify(code);
}

void TComboBox::DeferredNotify(WORD code) {
  if (code == CBN_CLOSEUP) FireEvent(OnCloseUp, this);
}

// ---------------------------------------------------------------------------

namespace {

const wchar_t* ImageWindowClass(WNDPROC procedure) {
  static const wchar_t kName[] = L"TImage";
  WNDCLASSEXW cls = {};
  cls.cbSize = sizeof(cls);
  cls.lpfnWndProc = procedure;
  cls.hInstance = GetModuleHandleW(nullptr);
  cls.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  cls.lpszClassName = kName;
  RegisterWindowClass(cls);
  return kName;
}

}  // namespace

TImage::TImage(TForm* parent, int controlId)
    : TControl(parent, controlId, ImageWindowClass(TImage::WindowProc), 0),
      FBitmapSize{},
      FTransparentColor(0),
      FTransparent(false) {
  SetWindowLongPtrW(Handle(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

TImage::~TImage() {
  // The window outlives this part of the object by a few messages.
  SetWindowLongPtrW(Handle(), GWLP_USERDATA, 0);
}

void TImage::LoadFromResource(const wchar_t* name) {
  TGdiObject<HBITMAP> bitmap(static_cast<HBITMAP>(
      LoadImageW(GetModuleHandleW(nullptr), name, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
  if (!bitmap) RaiseLastSystemError("画像を読み込めません");
  BITMAP info = {};
  GetObjectW(bitmap.Get(), sizeof(info), &info);
  {
    TMemoryDC memory;
    TSelection selection(memory.Get(), bitmap.Get());
    FTransparentColor = GetPixel(memory.Get(), 0, info.bmHeight - 1);
  }
  FBitmap = std::move(bitmap);
  FBitmapSize = SIZE{info.bmWidth, info.bmHeight};
  InvalidateRect(Handle(), nullptr, TRUE);
}

void TImage::SetTransparent(bool transparent) {
  FTransparent = transparent;
  InvalidateRect(Handle(), nullptr, TRUE);
}

void TImage::Paint(HDC dc) {
  RECT client = {};
  GetClientRect(Handle(), &client);
  FillRect(dc, &client, Parent()->Brush());
  if (!FBitmap) return;
  TMemoryDC memory;
  TSelection selection(memory.Get(), FBitmap.Get());
  const int width = FBitmapSize.cx;
  const int height = FBitmapSize.cy;
  if (FTransparent) {
    TransparentBlt(dc, 0, 0, width, height, memory.Get(), 0, 0, width, height, FTransparentColor);
  } else {
    BitBlt(dc, 0, 0, width, height, memory.Get(), 0, 0, SRCCOPY);
  }
}

LRESULT CALLBACK TImage::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* image = reinterpret_cast<TImage*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  try {
    if (image != nullptr) {
      switch (message) {
        case WM_ERASEBKGND:
          return 1;  // WM_PAINT fills the whole client area
        case WM_PAINT: {
          TPaintDC paint(window);
          image->Paint(paint.Get());
          return 0;
        }
        case WM_PRINTCLIENT:
          image->Paint(reinterpret_cast<HDC>(wParam));
          return 0;
        case WM_GETFONT:
          // It draws no text, but answers like every control.
          return reinterpret_cast<LRESULT>(image->FontHandle());
        default:
          break;
      }
    }
  } catch (...) {
    HandleEscapedException();
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}
