// Properties of the format's non-standard algorithms that catch the faults a vector can miss.
#include <gtest/gtest.h>

#include <cstring>

#include "TestSupport.h"
#include "crypto/KxCipher.h"

TEST(Mxc, RoundRequestsAreClamped) {
  const uint8_t key[16] = {};
  MxcContext c;
  const std::pair<int, int> cases[] = {{-5, 4}, {0, 4}, {1, 4}, {3, 4}, {4, 4}, {9, 9}, {16, 16}, {17, 16}, {1000, 16}};
  for (auto [requested, used] : cases) {
    MxcInitKey(key, c, requested, true);
    EXPECT_EQ(c.rounds, used) << requested;
  }
}

TEST(Mxc, DecryptionInvertsEncryptionForEveryRoundCount) {
  for (int rounds = 4; rounds <= 16; ++rounds) {
    const Bytes key = RandomBytes(16), block = RandomBytes(16);
    MxcContext enc, dec;
    MxcInitKey(key.data(), enc, rounds, true);
    MxcInitKey(key.data(), dec, rounds, false);
    Bytes b = block;
    MxcBlock(enc, b.data());
    EXPECT_NE(b, block);
    MxcBlock(dec, b.data());
    EXPECT_EQ(b, block) << rounds;
    // Only the first N pairs are reversed; pairs N..15 stay where encryption keyed them.
    for (int i = 0; i < 16; ++i) {
      const int from = i < rounds ? rounds - 1 - i : i;
      EXPECT_EQ(dec.subkeys[i][0], enc.subkeys[from][0]) << rounds << " pair " << i;
      EXPECT_EQ(dec.subkeys[i][1], enc.subkeys[from][1]) << rounds << " pair " << i;
    }
  }
}

namespace {
Bytes Rdg(const Bytes& input, int size, Bytes out = {}) {
  if (out.empty()) out.assign(static_cast<size_t>(std::max(size, 1)), 0xEE);
  RdgOfBuffer(out.data(), size, input.data(), static_cast<int32_t>(input.size()));
  return out;
}
}  // namespace

TEST(Rdg, FinalPadCompletesTheLastEightByteGroup) {
  // An input of n bytes absorbs 8 - n mod 8 pad bytes (01, then zeros) before the MXC step:
  // redoing the finish by hand with exactly that pad must give the same digest.
  const std::pair<int, int> cases[] = {{0, 8}, {7, 1}, {8, 8}, {9, 7}};
  for (auto [n, pad] : cases) {
    const Bytes input = RandomBytes(static_cast<size_t>(n));
    uint8_t expected[32];
    RdgOfBuffer(expected, 32, input.data(), n);

    const uint8_t padBytes[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    RdgContext byHand;
    RdgStart(byHand);
    RdgAdd(byHand, input.data(), n);
    RdgAdd(byHand, padBytes, pad);
    EXPECT_EQ(byHand.keyIndex, 0);
    MxcContext m;
    MxcInitKey(byHand.key, m, 8, true);
    MxcBlock(m, byHand.digest);
    MxcBlock(m, byHand.digest + 16);
    EXPECT_EQ(ToHex(byHand.digest, 32), ToHex(expected, 32)) << n;
  }
}

TEST(Rdg, SplitsPrefixesAndSizes) {
  const Bytes input = RandomBytes(600);  // longer than the 256-byte ring
  const Bytes whole = Rdg(input, 256);
  RdgContext c;
  RdgStart(c);
  for (size_t done = 0; done < input.size();) {
    const size_t piece = std::min(input.size() - done, static_cast<size_t>(TestRng()() % 40));
    RdgAdd(c, input.data() + done, static_cast<int32_t>(piece));
    done += piece;
  }
  Bytes split(256);
  RdgFinish(c, split.data(), 256);
  EXPECT_EQ(split, whole);

  for (int size : {8, 16, 32, 100})
    EXPECT_EQ(Rdg(input, size), Bytes(whole.begin(), whole.begin() + size)) << size;

  Bytes big = Rdg(input, 300, Bytes(300, 0xEE));
  EXPECT_EQ(Bytes(big.begin(), big.begin() + 256), whole);
  EXPECT_EQ(Bytes(big.begin() + 256, big.end()), Bytes(44, 0xEE));
  EXPECT_EQ(Rdg(input, 0), Bytes(1, 0xEE));
  EXPECT_EQ(Rdg(input, -3), Bytes(1, 0xEE));
}

TEST(Rdg, InputWrapsAroundTheDigestRing) {
  // Bytes 0 and 256 land on the same ring byte, so only their XOR matters to the ring; the key
  // block sees both at different times, so compare the ring after absorbing.
  Bytes a(257, 0), b(257, 0);
  a[0] = 0x5A;
  b[256] = 0x5A;
  RdgContext ca, cb;
  RdgStart(ca);
  RdgStart(cb);
  RdgAdd(ca, a.data(), 257);
  RdgAdd(cb, b.data(), 257);
  EXPECT_EQ(std::memcmp(ca.digest, cb.digest, 256), 0);
  EXPECT_EQ(ca.digestIndex, 1);
}

TEST(Rdg, PasswordKeysAreTheTextBytes) {
  uint8_t fromText[32], fromBuffer[32];
  const char password[] = "p\xe4ssw\xf6rd";  // high bytes are hashed unchanged
  RdgOfText(fromText, 32, password);
  RdgOfBuffer(fromBuffer, 32, password, static_cast<int32_t>(std::strlen(password)));
  EXPECT_EQ(ToHex(fromText, 32), ToHex(fromBuffer, 32));
  RdgOfText(fromText, 8, "");
  EXPECT_EQ(ToHex(fromText, 8), "0bd132aa831c56ac");
}

TEST(Blowfish, TransformIsTheBlockXorTheTwoPArrayMasks) {
  for (int run = 0; run < 50; ++run) {
    const Bytes key = RandomBytes(16), block = RandomBytes(8);
    BlowfishContext c;
    BlowfishInitKey(key.data(), c);
    uint32_t evenMask = 0, oddMask = 0;
    for (int i = 0; i <= 16; i += 2) evenMask ^= c.p[i];
    for (int i = 1; i <= 17; i += 2) oddMask ^= c.p[i];
    Bytes b = block;
    BlowfishBlock(c, b.data(), true);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(b[static_cast<size_t>(i)], block[static_cast<size_t>(i)] ^ static_cast<uint8_t>(evenMask >> (8 * i)));
      EXPECT_EQ(b[static_cast<size_t>(4 + i)], block[static_cast<size_t>(4 + i)] ^ static_cast<uint8_t>(oddMask >> (8 * i)));
    }
    Bytes twice = b;
    BlowfishBlock(c, twice.data(), true);
    EXPECT_EQ(twice, block);  // its own inverse
    BlowfishBlock(c, b.data(), false);
    EXPECT_EQ(b, block);
  }
}

