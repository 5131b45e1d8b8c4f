#include "MainDialog.h"

#include "FolderChooser.h"
#include "Progress.h"
#include "Resource.h"
#include "WindowHelpers.h"
#include "stub/ExtractArchive.h"
#include "stub/Launcher.h"
#include "stub/State.h"

namespace {

// The error that ended an extraction attempt, handed to start-up once the dialog is gone.
Status gAttemptError;
// True while the auto-start attempt runs, inside WM_INITDIALOG.
bool gAutoStarting;
HWND gDialog;
// True while a worker decrypts: Cancel then stops it instead of ending the dialog.
bool gDecrypting;
// The tick on which the progress is shown while a worker decrypts: five times a second, which
// moves it smoothly and costs the dialog's thread next to nothing.
constexpr UINT_PTR kProgressTimer = 1;
constexpr UINT kProgressTickMs = 200;

constexpr char kAboutText[] =
    "Copyright (C) 2006-2026 the Kestrix authors. All rights reserved.\r\n"
    "\r\n"
    "This self-extracting archive was created with Kestrix 1.0.\r\n"
    "Encrypted self-extracting archives for Windows 95/98/NT/2000/XP/Vista.\r\n"
    "\r\n"
    "More information about Kestrix: https://zqv.example\r\n"
    "\r\n"
    "Please send your questions or suggestions to support@zqv.example.";

void InitMainDialog(HWND dialog) {
  gDialog = dialog;
  SetClassLongA(dialog, GCL_HICON, LONG(reinterpret_cast<uintptr_t>(LoadIconA(gInstance, "MNICON"))));
  char text[256];
  ReadField(gHeader.destinationDir, text);
  SendDlgItemMessageA(dialog, IDC_DEST_EDIT, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
  SendDlgItemMessageA(dialog, IDC_DEST_EDIT, EM_SETSEL, 0, 0x7FFF);
  // A mode other than 0, 1 or 2 names no radio button: none is checked, and the mode stays.
  SendDlgItemMessageA(dialog, IDC_OVERWRITE + gHeader.overwriteMode, BM_SETCHECK, BST_CHECKED, 0);
  gOverwriteMode = gHeader.overwriteMode;
  if (gHeader.hideOverwrite == 1) {
    static const int kModeControls[] = {IDC_MODE_GROUP, IDC_OVERWRITE, IDC_SKIP, IDC_CONFIRM};
    for (int id : kModeControls) DestroyWindow(GetDlgItem(dialog, id));
  }
  char title[101];
  ReadField(gHeader.windowTitle, title);
  SetWindowTextA(dialog, title);
  CentreOnScreen(dialog);
  // Sent, not posted: with auto-start the whole attempt runs before the dialog is first shown.
  if (gHeader.autoStart == 1) {
    gAutoStarting = true;
    SendMessageA(dialog, WM_COMMAND, IDOK, 0);
    gAutoStarting = false;
  }
}

// Ends the dialog once an attempt has ended the run. Wine's dialog manager shows a dialog whose
// template is visible as soon as WM_INITDIALOG returns, even when EndDialog was called during it
// (Windows shows a modal dialog only once its loop first goes idle, which an ended one never
// reaches), so an auto-start attempt ending the dialog there would flash it on the screen just
// before it goes. Such a run ends the process at once instead, as start-up would end it.
void EndAttempt(HWND dialog, const Status& outcome) {
  if (gAutoStarting) EndRun(outcome);
  gAttemptError = outcome;
  EndDialog(dialog, outcome.Ok() ? 1 : 0);
}

void Decrypt(HWND dialog) {
  const UINT n = GetDlgItemTextA(dialog, IDC_DEST_EDIT, gDestinationDir, 260);
  gDestinationDir[n < 260 ? n : 259] = 0;
  if (gDestinationDir[0] == 0) {
    const DWORD m = GetCurrentDirectoryA(260, gDestinationDir);
    if (m == 0 || m >= 260) gDestinationDir[0] = 0;
    SendDlgItemMessageA(dialog, IDC_DEST_EDIT, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(gDestinationDir));
  }
  SetChildControlsEnabled(dialog, false);
  bool verified = false;
  const Status outcome = ExtractArchive(verified);
  if (!outcome.Ok()) {
    EndAttempt(dialog, outcome);
    return;
  }
  SetChildControlsEnabled(dialog, true);
  if (verified) {
    LaunchRunAfter();
    EndAttempt(dialog, outcome);
  }
}

// A tick while a worker decrypts. An auto-start attempt, which runs before the dialog is first
// shown, shows it at its first tick, its controls disabled as Decrypt disables them, Cancel
// aside; an extraction that ends sooner never shows it.
void OnProgressTick(HWND dialog) {
  if (!IsWindowVisible(dialog)) {
    ShowWindow(dialog, SW_SHOW);
    SetChildControlsEnabled(dialog, false);
    EnableWindow(GetDlgItem(dialog, IDCANCEL), TRUE);
  }
  ShowProgress(dialog);
}

}  // namespace

void RunAnswering(LPTHREAD_START_ROUTINE work, void* argument) {
  DWORD id;
  const HANDLE worker = CreateThread(nullptr, 0, work, argument, 0, &id);
  if (!worker) {
    work(argument);
    return;
  }
  // Cancel is the one control taken meanwhile; afterwards it is as it was (enabled in a dialog
  // not yet shown, which Decrypt leaves alone).
  const HWND cancel = GetDlgItem(gDialog, IDCANCEL);
  const BOOL cancelWasEnabled = IsWindowEnabled(cancel);
  gDecrypting = true;
  EnableWindow(cancel, TRUE);
  BeginProgress(gDialog);
  SetTimer(gDialog, kProgressTimer, kProgressTickMs, nullptr);
  // Every message of the thread is handled, as the dialog's own loop handles them, until the
  // worker has ended; none is filtered, so no window of the thread starves.
  for (;;) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (!IsDialogMessageA(gDialog, &message)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
      }
    }
    const DWORD woken = MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT);
    if (woken != WAIT_OBJECT_0 + 1) break;
  }
  WaitForSingleObject(worker, INFINITE);
  CloseHandle(worker);
  KillTimer(gDialog, kProgressTimer);
  EndProgress(gDialog);
  EnableWindow(cancel, cancelWasEnabled);
  gDecrypting = false;
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    InitMainDialog(dialog);
    return FALSE;  // no default focus
  }
  if (message == WM_TIMER && wParam == kProgressTimer && gDecrypting) OnProgressTick(dialog);
  if (message != WM_COMMAND) return FALSE;
  if (gDecrypting) {
    // Cancel (the button, Esc, the close box, Alt+F4) asks the worker to stop; the attempt then
    // ends as if Decrypt had never been pressed. Nothing else is taken meanwhile.
    if (LOWORD(wParam) == IDCANCEL) {
      __atomic_store_n(&gProgress.stop, 1u, __ATOMIC_RELAXED);
      EnableWindow(GetDlgItem(dialog, IDCANCEL), FALSE);
      return TRUE;
    }
    return FALSE;
  }
  switch (LOWORD(wParam)) {
    case IDOK: Decrypt(dialog); break;
    case IDCANCEL: EndDialog(dialog, 2); return TRUE;
    case IDC_ABOUT: MessageBoxA(dialog, kAboutText, "About Kestrix Self-Extractor...", MB_OK); break;
    case IDC_OVERWRITE: gOverwriteMode = 0; break;
    case IDC_SKIP: gOverwriteMode = 1; break;
    case IDC_CONFIRM: gOverwriteMode = 2; break;
    case IDC_BROWSE: ChooseDestinationFolder(dialog); break;
  }
  return FALSE;
}

Status RunMainDialog() {
  DialogBoxParamA(gInstance, "MainDialog", nullptr, MainDialogProc, 0);
  return gAttemptError;
}
