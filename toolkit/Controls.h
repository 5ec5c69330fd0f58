// The standard controls of a form: label, push button, drop-down list,
// image and the hint of a control. Each control is a real child window of
// its form, owned (and destroyed) by the form; positions are pixels of the
// form's client area.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Component.h"
#include "Graphics.h"
#include "WindowHandle.h"

class TForm;

// An event handler: a method bound to its object, given the object that
// raised the event. An empty one is not assigned.
using TNotifyEvent = std::function<void(TObject* Sender)>;

// Runs the handler when one is assigned.
void FireEvent(const TNotifyEvent& event, TObject* sender);

class THint;

// Posted to the form by a control whose notification must run from the
// message loop: wParam is the notification code, lParam the control's window.
constexpr UINT CM_DEFERREDNOTIFY = WM_APP + 0x100;

class TControl : public TComponent {
 public:
  ~TControl() override;

  HWND Handle() const { return FWindow.Get(); }
  TForm* Parent() const { return FParent; }
  int ControlId() const;

  // Left, top, width and height in the form's client area.
  virtual void SetBounds(int left, int top, int width, int height);
  // Where the window really is, in the form's client area.
  RECT BoundsRect() const;

  void SetCaption(const std::string& text);
  std::string Caption() const;

  // A control that sets no font of its own draws with the form's font.
  void SetFont(const TFontDesc& wanted);
  const TFontDesc& Font() const { return FFont->Description(); }
  bool ParentFont() const { return FParentFont; }

  // Place in the Tab key's order among the form's controls that take the
  // focus; the form keeps the window order in step with it.
  bool TabStop() const;
  int TabOrder() const { return FTabOrder; }
  void SetTabOrder(int order);

  // A tooltip shown while the pointer rests on the control; empty for none.
  void SetHint(const std::string& text);
  const std::string& Hint() const { return FHintText; }

 protected:
  // Creates the child window, hidden sizes aside, with the form's font.
  TControl(TForm* parent, int controlId, const wchar_t* windowClass, DWORD style);

  void SendFontToWindow();
  // Tells the form, which may fit itself to its controls.
  void BoundsChanged();
  // Runs after the control's font has changed.
  virtual void FontChanged() {}
  // WM_COMMAND notification from the control's window.
  virtual void Notify(WORD /*code*/) {}
  // A notification that Notify has posted to run from the message loop.
  virtual void DeferredNotify(WORD /*code*/) {}
  void PostNotify(WORD code);
  // Text colour and background of a static control; null for the default.
  virtual HBRUSH ColorStatic(HDC /*dc*/) { return nullptr; }
  // WM_DRAWITEM of an owner-drawn control.
  virtual void DrawItem(const DRAWITEMSTRUCT& /*item*/) {}
  HFONT FontHandle() const { return FFont->Handle(); }

 private:
  friend class TForm;
  void InheritFont(const TFontDesc& wanted);

  TForm* FParent;
  // Declared before the window: the window draws with it until it is gone.
  std::unique_ptr<TFont> FFont;
  bool FParentFont;
  int FTabOrder;
  TWindowHandle FWindow;
  std::string FHintText;
  std::unique_ptr<THint> FHint;
};

// Static text in its font and the font's colour, on the form's background.
class TLabel : public TControl {
 public:
  TLabel(TForm* parent, int controlId);
  // On, lines break at word boundaries within the width; off, one line.
  void SetWordWrap(bool wrap);
  bool WordWrap() const;

 protected:
  HBRUSH ColorStatic(HDC dc) override;
};

class TButton : public TControl {
 public:
  TButton(TForm* parent, int controlId);
  TNotifyEvent OnClick;

 protected:
  void Notify(WORD code) override;
};

// A drop-down list to choose from (no edit field). The height given to
// SetBounds is the height of the closed control. The items are drawn by the
// control itself, so that their height is what SetItemHeight says on every
// system (some ignore it for lists that the system draws).
class TComboBox : public TControl {
 public:
  TComboBox(TForm* parent, int controlId);

  void SetBounds(int left, int top, int width, int height) override;

  void AddItem(const std::string& text);
  int ItemCount() const;
  std::string Item(int index) const;
  // -1 when nothing is selected; an index out of range selects nothing.
  int ItemIndex() const;
  void SetItemIndex(int index);

  // Height of each item of the list, in pixels.
  int ItemHeight() const;
  void SetItemHeight(int height);
  // Number of items that the dropped list shows without scrolling.
  int DropDownCount() const { return FDropDownCount; }
  void SetDropDownCount(int count);
  bool DroppedDown() const;

  // The dropped list has closed: an item chosen, Escape, or a click
  // elsewhere. It runs from the message loop once the list has finished
  // closing, so that the handler sees the final selection and may show a
  // modal box.
  TNotifyEvent OnCloseUp;

 protected:
  void FontChanged() override;
  void Notify(WORD code) override;
  void DeferredNotify(WORD code) override;
  void DrawItem(const DRAWITEMSTRUCT& item) override;

 private:
  void ApplyHeights();
  void ApplyClosedHeight(int height);
  int FontCellHeight() const;

  RECT FBounds;
  int FItemHeight;
  int FDropDownCount;
};

// A bitmap from the program's resources, drawn at the top left of the
// control; drawn transparently, the colour of its bottom-left pixel is left
// out, so that the form's background shows through.
class TImage : public TControl {
 public:
  TImage(TForm* parent, int controlId);
  ~TImage() override;

  void LoadFromResource(const wchar_t* name);
  void SetTransparent(bool transparent);
  bool Transparent() const { return FTransparent; }
  HBITMAP Bitmap() const { return FBitmap.Get(); }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Paint(HDC dc);

  TGdiObject<HBITMAP> FBitmap;
  SIZE FBitmapSize;
  COLORREF FTransparentColor;
  bool FTransparent;
};
