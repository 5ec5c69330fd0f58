#include "ZEFA1ID_u.h"

#include <windows.h>

#include "ControlIds.h"
#include "FormAdapters.h"
#include "MessageDialog_u.h"
#include "SettingsFile.h"
#include "port_choice.h"

TForm1* Form1 = nullptr;

namespace {

namespace id = zefa::control_id;

const char kCaption[] = "ZEFA1 ID Programmer";
const char kPGothic[] = "ＭＳ Ｐゴシック";

TFontDesc JapaneseFont(const char* face, int height, int weight, TColor color = clWindowText) {
  TFontDesc font;
  font.Name = face;
  font.Height = height;
  font.Weight = weight;
  font.Color = color;
  font.Charset = SHIFTJIS_CHARSET;
  return font;
}

}  // namespace

TForm1::TForm1(TComponent* Owner)
    : TForm(Owner, L"TForm1"),
      ReadBtn(nullptr),
      WriteBtn(nullptr),
      ExitBtn(nullptr),
      Label1(nullptr),
      Label2(nullptr),
      ID_LIST(nullptr),
      Image1(nullptr),
      Image2(nullptr),
      CommX1(nullptr),
      CommPort(nullptr),
      Label3(nullptr),
      FPendingLeave(TPendingLeave::None) {
  SetCaption(kCaption);
  SetColor(clBtnFace);
  SetFont(JapaneseFont(kPGothic, 12, FW_NORMAL));
  SetPosition(198, 127);
  CreateControls();
  // The client area ends where the exit button does: 507 x 135.
  SetAutoSize(true);
  OnCreate = [this](TObject* sender) { FormCreate(sender); };
  OnCloseQuery = [this](TObject* sender, bool& canClose) { FormCloseQuery(sender, canClose); };
  DoCreate();
}

TForm1::~TForm1() {
  if (Form1 == this) Form1 = nullptr;
}

void TForm1::CreateControls() {
  Label1 = new TLabel(this, id::Label1);
  Label1->SetBounds(0, 0, 506, 16);
  Label1->SetFont(JapaneseFont(kPGothic, 16, FW_BOLD, clRed));
  Label1->SetWordWrap(true);
  Label1->SetCaption("ＩＤを読み書きする場合は、ZEFA-1とパソコンを１対１で接続してください");

  Label2 = new TLabel(this, id::Label2);
  Label2->SetBounds(224, 29, 15, 15);
  Label2->SetFont(JapaneseFont(kPGothic, 15, FW_NORMAL));
  Label2->SetCaption("ＩＤ");

  Image1 = new TImage(this, id::Image1);
  Image1->SetBounds(168, 32, 48, 48);
  Image1->LoadFromResource(L"ARROW");
  Image1->SetTransparent(true);

  Image2 = new TImage(this, id::Image2);
  Image2->SetBounds(288, 32, 48, 48);
  Image2->LoadFromResource(L"ARROW");
  Image2->SetTransparent(true);

  Label3 = new TLabel(this, id::Label3);
  Label3->SetBounds(3, 102, 38, 13);
  Label3->SetFont(JapaneseFont("MS UI Gothic", 13, FW_NORMAL));
  Label3->SetCaption("COMM");

  ReadBtn = new TButton(this, id::ReadBtn);
  ReadBtn->SetBounds(40, 24, 121, 65);
  ReadBtn->SetCaption("現在のＩＤを読み取る");
  ReadBtn->SetTabOrder(0);
  ReadBtn->OnClick = [this](TObject* sender) { ReadBtnClick(sender); };

  WriteBtn = new TButton(this, id::WriteBtn);
  WriteBtn->SetBounds(344, 24, 121, 65);
  WriteBtn->SetCaption("指定のＩＤを書き込む");
  WriteBtn->SetTabOrder(1);
  WriteBtn->OnClick = [this](TObject* sender) { WriteBtnClick(sender); };

  ExitBtn = new TButton(this, id::ExitBtn);
  ExitBtn->SetBounds(432, 110, 75, 25);
  ExitBtn->SetCaption("終了");
  ExitBtn->SetTabOrder(2);
  ExitBtn->OnClick = [this](TObject* sender) { ExitBtnClick(sender); };

  ID_LIST = new TComboBox(this, id::ID_LIST);
  ID_LIST->SetFont(JapaneseFont(kPGothic, 19, FW_BOLD));
  for (int value = 0; value <= 31; ++value) ID_LIST->AddItem(std::to_string(value));
  ID_LIST->SetItemHeight(19);
  ID_LIST->SetDropDownCount(10);
  ID_LIST->SetBounds(224, 49, 57, 27);
  ID_LIST->SetItemIndex(0);
  ID_LIST->SetTabOrder(3);

  CommPort = new TComboBox(this, id::CommPort);
  CommPort->AddItem("OFF");
  for (int port = 1; port <= 20; ++port) CommPort->AddItem("COM" + std::to_string(port));
  CommPort->SetItemHeight(12);
  CommPort->SetDropDownCount(21);
  CommPort->SetBounds(0, 115, 69, 20);
  CommPort->SetItemIndex(0);
  CommPort->SetHint("使用するシリアルポートの番号を設定します");
  CommPort->SetTabOrder(4);
  CommPort->OnCloseUp = [this](TObject* sender) { CommPortCloseUp(sender); };

  // Created with its defaults: the port choice sets the line.
  CommX1 = new TCommX(this);
}

