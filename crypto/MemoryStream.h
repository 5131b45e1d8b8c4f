// A stream over a caller-owned byte area of fixed capacity; no allocation.
#pragma once

#include <stddef.h>

#include "Stream.h"

class MemoryStream final : public Stream {
 public:
  // `size` bytes of `data` are the stream's content; writes may grow it up to `capacity`.
  MemoryStream(uint8_t* data, int64_t size, int64_t capacity)
      : data_(data), size_(size), capacity_(capacity) {}

  int32_t Read(void* buffer, int32_t count) override {
    int64_t n = count < 0 ? 0 : count;
    if (n > size_ - position_) n = size_ - position_;
    if (n <= 0) return 0;
    __builtin_memcpy(buffer, data_ + position_, static_cast<size_t>(n));
    position_ += n;
    return static_cast<int32_t>(n);
  }
  int32_t Write(const void* buffer, int32_t count) override {
    int64_t n = count < 0 ? 0 : count;
    if (n > capacity_ - position_) n = capacity_ - position_;
    if (n <= 0) return 0;
    __builtin_memcpy(data_ + position_, buffer, static_cast<size_t>(n));
    position_ += n;
    if (position_ > size_) size_ = position_;
    return static_cast<int32_t>(n);
  }
  int64_t Position() override { return position_; }
  int64_t Size() override { return size_; }
  bool SetPosition(int64_t position) override {
    if (position < 0 || position > size_) return false;
    position_ = position;
    return true;
  }

 private:
  uint8_t* data_;
  int64_t size_;
  int64_t capacity_;
  int64_t position_ = 0;
};
