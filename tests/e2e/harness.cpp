// The end-to-end harness: runs under Wine beside the real zqvsfx.exe and drives it through window
// messages, as a user would with mouse and keyboard, then checks windows, texts, files and exit
// codes. Each argument is a scenario script; see README.md in this folder for the language.
//
// Synchronisation is by bounded polling of observable state (a window appears, a process ends, a
// file exists), never by fixed sleeps. Every wait has a timeout and fails the scenario when it
// expires, so a hung stub fails the test instead of hanging it. Under an emulator every wait is
// stretched by the factor in ZQV_E2E_SLOW, which the runner sets; what is checked stays the same.

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "trust.h"

namespace {

struct Failure {
  std::string what;
};

// How many times slower than native this Windows runs (ZQV_E2E_SLOW, 1 to 50; 1 by default).
DWORD gSlow = 1;

// A wait of `ms` milliseconds at native speed, stretched by the slowness factor.
DWORD Wait(DWORD ms) { return ms * gSlow; }

// The state of one scenario.
struct Scenario {
  std::string caseDir;  // the script's folder: the stub's working folder unless said otherwise
  PROCESS_INFORMATION process{};
  bool running = false;
  DWORD timeoutMs = Wait(20000);
  DWORD markMs = 0;  // set by "mark", read by "elapsed"
  HWND slots[8]{};
  std::string slotNames[8];
  HWND current = nullptr;
  std::vector<std::string> forbiddenCaptions;  // windows that must not appear while polling
  std::vector<HWND> forbiddenVisible;          // windows that must not become visible
  std::vector<std::pair<std::string, HANDLE>> held;  // files opened by "hold", by path
};

std::string Format(const char* format, ...) {
  char buffer[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

[[noreturn]] void Fail(const std::string& what) { throw Failure{what}; }

// Makes control characters visible in reports.
std::string Shown(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c < 32 || c > 126)
      out += Format("\\x%02X", c);
    else
      out += char(c);
  }
  return out;
}

std::string TempFolder() {
  char buffer[MAX_PATH + 1] = {};
  GetTempPathA(sizeof buffer, buffer);
  std::string path = buffer;
  if (path.empty() || path.back() != '\\') path += '\\';
  return path;
}

std::string WindowsFolder() {
  char buffer[MAX_PATH + 1] = {};
  GetWindowsDirectoryA(buffer, sizeof buffer);
  return buffer;
}

std::string SystemFolder() {
  char buffer[MAX_PATH + 1] = {};
  GetSystemDirectoryA(buffer, sizeof buffer);
  return buffer;
}

// Expands the escapes of an argument: %C case folder, %T temporary folder (with its backslash),
// %W Windows folder, %S system folder, %r CR, %n LF, %t tab, %p '|', %% '%'.
std::string Expand(const Scenario& s, const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    switch (text[++i]) {
      case 'C': out += s.caseDir; break;
      case 'T': out += TempFolder(); break;
      case 'W': out += WindowsFolder(); break;
      case 'S': out += SystemFolder(); break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'p': out += '|'; break;
      case '%': out += '%'; break;
      default: Fail(Format("unknown escape %%%c", text[i]));
    }
  }
  return out;
}

// Glob match where '*' stands for any run of characters (also none).
bool GlobMatch(const char* pattern, const char* text) {
  if (*pattern == 0) return *text == 0;
  if (*pattern == '*') {
    for (const char* t = text;; ++t) {
      if (GlobMatch(pattern + 1, t)) return true;
      if (*t == 0) return false;
    }
  }
  return *text != 0 && *pattern == *text && GlobMatch(pattern + 1, text + 1);
}

DWORD ProcessOf(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return pid;
}

std::string ClassOf(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

// The text of a window of another process, through WM_GETTEXT, which the system copies across.
std::string TextOf(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, Wait(5000), &length))
    Fail("the window does not answer WM_GETTEXTLENGTH");
  std::string text(length + 1, '\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXT, length + 1, LPARAM(text.data()), SMTO_ABORTIFHUNG, Wait(5000),
                           &copied))
    Fail("the window does not answer WM_GETTEXT");
  text.resize(copied);
  return text;
}

struct FindRequest {
  DWORD pid;
  const std::string* caption;
  bool mustBeVisible;
  HWND found;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
  auto* request = reinterpret_cast<FindRequest*>(param);
  if (ProcessOf(window) != request->pid || ClassOf(window) != "#32770") return TRUE;
  if (request->mustBeVisible && !IsWindowVisible(window)) return TRUE;
  char caption[512] = {};
  GetWindowTextA(window, caption, sizeof caption);
  if (!GlobMatch(request->caption->c_str(), caption)) return TRUE;
  request->found = window;
  return FALSE;
}