void TForm1::AppendChecksum(std::string& request) { zefa::AppendChecksum(request); }

void TForm1::Transact(const std::string& request, std::string& answer, int32_t expectedLength, int32_t& attempts,
                      int32_t& receivedLength) {
  zefa::CommXBoardPort port(*CommX1);
  zefa::Transact(port, request, answer, expectedLength, attempts, receivedLength);
}

bool TForm1::ReadId(int32_t& attempts, int32_t& id) {
  zefa::CommXBoardPort port(*CommX1);
  return zefa::ReadId(port, attempts, id);
}

bool TForm1::WriteId(int32_t& attempts, int32_t& id) {
  zefa::CommXBoardPort port(*CommX1);
  return zefa::WriteId(port, attempts, id);
}

void TForm1::ReadBtnClick(TObject* /*Sender*/) {
  zefa::CommXBoardPort port(*CommX1);
  zefa::ComboBoxIdList idList(*ID_LIST);
  zefa::MsgBoxSink box;
  // A press ignored inside a running exchange is not its end.
  if (FExchange.Read(port, idList, box, MsgLanguage)) ExchangeEnded();
}

void TForm1::WriteBtnClick(TObject* /*Sender*/) {
  zefa::CommXBoardPort port(*CommX1);
  zefa::ComboBoxIdList idList(*ID_LIST);
  zefa::MsgBoxSink box;
  if (FExchange.Write(port, idList, box, MsgLanguage)) ExchangeEnded();
}

void TForm1::LoadSettings() {
  zefa::ComboBoxIdList commPort(*CommPort);
  zefa::MsgBoxSink box;
  zefa::LoadSettings(commPort, box);
}

void TForm1::SaveSettings() {
  zefa::ComboBoxIdList commPort(*CommPort);
  zefa::MsgBoxSink box;
  zefa::SaveSettings(commPort, box);
}

void TForm1::FormCreate(TObject* /*Sender*/) {
  LoadSettings();
  CommPortCloseUp(CommPort);
}

void TForm1::CommPortCloseUp(TObject* /*Sender*/) {
  zefa::CommXPortSetup port(*CommX1);
  zefa::MsgBoxSink box;
  zefa::ApplyPortChoice(port, CommPort->ItemIndex(), box, MsgLanguage);
}

void TForm1::ExitBtnClick(TObject* /*Sender*/) {
  if (FExchange.Busy()) {
    // Closing the port now would cut the exchange short, and its outcome
    // box would come up with no window behind it: the write may already
    // have set the board's ID.
    if (FPendingLeave == TPendingLeave::None) FPendingLeave = TPendingLeave::Exit;
    return;
  }
  Leave();
}

void TForm1::Leave() {
  SaveSettings();
  CommX1->Close();
  Close();
}

void TForm1::FormCloseQuery(TObject* /*Sender*/, bool& CanClose) {
  if (!FExchange.Busy()) return;
  CanClose = false;
  if (FPendingLeave == TPendingLeave::None) FPendingLeave = TPendingLeave::Close;
}

void TForm1::ExchangeEnded() {
  const TPendingLeave pending = FPendingLeave;
  FPendingLeave = TPendingLeave::None;
  switch (pending) {
    case TPendingLeave::Exit:
      Leave();
      break;
    case TPendingLeave::Close:
      // As by the close box: nothing saved; the port closes with the
      // component at the program's end.
      Close();
      break;
    case TPendingLeave::None:
      break;
  }
}
