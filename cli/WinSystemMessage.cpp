#include "WinSystemMessage.h"

#include "WideText.h"

namespace zefa::cli {

std::string SystemMessage(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = length > 0 ? std::wstring(text, length) : std::wstring();
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L'.')) {
    message.pop_back();
  }
  return message.empty() ? "system error " + std::to_string(code) : WideToUtf8(message);
}

}  // namespace zefa::cli
