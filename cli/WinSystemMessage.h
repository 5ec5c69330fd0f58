// The system's own words for a Win32 error code, in UTF-8.
#pragma once

#include <windows.h>

#include <string>

namespace zefa::cli {

std::string SystemMessage(DWORD code);

}  // namespace zefa::cli
