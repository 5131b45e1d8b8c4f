// The file layer of TFileStream on Win32, with only what Windows 95 has: 64-bit positions go
// through SetFilePointer's high word and GetFileSize's high word, never the *Ex calls.
#include "Win32File.h"

#include <windows.h>

#include "Text.h"
#include "crypto/FileStream.h"

namespace {
// Room for the longest output path (259 + 1 + 255), the quotes and the system's text.
char gFileErrorText[1200];
}  // namespace

void PlatformErrorText(uint32_t error, char* text, int32_t capacity) {
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                           DWORD(capacity), nullptr);
  if (n >= DWORD(capacity)) n = 0;
  // The system's texts end in a full stop and a line break; the report adds its own.
  while (n > 0 && (uint8_t(text[n - 1]) <= ' ' || text[n - 1] == '.')) --n;
  text[n] = 0;
  if (n == 0) TextBuilder(text, capacity).Add("System error ").AddDecimal(error);
}

[[gnu::noinline]] Status RaiseFileError(ErrorKind kind, const char* path, uint32_t error) {
  const char* lead = kind == ErrorKind::EFOpenError     ? "Cannot open file \""
                     : kind == ErrorKind::EFCreateError ? "Cannot create file \""
                     : kind == ErrorKind::EReadError    ? "Cannot read file \""
                                                        : "Cannot write file \"";
  char system[512];
  PlatformErrorText(error, system, sizeof system);
  TextBuilder(gFileErrorText, sizeof gFileErrorText).Add(lead).Add(path).Add("\". ").Add(system);
  return Status{kind, gFileErrorText, __builtin_return_address(0)};
}

Status PlatformOpenFile(const char* path, FileAccess access, FileHandle& handle) {
  DWORD desired = GENERIC_READ, share = FILE_SHARE_READ, disposition = OPEN_EXISTING;
  switch (access) {
    case FileAccess::ReadShareReadWrite: share = FILE_SHARE_READ | FILE_SHARE_WRITE; break;
    case FileAccess::ReadShareRead: break;
    case FileAccess::CreateExclusive:
      desired = GENERIC_READ | GENERIC_WRITE;
      share = 0;
      disposition = CREATE_ALWAYS;
      break;
  }
  HANDLE h = CreateFileA(path, desired, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    handle = reinterpret_cast<FileHandle>(h);
    return kOk;
  }
  const DWORD error = GetLastError();
  return RaiseFileError(access == FileAccess::CreateExclusive ? ErrorKind::EFCreateError : ErrorKind::EFOpenError,
                        path, error);
}

int32_t PlatformReadFile(FileHandle handle, void* buffer, int32_t count, uint32_t* error) {
  DWORD n = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(handle), buffer, DWORD(count), &n, nullptr)) {
    *error = GetLastError();
    return -1;
  }
  return int32_t(n);
}

int32_t PlatformWriteFile(FileHandle handle, const void* buffer, int32_t count, uint32_t* error) {
  const char* p = static_cast<const char*>(buffer);
  int32_t done = 0;
  while (done < count) {
    DWORD n = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(handle), p + done, DWORD(count - done), &n, nullptr) || n == 0) {
      // A write that succeeds with nothing stored is a full disk on the FAT drivers of old.
      const DWORD e = GetLastError();
      *error = e != ERROR_SUCCESS ? e : ERROR_DISK_FULL;
      return done > 0 ? done : -1;
    }
    done += int32_t(n);
  }
  return done;
}

// INVALID_SET_FILE_POINTER and INVALID_FILE_SIZE are also valid low words of a large file, so
// only the last error tells a failure.
bool PlatformSeekFile(FileHandle handle, int64_t position, uint32_t* error) {
  LONG high = LONG(position >> 32);
  SetLastError(ERROR_SUCCESS);
  const DWORD low = SetFilePointer(reinterpret_cast<HANDLE>(handle), LONG(uint32_t(position)), &high, FILE_BEGIN);
  if (low != INVALID_SET_FILE_POINTER || GetLastError() == ERROR_SUCCESS) return true;
  *error = GetLastError();
  return false;
}

int64_t PlatformFileSize(FileHandle handle, uint32_t* error) {
  DWORD high = 0;
  SetLastError(ERROR_SUCCESS);
  const DWORD low = GetFileSize(reinterpret_cast<HANDLE>(handle), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
    *error = GetLastError();
    return -1;
  }
  return int64_t(uint64_t(high) << 32 | low);
}

bool PlatformCloseFile(FileHandle handle, uint32_t* error) {
  if (CloseHandle(reinterpret_cast<HANDLE>(handle))) return true;
  *error = GetLastError();
  return false;
}
