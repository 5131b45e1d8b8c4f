// The encrypted body layout: chaining block, full blocks, tail block with its count byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "TestSupport.h"
#include "crypto/KxCipher.h"
#include "crypto/KxProc.h"
#include "format/Archive.h"

namespace {

struct Config {
  const char* name;
  uint8_t selector;
  int block;
};
const Config kConfigs[] = {{"blowfish", kCipherBlowfish, 8},
                           {"des", kCipherDes, 8},
                           {"3des", kCipherTripleDes, 8},
                           {"aes128", kCipherRijndael128, 16},
                           {"aes256", kCipherRijndael256, 16}};

uint32_t gTicks = 0;
uint32_t CountingTimer() { return 0x01020300u + gTicks++; }

ArchiveKeys KeysOf(const char* password) {
  ArchiveKeys keys;
  DeriveArchiveKeys(password, keys);
  return keys;
}

Bytes EncryptWith(const Config& c, const ArchiveKeys& keys, const Bytes& plain) {
  VectorStream in(plain), out;
  EXPECT_TRUE(EncryptBody(c.selector, keys, in, out, CountingTimer).Ok());
  return out.data();
}

Status DecryptWith(const Config& c, const ArchiveKeys& keys, const Bytes& body, VectorStream& out,
                   int64_t start = 0) {
  VectorStream in(body);
  EXPECT_TRUE(in.SetPosition(start));
  return DecryptBody(c.selector, keys, in, out);
}

// Decrypts one block of `body` by hand to look inside the layout.
Bytes RawDecryptBlock(const Config& c, const ArchiveKeys& keys, const Bytes& body, size_t index) {
  Bytes b(body.begin() + static_cast<long>(index) * c.block, body.begin() + static_cast<long>(index + 1) * c.block);
  switch (c.selector) {
    case kCipherBlowfish: {
      BlowfishContext x;
      BlowfishInitKey(keys.key16, x);
      BlowfishBlock(x, b.data(), false);
      break;
    }
    case kCipherDes: {
      DesContext x;
      DesInitKey(keys.key8, x, false);
      DesBlock(x, b.data());
      break;
    }
    case kCipherTripleDes: {
      TripleDesContext x;
      TripleDesInitKey(keys.key16, x, false);
      TripleDesBlock(x, b.data());
      break;
    }
    default: {
      RijndaelContext x;
      const bool small = c.selector == kCipherRijndael128;
      RijndaelInitKey(small ? keys.key16 : keys.key32, small ? 16 : 32, x, false);
      RijndaelBlock(x, b.data());
    }
  }
  return b;
}

}  // namespace

TEST(CbcLayout, SizesCountByteAndRoundTripsForEveryCipher) {
  const ArchiveKeys keys = KeysOf("layout");
  for (const Config& c : kConfigs) {
    const size_t B = static_cast<size_t>(c.block);
    for (size_t length : {size_t(0), size_t(1), B - 1, B, B + 1, 3 * B, size_t(1000)}) {
      SCOPED_TRACE(std::string(c.name) + " length " + std::to_string(length));
      const Bytes plain = RandomBytes(length);
      const Bytes body = EncryptWith(c, keys, plain);
      ASSERT_EQ(body.size(), (length / B + 2) * B);
      // The tail, decrypted and un-chained, holds the rest, zeros and the count byte.
      const Bytes tail = RawDecryptBlock(c, keys, body, body.size() / B - 1);
      Bytes unchained = tail;
      XorBytes(unchained.data(), body.data() + body.size() - 2 * B, c.block);
      EXPECT_EQ(unchained[B - 1], length % B);
      for (size_t i = length % B; i + 1 < B; ++i) EXPECT_EQ(unchained[i], 0) << i;
      VectorStream out;
      ASSERT_TRUE(DecryptWith(c, keys, body, out).Ok());
      EXPECT_EQ(out.data(), plain);
    }
  }
}