struct OwnedSearch {
  DWORD pid;
  HWND owner, found;
};

BOOL CALLBACK FindOwnedDialog(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<OwnedSearch*>(param);
  if (ProcessOf(window) == search->pid && ClassOf(window) == "#32770" && IsWindowVisible(window) &&
      GetWindow(window, GW_OWNER) == search->owner) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

struct TextSearch {
  const std::string* pattern;
  bool found;
};

BOOL CALLBACK FindChildText(HWND child, LPARAM param) {
  auto* search = reinterpret_cast<TextSearch*>(param);
  char text[512] = {};
  GetWindowTextA(child, text, sizeof text);
  if (GlobMatch(search->pattern->c_str(), text)) search->found = true;
  return !search->found;
}

// GlobMatch without regard to case, as Windows compares file names.
bool GlobMatchNoCase(std::string pattern, std::string text) {
  CharUpperA(pattern.data());
  CharUpperA(text.data());
  return GlobMatch(pattern.c_str(), text.c_str());
}

// A top-level dialog of the stub with this caption, or null.
HWND FindStubDialog(const Scenario& s, const std::string& caption, bool mustBeVisible) {
  if (!s.running) return nullptr;
  FindRequest request{s.process.dwProcessId, &caption, mustBeVisible, nullptr};
  EnumWindows(FindDialog, LPARAM(&request));
  return request.found;
}

// Checks what must hold during every wait: no forbidden window has appeared.
void CheckForbidden(const Scenario& s) {
  for (const std::string& caption : s.forbiddenCaptions)
    if (FindStubDialog(s, caption, false)) Fail("a window \"" + caption + "\" appeared");
  // Only while the window is still the stub's: once the stub has ended, its handle may name a
  // window of another process.
  for (HWND window : s.forbiddenVisible) {
    DWORD owner = 0;
    if (IsWindow(window) && GetWindowThreadProcessId(window, &owner) && owner == s.process.dwProcessId &&
        IsWindowVisible(window))
      Fail("a window that must stay hidden became visible");
  }
}

bool ProcessEnded(Scenario& s) {
  return s.running && WaitForSingleObject(s.process.hProcess, 0) == WAIT_OBJECT_0;
}

// Polls `ready` every 20 ms until it holds or the timeout expires; the forbidden windows are
// checked on every round.
template <typename Ready>
void WaitFor(Scenario& s, DWORD timeoutMs, const std::string& what, Ready ready) {
  DWORD start = GetTickCount();
  for (;;) {
    CheckForbidden(s);
    if (ready()) return;
    if (GetTickCount() - start > timeoutMs) Fail("timed out waiting for " + what);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  }
}

int ToInt(const std::string& text) {
  char* end = nullptr;
  long value = strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != 0) Fail("not a number: " + text);
  return int(value);
}

bool ToFlag(const std::string& text) {
  if (text == "1") return true;
  if (text == "0") return false;
  Fail("expected 0 or 1, not " + text);
}

HWND Current(const Scenario& s) {
  if (!s.current) Fail("no current window");
  return s.current;
}

// A control of the current window, or the window itself for id 0.
HWND Control(const Scenario& s, int id) {
  HWND window = Current(s);
  if (id == 0) return window;
  HWND control = GetDlgItem(window, id);
  if (!control) Fail(Format("control %d does not exist", id));
  return control;
}

void Remember(Scenario& s, const std::string& name, HWND window) {
  for (int i = 0; i < 8; ++i) {
    if (s.slotNames[i] == name || s.slotNames[i].empty()) {
      s.slotNames[i] = name;
      s.slots[i] = window;
      s.current = window;
      return;
    }
  }
  Fail("too many named windows");
}

HWND Named(const Scenario& s, const std::string& name) {
  for (int i = 0; i < 8; ++i)
    if (s.slotNames[i] == name) return s.slots[i];
  Fail("no window named " + name);
}

std::string ReadFileBytes(const std::string& path, bool* exists = nullptr) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (exists) {
      *exists = false;
      return {};
    }
    Fail("cannot open " + path);
  }
  if (exists) *exists = true;
  std::string data;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
  CloseHandle(file);
  return data;
}

