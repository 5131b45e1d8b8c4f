#include "WindowHelpers.h"

#include "stub/Text.h"

void CentreOnScreen(HWND window) {
  RECT r;
  GetWindowRect(window, &r);
  // Signed division truncates toward zero: a window wider than the screen gets a negative x.
  const int32_t x = (GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left)) / 2;
  const int32_t y = (GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top)) / 2;
  SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

namespace {

BOOL CALLBACK EnableChild(HWND child, LPARAM enable) {
  char name[20];
  if (GetClassNameA(child, name, sizeof name) == 0) name[0] = 0;
  // Labels keep their look; a hidden child (or a dialog not yet shown) is left alone.
  if (IsWindowVisible(child) && !TextEquals(name, "Static")) EnableWindow(child, BOOL(enable));
  return TRUE;
}

}  // namespace

void SetChildControlsEnabled(HWND window, bool enable) { EnumChildWindows(window, EnableChild, enable); }
