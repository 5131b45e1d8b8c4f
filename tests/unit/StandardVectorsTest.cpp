// Published known answers for the standard algorithms, named by their source.
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "crypto/KxCipher.h"

namespace {

std::string DesHex(const std::string& key, const std::string& block, bool encrypt) {
  const Bytes k = FromHex(key);
  Bytes b = FromHex(block);
  DesContext c;
  DesInitKey(k.data(), c, encrypt);
  DesBlock(c, b.data());
  return ToHex(b);
}

std::string TripleDesHex(const std::string& key, const std::string& block, bool encrypt) {
  const Bytes k = FromHex(key);
  Bytes b = FromHex(block);
  TripleDesContext c;
  TripleDesInitKey(k.data(), c, encrypt);
  TripleDesBlock(c, b.data());
  return ToHex(b);
}

std::string AesHex(const std::string& key, const std::string& block, bool encrypt) {
  const Bytes k = FromHex(key);
  Bytes b = FromHex(block);
  RijndaelContext c;
  RijndaelInitKey(k.data(), static_cast<int32_t>(k.size()), c, encrypt);
  RijndaelBlock(c, b.data());
  return ToHex(b);
}

std::string Sha1Hex(const std::string& text) {
  uint8_t d[20];
  Sha1OfBuffer(d, text.data(), static_cast<int32_t>(text.size()));
  return ToHex(d, 20);
}

}  // namespace

// FIPS 46-3 worked example and rows of the NIST DES known-answer tests (SP 800-17).
TEST(DesFips46, KnownAnswersBothDirections) {
  struct Row {
    const char *key, *plain, *cipher;
  } rows[] = {
      {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
      {"0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815"},  // "Now is t"
      {"0101010101010101", "8000000000000000", "95f8a5e5dd31d900"},  // variable plaintext
      {"0101010101010101", "0000000000000001", "166b40b44aba4bd6"},
      {"8001010101010101", "0000000000000000", "95a8d72813daa94d"},  // variable key
  };
  for (const Row& r : rows) {
    EXPECT_EQ(DesHex(r.key, r.plain, true), r.cipher) << r.key;
    EXPECT_EQ(DesHex(r.key, r.cipher, false), r.plain) << r.key;
  }
}

TEST(DesFips46, ParityBitsChangeNothing) {
  // 0x01 ^ each byte's low bit: the same key to DES.
  EXPECT_EQ(DesHex("133457799bbcdff1", "0123456789abcdef", true),
            DesHex("123556789abddef0", "0123456789abcdef", true));
}

TEST(TripleDesKeyingOption2, EqualHalvesAreSingleDesAndKnownAnswerHolds) {
  EXPECT_EQ(TripleDesHex("133457799bbcdff1133457799bbcdff1", "0123456789abcdef", true), "85e813540f0ab405");
  // Two-key TDEA: E(K1) D(K2) E(K1) with K1 = 0123456789abcdef, K2 = 23456789abcdef01
  // (SP 800-67 keying option 2), computed from the DES rows above step by step.
  const std::string k1 = "0123456789abcdef", k2 = "23456789abcdef01";
  const std::string plain = "5468652071756663";  // "The qufc"
  const std::string expected = DesHex(k1, DesHex(k2, DesHex(k1, plain, true), false), true);
  EXPECT_EQ(TripleDesHex(k1 + k2, plain, true), expected);
  EXPECT_EQ(TripleDesHex(k1 + k2, expected, false), plain);
}

// FIPS-197 Appendix C: AES-128, AES-192 and AES-256 example vectors.
TEST(AesFips197AppendixC, AllKeySizesBothDirections) {
  const std::string plain = "00112233445566778899aabbccddeeff";
  struct Row {
    const char *key, *cipher;
  } rows[] = {
      {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "8ea2b7ca516745bfeafc49904b496089"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(AesHex(r.key, plain, true), r.cipher) << r.key;
    EXPECT_EQ(AesHex(r.key, r.cipher, false), plain) << r.key;
  }
}

TEST(AesFips197AppendixC, RoundCountFollowsKeySize) {
  RijndaelContext c;
  const Bytes key(40, 7);
  const std::pair<int, int> cases[] = {{16, 10}, {24, 12}, {32, 14}, {0, 10}, {12, 10}, {36, 14}, {20, 11}};
  for (auto [size, rounds] : cases) {
    RijndaelInitKey(key.data(), size, c, true);
    EXPECT_EQ(c.rounds, rounds) << size;
  }
}

TEST(AesFips197AppendixC, OddKeySizesMapAsDocumented) {
  const Bytes key = RandomBytes(40);
  Bytes padded(16, 0);
  std::copy(key.begin(), key.begin() + 12, padded.begin());
  EXPECT_EQ(AesHex(ToHex(Bytes(key.begin(), key.begin() + 12)), "00112233445566778899aabbccddeeff", true),
            AesHex(ToHex(padded), "00112233445566778899aabbccddeeff", true));
  EXPECT_EQ(AesHex(ToHex(Bytes(key.begin(), key.begin() + 36)), "00112233445566778899aabbccddeeff", true),
            AesHex(ToHex(Bytes(key.begin(), key.begin() + 32)), "00112233445566778899aabbccddeeff", true));
}

// FIPS 180-1 Appendix A and B and the million-a message of Appendix C.
TEST(Sha1Fips180, PublishedMessages) {
  EXPECT_EQ(Sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(Sha1Hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  EXPECT_EQ(Sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Sha1Fips180, PaddingBoundariesAndContextCleared) {
  // 55 bytes end in one final block, 56 and 64 in two: compared with the one-shot digest of
  // the same bytes added one by one.
  for (int n : {55, 56, 63, 64, 65, 119, 120}) {
    const Bytes m = RandomBytes(static_cast<size_t>(n));
    uint8_t whole[20], bytewise[20];
    Sha1OfBuffer(whole, m.data(), n);
    Sha1Context c;
    Sha1Start(c);
    for (uint8_t b : m) Sha1Add(c, &b, 1);
    Sha1Add(c, m.data(), 0);
    EXPECT_LT(c.buffered, 64u);
    Sha1Finish(c, bytewise);
    EXPECT_EQ(ToHex(whole, 20), ToHex(bytewise, 20)) << n;
    const Bytes zero(sizeof c, 0);
    EXPECT_EQ(ToHex(reinterpret_cast<const uint8_t*>(&c), sizeof c), ToHex(zero)) << n;
  }
  EXPECT_EQ(SwapBytes32(0x01020304u), 0x04030201u);
}
