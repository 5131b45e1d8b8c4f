// The file layer of TFileStream on POSIX. Share modes have no POSIX counterpart and are ignored.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "crypto/FileStream.h"

namespace {
char gErrorMessage[4096];
}

void PlatformErrorText(uint32_t error, char* text, int32_t capacity) {
  snprintf(text, static_cast<size_t>(capacity), "%s", strerror(static_cast<int>(error)));
}

Status PlatformOpenFile(const char* path, FileAccess access, FileHandle& handle) {
  const bool create = access == FileAccess::CreateExclusive;
  const int fd =
      create ? open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666) : open(path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  int error = errno;
  if (fd >= 0 && !create && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    error = EISDIR;
  } else if (fd >= 0) {
    handle = fd;
    return kOk;
  }
  char text[512];
  PlatformErrorText(static_cast<uint32_t>(error), text, sizeof text);
  snprintf(gErrorMessage, sizeof gErrorMessage,
           create ? "Cannot create file \"%s\". %s" : "Cannot open file \"%s\". %s", path, text);
  return RaiseError(create ? ErrorKind::EFCreateError : ErrorKind::EFOpenError, gErrorMessage);
}

int32_t PlatformReadFile(FileHandle handle, void* buffer, int32_t count, uint32_t* error) {
  ssize_t n;
  do n = read(static_cast<int>(handle), buffer, static_cast<size_t>(count));
  while (n < 0 && errno == EINTR);
  if (n < 0) *error = static_cast<uint32_t>(errno);
  return static_cast<int32_t>(n);
}

int32_t PlatformWriteFile(FileHandle handle, const void* buffer, int32_t count, uint32_t* error) {
  const char* p = static_cast<const char*>(buffer);
  int32_t done = 0;
  while (done < count) {
    const ssize_t n = write(static_cast<int>(handle), p + done, static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = static_cast<uint32_t>(n < 0 ? errno : ENOSPC);
      return done > 0 ? done : -1;
    }
    done += static_cast<int32_t>(n);
  }
  return done;
}

bool PlatformSeekFile(FileHandle handle, int64_t position, uint32_t* error) {
  const off_t at = lseek(static_cast<int>(handle), static_cast<off_t>(position), SEEK_SET);
  if (at == position) return true;
  *error = static_cast<uint32_t>(at < 0 ? errno : EIO);
  return false;
}

int64_t PlatformFileSize(FileHandle handle, uint32_t* error) {
  struct stat st;
  if (fstat(static_cast<int>(handle), &st) == 0) return static_cast<int64_t>(st.st_size);
  *error = static_cast<uint32_t>(errno);
  return -1;
}

bool PlatformCloseFile(FileHandle handle, uint32_t* error) {
  // Linux has closed the descriptor even when close reports EINTR; it must not be closed again.
  if (close(static_cast<int>(handle)) == 0 || errno == EINTR) return true;
  *error = static_cast<uint32_t>(errno);
  return false;
}
