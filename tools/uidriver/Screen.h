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

// Moves the pointer to a screen point and leaves it resting there.
void MovePointer(POINT screenPoint);

// A corner of the screen that lies in none of the rectangles (screen
// coordinates); raises DriverError when every corner does.
POINT CornerOutside(const std::vector<RECT>& avoid);

}  // namespace uidriver
