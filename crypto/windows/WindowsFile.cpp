// The file layer of TFileStream on Windows: the wide Win32 calls on paths in UTF-8, share modes
// as FileAccess names them, 64-bit positions.
#include <windows.h>

#include <stdio.h>

#include "crypto/FileStream.h"
#include "crypto/windows/Utf16.h"

std::wstring WideOf(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), wide.data(), n);
  return wide;
}

std::string Utf8Of(const wchar_t* wide, int length) {
  if (length <= 0) return std::string();
  const int n =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string utf8(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, length, utf8.data(), n, nullptr, nullptr);
  return utf8;
}

std::string Utf8Of(const std::wstring& wide) { return Utf8Of(wide.data(), int(wide.size())); }

namespace {
char gErrorMessage[4096];
}

void PlatformErrorText(uint32_t error, char* text, int32_t capacity) {
  wchar_t* message = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                 nullptr, error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::string utf8 = n > 0 ? Utf8Of(message, int(n)) : std::string();
  if (message) LocalFree(message);
  // The system's texts end in a full stop and spaces; messages put their own punctuation.
  while (!utf8.empty() &&
         (utf8.back() == ' ' || utf8.back() == '.' || utf8.back() == '\r' || utf8.back() == '\n'))
    utf8.pop_back();
  if (utf8.empty()) {
    snprintf(text, size_t(capacity), "system error %lu", static_cast<unsigned long>(error));
    return;
  }
  snprintf(text, size_t(capacity), "%s", utf8.c_str());
}

Status PlatformOpenFile(const char* path, FileAccess access, FileHandle& handle) {
  const bool create = access == FileAccess::CreateExclusive;
  const DWORD share = access == FileAccess::ReadShareReadWrite ? FILE_SHARE_READ | FILE_SHARE_WRITE
                      : access == FileAccess::ReadShareRead    ? FILE_SHARE_READ
                                                               : 0;
  const std::wstring wide = WideOf(path);
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_INVALID_NAME;
  if (!wide.empty() || !*path) {
    file = CreateFileW(wide.c_str(), create ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, share, nullptr,
                       create ? CREATE_ALWAYS : OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    error = GetLastError();
  }
  if (file != INVALID_HANDLE_VALUE) {
    handle = reinterpret_cast<FileHandle>(file);
    return kOk;
  }
  char text[512];
  PlatformErrorText(error, text, sizeof text);
  snprintf(gErrorMessage, sizeof gErrorMessage,
           create ? "Cannot create file \"%s\". %s" : "Cannot open file \"%s\". %s", path, text);
  return RaiseError(create ? ErrorKind::EFCreateError : ErrorKind::EFOpenError, gErrorMessage);
}

int32_t PlatformReadFile(FileHandle handle, void* buffer, int32_t count, uint32_t* error) {
  DWORD n = 0;
  if (ReadFile(reinterpret_cast<HANDLE>(handle), buffer, DWORD(count), &n, nullptr)) return int32_t(n);
  const DWORD code = GetLastError();
  if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) return 0;  // a pipe's writer is gone: the end
  *error = code;
  return -1;
}

int32_t PlatformWriteFile(FileHandle handle, const void* buffer, int32_t count, uint32_t* error) {
  const char* p = static_cast<const char*>(buffer);
  int32_t done = 0;
  while (done < count) {
    DWORD n = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(handle), p + done, DWORD(count - done), &n, nullptr) || n == 0) {
      *error = n == 0 && GetLastError() == ERROR_SUCCESS ? ERROR_DISK_FULL : GetLastError();
      return done > 0 ? done : -1;
    }
    done += int32_t(n);
  }
  return done;
}

bool PlatformSeekFile(FileHandle handle, int64_t position, uint32_t* error) {
  LARGE_INTEGER to, at;
  to.QuadPart = position;
  if (SetFilePointerEx(reinterpret_cast<HANDLE>(handle), to, &at, FILE_BEGIN) && at.QuadPart == position)
    return true;
  *error = GetLastError();
  return false;
}

int64_t PlatformFileSize(FileHandle handle, uint32_t* error) {
  LARGE_INTEGER size;
  if (GetFileSizeEx(reinterpret_cast<HANDLE>(handle), &size)) return size.QuadPart;
  *error = GetLastError();
  return -1;
}

bool PlatformCloseFile(FileHandle handle, uint32_t* error) {
  if (CloseHandle(reinterpret_cast<HANDLE>(handle))) return true;
  *error = GetLastError();
  return false;
}
