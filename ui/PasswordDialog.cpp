#include "PasswordDialog.h"

#include "Resource.h"
#include "WindowHelpers.h"
#include "stub/State.h"

INT_PTR CALLBACK PasswordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    CentreOnScreen(dialog);
    SetFocus(GetDlgItem(dialog, IDC_PASSWORD_EDIT));  // FALSE below keeps the focus here
  } else if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
    const UINT n = GetDlgItemTextA(dialog, IDC_PASSWORD_EDIT, gPassword, sizeof gPassword);
    gPassword[n < sizeof gPassword ? n : sizeof gPassword - 1] = 0;
    EndDialog(dialog, 1);
  }
  return FALSE;
}
