// The toolkit's forms and controls in a real Windows session (under Wine):
// geometry, fonts, colours, the deferred close-up, transparency, tab order,
// hints, exceptions in handlers, and what a form releases when it goes.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "Application.h"
#include "BoxCloser.h"
#include "Controls.h"
#include "Exception.h"
#include "Forms.h"
#include "WideText.h"

namespace {

class ToolkitEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    Application = new TApplication();
    Application->Initialize();
    Application->SetTitle("toolkit test");
  }
  void TearDown() override { delete Application; }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ToolkitEnvironment);

class TTestForm : public TForm {
 public:
  explicit TTestForm(TComponent* owner = Application) : TForm(owner, L"TTestForm") {}
  using TForm::DoCreate;
};

TFontDesc Font(const char* face, int height, int weight = FW_NORMAL, TColor color = clWindowText) {
  TFontDesc font;
  font.Name = face;
  font.Height = height;
  font.Weight = weight;
  font.Color = color;
  font.Charset = SHIFTJIS_CHARSET;
  return font;
}

int WindowHeight(HWND window) {
  RECT rect = {};
  GetWindowRect(window, &rect);
  return rect.bottom - rect.top;
}

LOGFONTW FontOf(HWND window) {
  LOGFONTW font = {};
  const auto handle = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
  EXPECT_NE(nullptr, handle);
  if (handle != nullptr) {
    EXPECT_EQ(static_cast<int>(sizeof font), GetObjectW(handle, sizeof font, &font));
  }
  return font;
}

void ExpectFont(const TFontDesc& wanted, HWND window) {
  const LOGFONTW font = FontOf(window);
  EXPECT_EQ(wanted.Name, WideToUtf8(font.lfFaceName));
  EXPECT_EQ(-wanted.Height, font.lfHeight);
  EXPECT_EQ(wanted.Weight, font.lfWeight);
  EXPECT_EQ(wanted.Charset, font.lfCharSet);
}

// --- Drop-down lists ---------------------------------------------------------

struct ComboCase {
  int fontHeight;
  int itemHeight;  // 0: the font's own
  int closedHeight;
  int dropDownCount;
  int items;
};

void PrintTo(const ComboCase& c, std::ostream* os) {
  *os << "font " << c.fontHeight << ", items " << c.itemHeight << " high, closed " << c.closedHeight << ", "
      << c.dropDownCount << " of " << c.items << " shown";
}

class ComboBoxGeometry : public ::testing::TestWithParam<ComboCase> {};

// The closed control is as high as its bounds say and the items as high as
// set, also after a new font.
TEST_P(ComboBoxGeometry, HeightsFollowTheSettings) {
  const ComboCase c = GetParam();
  TTestForm form;
  auto* combo = new TComboBox(&form, 200);
  combo->SetFont(Font("ＭＳ Ｐゴシック", c.fontHeight, FW_BOLD));
  for (int i = 0; i < c.items; ++i) combo->AddItem("COM" + std::to_string(i));
  if (c.itemHeight > 0) combo->SetItemHeight(c.itemHeight);
  combo->SetDropDownCount(c.dropDownCount);
  combo->SetBounds(10, 20, 69, c.closedHeight);

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "as laid out" : "after a new font");
    EXPECT_EQ(c.closedHeight, WindowHeight(combo->Handle()));
    const RECT bounds = combo->BoundsRect();
    EXPECT_EQ(10, bounds.left);
    EXPECT_EQ(20, bounds.top);
    EXPECT_EQ(69, bounds.right - bounds.left);
    const int itemHeight = combo->ItemHeight();
    if (c.itemHeight > 0) {
      EXPECT_EQ(c.itemHeight, itemHeight);
    }
    EXPECT_GT(itemHeight, 0);
    const int visible = std::min(c.dropDownCount, c.items);
    EXPECT_EQ(visible, SendMessageW(combo->Handle(), CB_GETMINVISIBLE, 0, 0));
    combo->SetFont(Font("MS UI Gothic", c.fontHeight + 3));
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ComboBoxGeometry,
                         ::testing::Values(ComboCase{19, 19, 27, 10, 32},  // the ID list
                                           ComboCase{12, 12, 20, 21, 21},  // the port list
                                           ComboCase{12, 0, 24, 8, 3},     // fewer items than the count
                                           ComboCase{16, 24, 30, 5, 6}));

