// The hashing stream: SHA-1 of a byte stream in a second thread, so that on two cores the
// digest costs the decrypting or encrypting thread no more than a copy.
#include "Tool.h"

#include <cstring>

HashingStream::HashingStream(Stream& inner)
    : inner_(inner), slots_(new uint8_t[size_t(kSlots) * kSlotSize]) {
  Sha1Start(context_);
  worker_ = std::thread([this] { Work(); });
}

HashingStream::~HashingStream() { Stop(); }

int32_t HashingStream::Read(void* buffer, int32_t count) {
  const int32_t n = inner_.Read(buffer, count);
  if (n > 0) Feed(static_cast<const uint8_t*>(buffer), n);
  return n;
}

int32_t HashingStream::Write(const void* buffer, int32_t count) {
  const int32_t n = inner_.Write(buffer, count);
  if (n > 0) Feed(static_cast<const uint8_t*>(buffer), n);
  return n;
}

void HashingStream::Feed(const uint8_t* data, int32_t count) {
  while (count > 0) {
    int32_t& size = sizes_[filling_];
    const int32_t take = std::min(count, kSlotSize - size);
    std::memcpy(slots_.get() + size_t(filling_) * kSlotSize + size, data, size_t(take));
    size += take;
    data += take;
    count -= take;
    if (size == kSlotSize) Publish();
  }
}

void HashingStream::Publish() {
  std::unique_lock lock(mutex_);
  ++ready_;
  changed_.notify_all();
  changed_.wait(lock, [this] { return ready_ < kSlots; });
  filling_ = (filling_ + 1) % kSlots;
}

void HashingStream::Work() {
  for (;;) {
    int slot;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return ready_ > 0 || stopping_; });
      if (ready_ == 0) return;
      slot = hashing_;
    }
    Sha1Add(context_, slots_.get() + size_t(slot) * kSlotSize, sizes_[slot]);
    std::lock_guard lock(mutex_);
    sizes_[slot] = 0;
    hashing_ = (hashing_ + 1) % kSlots;
    --ready_;
    changed_.notify_all();
  }
}

void HashingStream::Stop() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    if (sizes_[filling_] > 0) ++ready_;  // the partly filled slot goes last
    stopping_ = true;
    changed_.notify_all();
  }
  worker_.join();
}

void HashingStream::Finish(uint8_t digest[20]) {
  Stop();
  Sha1Finish(context_, digest);
}
