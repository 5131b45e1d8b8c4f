// How the main dialog shows an extraction's progress (gProgress): the percentage in its title,
// which the taskbar button shows on every Windows version and tools that read window texts can
// follow; a line in its footer; and, from Windows 7 on, the taskbar button's own bar.
#pragma once

#include <windows.h>

// Remembers the footer's text and prepares the taskbar button's bar; shows nothing yet.
void BeginProgress(HWND dialog);
// Shows how far the extraction has got, where that changed since it was last shown.
void ShowProgress(HWND dialog);
// Gives the title and the footer back their texts and clears the taskbar button's bar.
void EndProgress(HWND dialog);
