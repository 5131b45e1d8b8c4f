// Window routines the dialogs share.
#pragma once

#include <windows.h>

// Moves a top-level window to the middle of the primary screen; size and z-order stay.
void CentreOnScreen(HWND window);
// Enables or disables every visible descendant of `window` except static text controls.
void SetChildControlsEnabled(HWND window, bool enable);
