// The password prompt "PASSWD": asks once per attempt and ends only when the user confirms.
#pragma once

#include <windows.h>

// Fills the process-wide password buffer (at most 79 characters) on IDOK; returns FALSE for
// every message, and leaves IDCANCEL (the Esc key) alone so that the prompt stays open.
INT_PTR CALLBACK PasswordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