TEST(CbcLayout, SeedBlockComesFromTheTimer) {
  const ArchiveKeys keys = KeysOf("seed");
  for (const Config& c : kConfigs) {
    gTicks = 0;
    const Bytes body = EncryptWith(c, keys, RandomBytes(20));
    const Bytes seed = RawDecryptBlock(c, keys, body, 0);
    if (c.selector == kCipherBlowfish) {
      EXPECT_EQ(ToHex(seed), "0003020101030201") << c.name;  // two readings, little-endian
    } else {
      const size_t readings = c.block == 8 ? 4 : 2;  // low bytes of successive readings
      for (size_t i = 0; i < readings; ++i) EXPECT_EQ(seed[i], i) << c.name << " " << i;
    }
  }
}

TEST(CbcLayout, ShortBodiesFailBeforeWritingAnything) {
  const ArchiveKeys keys = KeysOf("short");
  for (const Config& c : kConfigs) {
    const Bytes body = EncryptWith(c, keys, {});
    ASSERT_EQ(body.size(), size_t(2 * c.block));
    VectorStream empty;
    ASSERT_TRUE(DecryptWith(c, keys, body, empty).Ok());  // exactly two blocks: nothing to write
    EXPECT_TRUE(empty.data().empty());
    for (size_t cut : {size_t(0), size_t(1), size_t(c.block), body.size() - 1}) {
      VectorStream out;
      const Status s = DecryptWith(c, keys, Bytes(body.begin(), body.begin() + static_cast<long>(cut)), out);
      EXPECT_EQ(s.kind, ErrorKind::ECipherException) << c.name << " cut " << cut;
      EXPECT_STREQ(s.message, "Invalid file format");
      EXPECT_EQ(out.writes, 0);
    }
  }
}

TEST(CbcLayout, TrailingBytesAreIgnoredAndAMidFileStartWorks) {
  const ArchiveKeys keys = KeysOf("trailing");
  for (const Config& c : kConfigs) {
    const Bytes plain = RandomBytes(77);
    Bytes file = RandomBytes(1234);  // stands in for stub and header
    const Bytes body = EncryptWith(c, keys, plain);
    file.insert(file.end(), body.begin(), body.end());
    file.insert(file.end(), 5, 0xAB);
    VectorStream out;
    ASSERT_TRUE(DecryptWith(c, keys, file, out, 1234).Ok()) << c.name;
    EXPECT_EQ(out.data(), plain) << c.name;
  }
}

TEST(CbcLayout, ShortReadsAreReadThrough) {
  const ArchiveKeys keys = KeysOf("pieces");
  const Config& c = kConfigs[4];
  const Bytes plain = RandomBytes(300);
  VectorStream in(EncryptWith(c, keys, plain)), out;
  in.maxRead = 3;
  ASSERT_TRUE(DecryptBody(c.selector, keys, in, out).Ok());
  EXPECT_EQ(out.data(), plain);
}

TEST(CbcLayout, AWrongKeyGivesOtherBytesAndACountCappedAtTheBlock) {
  const ArchiveKeys right = KeysOf("right"), wrong = KeysOf("wrong");
  for (const Config& c : kConfigs) {
    const Bytes plain = RandomBytes(64);
    const Bytes body = EncryptWith(c, right, plain);
    VectorStream out;
    ASSERT_TRUE(DecryptWith(c, wrong, body, out).Ok());
    EXPECT_NE(out.data(), plain);
    EXPECT_LE(out.data().size(), plain.size() / c.block * c.block + c.block);
  }
  // A tail whose count byte is 200: at most one block is written.
  const Config& c = kConfigs[1];
  const ArchiveKeys keys = KeysOf("count");
  Bytes body = EncryptWith(c, keys, RandomBytes(8));
  Bytes tail(8, 0);
  tail[7] = 200;
  XorBytes(tail.data(), body.data() + 8, 8);
  DesContext d;
  DesInitKey(keys.key8, d, true);
  DesBlock(d, tail.data());
  std::memcpy(body.data() + 16, tail.data(), 8);
  VectorStream out;
  ASSERT_TRUE(DecryptWith(c, keys, body, out).Ok());
  EXPECT_EQ(out.data().size(), 16u);
}

