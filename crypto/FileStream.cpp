#include "FileStream.h"

#include "Bytes.h"

Status TFileStream::Open(const char* path, FileAccess access) {
  Adopt(kNoFile);
  return PlatformOpenFile(path, access, handle_);
}

void TFileStream::Adopt(FileHandle handle) {
  (void)Close();
  position_ = 0;
  fill_ = next_ = 0;
  writing_ = failed_ = written_ = false;
  lastError_ = 0;
  handle_ = handle;
}

Status TFileStream::Close() {
  if (handle_ == kNoFile) return kOk;
  const bool flushed = Flush();
  uint32_t error = 0;
  const bool closed = PlatformCloseFile(handle_, &error);
  handle_ = kNoFile;
  if (!closed && written_ && lastError_ == 0) lastError_ = error;
  if (!flushed || failed_ || (!closed && written_)) return RaiseError(ErrorKind::EWriteError, "Write error");
  return kOk;
}

bool TFileStream::Flush() {
  if (!writing_ || fill_ == 0) return true;
  const int32_t n = PlatformWriteFile(handle_, buffer_, fill_, &lastError_);
  const bool ok = n == fill_;
  fill_ = 0;
  if (!ok) failed_ = true;
  return ok;
}

void TFileStream::DropReadAhead() {
  if (writing_ || next_ == fill_) {
    fill_ = next_ = 0;
    return;
  }
  // The file is ahead of position_ by what was read ahead; a write must not land there.
  if (!PlatformSeekFile(handle_, position_, &lastError_)) failed_ = true;
  fill_ = next_ = 0;
}

int32_t TFileStream::Read(void* buffer, int32_t count) {
  if (handle_ == kNoFile || count <= 0) return 0;
  if (writing_) {
    if (!Flush()) return 0;
    writing_ = false;
  }
  uint8_t* out = static_cast<uint8_t*>(buffer);
  int32_t done = 0;
  while (done < count) {
    if (next_ == fill_) {
      fill_ = next_ = 0;
      if (count - done >= kBufferSize) {  // a large read goes straight to the caller
        const int32_t n = PlatformReadFile(handle_, out + done, count - done, &lastError_);
        if (n <= 0) break;
        done += n;
        position_ += n;
        continue;
      }
      const int32_t n = PlatformReadFile(handle_, buffer_, kBufferSize, &lastError_);
      if (n <= 0) break;
      fill_ = n;
    }
    int32_t take = fill_ - next_;
    if (take > count - done) take = count - done;
    CopyBytes(out + done, buffer_ + next_, static_cast<size_t>(take));
    next_ += take;
    done += take;
    position_ += take;
  }
  return done;
}

int32_t TFileStream::Write(const void* buffer, int32_t count) {
  if (handle_ == kNoFile || count <= 0) return 0;
  written_ = true;
  if (!writing_) {
    DropReadAhead();
    writing_ = true;
  }
  if (fill_ + count > kBufferSize && !Flush()) return 0;
  if (count >= kBufferSize) {
    const int32_t n = PlatformWriteFile(handle_, buffer, count, &lastError_);
    if (n != count) failed_ = true;
    if (n > 0) position_ += n;
    return n < 0 ? 0 : n;
  }
  CopyBytes(buffer_ + fill_, buffer, static_cast<size_t>(count));
  fill_ += count;
  position_ += count;
  return count;
}

int64_t TFileStream::Size() {
  if (handle_ == kNoFile) return 0;
  if (writing_) Flush();
  const int64_t size = PlatformFileSize(handle_, &lastError_);
  if (size < 0) return -1;
  return size > position_ ? size : position_;
}

bool TFileStream::SetPosition(int64_t position) {
  if (handle_ == kNoFile || position < 0) return false;
  if (writing_ && !Flush()) return false;
  writing_ = false;
  fill_ = next_ = 0;
  if (!PlatformSeekFile(handle_, position, &lastError_)) return false;
  position_ = position;
  return true;
}