struct DropCase {
  int itemHeight;
  int dropDownCount;
  int items;
};

void PrintTo(const DropCase& c, std::ostream* os) {
  *os << c.dropDownCount << " of " << c.items << " items " << c.itemHeight << " high";
}

class DroppedList : public ::testing::TestWithParam<DropCase> {};

TEST_P(DroppedList, ShowsTheVisibleCountWithoutScrolling) {
  const DropCase c = GetParam();
  TTestForm form;
  form.SetClientSize(300, 300);
  auto* combo = new TComboBox(&form, 200);
  for (int i = 0; i < c.items; ++i) combo->AddItem(std::to_string(i));
  combo->SetItemHeight(c.itemHeight);
  combo->SetDropDownCount(c.dropDownCount);
  combo->SetBounds(0, 0, 69, 20);
  combo->SetItemIndex(0);
  form.Show();

  SendMessageW(combo->Handle(), CB_SHOWDROPDOWN, TRUE, 0);
  COMBOBOXINFO info = {};
  info.cbSize = sizeof info;
  ASSERT_TRUE(GetComboBoxInfo(combo->Handle(), &info));
  RECT client = {};
  GetClientRect(info.hwndList, &client);
  EXPECT_EQ(c.itemHeight, SendMessageW(info.hwndList, LB_GETITEMHEIGHT, 0, 0));
  EXPECT_EQ(std::min(c.dropDownCount, c.items) * c.itemHeight, client.bottom);
  EXPECT_EQ(0, SendMessageW(info.hwndList, LB_GETTOPINDEX, 0, 0));
  SendMessageW(combo->Handle(), CB_SHOWDROPDOWN, FALSE, 0);
  Application->ProcessMessages();
}

INSTANTIATE_TEST_SUITE_P(Lists, DroppedList,
                         ::testing::Values(DropCase{12, 21, 21}, DropCase{19, 10, 32}, DropCase{13, 8, 3}));

TEST(ComboBox, CloseUpRunsFromTheMessageLoopOnceTheListHasClosed) {
  TTestForm form;
  auto* combo = new TComboBox(&form, 200);
  for (const char* item : {"OFF", "COM1", "COM2"}) combo->AddItem(item);
  combo->SetBounds(0, 0, 69, 20);
  form.Show();
  struct Seen {
    int index;
    bool dropped;
  };
  std::vector<Seen> seen;
  combo->OnCloseUp = [&](TObject* sender) {
    EXPECT_EQ(combo, sender);
    seen.push_back({combo->ItemIndex(), combo->DroppedDown()});
  };

  SendMessageW(combo->Handle(), CB_SHOWDROPDOWN, TRUE, 0);
  combo->SetItemIndex(2);
  SendMessageW(combo->Handle(), CB_SHOWDROPDOWN, FALSE, 0);
  // A caller that closed the list by a send is not held up by the handler.
  EXPECT_TRUE(seen.empty());
  Application->ProcessMessages();
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(2, seen[0].index);
  EXPECT_FALSE(seen[0].dropped);

  // A close-up notification that arrives without a drop counts the same.
  SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(200, CBN_CLOSEUP), reinterpret_cast<LPARAM>(combo->Handle()));
  Application->ProcessMessages();
  EXPECT_EQ(2u, seen.size());
}

TEST(ComboBox, ACloseUpPendingForAControlThatIsGoneRunsNothing) {
  TTestForm form;
  auto* combo = new TComboBox(&form, 200);
  combo->AddItem("OFF");
  combo->SetBounds(0, 0, 69, 20);
  int runs = 0;
  combo->OnCloseUp = [&](TObject*) { ++runs; };
  SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(200, CBN_CLOSEUP), reinterpret_cast<LPARAM>(combo->Handle()));
  delete combo;
  Application->ProcessMessages();
  EXPECT_EQ(0, runs);
}