TEST(Blowfish, SBoxesInfluenceNothing) {
  const Bytes key = RandomBytes(16), block = RandomBytes(8);
  BlowfishContext c;
  BlowfishInitKey(key.data(), c);
  Bytes before = block;
  BlowfishBlock(c, before.data(), true);
  for (auto& box : c.s)
    for (auto& w : box) w = static_cast<uint32_t>(TestRng()());
  Bytes after = block;
  BlowfishBlock(c, after.data(), true);
  EXPECT_EQ(before, after);
}

TEST(CbcBlockSteps, LeaveTheChainingBytesUntouched) {
  const Bytes key = RandomBytes(32), chain = RandomBytes(16);
  for (bool encrypt : {true, false}) {
    Bytes ch = chain, block = RandomBytes(16);
    DesContext d;
    DesInitKey(key.data(), d, encrypt);
    DesCbcBlock(d, ch.data(), block.data());
    TripleDesContext t;
    TripleDesInitKey(key.data(), t, encrypt);
    TripleDesCbcBlock(t, ch.data(), block.data());
    BlowfishContext b;
    BlowfishInitKey(key.data(), b);
    BlowfishCbcBlock(b, ch.data(), block.data(), encrypt);
    RijndaelContext r;
    RijndaelInitKey(key.data(), 32, r, encrypt);
    RijndaelCbcBlock(r, ch.data(), block.data());
    EXPECT_EQ(ch, chain);
  }
}

TEST(Helpers, XorBytesAndRotateLeft32) {
  for (int count = 0; count <= 9; ++count) {
    Bytes a = RandomBytes(12);
    const Bytes b = RandomBytes(12);
    Bytes expected = a;
    for (int i = 0; i < count; ++i) expected[static_cast<size_t>(1 + i)] ^= b[static_cast<size_t>(i)];
    XorBytes(a.data() + 1, b.data(), count);  // unaligned on purpose
    EXPECT_EQ(a, expected) << count;
  }
  Bytes a = RandomBytes(8);
  const Bytes before = a;
  XorBytes(a.data(), RandomBytes(8).data(), -1);  // a negative count touches nothing
  EXPECT_EQ(a, before);
  EXPECT_EQ(RotateLeft32(0x80000001u, 0), 0x80000001u);
  EXPECT_EQ(RotateLeft32(0x80000001u, 1), 0x00000003u);
  EXPECT_EQ(RotateLeft32(0x80000001u, 31), 0xC0000000u);
  EXPECT_EQ(RotateLeft32(0x80000001u, 32), 0x80000001u);
  EXPECT_EQ(RotateLeft32(0x12345678u, 40), 0x34567812u);
}
