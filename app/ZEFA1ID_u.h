// The main window: reads and writes the board's ID through the serial port
// chosen in its port list, and remembers that choice in the settings file.
#pragma once

#include <cstdint>
#include <string>

#include "Controls.h"
#include "Forms.h"

class TForm1 : public TForm {
 public:
  // Lays the window out, then runs FormCreate (before it is first shown).
  explicit TForm1(TComponent* Owner);

  TButton* ReadBtn;
  TButton* WriteBtn;
  TButton* ExitBtn;
  TLabel* Label1;
  TLabel* Label2;
  TComboBox* ID_LIST;
  TImage* Image1;
  TImage* Image2;
  TComboBox* CommPort;
  TLabel* Label3;

 private:
  void CreateControls();
};

// The one main window; the application object owns it.
extern TForm1* Form1;