bool IsFile(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Compares two files of any size without holding both in memory.
void CompareFiles(const std::string& path, const std::string& reference) {
  HANDLE a = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (a == INVALID_HANDLE_VALUE) Fail("no file " + path);
  HANDLE b = CreateFileA(reference.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (b == INVALID_HANDLE_VALUE) {
    CloseHandle(a);
    Fail("no reference file " + reference);
  }
  static char bufferA[1 << 16], bufferB[1 << 16];
  unsigned long long offset = 0;
  std::string problem;
  for (;;) {
    DWORD gotA = 0, gotB = 0;
    ReadFile(a, bufferA, sizeof bufferA, &gotA, nullptr);
    ReadFile(b, bufferB, sizeof bufferB, &gotB, nullptr);
    DWORD common = gotA < gotB ? gotA : gotB;
    if (memcmp(bufferA, bufferB, common) != 0) {
      DWORD i = 0;
      while (bufferA[i] == bufferB[i]) ++i;
      problem = Format("%s differs from %s at byte %llu", path.c_str(), reference.c_str(), offset + i);
      break;
    }
    if (gotA != gotB) {
      problem = Format("%s and %s differ in length (%llu bytes in common)", path.c_str(), reference.c_str(),
                       offset + common);
      break;
    }
    if (gotA == 0) break;
    offset += gotA;
  }
  CloseHandle(a);
  CloseHandle(b);
  if (!problem.empty()) Fail(problem);
}

// A path whose components may hold '*': each such component becomes the first name that
// matches it, so that scripts can name folders whose length depends on the case folder.
std::string ResolveWildcards(const std::string& path) {
  if (path.find('*') == std::string::npos) return path;
  std::string resolved;
  size_t start = 0;
  for (;;) {
    size_t slash = path.find('\\', start);
    std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part.find('*') != std::string::npos) {
      WIN32_FIND_DATAA data;
      HANDLE find = FindFirstFileA((resolved + part).c_str(), &data);
      if (find == INVALID_HANDLE_VALUE) Fail("nothing matches " + resolved + part);
      FindClose(find);
      part = data.cFileName;
    }
    resolved += part;
    if (slash == std::string::npos) return resolved;
    resolved += '\\';
    start = slash + 1;
  }
}

// The names in a folder, sorted, joined with commas.
std::string FolderListing(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = data.cFileName;
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  for (size_t i = 1; i < names.size(); ++i)
    for (size_t j = i; j > 0 && lstrcmpiA(names[j - 1].c_str(), names[j].c_str()) > 0; --j)
      std::swap(names[j - 1], names[j]);
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : ",") + name;
  return joined;
}

HKEY RootKey(const std::string& key, std::string* subKey) {
  size_t slash = key.find('\\');
  std::string root = key.substr(0, slash);
  *subKey = slash == std::string::npos ? "" : key.substr(slash + 1);
  if (root == "HKCU") return HKEY_CURRENT_USER;
  if (root == "HKLM") return HKEY_LOCAL_MACHINE;
  Fail("unknown registry root " + root);
}

bool ReadRegistryText(const std::string& key, const std::string& name, std::string* value) {
  std::string subKey;
  HKEY root = RootKey(key, &subKey);
  HKEY handle;
  if (RegOpenKeyExA(root, subKey.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  char buffer[1024] = {};
  DWORD size = sizeof buffer - 1, type = 0;
  LONG result = RegQueryValueExA(handle, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(handle);
  if (result != ERROR_SUCCESS) return false;
  *value = buffer;
  return true;
}

// Whether a process with this executable name runs now.
bool ProcessRuns(const std::string& exeName) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) Fail("cannot list processes");
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    std::string path = entry.szExeFile;
    size_t slash = path.find_last_of("\\/");
    if (lstrcmpiA(path.substr(slash == std::string::npos ? 0 : slash + 1).c_str(), exeName.c_str()) == 0)
      found = true;
  }
  CloseHandle(snapshot);
  return found;
}

void EndStub(Scenario& s) {
  if (!s.running) return;
  if (WaitForSingleObject(s.process.hProcess, 0) != WAIT_OBJECT_0) {
    TerminateProcess(s.process.hProcess, 99);
    WaitForSingleObject(s.process.hProcess, Wait(10000));
  }
  CloseHandle(s.process.hProcess);
  CloseHandle(s.process.hThread);
  s.running = false;
}

void Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!PostMessageA(window, message, wParam, lParam)) Fail(Format("PostMessage failed (%lu)", GetLastError()));
}

