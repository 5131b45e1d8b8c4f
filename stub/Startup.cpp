// The stub's entry point: reads the archive header out of its own executable, fills in the
// header's defaults and runs the main dialog. Each stage runs only when the previous one
// succeeded; an error that ends an extraction attempt comes back here as a value and becomes
// the one "Application Error" report.
#include <windows.h>

#include "HelperThread.h"
#include "State.h"
#include "Text.h"
#include "crypto/FileStream.h"
#include "crypto/KxCpu.h"
#include "ui/MainDialog.h"

ArchiveHeader gHeader;
char gModulePath[MAX_PATH];
HINSTANCE gInstance;
char gTempFolder[257];
uint8_t gOverwriteMode;
char gDestinationDir[261];
char gPassword[kMaxPasswordLength + 1];
char gPasswordText[kMaxPasswordLength + 1];
ArchiveKeys gKeys;
ExtractionProgress gProgress;

namespace {

// A program started from a Downloads folder must not load a DLL planted beside it. Systems that
// know SetDefaultDllDirectories (Windows 7 with KB2533623 and later) restrict the search to
// the system folder; Windows 95 lacks the call, so it is looked up rather than imported.
void RestrictDllSearch() {
  using SetDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (!kernel) return;
  const auto set = reinterpret_cast<SetDllDirectoriesFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (set) set(0x00000800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */);
}

// The ciphers' SSE-class paths need a system that saves the XMM registers across task switches.
// Systems that say so answer IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE); Windows
// 95 lacks the call, so it is looked up, and without it the portable code runs.
void AllowFastPathsWhereSaved() {
  using FeatureFn = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const auto present = kernel ? reinterpret_cast<FeatureFn>(reinterpret_cast<void*>(
                                    GetProcAddress(kernel, "IsProcessorFeaturePresent")))
                              : nullptr;
  if (!present || !present(10 /* PF_XMMI64_INSTRUCTIONS_AVAILABLE */)) LimitCpuFeatures(0);
}

// The temporary folder, with a backslash at its end; false when the system has none.
bool FindTempFolder() {
  char path[256];
  const DWORD n = GetTempPathA(255, path);
  if (n == 0 || n > 255) return false;
  TextBuilder folder(gTempFolder, sizeof gTempFolder);
  folder.Add(path, int(n));
  if (path[n - 1] != '\\') folder.AddChar('\\');
  return true;
}

// Reads the header at HeaderOffset. A file cut inside the header leaves the unread bytes zero,
// so only the magic test decides whether the header is usable.
bool LoadArchiveHeader() {
  const DWORD n = GetModuleFileNameA(nullptr, gModulePath, sizeof gModulePath);
  if (n == 0 || n >= sizeof gModulePath) return false;
  TFileStream file;
  if (!file.Open(gModulePath, FileAccess::ReadShareReadWrite).Ok()) return false;
  if (!file.SetPosition(HeaderOffset)) return false;
  (void)file.Read(&gHeader, sizeof gHeader);
  return true;
}

void ApplyHeaderDefaults() {
  if (gHeader.windowTitle[0] == 0) WriteField(gHeader.windowTitle, "Kestrix ZQV SFX", 15);
  if (gHeader.destinationMode == 0 && gHeader.destinationDir[0] == 0) {
    char current[MAX_PATH + 1];
    const DWORD n = GetCurrentDirectoryA(sizeof current, current);
    // A longer path is cut to the field's 255 characters.
    if (n > 0 && n < sizeof current) WriteField(gHeader.destinationDir, current, int(n));
  }
  if (gHeader.destinationMode == 1) WriteField(gHeader.destinationDir, gTempFolder, TextLength(gTempFolder));
}

[[noreturn]] void ReportErrorAndExit(const Status& error) {
  const char* module = gModulePath;
  for (const char* p = gModulePath; *p; ++p)
    if (*p == '\\' || *p == '/' || *p == ':') module = p + 1;
  const char* message = error.message;
  const int length = TextLength(message);
  char text[1600];
  TextBuilder(text, sizeof text)
      .Add("Exception ")
      .Add(ErrorKindName(error.kind))
      .Add(" in module ")
      .Add(module)
      .Add(" at ")
      .AddHex32(uint32_t(reinterpret_cast<uintptr_t>(error.address)))
      .Add(".\r\n")
      .Add(message)
      .Add(length > 0 && message[length - 1] == '.' ? "" : ".")
      .Add("\r\n");
  MessageBoxA(nullptr, text, "Application Error", MB_ICONERROR | MB_TASKMODAL);
  ExitProcess(1);
}

}  // namespace

[[noreturn]] void EndRun(const Status& outcome) {
  if (!outcome.Ok()) ReportErrorAndExit(outcome);
  ExitProcess(0);
}

extern "C" [[noreturn]] void StubEntry() {
  RestrictDllSearch();
  AllowFastPathsWhereSaved();
  LendHelperThread();
  gInstance = GetModuleHandleA(nullptr);
  if (!FindTempFolder() || !LoadArchiveHeader()) {
    MessageBoxA(nullptr, "An error occured while opening ZQV SFX.", kMessageCaption, MB_ICONERROR);
    ExitProcess(0);
  }
  if (!HasArchiveMagic(gHeader)) {
    MessageBoxA(nullptr, "This is not Kestrix ZQV SFX. Please download the file again.", kMessageCaption,
                MB_ICONERROR);
    ExitProcess(0);
  }
  ApplyHeaderDefaults();
  EndRun(RunMainDialog());
}
