// The hashing stream: SHA-1 of a byte stream in a second thread (and, for an output, the stores
// in a third), so that on two cores the digest and the writing cost the decrypting thread no
// more than a copy.
#include "Tool.h"

#include <algorithm>
#include <cstring>

HashingStream::HashingStream(Stream& inner, bool writeBehind)
    : inner_(inner), writeBehind_(writeBehind), slots_(new uint8_t[size_t(kSlots) * kSlotSize]) {
  Sha1Start(context_);
  hasher_ = std::thread([this] {
    Consume(hashed_, [this](const uint8_t* data, int32_t size) { Sha1Add(context_, data, size); });
  });
  if (writeBehind_)
    writer_ = std::thread([this] {
      Consume(written_, [this](const uint8_t* data, int32_t size) {
        if (!writeFailed_ && inner_.Write(data, size) != size) {
          std::lock_guard lock(mutex_);
          writeFailed_ = true;
        }
      });
    });
}

HashingStream::~HashingStream() { Stop(); }

int32_t HashingStream::Read(void* buffer, int32_t count) {
  const int32_t n = inner_.Read(buffer, count);
  if (n > 0) Feed(static_cast<const uint8_t*>(buffer), n);
  return n;
}

int32_t HashingStream::Write(const void* buffer, int32_t count) {
  if (!writeBehind_) {
    const int32_t n = inner_.Write(buffer, count);
    if (n > 0) Feed(static_cast<const uint8_t*>(buffer), n);
    return n;
  }
  {
    std::lock_guard lock(mutex_);
    if (writeFailed_) return 0;
  }
  if (count <= 0) return 0;
  Feed(static_cast<const uint8_t*>(buffer), count);
  accepted_ += count;
  return count;
}

void HashingStream::Feed(const uint8_t* data, int32_t count) {
  while (count > 0) {
    int32_t& size = sizes_[published_ % kSlots];
    const int32_t take = std::min(count, kSlotSize - size);
    std::memcpy(Slot(published_) + size, data, size_t(take));
    size += take;
    data += take;
    count -= take;
    if (size == kSlotSize) Publish();
  }
}

void HashingStream::Publish() {
  std::unique_lock lock(mutex_);
  ++published_;
  changed_.notify_all();
  // The next slot is free once every thread is past its previous use.
  changed_.wait(lock, [this] {
    const uint64_t slowest = writeBehind_ ? std::min(hashed_, written_) : hashed_;
    return published_ - slowest < kSlots;
  });
}

template <class Use>
void HashingStream::Consume(uint64_t& done, Use use) {
  for (;;) {
    uint64_t sequence;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return done < published_ || stopping_; });
      if (done == published_) return;
      sequence = done;
    }
    use(Slot(sequence), sizes_[sequence % kSlots]);
    std::lock_guard lock(mutex_);
    ++done;
    // The last thread through a slot empties it for the next fill.
    if (hashed_ > sequence && (!writeBehind_ || written_ > sequence)) sizes_[sequence % kSlots] = 0;
    changed_.notify_all();
  }
}

void HashingStream::Stop() {
  if (!hasher_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    if (sizes_[published_ % kSlots] > 0) ++published_;  // the partly filled slot goes last
    stopping_ = true;
    changed_.notify_all();
  }
  hasher_.join();
  if (writer_.joinable()) writer_.join();
}

bool HashingStream::Finish(uint8_t digest[20]) {
  Stop();
  Sha1Finish(context_, digest);
  return !writeFailed_;
}
