#include "port_choice.h"

#include "message_tables.h"

namespace zefa {

namespace {

void OpenWithLineSettings(PortSetup& port, int32_t portNo) {
  port.Close();
  port.SetBitRate(kLineBitRate);
  port.SetBufLenReceive(kLineBufferLength);
  port.SetBufLenTrans(kLineBufferLength);
  port.SetCharSize(kLineCharSize);
  port.SetNoFlowControl();
  port.SetNoParity();
  port.SetPortNo(portNo);
  port.SetOneStopBit();
  port.SetTimeOutReceive(kLineTimeOutReceive);
  port.SetTimeOutTrans(kLineTimeOutTrans);
  port.Open();
  // One pulse on DTR, then nothing left over from before in either queue.
  port.SetDtr(true);
  port.SetDtr(false);
  port.PurgeReceive();
  port.PurgeSend();
}

}  // namespace

void ApplyPortChoice(PortSetup& port, int32_t itemIndex, MessageBoxSink& box, int32_t language) {
  if (itemIndex == 0) {
    port.Close();
    box.MsgBox(KindInformation, ButtonsOk, 0, language, PortClosedText(language));
    return;
  }
  try {
    OpenWithLineSettings(port, itemIndex);
    box.MsgBox(KindInformation, ButtonsOk, 0, language, PortSetUpText(port.PortNo(), language));
  } catch (...) {
    // Whatever failed, the user learns only that this port cannot be used.
    box.MsgBox(KindWarning, ButtonsOk, 0, language, PortUnusableText(port.PortNo(), language));
    port.Close();
  }
}

}  // namespace zefa
