// A stand-in for a program that the self-extractor starts after an extraction (a file opened with
// the shell, or the INF installer). It records how it was started: its working folder on the
// first line and its command line on the second, each ending in CR LF, in the file that the
// environment variable ZQV_PROBE_LOG names. The record is written under a temporary name and
// renamed, so whoever waits for the file never reads half of it. GUI subsystem: no console.

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char log[MAX_PATH + 1] = {};
  if (GetEnvironmentVariableA("ZQV_PROBE_LOG", log, MAX_PATH) == 0) return 2;
  char record[4096] = {};
  DWORD length = GetCurrentDirectoryA(MAX_PATH + 1, record);
  lstrcatA(record, "\r\n");
  lstrcatA(record, GetCommandLineA());
  lstrcatA(record, "\r\n");
  length = lstrlenA(record);

  char partial[MAX_PATH + 8];
  lstrcpyA(partial, log);
  lstrcatA(partial, ".part");
  HANDLE file = CreateFileA(partial, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  BOOL ok = WriteFile(file, record, length, &written, nullptr) && written == length;
  CloseHandle(file);
  if (!ok || !MoveFileA(partial, log)) return 1;
  return 0;
}
