// The destination folder chooser behind the main dialog's "..." button.
#pragma once

#include <windows.h>

// Lets the user pick a folder with the shell's folder browser; a chosen folder goes into the
// destination edit box and becomes the current folder. Cancel changes nothing.
void ChooseDestinationFolder(HWND dialog);
// The browser's callback: greys OK for a selection without a file-system path. Returns 0.
int CALLBACK FolderChooserCallback(HWND browser, UINT message, LPARAM lParam, LPARAM data);