std::vector<std::string> SplitArgs(const std::string& text) {
  std::vector<std::string> args;
  if (text.empty()) return args;
  size_t start = 0;
  for (;;) {
    size_t bar = text.find('|', start);
    args.push_back(text.substr(start, bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  return args;
}

void Need(const std::vector<std::string>& args, size_t least, size_t most) {
  if (args.size() < least || args.size() > most)
    Fail(Format("expected %zu to %zu arguments, got %zu", least, most, args.size()));
}

DWORD TimeoutArg(const Scenario& s, const std::vector<std::string>& args, size_t index) {
  return args.size() > index ? Wait(DWORD(ToInt(args[index])) * 1000) : s.timeoutMs;
}

void Execute(Scenario& s, const std::string& verb, std::vector<std::string> args) {
  for (std::string& arg : args) arg = Expand(s, arg);
  // Files and folders may be named with wildcards in their path.
  if ((verb == "file" || verb == "folder" || verb == "locked") && !args.empty()) args[0] = ResolveWildcards(args[0]);

  if (verb == "timeout") {  // SECONDS: the default for later waits
    Need(args, 1, 1);
    s.timeoutMs = Wait(DWORD(ToInt(args[0])) * 1000);
  } else if (verb == "mark") {  // remembers the time, for a later "elapsed"
    Need(args, 0, 0);
    s.markMs = GetTickCount();
  } else if (verb == "elapsed") {  // LABEL: prints the milliseconds since "mark"; checks nothing
    Need(args, 1, 1);
    std::printf("elapsed %s: %lu ms\n", args[0].c_str(), GetTickCount() - s.markMs);
    std::fflush(stdout);
  } else if (verb == "start") {  // FILE[|WORKING FOLDER]: runs the stub
    Need(args, 1, 2);
    if (s.running) Fail("a stub is already running");
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string commandLine = "\"" + args[0] + "\"";
    std::string folder = args.size() > 1 ? args[1] : s.caseDir;
    if (!CreateProcessA(args[0].c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                        &startup, &s.process))
      Fail(Format("cannot start %s (%lu)", args[0].c_str(), GetLastError()));
    s.running = true;
  } else if (verb == "window" || verb == "window-any") {  // NAME|CAPTION[|SECONDS]
    Need(args, 2, 3);
    HWND found = nullptr;
    WaitFor(s, TimeoutArg(s, args, 2), "the window \"" + args[1] + "\"", [&] {
      found = FindStubDialog(s, args[1], verb == "window");
      if (!found && ProcessEnded(s)) Fail("the stub ended before its window \"" + args[1] + "\" appeared");
      return found != nullptr;
    });
    Remember(s, args[0], found);
  } else if (verb == "msgbox") {  // NAME|CAPTION|TEXT PATTERN[|SECONDS]: a message box and its text
    Need(args, 3, 4);
    HWND found = nullptr;
    WaitFor(s, TimeoutArg(s, args, 3), "the message box \"" + args[1] + "\"", [&] {
      found = FindStubDialog(s, args[1], true);
      if (!found && ProcessEnded(s)) Fail("the stub ended before the message box \"" + args[1] + "\" appeared");
      return found && GetDlgItem(found, 0xFFFF) != nullptr;
    });
    Remember(s, args[0], found);
    std::string text = TextOf(GetDlgItem(found, 0xFFFF));
    if (!GlobMatch(args[2].c_str(), text.c_str()))
      Fail("message box text \"" + Shown(text) + "\", expected \"" + Shown(args[2]) + "\"");
  } else if (verb == "use") {  // NAME: makes a remembered window current
    Need(args, 1, 1);
    s.current = Named(s, args[0]);
  } else if (verb == "gone") {  // NAME[|SECONDS]: waits until the window is destroyed
    Need(args, 1, 2);
    HWND window = Named(s, args[0]);
    WaitFor(s, TimeoutArg(s, args, 1), "the window " + args[0] + " to go", [&] { return !IsWindow(window); });
  } else if (verb == "shown") {  // NAME[|SECONDS]: waits until the window is visible
    Need(args, 1, 2);
    HWND window = Named(s, args[0]);
    WaitFor(s, TimeoutArg(s, args, 1), "the window " + args[0] + " to show",
            [&] { return IsWindow(window) && IsWindowVisible(window); });
  } else if (verb == "settext") {  // ID|TEXT
    Need(args, 2, 2);
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(Control(s, ToInt(args[0])), WM_SETTEXT, 0, LPARAM(args[1].c_str()), SMTO_ABORTIFHUNG,
                             Wait(5000), &result))
      Fail("WM_SETTEXT was not answered");
  } else if (verb == "text") {  // ID|PATTERN: the text of a control (0: the window's caption)
    Need(args, 2, 2);
    std::string text = TextOf(Control(s, ToInt(args[0])));
    if (!GlobMatch(args[1].c_str(), text.c_str()))
      Fail("text of " + args[0] + " is \"" + Shown(text) + "\", expected \"" + Shown(args[1]) + "\"");
  } else if (verb == "click") {  // ID: a click on a button
    Need(args, 1, 1);
    Post(Control(s, ToInt(args[0])), BM_CLICK, 0, 0);
  } else if (verb == "command") {  // ID: WM_COMMAND to the current window, as a button or key sends it
    Need(args, 1, 1);
    int id = ToInt(args[0]);
    Post(Current(s), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(GetDlgItem(Current(s), id)));
  } else if (verb == "key") {  // ID|VIRTUAL KEY: a key press posted to a control, as the keyboard does
    Need(args, 2, 2);
    HWND control = Control(s, ToInt(args[0]));
    UINT vk = UINT(ToInt(args[1]));
    UINT scan = MapVirtualKeyA(vk, 0);
    Post(control, WM_KEYDOWN, vk, LPARAM(1 | (scan << 16)));
    // The key press may already have ended the dialog (Esc, Enter); its release then has no
    // window to go to, which is no failure.
    if (!PostMessageA(control, WM_KEYUP, vk, LPARAM(1 | (scan << 16) | (1u << 30) | (1u << 31))) && IsWindow(control))
      Fail(Format("PostMessage failed (%lu)", GetLastError()));
  } else if (verb == "close") {  // the close box of the current window
    Need(args, 0, 0);
    Post(Current(s), WM_SYSCOMMAND, SC_CLOSE, 0);
  } else if (verb == "enabled" || verb == "visible" || verb == "checked" || verb == "exists") {  // ID|0 or 1
    Need(args, 2, 2);
    int id = ToInt(args[0]);
    bool want = ToFlag(args[1]);
    bool seen;
    if (verb == "exists") {
      seen = id == 0 ? IsWindow(Current(s)) : GetDlgItem(Current(s), id) != nullptr;
    } else {
      HWND control = Control(s, id);
      if (verb == "enabled") seen = IsWindowEnabled(control);
      else if (verb == "visible") seen = IsWindowVisible(control);
      else {
        DWORD_PTR state = 0;
        if (!SendMessageTimeoutA(control, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, Wait(5000), &state))
          Fail("BM_GETCHECK was not answered");
        seen = state == BST_CHECKED;
      }
    }
    if (seen != want) Fail(Format("control %d: %s is %d, expected %d", id, verb.c_str(), seen, want));
  } else if (verb == "style") {  // ID|MASK|VALUE: the window style bits under MASK equal VALUE
    Need(args, 3, 3);
    DWORD style = DWORD(GetWindowLongA(Control(s, ToInt(args[0])), GWL_STYLE));
    DWORD mask = DWORD(ToInt(args[1])), want = DWORD(ToInt(args[2]));
    if ((style & mask) != want)
      Fail(Format("control %s: style bits %#lx under %#lx, expected %#lx", args[0].c_str(), style & mask, mask, want));
  } else if (verb == "centred") {  // the current window stands in the middle of the primary screen
    Need(args, 0, 0);
    RECT r;
    GetWindowRect(Current(s), &r);
    int x = (GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left)) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top)) / 2;
    if (r.left != x || r.top != y) Fail(Format("the window stands at %ld,%ld, centred is %d,%d", r.left, r.top, x, y));
  } else if (verb == "owner") {  // NAME or none: the owner of the current window
    Need(args, 1, 1);
    HWND owner = GetWindow(Current(s), GW_OWNER);
    HWND want = args[0] == "none" ? nullptr : Named(s, args[0]);
    if (owner != want) Fail(Format("the owner is %p, expected %p", (void*)owner, (void*)want));
  } else if (verb == "owned-dialog") {  // NAME|OWNER[|SECONDS]: a dialog of the stub owned by OWNER
    Need(args, 2, 3);
    HWND owner = Named(s, args[1]);
    HWND found = nullptr;
    WaitFor(s, TimeoutArg(s, args, 2), "a dialog owned by " + args[1], [&] {
      OwnedSearch search{s.process.dwProcessId, owner, nullptr};
      EnumWindows(FindOwnedDialog, LPARAM(&search));
      found = search.found;
      return found != nullptr;
    });
    Remember(s, args[0], found);
  } else if (verb == "has-text") {  // PATTERN: some child of the current window shows this text
    Need(args, 1, 1);
    TextSearch search{&args[0], false};
    EnumChildWindows(Current(s), FindChildText, LPARAM(&search));
    if (!search.found) Fail("no child shows \"" + args[0] + "\"");
  } else if (verb == "forbid") {  // CAPTION: no window with this caption may appear from now on
    Need(args, 1, 1);
    s.forbiddenCaptions.push_back(args[0]);
    CheckForbidden(s);
  } else if (verb == "forbid-visible") {  // NAME: the window may not become visible from now on
    Need(args, 1, 1);
    s.forbiddenVisible.push_back(Named(s, args[0]));
    CheckForbidden(s);
  } else if (verb == "allow") {  // drops every forbid
    Need(args, 0, 0);
    s.forbiddenCaptions.clear();
    s.forbiddenVisible.clear();
  } else if (verb == "exit") {  // CODE[|SECONDS]: waits for the stub to end with this exit code
    Need(args, 1, 2);
    if (!s.running) Fail("no stub was started");
    WaitFor(s, TimeoutArg(s, args, 1), "the stub to end", [&] { return ProcessEnded(s); });
    DWORD code = 0;
    GetExitCodeProcess(s.process.hProcess, &code);
    EndStub(s);
    s.current = nullptr;
    if (int(code) != ToInt(args[0])) Fail(Format("exit code %lu, expected %s", code, args[0].c_str()));
  } else if (verb == "running") {  // the stub has not ended
    Need(args, 0, 0);
    if (!s.running || ProcessEnded(s)) Fail("the stub has ended");
  } else if (verb == "write") {  // PATH|TEXT: makes a file
    Need(args, 2, 2);
    HANDLE file = CreateFileA(args[0].c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE ||
        !WriteFile(file, args[1].data(), DWORD(args[1].size()), &written, nullptr) || written != args[1].size())
      Fail("cannot write " + args[0]);
    CloseHandle(file);
  } else if (verb == "mkdir") {  // PATH
    Need(args, 1, 1);
    if (!CreateDirectoryA(args[0].c_str(), nullptr)) Fail("cannot make folder " + args[0]);
  } else if (verb == "delete") {  // PATH: removes a file if it is there
    Need(args, 1, 1);
    DeleteFileA(args[0].c_str());
  } else if (verb == "file") {  // PATH|REFERENCE: the file exists with the reference's bytes
    Need(args, 2, 2);
    CompareFiles(args[0], args[1]);
  } else if (verb == "file-text") {  // PATH|TEXT: the file holds exactly this text
    Need(args, 2, 2);
    bool exists = false;
    std::string data = ReadFileBytes(args[0], &exists);
    if (!exists) Fail("no file " + args[0]);
    if (data != args[1]) Fail(args[0] + " holds \"" + Shown(data) + "\", expected \"" + Shown(args[1]) + "\"");
  } else if (verb == "file-match") {  // PATH|PATTERN: the file's text matches the pattern
    Need(args, 2, 2);
    bool exists = false;
    std::string data = ReadFileBytes(args[0], &exists);
    if (!exists) Fail("no file " + args[0]);
    if (!GlobMatch(args[1].c_str(), data.c_str()))
      Fail(args[0] + " holds \"" + Shown(data) + "\", expected \"" + Shown(args[1]) + "\"");
  } else if (verb == "no-file") {  // PATH: nothing is there
    Need(args, 1, 1);
    if (GetFileAttributesA(args[0].c_str()) != INVALID_FILE_ATTRIBUTES) Fail(args[0] + " exists");
  } else if (verb == "folder") {  // PATH|NAMES: the folder holds exactly these names (comma-separated, * any run)
    Need(args, 2, 2);
    std::string listing = FolderListing(args[0]);
    if (!GlobMatchNoCase(args[1], listing))
      Fail(args[0] + " holds \"" + listing + "\", expected \"" + args[1] + "\"");
  } else if (verb == "wait-file") {  // PATH[|SECONDS]: waits until a file exists
    Need(args, 1, 2);
    WaitFor(s, TimeoutArg(s, args, 1), args[0], [&] { return IsFile(args[0]); });
  } else if (verb == "wait-size") {  // PATH|BYTES[|SECONDS]: waits until a file of the name (* and ?) holds BYTES
    Need(args, 2, 3);
    const ULONGLONG least = ULONGLONG(ToInt(args[1]));
    WaitFor(s, TimeoutArg(s, args, 2), args[0] + " to reach " + args[1] + " bytes", [&] {
      if (ProcessEnded(s)) Fail("the stub ended before " + args[0] + " reached " + args[1] + " bytes");
      // The sizes the folder listing shows: the file may be open in a way that lets nobody else
      // open it.
      WIN32_FIND_DATAA data;
      HANDLE find = FindFirstFileA(args[0].c_str(), &data);
      if (find == INVALID_HANDLE_VALUE) return false;
      bool reached = false;
      do {
        const ULONGLONG size = ULONGLONG(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
        reached = !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && size >= least;
      } while (!reached && FindNextFileA(find, &data));
      FindClose(find);
      return reached;
    });
  } else if (verb == "answering") {  // SECONDS: the current window answers all the while
    // WM_NULL every 100 ms, each answered within 500 ms, for SECONDS or until the stub ends; the
    // longest answer is printed, never checked beyond the bound.
    Need(args, 1, 1);
    const DWORD span = Wait(DWORD(ToInt(args[0])) * 1000), start = GetTickCount();
    DWORD longest = 0, pings = 0;
    while (GetTickCount() - start < span && !ProcessEnded(s) && IsWindow(Current(s))) {
      const DWORD sent = GetTickCount();
      DWORD_PTR result = 0;
      if (!SendMessageTimeoutA(Current(s), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, Wait(500), &result) &&
          IsWindow(Current(s)) && !ProcessEnded(s))
        Fail(Format("the window did not answer WM_NULL within %lu ms, %lu ms in", Wait(500), sent - start));
      const DWORD took = GetTickCount() - sent;
      if (took > longest) longest = took;
      ++pings;
      Sleep(took < 100 ? 100 - took : 0);
    }
    std::printf("  answered %lu messages, the longest in %lu ms\n", pings, longest);
    std::fflush(stdout);
  } else if (verb == "progress-advances") {  // [SECONDS]: the caption shows a percentage that grows
    // The caption of the current window starts with "N%"; done once two different values have
    // been seen, the later one larger.
    Need(args, 0, 1);
    int first = -1, later = -1;
    WaitFor(s, TimeoutArg(s, args, 0), "the percentage in the caption to advance", [&] {
      if (ProcessEnded(s)) Fail("the stub ended before its progress advanced");
      const std::string caption = TextOf(Current(s));
      char* end = nullptr;
      const long percent = std::strtol(caption.c_str(), &end, 10);
      if (end == caption.c_str() || *end != '%') return false;
      if (first < 0) first = int(percent);
      else if (percent != first) later = int(percent);
      if (later >= 0 && later < first) Fail(Format("the percentage went back from %d to %d", first, later));
      return later > first;
    });
    std::printf("  progress advanced from %d%% to %d%%\n", first, later);
    std::fflush(stdout);
  } else if (verb == "kill") {  // CODE: ends the stub at once (TerminateProcess), as a task manager does
    Need(args, 1, 1);
    if (!s.running || ProcessEnded(s)) Fail("the stub is not running");
    if (!TerminateProcess(s.process.hProcess, UINT(ToInt(args[0]))))
      Fail(Format("TerminateProcess failed (%lu)", GetLastError()));
  } else if (verb == "hold") {  // PATH: opens (or makes) the file sharing nothing, as a stub holds its temporary
    Need(args, 1, 1);
    HANDLE file = CreateFileA(args[0].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) Fail(Format("cannot hold %s (%lu)", args[0].c_str(), GetLastError()));
    s.held.emplace_back(args[0], file);
  } else if (verb == "locked") {  // PATH: another process cannot delete the file, which stays
    Need(args, 1, 1);
    if (DeleteFileA(args[0].c_str())) Fail(args[0] + " could be deleted");
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)
      Fail(Format("deleting %s failed with %lu, not as a file in use", args[0].c_str(), error));
    if (!IsFile(args[0])) Fail(args[0] + " is gone");
  } else if (verb == "release") {  // PATH: closes a file that "hold" opened
    Need(args, 1, 1);
    for (auto it = s.held.begin(); it != s.held.end(); ++it) {
      if (it->first != args[0]) continue;
      CloseHandle(it->second);
      s.held.erase(it);
      return;
    }
    Fail(args[0] + " is not held");
  } else if (verb == "not-running") {  // EXE NAME: no process of this name runs
    Need(args, 1, 1);
    if (ProcessRuns(args[0])) Fail(args[0] + " is running");
  } else if (verb == "setenv") {  // NAME|VALUE: for the stub and what it starts
    Need(args, 2, 2);
    SetEnvironmentVariableA(args[0].c_str(), args[1].c_str());
  } else if (verb == "reg-set") {  // KEY|NAME|TEXT
    Need(args, 3, 3);
    std::string subKey;
    HKEY root = RootKey(args[0], &subKey);
    HKEY handle;
    if (RegCreateKeyExA(root, subKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) != ERROR_SUCCESS)
      Fail("cannot create key " + args[0]);
    LONG result = RegSetValueExA(handle, args[1].c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(args[2].c_str()),
                                 DWORD(args[2].size() + 1));
    RegCloseKey(handle);
    if (result != ERROR_SUCCESS) Fail("cannot set " + args[0] + "\\" + args[1]);
  } else if (verb == "reg-delete") {  // KEY: removes a key (with its values) if it is there
    Need(args, 1, 1);
    std::string subKey;
    HKEY root = RootKey(args[0], &subKey);
    RegDeleteKeyA(root, subKey.c_str());
  } else if (verb == "reg-wait") {  // KEY|NAME|TEXT[|SECONDS]: waits until the value holds the text
    Need(args, 3, 4);
    WaitFor(s, TimeoutArg(s, args, 3), args[0] + "\\" + args[1], [&] {
      std::string value;
      return ReadRegistryText(args[0], args[1], &value) && value == args[2];
    });
  } else if (verb == "trust") {  // FILE|intact, bad-digest or unsigned: Windows's signature check
    Need(args, 2, 2);
    if (!trust::IsClass(args[1].c_str())) Fail("unknown answer class " + args[1]);
    const LONG answer = trust::VerifyFile(args[0].c_str());
    if (!trust::InClass(args[1].c_str(), answer)) {
      const trust::Answer* a = trust::Describe(answer);
      Fail(Format("WinVerifyTrust answered 0x%08lX %s (%s) for %s, not %s", static_cast<unsigned long>(answer),
                  a ? a->name : "?", a ? a->meaning : "unknown", args[0].c_str(), args[1].c_str()));
    }
  } else if (verb == "echo") {  // TEXT: progress for whoever watches the log
    printf("  %s\n", args.empty() ? "" : args[0].c_str());
    fflush(stdout);
  } else {
    Fail("unknown command " + verb);
  }
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// State checks hold eventually: the stub may still be on its way (a message box is gone before
// the controls are enabled again, a file is removed after the message), so a check is retried
// until it holds or the timeout expires, and then reports what it saw last.
bool IsStateCheck(const std::string& verb) {
  static const char* const checks[] = {"text", "enabled", "visible", "checked", "exists", "folder", "no-file", "file-text"};
  for (const char* check : checks)
    if (verb == check) return true;
  return false;
}

