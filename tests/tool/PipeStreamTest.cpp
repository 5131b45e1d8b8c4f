// The pipe stream of zqv: bytes through its read-ahead and write-behind rings arrive whole and in
// order, its SHA-1 (checked against OpenSSL's) covers exactly the bytes that passed, and every
// way of ending, early or after a failed store, ends its threads.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/unit/TestSupport.h"
#include "tool/Tool.h"

namespace {

constexpr int32_t kSlot = 512 * 1024;  // the pipe's slot size, to aim at its boundaries

Bytes Sha1(const uint8_t* data, size_t size) {
  Bytes digest(20);
  SHA1(data, size, digest.data());
  return digest;
}

// The sizes where a ring of slots breaks: empty, one byte, a slot and either side of it, and
// more than the whole ring holds, so that slots are reused.
// A stream that says it is `size` bytes long and ends where `inner` ends.
class ClaimingSize final : public Stream {
 public:
  ClaimingSize(Stream& inner, int64_t size) : inner_(inner), size_(size) {}
  int32_t Read(void* buffer, int32_t count) override { return inner_.Read(buffer, count); }
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Position() override { return inner_.Position(); }
  int64_t Size() override { return size_; }
  bool SetPosition(int64_t position) override { return inner_.SetPosition(position); }

 private:
  Stream& inner_;
  int64_t size_;
};

const size_t kSizes[] = {0, 1, kSlot - 1, kSlot, kSlot + 1, 17 * size_t(kSlot) + 12345};

TEST(PipeStream, ReadAheadDeliversAndHashesFromThePosition) {
  for (size_t size : kSizes) {
    for (int32_t piece : {1000, 65536, 3 * kSlot}) {
      SCOPED_TRACE(testing::Message() << "size " << size << ", reads of " << piece);
      const Bytes data = RandomBytes(size + 7);
      VectorStream inner(data);
      inner.maxRead = 100000;  // short reads underneath change nothing
      ASSERT_TRUE(inner.SetPosition(7));
      PipeStream pipe(inner, PipeStream::kReadAhead, /*hash=*/true);
      EXPECT_EQ(pipe.Size(), int64_t(size + 7));
      Bytes got;
      Bytes buffer(static_cast<size_t>(piece));
      for (int32_t n; (n = pipe.Read(buffer.data(), piece)) > 0;)
        got.insert(got.end(), buffer.begin(), buffer.begin() + n);
      EXPECT_EQ(pipe.Position(), int64_t(size + 7));
      Bytes digest(20);
      EXPECT_TRUE(pipe.Finish(digest.data()));
      EXPECT_TRUE(got == Bytes(data.begin() + 7, data.end()));
      EXPECT_EQ(ToHex(digest), ToHex(Sha1(data.data() + 7, size)));
    }
  }
}

TEST(PipeStream, WriteBehindStoresAndHashesInOrder) {
  for (size_t size : kSizes) {
    for (int32_t piece : {1, 4099, 65536, 2 * kSlot + 1}) {
      if (piece == 1 && size > 2 * size_t(kSlot)) continue;  // a byte per call: slow, nothing new
      SCOPED_TRACE(testing::Message() << "size " << size << ", writes of " << piece);
      const Bytes data = RandomBytes(size);
      VectorStream inner;
      PipeStream pipe(inner, PipeStream::kWriteBehind, /*hash=*/true);
      for (size_t at = 0; at < size; at += size_t(piece)) {
        const int32_t n = int32_t(std::min(size - at, size_t(piece)));
        ASSERT_EQ(pipe.Write(data.data() + at, n), n);
      }
      EXPECT_EQ(pipe.Position(), int64_t(size));
      Bytes digest(20);
      EXPECT_TRUE(pipe.Finish(digest.data()));
      EXPECT_TRUE(inner.data() == data);
      EXPECT_EQ(ToHex(digest), ToHex(Sha1(data.data(), size)));
    }
  }
}

TEST(PipeStream, WithoutHashingOnlyMovesTheBytes) {
  const Bytes data = RandomBytes(3 * size_t(kSlot) + 5);
  VectorStream source(data), sink;
  {
    PipeStream in(source, PipeStream::kReadAhead, /*hash=*/false);
    PipeStream out(sink, PipeStream::kWriteBehind, /*hash=*/false);
    Bytes buffer(70000);
    for (int32_t n; (n = in.Read(buffer.data(), int32_t(buffer.size()))) > 0;)
      ASSERT_EQ(out.Write(buffer.data(), n), n);
    EXPECT_TRUE(out.Finish());
    EXPECT_TRUE(in.Finish());
  }
  EXPECT_TRUE(sink.data() == data);
}

// A store that stalls on every call, as a throttled disk does.
class SlowStore final : public Stream {
 public:
  explicit SlowStore(Stream& inner) : inner_(inner) {}
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* buffer, int32_t count) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return inner_.Write(buffer, count);
  }
  int64_t Position() override { return inner_.Position(); }
  int64_t Size() override { return inner_.Size(); }
  bool SetPosition(int64_t) override { return false; }

 private:
  Stream& inner_;
};