TEST(CbcLayout, AShortWriteIsAWriteError) {
  const ArchiveKeys keys = KeysOf("full");
  for (const Config& c : kConfigs) {
    const Bytes plain = RandomBytes(100);
    VectorStream in(EncryptWith(c, keys, plain)), out;
    out.capacity = 40;
    const Status s = DecryptBody(c.selector, keys, in, out);
    EXPECT_EQ(s.kind, ErrorKind::EWriteError) << c.name;
    VectorStream plainIn(plain), body;
    body.capacity = 30;
    EXPECT_EQ(EncryptBody(c.selector, keys, plainIn, body, CountingTimer).kind, ErrorKind::EWriteError);
  }
}

TEST(CbcLayout, UnknownSelectorsDecryptNothingAndCannotEncrypt) {
  const ArchiveKeys keys = KeysOf("x");
  for (uint8_t selector : {uint8_t(5), uint8_t(255)}) {
    VectorStream in(RandomBytes(64)), out;
    EXPECT_TRUE(DecryptBody(selector, keys, in, out).Ok());
    EXPECT_EQ(out.writes, 0);
    VectorStream plain(RandomBytes(10)), body;
    EXPECT_EQ(EncryptBody(selector, keys, plain, body, CountingTimer).kind, ErrorKind::ECipherException);
  }
}

namespace {

// A stream over `data` whose Size claims `claimed` bytes: a file that shrank after its size was
// taken, or a body too large to hold in memory of which only the first bytes exist.
class ClaimedSizeStream final : public Stream {
 public:
  ClaimedSizeStream(Bytes data, int64_t claimed) : inner_(std::move(data)), claimed_(claimed) {}
  int32_t Read(void* buffer, int32_t count) override { return inner_.Read(buffer, count); }
  int32_t Write(const void* buffer, int32_t count) override { return inner_.Write(buffer, count); }
  int64_t Position() override { return inner_.Position(); }
  int64_t Size() override { return claimed_; }
  bool SetPosition(int64_t position) override { return inner_.SetPosition(position); }

 private:
  VectorStream inner_;
  int64_t claimed_;
};

// An output that lends `lend` bytes of its own memory at a time and counts the writes that came
// from there; the bytes end up in `data` either way.
class LendingStream final : public Stream {
 public:
  explicit LendingStream(int32_t lend) : space_(size_t(lend) + 1), lend_(lend) {}
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* buffer, int32_t count) override {
    if (buffer == space_.data()) {
      EXPECT_LE(count, lent_);
      ++fromLent;
    }
    const auto* p = static_cast<const uint8_t*>(buffer);
    data.insert(data.end(), p, p + count);
    return count;
  }
  int64_t Position() override { return int64_t(data.size()); }
  int64_t Size() override { return int64_t(data.size()); }
  bool SetPosition(int64_t) override { return false; }
  uint8_t* WriteSpace(int32_t& capacity) override {
    EXPECT_GT(capacity, 0);
    capacity = lent_ = std::min(capacity, lend_);
    return space_.data();
  }
  Bytes data;
  int fromLent = 0;

 private:
  Bytes space_;
  int32_t lend_, lent_ = 0;
};

}  // namespace

TEST(CbcLayout, EachSelectorUsesTheKeyItsRoutineIsNamedWith) {
  // Decrypting what EncryptBody wrote with the routine and key the selector table names catches a
  // dispatch that passes the wrong key both ways (a round trip through the dispatch alone cannot).
  const ArchiveKeys keys = KeysOf("dispatch");
  const Bytes plain = RandomBytes(99);
  for (const Config& c : kConfigs) {
    VectorStream in(EncryptWith(c, keys, plain)), out;
    Status s;
    switch (c.selector) {
      case kCipherBlowfish: s = BlowfishCbcStream(in, out, keys.key16, false); break;
      case kCipherDes: s = DesCbcStream(in, out, keys.key8, false); break;
      case kCipherTripleDes: s = TripleDesCbcStream(in, out, keys.key16, false); break;
      case kCipherRijndael128: s = RijndaelCbcStream(in, out, keys.key16, 16, false); break;
      default: s = RijndaelCbcStream(in, out, keys.key32, 32, false);
    }
    ASSERT_TRUE(s.Ok()) << c.name;
    EXPECT_EQ(out.data(), plain) << c.name;
  }
}

