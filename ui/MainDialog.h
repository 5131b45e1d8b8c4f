// The main dialog "MainDialog": destination, overwrite mode, Decrypt, About and the folder
// chooser. Decrypt runs the extraction attempt inside the dialog procedure; its decryption runs
// on a worker thread while the dialog keeps answering, shows the progress and takes Cancel.
#pragma once

#include <windows.h>

#include "crypto/Status.h"

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Runs the main dialog modally to its end. Returns the error that ended an extraction attempt,
// if one did; the dialog has then been closed so that the caller can report it.
Status RunMainDialog();

// Runs `work(argument)` on a worker thread while the main dialog keeps handling every message of
// this thread: it repaints and moves, shows how far the extraction has got (gProgress) in its
// title, its footer and, from Windows 7 on, its taskbar button, and Cancel (the button, Esc, the
// close box, Alt+F4) sets gProgress.stop. An auto-start attempt shows the dialog here. Returns
// once the work has ended, the title and footer as they were. Where the system gives no thread,
// the work runs here.
void RunAnswering(LPTHREAD_START_ROUTINE work, void* argument);