TEST(ComboBox, AnIndexOutOfRangeSelectsNothing) {
  TTestForm form;
  auto* combo = new TComboBox(&form, 200);
  for (const char* item : {"OFF", "COM1", "COM2"}) combo->AddItem(item);
  const struct {
    int set;
    int read;
  } cases[] = {{1, 1}, {3, -1}, {2, 2}, {99, -1}, {0, 0}, {-3, -1}, {-1, -1}};
  for (const auto& c : cases) {
    combo->SetItemIndex(c.set);
    EXPECT_EQ(c.read, combo->ItemIndex()) << "set " << c.set;
  }
  EXPECT_EQ("COM2", combo->Item(2));
  EXPECT_EQ("", combo->Item(3));
}

// --- Fonts and colours ---------------------------------------------------------

TEST(Fonts, EveryControlAnswersWithItsOwnFont) {
  TTestForm form;
  const TFontDesc formFont = Font("ＭＳ Ｐゴシック", 12);
  const TFontDesc labelFont = Font("ＭＳ Ｐゴシック", 16, FW_BOLD, clRed);
  form.SetFont(formFont);
  auto* label = new TLabel(&form, 201);
  label->SetFont(labelFont);
  auto* button = new TButton(&form, 202);
  auto* combo = new TComboBox(&form, 203);
  auto* image = new TImage(&form, 204);

  ExpectFont(labelFont, label->Handle());
  for (TControl* control : std::vector<TControl*>{button, combo, image}) {
    SCOPED_TRACE(control->ControlId());
    EXPECT_TRUE(control->ParentFont());
    ExpectFont(formFont, control->Handle());
  }
  EXPECT_NE(SendMessageW(button->Handle(), WM_GETFONT, 0, 0), SendMessageW(combo->Handle(), WM_GETFONT, 0, 0));

  // A new form font reaches the controls that set none of their own.
  const TFontDesc larger = Font("MS UI Gothic", 13);
  form.SetFont(larger);
  ExpectFont(larger, button->Handle());
  ExpectFont(larger, image->Handle());
  ExpectFont(labelFont, label->Handle());
}

