// The one function through which the program shows a message: a modal
// system message box whose icon and caption follow the message's kind, in
// the caption language given, with one of seven button sets.
#pragma once

#include <cstdint>
#include <string>

// Language of the captions and window texts: 0 Japanese, 1 English. Stays 0
// for the whole run; callers read it and pass it to MsgBox.
extern int32_t MsgLanguage;

// kind: 0 warning, 1 information, 2 question, 3 error, 4 to 255 no icon and
// a blank caption. buttons: 0 Abort/Retry/Ignore, 1 OK/Help, 2 OK,
// 3 OK/Cancel, 4 Retry/Cancel, 5 Yes/No, 6 Yes/No/Cancel, 7 to 255 OK.
// messageNo 0 shows text (UTF-8); 1 shows the fixed message number 1.
// Shown owned by the application window; returns the identifier of the
// button that closed the box, or 0 when the box could not be shown. Must be
// called on the user-interface thread; raises nothing.
int32_t MsgBox(uint8_t kind, uint8_t buttons, int32_t messageNo, int32_t language, const std::string& text);
