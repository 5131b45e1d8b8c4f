// The seekable byte stream that the CBC routines, the digest and the archive code work on.
#pragma once

#include <stdint.h>

class Stream {
 public:
  // Reads up to `count` bytes into `buffer`; returns how many were read. 0 means the end of
  // the stream or a failed read: a failure is never raised, it reads as nothing.
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  // Writes `count` bytes; returns how many were stored. Fewer than `count` means the stream
  // could not take them (a full disk, an I/O error); the caller decides what that means.
  virtual int32_t Write(const void* buffer, int32_t count) = 0;
  // The current position and the size, in bytes from the start. A size that cannot be read (a
  // failing file system) is -1, never a made-up 0; the concrete stream keeps the reason.
  virtual int64_t Position() = 0;
  virtual int64_t Size() = 0;
  // Moves to `position` bytes from the start; false when the stream cannot go there.
  virtual bool SetPosition(int64_t position) = 0;
  // Memory of the stream's own where the caller may place the bytes of its next Write, which
  // then takes them without a copy: nullptr when the stream lends none (the default), else room
  // for `capacity` bytes, which comes back lowered to what the stream has (at least 1). Valid
  // until the next call on the stream.
  virtual uint8_t* WriteSpace(int32_t& capacity) {
    (void)capacity;
    return nullptr;
  }

 protected:
  ~Stream() = default;  // streams are owned and destroyed by their concrete type
};

// Another stream read only up to `end` bytes from its start: reads stop there, and Size() is
// `end` (or the inner stream's size where that is smaller). An archive's body is read so when it
// ends before a signer's certificate table. It is for reading: a write stores nothing.
class BoundedStream final : public Stream {
 public:
  BoundedStream(Stream& inner, int64_t end) : inner_(inner), end_(end) {}
  int32_t Read(void* buffer, int32_t count) override {
    const int64_t left = end_ - inner_.Position();
    if (left <= 0) return 0;
    return inner_.Read(buffer, left < count ? int32_t(left) : count);
  }
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Position() override { return inner_.Position(); }
  int64_t Size() override {
    const int64_t size = inner_.Size();  // -1 stays -1
    return size < end_ ? size : end_;
  }
  bool SetPosition(int64_t position) override { return inner_.SetPosition(position); }

 private:
  Stream& inner_;
  int64_t end_;
};
