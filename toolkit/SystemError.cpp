#include "SystemError.h"

#include <exception>

#include "Application.h"
#include "Exception.h"

void RaiseLastSystemError(const std::string& text) {
  const DWORD code = GetLastError();
  throw Exception(text + " (エラー " + std::to_string(code) + ")");
}

void HandleEscapedException() noexcept {
  try {
    try {
      throw;
    } catch (const std::exception& error) {
      if (Application != nullptr) Application->HandleException(error);
    } catch (...) {
      if (Application != nullptr) Application->HandleException();
    }
  } catch (...) {
    // Showing the error failed as well (no memory for the box): nothing
    // more can be told to the user, and the program carries on.
  }
}