TEST(CbcLayout, APlaintextShorterThanItsSizeFailsWhenEncrypting) {
  const ArchiveKeys keys = KeysOf("shrunk");
  for (const Config& c : kConfigs) {
    for (int64_t claimed : {int64_t(3 * c.block), int64_t(3 * c.block + 3)}) {
      // Two blocks exist: a missing full block and a missing tail remainder both fail.
      ClaimedSizeStream in(RandomBytes(static_cast<size_t>(claimed - c.block)), claimed);
      VectorStream out;
      const Status s = EncryptBody(c.selector, keys, in, out, CountingTimer);
      EXPECT_EQ(s.kind, ErrorKind::ECipherException) << c.name << " " << claimed;
      EXPECT_STREQ(s.message, "Invalid file format");
    }
  }
}

TEST(CbcLayout, ABodyAbove16GiBIsCountedIn64Bits) {
  // A body claiming 2^31 + 3 blocks of 8 bytes (16 GiB and more) of which three exist. A 32-bit
  // block count would go negative, skip the loop and decrypt block 1 as the tail, reporting
  // success; counted in 64 bits the body runs out in the loop and fails.
  const ArchiveKeys keys = KeysOf("huge");
  const Bytes body = EncryptWith(kConfigs[1], keys, RandomBytes(8));
  ASSERT_EQ(body.size(), 24u);
  ClaimedSizeStream in(body, (int64_t(1) << 34) + 24);
  VectorStream out;
  const Status s = DecryptBody(kCipherDes, keys, in, out);
  EXPECT_EQ(s.kind, ErrorKind::ECipherException);
  EXPECT_EQ(out.data().size(), 16u);  // blocks 1 and 2, written before the input ran out
}

TEST(CbcLayout, BlocksMadeInTheOutputsOwnMemoryAreTheSameBytes) {
  // Room smaller than a block is not used; any other is, in whole blocks.
  const ArchiveKeys keys = KeysOf("lent");
  for (const Config& c : kConfigs) {
    for (int32_t lend : {1, c.block - 1, c.block, 3 * c.block + 5, 100000}) {
      SCOPED_TRACE(testing::Message() << c.name << ", " << lend << " bytes lent");
      const Bytes plain = RandomBytes(5000 + size_t(lend % 7));
      VectorStream in(plain), expected;
      gTicks = 0;
      ASSERT_TRUE(EncryptBody(c.selector, keys, in, expected, CountingTimer).Ok());
      VectorStream again(plain);
      LendingStream body(lend);
      gTicks = 0;
      ASSERT_TRUE(EncryptBody(c.selector, keys, again, body, CountingTimer).Ok());
      EXPECT_EQ(body.data, expected.data());
      VectorStream cipher(expected.data());
      LendingStream out(lend);
      ASSERT_TRUE(DecryptBody(c.selector, keys, cipher, out).Ok());
      EXPECT_EQ(out.data, plain);
      EXPECT_EQ(out.fromLent > 0, lend >= c.block);
      // A body whose reads end inside a block before its size: the whole blocks before that come
      // out, then the failure.
      ClaimedSizeStream cut(Bytes(expected.data().begin(), expected.data().begin() + 4 * c.block + 3),
                            int64_t(expected.data().size()));
      LendingStream partial(lend);
      EXPECT_EQ(DecryptBody(c.selector, keys, cut, partial).kind, ErrorKind::ECipherException);
      EXPECT_EQ(partial.data, Bytes(plain.begin(), plain.begin() + 3 * c.block));
    }
  }
}
