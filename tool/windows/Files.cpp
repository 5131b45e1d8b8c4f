// Files and folders for zqv on Windows: the wide Win32 calls; folders held open without delete
// sharing while names below them are used, reparse points refused, temporaries held without
// sharing and moved into place with MoveFileExW.
#include <windows.h>
#undef RotateLeft32  // winnt.h's macro would rename the core's function of that name
#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "crypto/windows/Utf16.h"
#include "tool/Tool.h"

namespace {

HANDLE AsHandle(FileHandle handle) { return reinterpret_cast<HANDLE>(handle); }
FileHandle AsFileHandle(HANDLE handle) { return reinterpret_cast<FileHandle>(handle); }

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The length of the path's root: "C:\", "C:", "\\server\share\", "\" or nothing.
size_t RootLength(const std::string& path) {
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    size_t at = 2, parts = 0;
    while (at < path.size() && parts < 2) {
      if (IsSeparator(path[at])) ++parts;
      ++at;
    }
    return at;
  }
  size_t at = path.size() >= 2 && path[1] == ':' ? 2 : 0;
  if (at < path.size() && IsSeparator(path[at])) ++at;
  return at;
}

// Opens a folder to hold: readable, writable and listable by others, but neither renamed nor
// removed while held. `follow`: a reparse point there is followed (the user's own choice)
// rather than opened itself.
HANDLE HoldFolder(const std::string& path, bool follow, DWORD& attributes) {
  const HANDLE folder =
      CreateFileW(WideOf(path).c_str(), FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  attributes =
      folder != INVALID_HANDLE_VALUE && GetFileInformationByHandle(folder, &info) ? info.dwFileAttributes : 0;
  return folder;
}

// The handler that removes the pending temporary when the console is interrupted or closed:
// the file is marked for deletion through its own handle, so no name is ever looked up again.
HANDLE gPending = INVALID_HANDLE_VALUE;

bool MarkForDeletion(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

BOOL WINAPI RemovePendingOnInterrupt(DWORD) {
  const HANDLE pending = gPending;
  if (pending != INVALID_HANDLE_VALUE) MarkForDeletion(pending);
  // As the default handler ends a process, and with its exit code, on every Windows-like
  // system; ending closes the handle, which removes the file.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

void WatchInterrupts() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  SetConsoleCtrlHandler(RemovePendingOnInterrupt, TRUE);
}

// Removes the temporaries in `folder` whose writer is gone: regular files of zqv's name pattern
// that this process can open without sharing. One still written is held open by its zqv, so the
// open fails and it stays.
void RemoveStaleTemporaries(const std::string& folder, const std::string& shownFolder, bool quiet) {
  WIN32_FIND_DATAW found;
  const HANDLE search =
      FindFirstFileW(WideOf(JoinPath(folder, std::string(kTempPrefix) + "*")).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;  // none, or a folder that cannot be listed
  do {
    const std::string name = Utf8Of(found.cFileName);
    if (!IsTempName(name.c_str())) continue;
    const HANDLE file = CreateFileW(WideOf(JoinPath(folder, name)).c_str(), DELETE | FILE_READ_ATTRIBUTES, 0,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    BY_HANDLE_FILE_INFORMATION info;
    const bool regular = GetFileInformationByHandle(file, &info) &&
                         !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    if (regular && MarkForDeletion(file) && !quiet)
      ReportRemovedTemporary(shownFolder, name.c_str(),
                             int64_t((uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow));
    CloseHandle(file);
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

}  // namespace

std::string SystemText(int error) {
  char text[512];
  PlatformErrorText(error != 0 ? uint32_t(error) : ERROR_IO_DEVICE, text, sizeof text);
  return text;
}

std::string BaseName(const std::string& path) {
  const size_t root = RootLength(path);
  std::string p = path;
  while (p.size() > root && IsSeparator(p.back())) p.pop_back();
  size_t at = p.size();
  while (at > root && !IsSeparator(p[at - 1])) --at;
  return p.substr(at);
}

std::string DirName(const std::string& path) {
  const size_t root = RootLength(path);
  size_t at = path.size();
  while (at > root && !IsSeparator(path[at - 1])) --at;
  if (at <= root) return root > 0 ? path.substr(0, root) : ".";
  return path.substr(0, at - 1);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty() || IsSeparator(folder.back()) || (folder.size() == 2 && folder[1] == ':'))
    return folder + name;
  return folder + "\\" + name;
}

std::string WithoutTrailingSeparators(const std::string& path) {
  const size_t root = std::max<size_t>(RootLength(path), 1);
  std::string p = path;
  while (p.size() > root && IsSeparator(p.back())) p.pop_back();
  return p;
}

PathFacts LookAt(const std::string& path) {
  PathFacts facts;
  WIN32_FILE_ATTRIBUTE_DATA data;
  const std::wstring wide = WideOf(path);
  if (wide.empty() || !GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
    facts.error = wide.empty() ? ERROR_INVALID_NAME : int(GetLastError());
    return facts;
  }
  // A link is looked at through: its target's kind and size.
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    const HANDLE file = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &info)) {
      facts.error = int(GetLastError());
      if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
      return facts;
    }
    CloseHandle(file);
    data.dwFileAttributes = info.dwFileAttributes;
    data.nFileSizeHigh = info.nFileSizeHigh;
    data.nFileSizeLow = info.nFileSizeLow;
  }
  facts.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  facts.regular = !facts.folder && !(data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE);
  facts.size = int64_t((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  return facts;
}

EntryKind EntryIn(const FolderHandle& folder, const std::string& name) {
  const DWORD attributes = GetFileAttributesW(WideOf(JoinPath(folder.path(), name)).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return EntryKind::kNone;
  // A link is replaced, never followed, so it counts as a file whatever it points to.
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::kOther;
  return attributes & FILE_ATTRIBUTE_DIRECTORY ? EntryKind::kFolder : EntryKind::kOther;
}

std::vector<std::pair<std::string, std::string>> StubPlaces() {
  std::wstring buffer(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
  if (n == 0 || n >= buffer.size()) return {};
  const std::string exeDir = DirName(Utf8Of(buffer.data(), int(n)));
  // Unpacked from the release: zqvsfx.exe beside zqv.exe; a build tree: build/windows/zqv.exe
  // beside build/stub/zqvsfx.exe.
  return {{JoinPath(exeDir, "zqvsfx.exe"), "beside zqv.exe"},
          {JoinPath(JoinPath(JoinPath(exeDir, ".."), "stub"), "zqvsfx.exe"), "build tree"}};
}

std::optional<std::string> EnvironmentValue(const char* name) {
  const std::wstring wideName = WideOf(name);
  const DWORD n = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (n <= 1) return std::nullopt;
  std::wstring value(n, L'\0');
  const DWORD got = GetEnvironmentVariableW(wideName.c_str(), value.data(), n);
  if (got == 0 || got >= n) return std::nullopt;
  return Utf8Of(value.data(), int(got));
}

// ---- Folders ------------------------------------------------------------------------------------

FolderHandle::~FolderHandle() {
  if (handle_ != kNoFile) CloseHandle(AsHandle(handle_));
}

FolderHandle OpenFolder(const std::string& path) {
  DWORD attributes = 0;
  const HANDLE folder = HoldFolder(path, /*follow=*/true, attributes);
  if (folder == INVALID_HANDLE_VALUE)
    Fail(path, "cannot open the folder: " + SystemText(int(GetLastError())));
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(folder);
    Fail(path, "cannot open the folder: " + SystemText(ERROR_DIRECTORY));
  }
  return FolderHandle(AsFileHandle(folder), path);
}

CreatedFolders::~CreatedFolders() {
  for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) RemoveDirectoryW(WideOf(*it).c_str());
}

void CreatedFolders::Make(const std::string& folder) {
  size_t at = RootLength(folder);
  while (at <= folder.size()) {
    while (at < folder.size() && !IsSeparator(folder[at])) ++at;
    const std::string prefix = folder.substr(0, at++);
    if (prefix.empty() || IsSeparator(prefix.back())) continue;
    const PathFacts facts = LookAt(prefix);
    if (facts.error == 0) {
      if (facts.folder) continue;
      Fail(prefix, "cannot create the folder: a file of that name exists");
    }
    if (facts.error != ERROR_FILE_NOT_FOUND && facts.error != ERROR_PATH_NOT_FOUND)
      Fail(prefix, "cannot look at the folder: " + SystemText(facts.error));
    if (!CreateDirectoryW(WideOf(prefix).c_str(), nullptr))
      Fail(prefix, "cannot create the folder: " + SystemText(int(GetLastError())));
    folders_.push_back(prefix);
  }
}

OutputFolder::OutputFolder(const std::string& destination, const std::vector<std::string>& folders,
                           bool create) {
  folders_.push_back(std::make_unique<FolderHandle>(OpenFolder(destination)));
  for (const std::string& name : folders) {
    // The parent is held without delete sharing, so this path names a folder inside it.
    const std::string path = JoinPath(folders_.back()->path(), name);
    DWORD attributes = 0;
    HANDLE folder = HoldFolder(path, /*follow=*/false, attributes);
    DWORD error = folder == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (error == ERROR_FILE_NOT_FOUND) {
      if (!create) return;
      if (!CreateDirectoryW(WideOf(path).c_str(), nullptr))
        Fail(path, "cannot create the folder: " + SystemText(int(GetLastError())));
      created_.emplace_back(folders_.size() - 1, name);
      folder = HoldFolder(path, /*follow=*/false, attributes);
      error = folder == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    }
    if (folder == INVALID_HANDLE_VALUE) Fail(path, "cannot open the folder: " + SystemText(int(error)));
    folders_.push_back(std::make_unique<FolderHandle>(AsFileHandle(folder), path));
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
      Fail(path, "cannot extract: a symbolic link stands where the archive names a folder");
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
      Fail(path, "cannot create the folder: a file of that name exists");
  }
  complete_ = true;
}

OutputFolder::~OutputFolder() {
  // A folder is removed once no handle holds it: the one below it is closed first.
  for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
    folders_.resize(it->first + 1);
    RemoveDirectoryW(WideOf(JoinPath(folders_[it->first]->path(), it->second)).c_str());
  }
}

// ---- Temporary files --------------------------------------------------------------------------

TempFile::TempFile(const FolderHandle& folder, const std::string& name, const std::string& shown, bool quiet)
    : folder_(folder), name_(name), shown_(shown) {
  WatchInterrupts();
  RemoveStaleTemporaries(folder_.path(), DirName(shown), quiet);
  // Shared with none but a rename: no other zqv can take it for a stale one while it is open.
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; file == INVALID_HANDLE_VALUE; ++attempt) {
    uint32_t random = 0;
    if (BCryptGenRandom(nullptr, reinterpret_cast<UCHAR*>(&random), sizeof random,
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
      random = GetCurrentProcessId() * 2654435761u + GetTickCount() + uint32_t(attempt);
    std::snprintf(temp_, sizeof temp_, "%s%08x", kTempPrefix, random);
    // CREATE_NEW never opens what already stands there, a link included.
    file = CreateFileW(WideOf(JoinPath(folder_.path(), temp_)).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                       FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || attempt > 100)
        Fail(DirName(shown), "cannot create a temporary file: " + SystemText(int(error)));
    }
  }
  HANDLE hold = INVALID_HANDLE_VALUE;
  if (!DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &hold, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    const DWORD error = GetLastError();
    MarkForDeletion(file);
    CloseHandle(file);
    Fail(DirName(shown), "cannot create a temporary file: " + SystemText(int(error)));
  }
  file_ = AsFileHandle(file);
  hold_ = AsFileHandle(hold);
  gPending = hold;
}

TempFile::~TempFile() {
  gPending = INVALID_HANDLE_VALUE;
  if (!committed_ && hold_ != kNoFile) MarkForDeletion(AsHandle(hold_));
  if (file_ != kNoFile) CloseHandle(AsHandle(file_));
  if (hold_ != kNoFile) CloseHandle(AsHandle(hold_));
}

void TempFile::Reserve(int64_t bytes) {
  if (bytes <= 0) return;
  FILE_ALLOCATION_INFO allocation;
  allocation.AllocationSize.QuadPart = bytes;
  if (SetFileInformationByHandle(AsHandle(file_), FileAllocationInfo, &allocation, sizeof allocation)) return;
  const DWORD error = GetLastError();
  if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL || error == ERROR_FILE_TOO_LARGE)
    Fail(shown_, "cannot write: " + SystemText(int(error)));
}

FileHandle TempFile::Release() {
  const FileHandle file = file_;
  file_ = kNoFile;
  return file;
}

void TempFile::Commit(unsigned, bool durable) {
  const std::wstring target = WideOf(JoinPath(folder_.path(), name_));
  // Anything at the name, or a name that cannot be looked at, counts as a file to keep safe.
  const bool replaces = GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES ||
                        (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND);
  const bool sync = durable || replaces;
  if (sync && !FlushFileBuffers(AsHandle(hold_)))
    Fail(shown_, "cannot write: " + SystemText(int(GetLastError())));
  // MoveFileExW replaces a file or a link at the name, never what a link points to, and leaves
  // the old file as it was when it fails.
  if (!MoveFileExW(WideOf(JoinPath(folder_.path(), temp_)).c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | (sync ? MOVEFILE_WRITE_THROUGH : 0)))
    Fail(shown_, "cannot rename into place: " + SystemText(int(GetLastError())));
  committed_ = true;
  gPending = INVALID_HANDLE_VALUE;
  CloseHandle(AsHandle(hold_));
  hold_ = kNoFile;
}
