// The main window's parts as the Windows-free code sees them: the serial
// port component as a board port and as the port choice's port, a drop-down
// list as an ID list, and MsgBox as the message box.
#pragma once

#include <cstdint>
#include <string>

#include "CommX.h"
#include "Controls.h"
#include "MessageDialog_u.h"
#include "board_port.h"
#include "port_choice.h"

namespace zefa {

class CommXBoardPort : public BoardPort {
 public:
  explicit CommXBoardPort(TCommX& comm) : FComm(comm) {}
  void PurgeReceive() override { FComm.PurgeReceive(); }
  bool SendString(const std::string& bytes) override { return FComm.SendString(bytes); }
  int32_t ReceiveData(void* buffer, int32_t count) override { return FComm.ReceiveData(buffer, count); }

 private:
  TCommX& FComm;
};

class CommXPortSetup : public PortSetup {
 public:
  explicit CommXPortSetup(TCommX& comm) : FComm(comm) {}
  void Close() override { FComm.Close(); }
  void SetBitRate(int32_t value) override { FComm.SetBitRate(value); }
  void SetBufLenReceive(int32_t value) override { FComm.SetBufLenReceive(value); }
  void SetBufLenTrans(int32_t value) override { FComm.SetBufLenTrans(value); }
  void SetCharSize(int32_t value) override { FComm.SetCharSize(value); }
  void SetNoFlowControl() override { FComm.SetFlowCtrl(cfcNone); }
  void SetNoParity() override { FComm.SetParityBit(cpbNone); }
  void SetPortNo(int32_t value) override { FComm.SetPortNo(value); }
  void SetOneStopBit() override { FComm.SetStopBit(csb1); }
  void SetTimeOutReceive(int32_t milliseconds) override { FComm.SetTimeOutReceive(milliseconds); }
  void SetTimeOutTrans(int32_t milliseconds) override { FComm.SetTimeOutTrans(milliseconds); }
  void Open() override { FComm.Open(); }
  void SetDtr(bool value) override { FComm.SetDtr(value); }
  void PurgeReceive() override { FComm.PurgeReceive(); }
  void PurgeSend() override { FComm.PurgeSend(); }
  int32_t PortNo() const override { return FComm.PortNo(); }

 private:
  TCommX& FComm;
};

class ComboBoxIdList : public IdList {
 public:
  explicit ComboBoxIdList(TComboBox& list) : FList(list) {}
  int32_t ItemIndex() const override { return FList.ItemIndex(); }
  void SetItemIndex(int32_t index) override { FList.SetItemIndex(index); }

 private:
  TComboBox& FList;
};

class MsgBoxSink : public MessageBoxSink {
 public:
  int32_t MsgBox(uint8_t kind, uint8_t buttons, int32_t messageNo, int32_t language,
                 const std::string& text) override {
    return ::MsgBox(kind, buttons, messageNo, language, text);
  }
};

}  // namespace zefa