TEST(Label, DrawsInItsFontColourOnTheFormBackground) {
  TTestForm form;
  form.SetColor(RGB(10, 20, 30));
  auto* label = new TLabel(&form, 201);
  label->SetFont(Font("ＭＳ Ｐゴシック", 16, FW_BOLD, clRed));
  HDC dc = CreateCompatibleDC(nullptr);
  const LRESULT brush = SendMessageW(form.Handle(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                     reinterpret_cast<LPARAM>(label->Handle()));
  EXPECT_EQ(reinterpret_cast<LRESULT>(form.Brush()), brush);
  EXPECT_EQ(RGB(255, 0, 0), GetTextColor(dc));
  EXPECT_EQ(RGB(10, 20, 30), GetBkColor(dc));
  DeleteDC(dc);

  EXPECT_FALSE(label->WordWrap());
  label->SetWordWrap(true);
  EXPECT_TRUE(label->WordWrap());
  EXPECT_EQ(SS_LEFT, GetWindowLongW(label->Handle(), GWL_STYLE) & SS_TYPEMASK);
  label->SetWordWrap(false);
  EXPECT_EQ(SS_LEFTNOWORDWRAP, GetWindowLongW(label->Handle(), GWL_STYLE) & SS_TYPEMASK);
}

// --- Images --------------------------------------------------------------------

// What the image paints, read back from a 32-bit bitmap.
std::vector<COLORREF> PaintedPixels(TImage* image, int size) {
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = size;
  info.bmiHeader.biHeight = -size;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(dc, bitmap);
  SendMessageW(image->Handle(), WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
  GdiFlush();
  std::vector<COLORREF> pixels;
  for (int i = 0; i < size * size; ++i) {
    const DWORD bgra = static_cast<const DWORD*>(bits)[i];
    pixels.push_back(RGB((bgra >> 16) & 0xFF, (bgra >> 8) & 0xFF, bgra & 0xFF));
  }
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  return pixels;
}

TEST(Image, TheBitmapsBackgroundColourIsLeftOutWhenTransparent) {
  TTestForm form;
  form.SetColor(RGB(10, 20, 30));
  auto* image = new TImage(&form, 204);
  image->SetBounds(0, 0, 48, 48);
  image->LoadFromResource(L"ARROW");
  const COLORREF magenta = RGB(255, 0, 255);
  const COLORREF black = RGB(0, 0, 0);
  const COLORREF lime = RGB(0, 255, 0);
  const COLORREF background = RGB(10, 20, 30);
  const struct {
    int x;
    int y;
    COLORREF opaque;
  } points[] = {{0, 0, magenta}, {0, 47, magenta}, {5, 20, black}, {23, 5, black},   {23, 24, lime},
                {42, 23, black}, {10, 20, lime},   {30, 24, lime},  {44, 24, magenta}};

  for (bool transparent : {false, true}) {
    SCOPED_TRACE(transparent ? "transparent" : "opaque");
    image->SetTransparent(transparent);
    const std::vector<COLORREF> pixels = PaintedPixels(image, 48);
    for (const auto& p : points) {
      const COLORREF expected = transparent && p.opaque == magenta ? background : p.opaque;
      EXPECT_EQ(expected, pixels[static_cast<size_t>(p.y * 48 + p.x)]) << "pixel " << p.x << ", " << p.y;
    }
  }
}

TEST(Image, AMissingResourceRaises) {
  TTestForm form;
  auto* image = new TImage(&form, 204);
  EXPECT_THROW(image->LoadFromResource(L"NO_SUCH_BITMAP"), Exception);
  EXPECT_EQ(nullptr, image->Bitmap());
}

// --- The form --------------------------------------------------------------------

TEST(Form, AutoSizeFitsTheClientAreaToTheControls) {
  TTestForm form;
  auto* a = new TButton(&form, 201);
  a->SetBounds(40, 24, 121, 65);
  auto* b = new TButton(&form, 202);
  b->SetBounds(432, 110, 75, 25);
  form.SetAutoSize(true);
  EXPECT_EQ(507, form.ClientSize().cx);
  EXPECT_EQ(135, form.ClientSize().cy);
  a->SetBounds(40, 24, 500, 200);
  EXPECT_EQ(540, form.ClientSize().cx);
  EXPECT_EQ(224, form.ClientSize().cy);
}

std::vector<int> ChildIds(HWND form) {
  std::vector<int> ids;
  for (HWND child = GetWindow(form, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    ids.push_back(GetDlgCtrlID(child));
  }
  return ids;
}

// The tab order sorts the controls that take the focus among themselves;
// the others keep their places in the window order (creation order).
TEST(Form, TheTabKeyFollowsTheTabOrder) {
  TTestForm form;
  auto* first = new TButton(&form, 201);
  new TLabel(&form, 202);  // takes no focus
  auto* second = new TButton(&form, 203);
  auto* third = new TComboBox(&form, 204);
  new TImage(&form, 205);
  EXPECT_EQ((std::vector<int>{201, 202, 203, 204, 205}), ChildIds(form.Handle()));
  third->SetTabOrder(0);
  first->SetTabOrder(1);
  second->SetTabOrder(2);
  std::vector<int> order;
  HWND item = GetNextDlgTabItem(form.Handle(), nullptr, FALSE);
  for (int i = 0; i < 4 && item != nullptr; ++i) {
    order.push_back(GetDlgCtrlID(item));
    item = GetNextDlgTabItem(form.Handle(), item, FALSE);
  }
  EXPECT_EQ((std::vector<int>{204, 201, 203, 204}), order);
  EXPECT_EQ((std::vector<int>{204, 202, 201, 203, 205}), ChildIds(form.Handle()));
}

// The keyboard on the main window, as the message loop sees it: Enter and
// Space press the focused push button; Enter elsewhere presses nothing.
TEST(Form, TheKeyboardPressesTheFocusedButton) {
  TTestForm form;
  auto* read = new TButton(&form, 201);
  auto* write = new TButton(&form, 202);
  auto* list = new TComboBox(&form, 203);
  list->AddItem("OFF");
  std::vector<int> pressed;
  read->OnClick = [&](TObject*) { pressed.push_back(201); };
  write->OnClick = [&](TObject*) { pressed.push_back(202); };
  HWND const previousMain = Application->MainWindow();
  Application->SetMainWindow(form.Handle());
  form.Show();

  const struct {
    TControl* focused;
    WPARAM key;
    std::vector<int> pressed;
  } cases[] = {
      {write, VK_RETURN, {202}}, {read, VK_RETURN, {201}}, {read, VK_SPACE, {201}},
      {list, VK_RETURN, {}},     {write, VK_SPACE, {202}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("key " + std::to_string(c.key) + " on control " + std::to_string(c.focused->ControlId()));
    pressed.clear();
    SetFocus(c.focused->Handle());
    ASSERT_EQ(c.focused->Handle(), GetFocus());
    const UINT scan = MapVirtualKeyW(static_cast<UINT>(c.key), MAPVK_VK_TO_VSC);
    PostMessageW(c.focused->Handle(), WM_KEYDOWN, c.key, 1 | (scan << 16));
    PostMessageW(c.focused->Handle(), WM_KEYUP, c.key, 1 | (scan << 16) | 0xC0000000u);
    Application->ProcessMessages();
    EXPECT_EQ(c.pressed, pressed);
  }
  Application->SetMainWindow(previousMain);
}

BOOL CALLBACK CollectToolTips(HWND window, LPARAM found) {
  wchar_t name[32] = {};
  GetClassNameW(window, name, 32);
  if (std::wstring(name) == TOOLTIPS_CLASSW) reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
  return TRUE;
}

std::vector<HWND> ToolTipsOf(const TForm& form) {
  std::vector<HWND> all;
  EnumThreadWindows(GetCurrentThreadId(), CollectToolTips, reinterpret_cast<LPARAM>(&all));
  std::vector<HWND> owned;
  for (HWND tip : all) {
    if (GetWindow(tip, GW_OWNER) == form.Handle()) owned.push_back(tip);
  }
  return owned;
}

TEST(Hint, ATooltipOnTheControlWithTheText) {
  TTestForm form;
  auto* combo = new TComboBox(&form, 200);
  auto* other = new TButton(&form, 201);
  (void)other;
  const std::string text = "使用するシリアルポートの番号を設定します";
  combo->SetHint(text);
  const std::vector<HWND> tips = ToolTipsOf(form);
  ASSERT_EQ(1u, tips.size());
  EXPECT_EQ(1, SendMessageW(tips[0], TTM_GETTOOLCOUNT, 0, 0));
  wchar_t shown[128] = {};
  TOOLINFOW tool = {};
  tool.cbSize = sizeof tool;
  tool.hwnd = form.Handle();
  tool.uId = reinterpret_cast<UINT_PTR>(combo->Handle());
  tool.lpszText = shown;
  SendMessageW(tips[0], TTM_GETTEXTW, 128, reinterpret_cast<LPARAM>(&tool));
  EXPECT_EQ(text, WideToUtf8(shown));

  combo->SetHint("");
  EXPECT_TRUE(ToolTipsOf(form).empty());
}

enum class Thrown { OwnException, StdException, UnknownType };

void PrintTo(Thrown what, std::ostream* os) {
  *os << (what == Thrown::OwnException ? "Exception" : what == Thrown::StdException ? "std::exception" : "int");
}

void Throw(Thrown what) {
  switch (what) {
    case Thrown::OwnException:
      throw Exception("ハンドラの失敗");
    case Thrown::StdException:
      throw std::runtime_error("handler failed");
    case Thrown::UnknownType:
      throw 42;
  }
}

class HandlerException : public ::testing::TestWithParam<Thrown> {
 protected:
  std::string ExpectedText() const {
    switch (GetParam()) {
      case Thrown::OwnException:
        return "ハンドラの失敗";
      case Thrown::StdException:
        return "handler failed";
      case Thrown::UnknownType:
        break;
    }
    return "不明なエラーが発生しました";
  }
};

// An exception that escapes a handler never crosses the system's code: the
// application shows it, and the program carries on.
TEST_P(HandlerException, GoesToTheApplicationsDefaultHandling) {
  const Thrown what = GetParam();
  TTestForm form;
  auto* button = new TButton(&form, 201);
  button->OnClick = [what](TObject*) { Throw(what); };
  auto* combo = new TComboBox(&form, 202);
  combo->OnCloseUp = [what](TObject*) { Throw(what); };
  form.OnCreate = [what](TObject*) { Throw(what); };
  {
    BoxCloser closer(GetCurrentThreadId());
    // What the button sends its form when it is clicked.
    SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(201, BN_CLICKED), reinterpret_cast<LPARAM>(button->Handle()));
    SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(202, CBN_CLOSEUP), reinterpret_cast<LPARAM>(combo->Handle()));
    Application->ProcessMessages();
    form.DoCreate();
    const auto boxes = closer.Boxes();
    ASSERT_EQ(3u, boxes.size());
    for (const auto& box : boxes) {
      EXPECT_EQ("toolkit test", box.first);
      EXPECT_EQ(ExpectedText(), box.second);
    }
  }
  EXPECT_TRUE(IsWindow(button->Handle()));
}

INSTANTIATE_TEST_SUITE_P(Kinds, HandlerException,
                         ::testing::Values(Thrown::OwnException, Thrown::StdException, Thrown::UnknownType));

TEST(Form, ItsWindowsAndGdiObjectsGoWithIt) {
  auto* form = new TTestForm();
  auto* label = new TLabel(form, 201);
  label->SetFont(Font("ＭＳ Ｐゴシック", 16, FW_BOLD, clRed));
  auto* combo = new TComboBox(form, 202);
  combo->SetHint("hint");
  auto* image = new TImage(form, 203);
  image->LoadFromResource(L"ARROW");
  auto* button = new TButton(form, 204);

  std::vector<HGDIOBJ> objects = {image->Bitmap()};
  std::vector<HWND> windows = {form->Handle(), ToolTipsOf(*form).at(0)};
  for (TControl* control : std::vector<TControl*>{label, combo, image, button}) {
    objects.push_back(reinterpret_cast<HGDIOBJ>(SendMessageW(control->Handle(), WM_GETFONT, 0, 0)));
    windows.push_back(control->Handle());
  }
  for (HGDIOBJ object : objects) ASSERT_NE(0u, GetObjectType(object));

  delete form;
  for (HGDIOBJ object : objects) EXPECT_EQ(0u, GetObjectType(object)) << object;
  for (HWND window : windows) EXPECT_FALSE(IsWindow(window)) << window;
}

TEST(Form, ClosingTheMainWindowEndsTheLoopAndOnlyThat) {
  TApplication* const testApplication = Application;
  {
    TApplication own;
    own.Initialize();
    Application = &own;
    TTestForm main(&own);
    TTestForm other(&own);
    own.SetMainWindow(main.Handle());
    main.Show();
    other.Show();

    other.Close();
    own.ProcessMessages();
    EXPECT_FALSE(IsWindowVisible(other.Handle()));
    EXPECT_FALSE(own.Terminated());

    // The close box of the main window.
    SendMessageW(main.Handle(), WM_CLOSE, 0, 0);
    own.ProcessMessages();
    EXPECT_FALSE(IsWindowVisible(main.Handle()));
    EXPECT_TRUE(own.Terminated());
    EXPECT_TRUE(IsWindow(main.Handle()));  // destroyed with its owner, later
  }
  Application = testApplication;
}

TEST(Form, CloseQueryDecidesTheCloseBoxAndTheEndOfTheSession) {
  TApplication* const testApplication = Application;
  {
    TApplication own;
    own.Initialize();
    Application = &own;
    TTestForm main(&own);
    own.SetMainWindow(main.Handle());
    main.Show();
    bool allow = false;
    int asked = 0;
    main.OnCloseQuery = [&](TObject* sender, bool& canClose) {
      EXPECT_EQ(&main, sender);
      EXPECT_TRUE(canClose);
      ++asked;
      canClose = allow;
    };

    // Refused: the session may not end, the close box changes nothing.
    EXPECT_EQ(FALSE, SendMessageW(main.Handle(), WM_QUERYENDSESSION, 0, 0));
    SendMessageW(main.Handle(), WM_CLOSE, 0, 0);
    own.ProcessMessages();
    EXPECT_EQ(2, asked);
    EXPECT_TRUE(IsWindowVisible(main.Handle()));
    EXPECT_FALSE(own.Terminated());
    // Close itself asks nothing: it is what a refused close does later.
    main.Close();
    EXPECT_EQ(2, asked);
    EXPECT_FALSE(IsWindowVisible(main.Handle()));

    main.Show();
    allow = true;
    EXPECT_EQ(TRUE, SendMessageW(main.Handle(), WM_QUERYENDSESSION, 0, 0));
    SendMessageW(main.Handle(), WM_CLOSE, 0, 0);
    own.ProcessMessages();
    EXPECT_EQ(4, asked);
    EXPECT_FALSE(IsWindowVisible(main.Handle()));
    EXPECT_TRUE(own.Terminated());
  }
  Application = testApplication;
}

// The shell gives a visible window a task-bar button when it asks for one,
// or when it is unowned and no tool window.
bool HasTaskbarButton(HWND window) {
  const auto exStyle = static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE));
  return IsWindowVisible(window) && ((exStyle & WS_EX_APPWINDOW) != 0 ||
                                     (GetWindow(window, GW_OWNER) == nullptr && (exStyle & WS_EX_TOOLWINDOW) == 0));
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM windows) {
  reinterpret_cast<std::vector<HWND>*>(windows)->push_back(window);
  return TRUE;
}

