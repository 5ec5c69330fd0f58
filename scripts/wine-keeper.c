/* Keeps Wine's desktop process of a prefix alive while tests run.
 *
 * The desktop process starts with the first program that makes a window and
 * inherits that program's standard handles; it lingers about 20 s after the
 * last window is gone. Started by a test under ctest, it would hold ctest's
 * pipes that long after every test. This program owns a hidden window from
 * the environment's start to its end, so the desktop process starts here,
 * with no pipes, and stays.
 */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command, int show) {
  (void)previous;
  (void)command;
  (void)show;
  HWND window = CreateWindowExW(0, L"STATIC", L"wine-env keeper", WS_POPUP, 0, 0, 1, 1, NULL, NULL,
                                instance, NULL);
  if (window == NULL) return 1;
  MSG msg;
  while (GetMessageW(&msg, NULL, 0, 0) > 0) DispatchMessageW(&msg);
  return 0;
}
