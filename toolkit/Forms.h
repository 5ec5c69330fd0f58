// A form: a top-level window that owns its controls. A derived form builds
// its controls in its constructor and calls DoCreate last, which runs
// OnCreate before the window is ever shown.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Component.h"
#include "Controls.h"
#include "Graphics.h"
#include "WindowHandle.h"

// Sets canClose (true on entry) to false to keep the form open.
using TCloseQueryEvent = std::function<void(TObject* Sender, bool& canClose)>;

// Forms are owned by the application window, which stands for the whole
// program on the task bar; a form therefore has no task-bar button of its
// own, and minimising the main form minimises the application.
class TForm : public TComponent {
 public:
  // windowClass is the name under which the form's window is registered.
  TForm(TComponent* owner, const std::wstring& windowClass);
  // Destroys the owned components (controls and others, the last created
  // first) while the window still exists, then the window.
  ~TForm() override;

  HWND Handle() const { return FWindow.Get(); }

  void SetCaption(const std::string& text);
  std::string Caption() const;

  // Screen position of the window's top-left corner.
  void SetPosition(int left, int top);
  void SetClientSize(int width, int height);
  SIZE ClientSize() const;
  // On, the client area is kept as large as the right and bottom edges of
  // the controls reach.
  void SetAutoSize(bool autoSize);
  bool AutoSize() const { return FAutoSize; }

  TColor Color() const { return FBrush->Color(); }
  void SetColor(TColor color);
  HBRUSH Brush() const { return FBrush->Handle(); }

  // The font of every control that sets none of its own.
  const TFontDesc& Font() const { return FFont; }
  void SetFont(const TFontDesc& wanted);

  void Show();
  // Hides the form; closing the application's main window ends the
  // application's message loop.
  void Close();
  // Whether the form may close now: asks OnCloseQuery, yes without one.
  // The close box, the system menu and the end of the Windows session ask
  // it first; Close itself does not.
  bool CloseQuery();

  // The controls, in the order of their creation.
  const std::vector<TControl*>& Controls() const { return FControls; }
  TControl* FindControl(HWND window) const;

  TNotifyEvent OnCreate;
  TCloseQueryEvent OnCloseQuery;

 protected:
  // The end of construction: runs OnCreate. An exception that escapes the
  // handler goes to the application's default handling; the form stays.
  void DoCreate();

 private:
  friend class TControl;
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void AddControl(TControl* control);
  void RemoveControl(TControl* control);
  void ControlBoundsChanged();
  void ApplyTabOrder();
  void Activated(bool active);
  void FocusSavedControl();
  // The button that Enter presses: the focused one, if a push button.
  TControl* FocusedPushButton() const;

  TFontDesc FFont;
  std::unique_ptr<TBrush> FBrush;
  bool FAutoSize;
  bool FDestroying;
  HWND FFocusedControl;
  std::vector<TControl*> FControls;
  TWindowHandle FWindow;
};
