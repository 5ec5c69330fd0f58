// The main window: reads and writes the board's ID through the serial port
// chosen in its port list, and remembers that choice in the settings file.
#pragma once

#include <cstdint>
#include <string>

#include "CommX.h"
#include "Controls.h"
#include "Forms.h"
#include "board_protocol.h"

class TForm1 : public TForm {
 public:
  // Lays the window out, then runs FormCreate (before it is first shown).
  explicit TForm1(TComponent* Owner);
  ~TForm1() override;

  TButton* ReadBtn;
  TButton* WriteBtn;
  TButton* ExitBtn;
  TLabel* Label1;
  TLabel* Label2;
  TComboBox* ID_LIST;
  TImage* Image1;
  TImage* Image2;
  TCommX* CommX1;
  TComboBox* CommPort;
  TLabel* Label3;

  // The board ID protocol over CommX1.
  void AppendChecksum(std::string& request);
  void Transact(const std::string& request, std::string& answer, int32_t expectedLength, int32_t& attempts,
                int32_t& receivedLength);
  bool ReadId(int32_t& attempts, int32_t& id);
  bool WriteId(int32_t& attempts, int32_t& id);
  // Read and write procedures; a press while an exchange is under way
  // starts nothing.
  void ReadBtnClick(TObject* Sender);
  void WriteBtnClick(TObject* Sender);

  // The port choice in the settings file beside the program.
  void LoadSettings();
  void SaveSettings();

  // Restores and applies the saved port.
  void FormCreate(TObject* Sender);
  // Applies the port chosen in CommPort, whether or not it changed.
  void CommPortCloseUp(TObject* Sender);
  // Saves the port choice, closes the port and ends the program. During an
  // exchange, once the exchange has shown its outcome.
  void ExitBtnClick(TObject* Sender);
  // The close box, the system menu and the end of the Windows session:
  // refused while an exchange runs, and carried out once it has shown its
  // outcome.
  void FormCloseQuery(TObject* Sender, bool& CanClose);

 private:
  // What the user asked for while an exchange ran; the first request holds.
  enum class TPendingLeave { None, Exit, Close };

  void CreateControls();
  void Leave();
  // Carries out what was asked while the exchange ran.
  void ExchangeEnded();

  // Lets one exchange with the board run at a time.
  zefa::BoardExchange FExchange;
  TPendingLeave FPendingLeave;
};

// The one main window; the application object owns it.
extern TForm1* Form1;
