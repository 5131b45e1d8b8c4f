#include "Progress.h"

#include <shobjidl.h>

#include "Resource.h"
#include "stub/State.h"
#include "stub/Text.h"

namespace {

char gFooter[96];       // the footer's own text, given back at the end
int gShownPercent;      // what the title shows, -1 before the first tick
uint32_t gShownUnits;   // what the footer shows, in its units

// The taskbar button's bar (Windows 7 and later) through COM, with ole32.dll loaded from the
// system folder at run time: the stub imports no ole32, and Windows 95 may lack it. Any failure
// leaves the button without a bar.
HMODULE gOle;
ITaskbarList3* gTaskbar;
bool gComStarted;
constexpr GUID kTaskbarListClass = {0x56fdf344, 0xfd6d, 0x11d0, {0x95, 0x8a, 0x00, 0x60, 0x97, 0xc9, 0xa0, 0x90}};
constexpr GUID kTaskbarList3 = {0xea1afb91, 0x9e28, 0x4b86, {0x90, 0xe9, 0x9e, 0x9f, 0x8a, 0x5e, 0xef, 0xaf}};

FARPROC OleFunction(const char* name) {
  if (!gOle) {
    char path[MAX_PATH + 12];
    const UINT n = GetSystemDirectoryA(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return nullptr;
    TextBuilder(path + n, int(sizeof path - n)).Add("\\ole32.dll");
    gOle = LoadLibraryA(path);
    if (!gOle) return nullptr;
  }
  return GetProcAddress(gOle, name);
}

void StartTaskbarBar() {
  using InitFn = HRESULT(WINAPI*)(void*);
  using CreateFn = HRESULT(WINAPI*)(REFCLSID, IUnknown*, DWORD, REFIID, void**);
  const auto init = reinterpret_cast<InitFn>(reinterpret_cast<void*>(OleFunction("CoInitialize")));
  const auto create = reinterpret_cast<CreateFn>(reinterpret_cast<void*>(OleFunction("CoCreateInstance")));
  if (!init || !create || FAILED(init(nullptr))) return;
  gComStarted = true;
  void* list = nullptr;
  if (FAILED(create(kTaskbarListClass, nullptr, CLSCTX_INPROC_SERVER, kTaskbarList3, &list)) || !list) return;
  gTaskbar = static_cast<ITaskbarList3*>(list);
  if (FAILED(gTaskbar->HrInit())) {
    gTaskbar->Release();
    gTaskbar = nullptr;
  }
}

void EndTaskbarBar(HWND dialog) {
  if (gTaskbar) {
    gTaskbar->SetProgressState(dialog, TBPF_NOPROGRESS);
    gTaskbar->Release();
    gTaskbar = nullptr;
  }
  if (gComStarted) reinterpret_cast<void(WINAPI*)()>(reinterpret_cast<void*>(OleFunction("CoUninitialize")))();
  gComStarted = false;
}

void SetFooter(HWND dialog, const char* text) {
  SendDlgItemMessageA(dialog, IDC_FOOTER, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

}  // namespace

void BeginProgress(HWND dialog) {
  gShownPercent = -1;
  gShownUnits = ~0u;
  SendDlgItemMessageA(dialog, IDC_FOOTER, WM_GETTEXT, sizeof gFooter, reinterpret_cast<LPARAM>(gFooter));
  StartTaskbarBar();
}

void ShowProgress(HWND dialog) {
  const uint32_t total = gProgress.totalKiB;
  uint32_t done = __atomic_load_n(&gProgress.doneKiB, __ATOMIC_RELAXED);
  if (done > total) done = total;
  const int percent = total ? int(uint64_t(done) * 100 / total) : 100;
  // MiB from 10 MiB on, KiB below: the footer moves at least once a second at any speed.
  const bool mebi = total >= 10 * 1024;
  const uint32_t units = mebi ? done >> 10 : done;
  if (percent != gShownPercent) {
    char title[101], line[120];
    ReadField(gHeader.windowTitle, title);
    TextBuilder(line, sizeof line).AddDecimal(uint32_t(percent)).Add("% - ").Add(title);
    SetWindowTextA(dialog, line);
    gShownPercent = percent;
  }
  if (units != gShownUnits) {
    char line[96];
    TextBuilder(line, sizeof line)
        .Add("Extracting... ")
        .AddDecimal(uint32_t(percent))
        .Add("% (")
        .AddDecimal(units)
        .Add(" of ")
        .AddDecimal(mebi ? total >> 10 : total)
        .Add(mebi ? " MiB)" : " KiB)");
    SetFooter(dialog, line);
    gShownUnits = units;
    if (gTaskbar) gTaskbar->SetProgressValue(dialog, done, total);
  }
}

void EndProgress(HWND dialog) {
  if (gShownPercent >= 0) {
    char title[101];
    ReadField(gHeader.windowTitle, title);
    SetWindowTextA(dialog, title);
    SetFooter(dialog, gFooter);
  }
  EndTaskbarBar(dialog);
}
