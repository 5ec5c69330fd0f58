// Failures of the window system, and exceptions that reach a window
// procedure.
#pragma once

#include <windows.h>

#include <string>

// Raises Exception with the text and GetLastError's code.
[[noreturn]] void RaiseLastSystemError(const std::string& text);

// For a catch (...) in a window procedure: passes the exception being
// handled to the application's default handling. An exception must never
// cross into the system's code that called the procedure.
void HandleEscapedException() noexcept;
