// A buffered file stream over the platform's file handles (Win32 in the stub, POSIX in zqv).
#pragma once

#include <stdint.h>

#include "Status.h"
#include "Stream.h"

// How a file is opened; the names say the Win32 access, share and creation modes.
enum class FileAccess : uint8_t {
  ReadShareReadWrite,  // GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING
  ReadShareRead,       // GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING
  CreateExclusive,     // GENERIC_READ | GENERIC_WRITE, no sharing, CREATE_ALWAYS
};

// ---- The platform layer, implemented once per platform --------------------------------------

using FileHandle = intptr_t;
inline constexpr FileHandle kNoFile = -1;

// Opens `path`; on failure EFOpenError (reading) or EFCreateError (creating) with the message
// 'Cannot open file "%s". %s' or 'Cannot create file "%s". %s' (path, then the system's text).
Status PlatformOpenFile(const char* path, FileAccess access, FileHandle& handle);
// Return the count transferred, or -1 on failure; the system's error code is then in *error.
int32_t PlatformReadFile(FileHandle handle, void* buffer, int32_t count, uint32_t* error);
int32_t PlatformWriteFile(FileHandle handle, const void* buffer, int32_t count, uint32_t* error);
// False, or a size of -1, on failure, with the system's error code in *error.
bool PlatformSeekFile(FileHandle handle, int64_t position, uint32_t* error);
int64_t PlatformFileSize(FileHandle handle, uint32_t* error);
// False when the system reports that the file's last writes may be lost (NFS, a failing disk).
bool PlatformCloseFile(FileHandle handle, uint32_t* error);
// The system's text for an error code, without a trailing line break or full stop.
void PlatformErrorText(uint32_t error, char* text, int32_t capacity);

// ---- The stream -------------------------------------------------------------------------------

class TFileStream final : public Stream {
 public:
  static constexpr int32_t kBufferSize = 32 * 1024;

  TFileStream() = default;
  ~TFileStream() { (void)Close(); }
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  Status Open(const char* path, FileAccess access);
  // Takes over a handle the caller opened (for writing or reading from its start); Close closes it.
  void Adopt(FileHandle handle);
  // Writes out what is buffered and closes; EWriteError when the file did not take it all, or
  // when closing a file that was written to failed.
  Status Close();
  bool IsOpen() const { return handle_ != kNoFile; }
  // The system's error code of the last failed read, write, seek or size (0 when none failed).
  uint32_t LastError() const { return lastError_; }

  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Position() override { return position_; }
  int64_t Size() override;  // -1 when the system cannot tell it (LastError says why)
  bool SetPosition(int64_t position) override;

 private:
  bool Flush();           // writes the pending bytes; false when the file took fewer
  void DropReadAhead();   // forgets buffered input, putting the file back at position_

  FileHandle handle_ = kNoFile;
  int64_t position_ = 0;  // the logical position, as the caller sees it
  int32_t fill_ = 0;      // bytes in buffer_: pending output, or input read ahead
  int32_t next_ = 0;      // input: the next unread byte in buffer_
  bool writing_ = false;  // buffer_ holds pending output rather than input
  bool failed_ = false;   // a write failed; Close reports it
  bool written_ = false;  // something was written: a failed close loses it
  uint32_t lastError_ = 0;
  uint8_t buffer_[kBufferSize];
};
