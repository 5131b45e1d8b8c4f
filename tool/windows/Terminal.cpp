// The console on Windows: the password asked without echo (SetConsoleMode), messages in UTF-8 on
// a console switched to that code page for the run, the password file through Win32 handles, the
// performance counter as the clock, and the command line in UTF-16.
#include <windows.h>
#undef RotateLeft32  // winnt.h's macro would rename the core's function of that name

#include <cstdio>
#include <cstdlib>

#include "crypto/windows/Utf16.h"
#include "tool/Tool.h"

namespace {

bool IsConsole(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  DWORD mode;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_CHAR &&
         GetConsoleMode(handle, &mode);
}

// The console's output code page before the run, given back when the process ends.
UINT gConsoleCodePage = 0;

void RestoreConsole() {
  if (gConsoleCodePage != 0) SetConsoleOutputCP(gConsoleCodePage);
}

}  // namespace

bool StdinIsTerminal() { return IsConsole(STD_INPUT_HANDLE); }
bool StderrIsTerminal() { return IsConsole(STD_ERROR_HANDLE); }

double MonotonicSeconds() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return double(count.QuadPart) / double(frequency.QuadPart);
}

std::vector<std::string> StartProgram(int, char**) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 0; wide && i < count; ++i) arguments.push_back(Utf8Of(wide[i], int(wcslen(wide[i]))));
  if (wide) LocalFree(wide);
  // The messages are UTF-8: a console shows them so when its code page is UTF-8's for the run.
  if (IsConsole(STD_OUTPUT_HANDLE) || IsConsole(STD_ERROR_HANDLE)) {
    const UINT before = GetConsoleOutputCP();
    if (before != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
      gConsoleCodePage = before;
      std::atexit(RestoreConsole);
    }
  }
  return arguments;
}

Asked AskTerminal(const std::string& prompt, bool echo, std::string& answer) {
  const HANDLE console = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD saved = 0;
  if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &saved)) {
    if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
    return Asked::kNoTerminal;
  }
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  DWORD mode = saved | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT;
  if (!echo) mode &= ~DWORD(ENABLE_ECHO_INPUT);
  SetConsoleMode(console, mode);
  std::wstring line;
  bool ended = false;
  while (!ended) {
    wchar_t buffer[256];
    DWORD n = 0;
    if (!ReadConsoleW(console, buffer, 256, &n, nullptr) || n == 0) break;
    for (DWORD i = 0; i < n && !ended; ++i) {
      if (buffer[i] == L'\n')
        ended = true;
      else if (buffer[i] != L'\r')
        line += buffer[i];
    }
  }
  SetConsoleMode(console, saved);
  CloseHandle(console);
  if (!echo) std::fputc('\n', stderr);  // the line break the user typed was not shown
  if (!ended && line.empty()) return Asked::kNoAnswer;
  answer = Utf8Of(line);
  return Asked::kAnswered;
}

std::string ReadFirstLine(const std::string& path) {
  const bool standardInput = path == "-";
  const HANDLE file =
      standardInput ? GetStdHandle(STD_INPUT_HANDLE)
                    : CreateFileW(WideOf(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE || file == nullptr)
    Fail(path, "cannot open the password file: " + SystemText(int(GetLastError())));
  std::string text;
  char buffer[256];
  while (text.find('\n') == std::string::npos) {
    DWORD n = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
      const DWORD error = GetLastError();
      if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) break;  // the writer is gone: the end
      if (!standardInput) CloseHandle(file);
      Fail(path, "cannot read the password file: " + SystemText(int(error)));
    }
    if (n == 0) break;
    text.append(buffer, n);
  }
  if (!standardInput) CloseHandle(file);
  return text;
}
