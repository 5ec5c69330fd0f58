// The fixed texts of the program and how a message box is composed from a
// kind, a button set, a message number and a language. Texts are UTF-8; the
// Windows side converts them to UTF-16 when it shows them.
#pragma once

#include <cstdint>
#include <string>

namespace zefa {

// Languages of the caption table and of the window's port texts.
constexpr int32_t LanguageJapanese = 0;
constexpr int32_t LanguageEnglish = 1;

// Message kinds and the plain OK button set, as the callers pass them.
constexpr uint8_t KindWarning = 0;
constexpr uint8_t KindInformation = 1;
constexpr uint8_t KindQuestion = 2;
constexpr uint8_t KindError = 3;
constexpr uint8_t ButtonsOk = 2;

// What MessageBoxW is given: style flags (icon plus buttons, the numeric
// MB_ values), caption and text.
struct MessageBoxContent {
  uint32_t style;
  std::string caption;
  std::string text;
};

// Kinds above 3 give no icon and an empty caption; button codes above 6 give
// the single OK button. Message number 0 shows the text argument, 1 the
// numbered message; any other number is outside the table and shows the
// text argument too. A language other than 0 and 1 reads as Japanese, the
// language the program runs in.
MessageBoxContent ComposeMessageBox(uint8_t kind, uint8_t buttons, int32_t messageNo, int32_t language,
                                 const std::string& text);

// The main window's texts for the port choice: "COM3 設定完了",
// "COM3は使用できません", "シリアルポートを閉じました" (or the English row).
std::string PortSetUpText(int32_t portNo, int32_t language);
std::string PortUnusableText(int32_t portNo, int32_t language);
std::string PortClosedText(int32_t language);

}  // namespace zefa
