#include "Launcher.h"

#include "State.h"
#include "Text.h"

namespace {

// The installer program by its full path in a system folder, so that a rundll32.exe planted
// beside a downloaded archive is never the one started. A folder with a blank in it is quoted,
// which the command-line parser needs to find the program.
bool AddProgramPath(TextBuilder& command, bool systemFolder, const char* program) {
  char folder[MAX_PATH];
  const UINT n = systemFolder ? GetSystemDirectoryA(folder, sizeof folder) : GetWindowsDirectoryA(folder, sizeof folder);
  if (n == 0 || n >= sizeof folder) return false;
  bool blank = false;
  for (UINT i = 0; i < n; ++i) blank |= folder[i] == ' ';
  if (blank) command.AddChar('"');
  command.Add(folder, int(n));
  if (folder[n - 1] != '\\') command.AddChar('\\');
  command.Add(program);
  if (blank) command.AddChar('"');
  return true;
}

}  // namespace

bool IsInfFile(const char* path) {
  const int n = TextLength(path);
  if (n < 4) return false;
  char tail[5];
  for (int i = 0; i < 4; ++i) {
    char c = path[n - 4 + i];
    if (i > 0 && c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    tail[i] = c;
  }
  tail[4] = 0;
  return TextEquals(tail, ".INF");
}

UINT InstallInf(const char* infPath, const char* sectionSuffix) {
  const char* suffix = TextEquals(sectionSuffix, ".ntx86") ? ".ntx86" : "";
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  static_assert(sizeof(OSVERSIONINFOA) == 148);
  if (!GetVersionExA(&version)) return 0;

  char line[2 * MAX_PATH + 128];
  TextBuilder command(line, sizeof line);
  if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
    if (!AddProgramPath(command, false, "rundll.exe")) return 0;
    command.Add(" setupx.dll,InstallHinfSection DefaultInstall 132 ").Add(infPath);
  } else if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
    if (!AddProgramPath(command, true, "rundll32.exe")) return 0;
    command.Add(" setupapi.dll,InstallHinfSection DefaultInstall").Add(suffix).Add(" 132 ").Add(infPath);
  } else {
    command.Add(infPath);
  }
  return WinExec(line, SW_SHOW);
}

void LaunchRunAfter() {
  char command[101];
  if (ReadField(gHeader.runAfter, command) <= 4) return;
  if (IsInfFile(command)) {
    (void)InstallInf(command, "");
  } else {
    ShellExecuteA(nullptr, "open", command, "", gDestinationDir, SW_SHOW);
  }
}
