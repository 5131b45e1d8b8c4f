#include "MainDialog.h"

#include "FolderChooser.h"
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

}  // namespace

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    InitMainDialog(dialog);
    return FALSE;  // no default focus
  }
  if (message != WM_COMMAND) return FALSE;
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
