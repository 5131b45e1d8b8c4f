// The main dialog "MainDialog": destination, overwrite mode, Decrypt, About and the folder
// chooser. Decrypt runs the whole extraction inside the dialog procedure.
#pragma once

#include <windows.h>

#include "crypto/Status.h"

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Runs the main dialog modally to its end. Returns the error that ended an extraction attempt,
// if one did; the dialog has then been closed so that the caller can report it.
Status RunMainDialog();
