#include "FolderChooser.h"

#include <shlobj.h>

#include "Resource.h"

namespace {
BROWSEINFOA gBrowseInfo;
// The browser writes the chosen item's display name here; the callback uses it as scratch.
char gDisplayName[MAX_PATH];

// Returns the browser's item list to the shell's allocator (shell32 alone, as on Windows 95).
void FreeItemList(LPITEMIDLIST item) {
  IMalloc* allocator = nullptr;
  if (SHGetMalloc(&allocator) == S_OK && allocator) {
    allocator->Free(item);
    allocator->Release();
  }
}
}  // namespace

int CALLBACK FolderChooserCallback(HWND browser, UINT message, LPARAM lParam, LPARAM) {
  if (message == BFFM_SELCHANGED && !SHGetPathFromIDListA(reinterpret_cast<LPCITEMIDLIST>(lParam), gDisplayName))
    EnableWindow(GetDlgItem(browser, IDOK), FALSE);
  return 0;
}

void ChooseDestinationFolder(HWND dialog) {
  gBrowseInfo = BROWSEINFOA{};
  gBrowseInfo.hwndOwner = dialog;
  gBrowseInfo.pszDisplayName = gDisplayName;
  gBrowseInfo.lpszTitle = "Please choose the destination directory";
  gBrowseInfo.ulFlags = BIF_RETURNONLYFSDIRS;
  gBrowseInfo.lpfn = FolderChooserCallback;
  LPITEMIDLIST item = SHBrowseForFolderA(&gBrowseInfo);
  if (!item) return;
  char path[MAX_PATH];
  path[0] = 0;
  // Neither result is examined: the edit box shows whatever path the shell gave.
  SHGetPathFromIDListA(item, path);
  SetCurrentDirectoryA(path);
  FreeItemList(item);
  SendMessageA(GetDlgItem(dialog, IDC_DEST_EDIT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path));
}
