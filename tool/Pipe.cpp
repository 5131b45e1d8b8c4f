// The pipe stream: the reading or the writing of a stream, and its SHA-1, in threads of their
// own, so that on two cores they cost the enciphering thread no more than a copy.
#include <cstring>
#include <new>
#include <system_error>

#include "Tool.h"

PipeStream::PipeStream(Stream& inner, Direction direction, bool hash)
    : inner_(inner), direction_(direction), hash_(hash) {
  position_ = inner_.Position();
  if (direction_ == kReadAhead) end_ = inner_.Size();
  if (hash_) Sha1Start(context_);
  serial_ = !StartThreads();
}

bool PipeStream::StartThreads() {
  try {
    slots_.reset(new uint8_t[size_t(kSlots) * kSlotSize]);
    if (hash_)
      hasher_ = std::thread([this] {
        Consume(hashed_, [this](const uint8_t* data, int32_t size) { Sha1Add(context_, data, size); });
      });
    if (direction_ == kReadAhead) {
      mover_ = std::thread([this] { ReadAhead(); });
    } else {
      mover_ = std::thread([this] {
        Consume(delivered_, [this](const uint8_t* data, int32_t size) {
          if (!writeFailed_ && inner_.Write(data, size) != size) {
            std::lock_guard lock(mutex_);
            writeFailed_ = true;
          }
        });
      });
    }
    return true;
  } catch (const std::system_error&) {
  } catch (const std::bad_alloc&) {
  }
  // A hasher that did start ends at once: nothing was published to it.
  {
    std::lock_guard lock(mutex_);
    producerDone_ = stopping_ = true;
  }
  slotPublished_.notify_all();
  if (hasher_.joinable()) hasher_.join();
  slots_.reset();
  return false;
}

PipeStream::~PipeStream() { Stop(); }

void PipeStream::ReadAhead() {
  int64_t left = end_ - position_;
  for (bool more = left > 0; more;) {
    uint64_t sequence;
    {
      std::unique_lock lock(mutex_);
      slotFreed_.wait(lock, [this] { return published_ - Slowest() < kSlots || stopping_; });
      if (stopping_) break;
      sequence = published_;
    }
    // Never past the end the caller was told of: what is hashed is exactly what it can take.
    const int32_t want = int32_t(std::min<int64_t>(kSlotSize, left));
    int32_t got = 0;
    while (got < want) {
      const int32_t n = inner_.Read(Slot(sequence) + got, want - got);
      if (n <= 0) break;
      got += n;
    }
    left -= got;
    more = got == want && left > 0;
    {
      std::lock_guard lock(mutex_);
      sizes_[sequence % kSlots] = got;
      if (got > 0) ++published_;
    }
    slotPublished_.notify_all();
  }
  {
    std::lock_guard lock(mutex_);
    producerDone_ = true;
  }
  slotPublished_.notify_all();
}

int32_t PipeStream::Read(void* buffer, int32_t count) {
  if (direction_ != kReadAhead) return 0;
  if (serial_) {
    const int32_t n = inner_.Read(buffer, int32_t(std::min<int64_t>(count, std::max<int64_t>(end_ - position_, 0))));
    if (n <= 0) return 0;
    if (hash_) Sha1Add(context_, buffer, n);
    position_ += n;
    return n;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  int32_t done = 0;
  std::unique_lock lock(mutex_);
  while (done < count) {
    slotPublished_.wait(lock, [this] { return delivered_ < published_ || producerDone_; });
    if (delivered_ == published_) break;  // the end, or a failed read
    const int32_t size = sizes_[delivered_ % kSlots];
    const int32_t take = std::min(count - done, size - fill_);
    lock.unlock();
    std::memcpy(out + done, Slot(delivered_) + fill_, size_t(take));
    lock.lock();
    done += take;
    fill_ += take;
    if (fill_ == size) {
      fill_ = 0;
      if (Advance(delivered_)) {
        lock.unlock();
        slotFreed_.notify_one();
        lock.lock();
      }
    }
  }
  position_ += done;
  return done;
}

int32_t PipeStream::Write(const void* buffer, int32_t count) {
  if (direction_ != kWriteBehind || count <= 0) return 0;
  if (serial_) {
    if (writeFailed_) return 0;
    if (hash_) Sha1Add(context_, buffer, count);
    writeFailed_ = inner_.Write(buffer, count) != count;
    position_ += count;
    return count;
  }
  {
    std::lock_guard lock(mutex_);
    if (writeFailed_) return 0;
  }
  auto* data = static_cast<const uint8_t*>(buffer);
  for (int32_t left = count; left > 0;) {
    const int32_t take = std::min(left, kSlotSize - fill_);
    uint8_t* place = Slot(published_) + fill_;
    if (data != place) std::memcpy(place, data, size_t(take));  // bytes made in WriteSpace stay put
    fill_ += take;
    data += take;
    left -= take;
    if (fill_ == kSlotSize) Publish();
  }
  position_ += count;
  return count;
}

uint8_t* PipeStream::WriteSpace(int32_t& capacity) {
  if (direction_ != kWriteBehind || capacity <= 0 || serial_) return nullptr;
  capacity = std::min(capacity, kSlotSize - fill_);
  return Slot(published_) + fill_;
}

void PipeStream::Publish() {
  {
    std::lock_guard lock(mutex_);
    sizes_[published_ % kSlots] = fill_;
    fill_ = 0;
    ++published_;
  }
  slotPublished_.notify_all();
  std::unique_lock lock(mutex_);
  slotFreed_.wait(lock, [this] { return published_ - Slowest() < kSlots; });
}

bool PipeStream::Advance(uint64_t& done) {
  const uint64_t slowest = Slowest();
  ++done;
  return Slowest() != slowest;
}

template <class Use>
void PipeStream::Consume(uint64_t& done, Use use) {
  for (;;) {
    uint64_t sequence;
    {
      std::unique_lock lock(mutex_);
      slotPublished_.wait(lock, [&] { return done < published_ || producerDone_; });
      if (done == published_) return;
      sequence = done;
    }
    use(Slot(sequence), sizes_[sequence % kSlots]);
    bool freed;
    {
      std::lock_guard lock(mutex_);
      freed = Advance(done);
    }
    if (freed) slotFreed_.notify_one();
  }
}

void PipeStream::Stop() {
  if (serial_ || !mover_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    if (direction_ == kWriteBehind) {
      if (fill_ > 0) {  // the partly filled slot goes last
        sizes_[published_ % kSlots] = fill_;
        ++published_;
      }
      producerDone_ = true;
    }
    stopping_ = true;
  }
  slotPublished_.notify_all();
  slotFreed_.notify_all();
  mover_.join();
  if (hasher_.joinable()) hasher_.join();
}

bool PipeStream::Finish(uint8_t digest[20]) {
  Stop();
  if (hash_ && digest) Sha1Finish(context_, digest);
  return !writeFailed_;
}
