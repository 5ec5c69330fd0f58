// What the screen shows, and the mouse as a person moves it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace uidriver {

// The colours of a screen rectangle as 0xRRGGBB, row by row from the top.
std::vector<uint32_t> CapturePixels(const RECT& screenRect);

// Moves the pointer to a screen point and clicks the left button there.
void ClickAt(POINT screenPoint);

}  // namespace uidriver
