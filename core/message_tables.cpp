#include "message_tables.h"

#include <array>

namespace zefa {
namespace {

constexpr uint32_t MbOk = 0x0;
constexpr uint32_t MbOkCancel = 0x1;
constexpr uint32_t MbAbortRetryIgnore = 0x2;
constexpr uint32_t MbYesNoCancel = 0x3;
constexpr uint32_t MbYesNo = 0x4;
constexpr uint32_t MbRetryCancel = 0x5;
constexpr uint32_t MbHelp = 0x4000;

constexpr uint32_t MbIconError = 0x10;
constexpr uint32_t MbIconQuestion = 0x20;
constexpr uint32_t MbIconWarning = 0x30;
constexpr uint32_t MbIconInformation = 0x40;

constexpr std::array<uint32_t, 4> IconFlags = {MbIconWarning, MbIconInformation, MbIconQuestion,
                                               MbIconError};

// Indexed by language, then kind.
constexpr std::array<std::array<const char*, 4>, 2> Captions = {{
    {"警告", "情報", "確認", "エラー"},
    {"Warning", "Information", "Question", "Error"},
}};

// Code 2, not 0, is the plain OK box.
constexpr std::array<uint32_t, 7> ButtonFlags = {
    MbAbortRetryIgnore, MbHelp, MbOk, MbOkCancel, MbRetryCancel, MbYesNo, MbYesNoCancel,
};

// Entry 0 is never shown: message number 0 selects the text argument.
constexpr std::array<const char*, 2> NumberedMessages = {
    "DATA NAMEの入力",
    "DATA NAMEの変更ができます",
};

struct PortTexts {
  const char* setUpSuffix;
  const char* unusableSuffix;
  const char* closed;
};

constexpr std::array<PortTexts, 2> WindowTexts = {{
    {" 設定完了", "は使用できません", "シリアルポートを閉じました"},
    {" completion", " does not exist", "Close"},
}};

size_t LanguageRow(int32_t language) {
  return language == LanguageEnglish ? 1 : 0;
}

std::string PortName(int32_t portNo) {
  return "COM" + std::to_string(portNo);
}

}  // namespace

MessageBoxContent ComposeMessageBox(uint8_t kind, uint8_t buttons, int32_t messageNo, int32_t language,
                                 const std::string& text) {
  MessageBoxContent box{0, std::string(), text};
  if (kind < IconFlags.size()) {
    box.style = IconFlags[kind];
    box.caption = Captions[LanguageRow(language)][kind];
  }
  if (buttons < ButtonFlags.size()) box.style |= ButtonFlags[buttons];
  if (messageNo > 0 && static_cast<size_t>(messageNo) < NumberedMessages.size()) {
    box.text = NumberedMessages[static_cast<size_t>(messageNo)];
  }
  return box;
}

std::string PortSetUpText(int32_t portNo, int32_t language) {
  return PortName(portNo) + WindowTexts[LanguageRow(language)].setUpSuffix;
}

std::string PortUnusableText(int32_t portNo, int32_t language) {
  return PortName(portNo) + WindowTexts[LanguageRow(language)].unusableSuffix;
}

std::string PortClosedText(int32_t language) {
  return WindowTexts[LanguageRow(language)].closed;
}

}  // namespace zefa