std::vector<HWND> TaskbarButtons() {
  std::vector<HWND> windows;
  EnumThreadWindows(GetCurrentThreadId(), CollectWindow, reinterpret_cast<LPARAM>(&windows));
  std::vector<HWND> buttons;
  for (HWND window : windows) {
    if (HasTaskbarButton(window)) buttons.push_back(window);
  }
  return buttons;
}

TEST(Application, ItsWindowIsTheOneTaskbarButtonFromTheFirstBoxOn) {
  TApplication* const testApplication = Application;
  {
    TApplication own;
    own.Initialize();
    own.SetTitle("title on the task bar");
    Application = &own;
    TTestForm main(&own);
    own.SetMainWindow(main.Handle());
    // Owned by the application window: never a button of its own.
    EXPECT_EQ(own.Handle(), GetWindow(main.Handle(), GW_OWNER));
    EXPECT_EQ(0, GetWindowLongW(main.Handle(), GWL_EXSTYLE) & WS_EX_APPWINDOW);
    EXPECT_TRUE(TaskbarButtons().empty());

    {
      // The first box brings the button, before any form shows.
      BoxCloser closer(GetCurrentThreadId());
      own.ShowMessageBox(L"text", L"caption", MB_OK);
      ASSERT_EQ(1u, closer.Boxes().size());
    }
    ASSERT_EQ(std::vector<HWND>{own.Handle()}, TaskbarButtons());
    wchar_t title[64] = {};
    GetWindowTextW(own.Handle(), title, 64);
    EXPECT_EQ(L"title on the task bar", std::wstring(title));
    RECT rect = {};
    GetWindowRect(own.Handle(), &rect);
    EXPECT_TRUE(IsRectEmpty(&rect));

    main.Show();
    EXPECT_EQ(std::vector<HWND>{own.Handle()}, TaskbarButtons());

    // Minimised, the main form goes with the application and comes back
    // with it.
    SendMessageW(main.Handle(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
    own.ProcessMessages();
    EXPECT_TRUE(IsIconic(own.Handle()));
    EXPECT_FALSE(IsWindowVisible(main.Handle()));
    EXPECT_EQ(std::vector<HWND>{own.Handle()}, TaskbarButtons());
    SendMessageW(own.Handle(), WM_SYSCOMMAND, SC_RESTORE, 0);
    own.ProcessMessages();
    EXPECT_FALSE(IsIconic(own.Handle()));
    EXPECT_TRUE(IsWindowVisible(main.Handle()));

    // Closed from the task-bar button's menu: nothing while a box disables
    // the application window; otherwise as by the main form's close box,
    // and the application window stays until the application goes.
    EnableWindow(own.Handle(), FALSE);
    SendMessageW(own.Handle(), WM_CLOSE, 0, 0);
    own.ProcessMessages();
    EXPECT_FALSE(own.Terminated());
    EXPECT_TRUE(IsWindowVisible(main.Handle()));
    EnableWindow(own.Handle(), TRUE);
    SendMessageW(own.Handle(), WM_CLOSE, 0, 0);
    own.ProcessMessages();
    EXPECT_TRUE(own.Terminated());
    EXPECT_TRUE(IsWindow(own.Handle()));
    EXPECT_TRUE(IsWindow(main.Handle()));
  }
  Application = testApplication;
}

}  // namespace
