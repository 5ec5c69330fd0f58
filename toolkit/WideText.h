// UTF-8 (how the program holds its texts) to UTF-16 (what the wide Win32
// functions take) and back.
#pragma once

#include <string>

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