TEST(PipeStream, AStoreBehindTheHasherStillFreesTheSlots) {
  // The ring fills, and the writing caller waits for a free slot, which only the storing thread
  // can give: it is the one behind. A hang here is the fault.
  const Bytes data = RandomBytes(20 * size_t(kSlot) + 99);
  VectorStream inner;
  SlowStore slow(inner);
  PipeStream pipe(slow, PipeStream::kWriteBehind, /*hash=*/true);
  for (size_t at = 0; at < data.size(); at += kSlot / 2) {
    const int32_t n = int32_t(std::min(data.size() - at, size_t(kSlot / 2)));
    ASSERT_EQ(pipe.Write(data.data() + at, n), n);
  }
  Bytes digest(20);
  EXPECT_TRUE(pipe.Finish(digest.data()));
  EXPECT_TRUE(inner.data() == data);
  EXPECT_EQ(ToHex(digest), ToHex(Sha1(data.data(), data.size())));
}

TEST(PipeStream, AFailedStoreIsReportedAndLaterWritesStoreNothing) {
  const Bytes data = RandomBytes(8 * size_t(kSlot));
  for (int64_t capacity : {int64_t(0), int64_t(kSlot) + 3, int64_t(data.size()) - 1}) {
    SCOPED_TRACE(testing::Message() << "capacity " << capacity);
    VectorStream inner;
    inner.capacity = capacity;
    PipeStream pipe(inner, PipeStream::kWriteBehind, /*hash=*/true);
    int64_t accepted = 0;
    for (size_t at = 0; at < data.size(); at += 65536) accepted += pipe.Write(data.data() + at, 65536);
    Bytes digest(20);
    EXPECT_FALSE(pipe.Finish(digest.data()));
    EXPECT_LE(int64_t(inner.data().size()), capacity);
    EXPECT_LE(accepted, int64_t(data.size()));
    // After Finish saw the failure, nothing more is taken.
    EXPECT_EQ(pipe.Write(data.data(), 1), 0);
  }
}

TEST(PipeStream, ReadingEndsEarlyOrAtTheEndItWasToldOf) {
  // Read one byte of many slots' worth, then end: the reader thread waits for a free slot and
  // must be let go (a hang here is the fault).
  const Bytes data = RandomBytes(40 * size_t(kSlot));
  VectorStream inner(data);
  PipeStream early(inner, PipeStream::kReadAhead, /*hash=*/true);
  uint8_t byte = 0;
  EXPECT_EQ(early.Read(&byte, 1), 1);
  EXPECT_EQ(byte, data[0]);
  EXPECT_TRUE(early.Finish());

  // An inner stream that gives out before its size: the bytes end there, hashed as far as read.
  const int64_t cutAt = 3 * kSlot + 77;
  VectorStream front(Bytes(data.begin(), data.begin() + cutAt));
  ClaimingSize cut(front, int64_t(data.size()));
  PipeStream pipe(cut, PipeStream::kReadAhead, /*hash=*/true);
  Bytes got(data.size());
  int64_t total = 0;
  for (int32_t n; (n = pipe.Read(got.data() + total, 1 << 20)) > 0;) total += n;
  Bytes digest(20);
  EXPECT_TRUE(pipe.Finish(digest.data()));
  EXPECT_EQ(total, cutAt);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + cutAt, got.begin()));
  EXPECT_EQ(ToHex(digest), ToHex(Sha1(data.data(), size_t(cutAt))));

  // One that grew after the pipe was made: the pipe stops at the end it was told of, so the
  // digest covers no byte the caller never took.
  VectorStream whole(data);
  ClaimingSize grown(whole, kSlot + 5);
  PipeStream told(grown, PipeStream::kReadAhead, /*hash=*/true);
  total = 0;
  for (int32_t n; (n = told.Read(got.data() + total, 1 << 20)) > 0;) total += n;
  EXPECT_TRUE(told.Finish(digest.data()));
  EXPECT_EQ(total, kSlot + 5);
  EXPECT_EQ(ToHex(digest), ToHex(Sha1(data.data(), size_t(kSlot + 5))));
}

}  // namespace