void ExecuteEventually(Scenario& s, const std::string& verb, const std::vector<std::string>& args) {
  if (!IsStateCheck(verb)) return Execute(s, verb, args);
  DWORD start = GetTickCount();
  for (;;) {
    try {
      return Execute(s, verb, args);
    } catch (const Failure&) {
      if (GetTickCount() - start > s.timeoutMs) throw;
    }
    CheckForbidden(s);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
}

// Runs one script; true when every step held.
bool RunScript(const std::string& path) {
  char full[MAX_PATH + 1] = {};
  GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  Scenario s;
  s.caseDir = FolderOf(full);
  std::string name = FolderOf(s.caseDir);
  name = std::string(s.caseDir).substr(name.size() + 1);
  SetCurrentDirectoryA(s.caseDir.c_str());

  std::string script = ReadFileBytes(full);
  int lineNumber = 0;
  size_t position = 0;
  try {
    while (position < script.size()) {
      size_t end = script.find('\n', position);
      if (end == std::string::npos) end = script.size();
      std::string line = script.substr(position, end - position);
      position = end + 1;
      ++lineNumber;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      size_t first = line.find_first_not_of(" \t");
      if (first == std::string::npos || line[first] == '#' || line[first] == '@') continue;
      line = line.substr(first);
      size_t space = line.find(' ');
      std::string verb = line.substr(0, space);
      try {
        ExecuteEventually(s, verb, SplitArgs(space == std::string::npos ? "" : line.substr(space + 1)));
      } catch (Failure& failure) {
        failure.what = Format("line %d (%s): ", lineNumber, line.c_str()) + failure.what;
        throw;
      }
    }
    if (s.running) Fail("the script ended while the stub still runs");
  } catch (const Failure& failure) {
    EndStub(s);
    for (auto& held : s.held) CloseHandle(held.second);
    printf("FAIL %s: %s\n", name.c_str(), failure.what.c_str());
    fflush(stdout);
    return false;
  }
  for (auto& held : s.held) CloseHandle(held.second);
  printf("PASS %s\n", name.c_str());
  fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: zqv_e2e_harness SCRIPT...\n");
    return 2;
  }
  if (const char* slow = getenv("ZQV_E2E_SLOW")) {
    const int factor = atoi(slow);
    if (factor < 1 || factor > 50) {
      fprintf(stderr, "zqv_e2e_harness: ZQV_E2E_SLOW must be 1 to 50, not \"%s\"\n", slow);
      return 2;
    }
    gSlow = DWORD(factor);
  }
  // A crash of the stub must not open Wine's crash dialog and wait for a user.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  int failed = 0;
  for (int i = 1; i < argc; ++i)
    if (!RunScript(argv[i])) ++failed;
  printf("%d of %d scenarios passed\n", argc - 1 - failed, argc - 1);
  return failed == 0 ? 0 : 1;
}
