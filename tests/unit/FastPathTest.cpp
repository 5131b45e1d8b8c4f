// The many-block routines against the block-at-a-time reference, on every path this CPU offers
// and on the portable one: random keys, block counts around the fast paths' lane widths and
// batches, random alignments, calls split anywhere; SHA-1 against OpenSSL; the FIPS-197 and
// FIPS 46-3 answers on each path.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "crypto/KxCipher.h"
#include "crypto/KxCpu.h"

namespace {

// Runs `check` once per path: all features this CPU has, then each alone, then none.
template <class Check>
void OnEveryPath(Check check) {
  const uint32_t all = CpuFeatures();
  std::vector<uint32_t> limits = {all};
  for (uint32_t f : {kCpuAesNi, kCpuShaNi, kCpuSse2, kCpuAvx2, kCpuAvx512})
    if (all & f) limits.push_back(f);
  limits.push_back(0);
  for (uint32_t limit : limits) {
    LimitCpuFeatures(limit);
    SCOPED_TRACE("features " + std::to_string(limit));
    check();
  }
  LimitCpuFeatures(all);
}

// Random block counts: the small ones around the eight-block lanes, then a few long runs.
std::vector<size_t> BlockCounts() {
  std::vector<size_t> counts = {0, 1, 2, 7, 8, 9, 15, 16, 17};
  for (int i = 0; i < 6; ++i) counts.push_back(TestRng()() % 300);
  return counts;
}

// Around each bitsliced batch (128, 256 and 512 blocks) and sums of them, where one width hands
// the rest to the next; then a long random run.
std::vector<size_t> BatchBlockCounts() {
  std::vector<size_t> counts = BlockCounts();
  for (size_t n : {128, 256, 384, 512, 640, 768, 896, 1024})
    for (size_t near : {n - 1, n, n + 1}) counts.push_back(near);
  counts.push_back(2048 + TestRng()() % 2048);
  return counts;
}

// `blocks` random blocks placed at a random misalignment inside a larger buffer.
struct Area {
  Bytes storage;
  size_t offset;
  Area(size_t bytes) : storage(RandomBytes(bytes + 16)), offset(TestRng()() % 16) {}
  uint8_t* data() { return storage.data() + offset; }
};

// The reference: CbcBlock once per block, the chain carried as the last ciphertext block.
template <int B, class Step>
Bytes ReferenceCbc(Bytes chain, const uint8_t* data, size_t blocks, bool encrypt, Step step,
                   Bytes* chainOut) {
  Bytes out(data, data + B * blocks);
  for (size_t i = 0; i < blocks; ++i) {
    uint8_t* block = out.data() + B * i;
    const Bytes cipher = encrypt ? Bytes() : Bytes(block, block + B);
    step(chain.data(), block);
    chain = encrypt ? Bytes(block, block + B) : cipher;
  }
  *chainOut = chain;
  return out;
}

// Checks a CbcBlocks routine against the reference, in one call and split in two at random.
template <int B, class Blocks, class Step>
void CheckCbcBlocks(bool encrypt, Blocks blocksRoutine, Step step, const std::vector<size_t>& counts = BlockCounts()) {
  for (size_t blocks : counts) {
    Area area(B * blocks);
    const Bytes chain = RandomBytes(B);
    Bytes expectedChain;
    const Bytes expected = ReferenceCbc<B>(chain, area.data(), blocks, encrypt, step, &expectedChain);

    Bytes whole(area.data(), area.data() + B * blocks), wholeChain = chain;
    blocksRoutine(wholeChain.data(), whole.data(), blocks);
    EXPECT_EQ(ToHex(whole), ToHex(expected)) << blocks << " blocks";
    EXPECT_EQ(ToHex(wholeChain), ToHex(expectedChain)) << blocks << " blocks";

    uint8_t* data = area.data();  // misaligned, in place
    Bytes splitChain = chain;
    const size_t first = blocks ? TestRng()() % (blocks + 1) : 0;
    blocksRoutine(splitChain.data(), data, first);
    blocksRoutine(splitChain.data(), data + B * first, blocks - first);
    EXPECT_EQ(ToHex(data, B * blocks), ToHex(expected)) << blocks << " blocks split at " << first;
    EXPECT_EQ(ToHex(splitChain), ToHex(expectedChain));
  }
}

}  // namespace

TEST(FastPaths, RijndaelCbcBlocksEqualBlockByBlock) {
  OnEveryPath([] {
    for (int32_t keySize : {16, 24, 32, 20, 28, 12, 40})
      for (bool encrypt : {false, true}) {
        SCOPED_TRACE("key " + std::to_string(keySize) + (encrypt ? " encrypt" : " decrypt"));
        const Bytes key = RandomBytes(size_t(keySize));
        RijndaelContext c;
        RijndaelInitKey(key.data(), keySize, c, encrypt);
        CheckCbcBlocks<16>(
            encrypt, [&](uint8_t* chain, uint8_t* d, size_t n) { RijndaelCbcBlocks(c, chain, d, n); },
            [&](const uint8_t* chain, uint8_t* block) { RijndaelCbcBlock(c, chain, block); });
      }
  });
}

TEST(FastPaths, DesTripleDesAndBlowfishCbcBlocksEqualBlockByBlock) {
  for (bool encrypt : {false, true}) {
    const Bytes key = RandomBytes(16);
    OnEveryPath([&] {
      SCOPED_TRACE(encrypt ? "encrypt" : "decrypt");
      DesContext des;
      DesInitKey(key.data(), des, encrypt);
      CheckCbcBlocks<8>(
          encrypt, [&](uint8_t* chain, uint8_t* d, size_t n) { DesCbcBlocks(des, chain, d, n); },
          [&](const uint8_t* chain, uint8_t* block) { DesCbcBlock(des, chain, block); }, BatchBlockCounts());
      TripleDesContext tdes;
      TripleDesInitKey(key.data(), tdes, encrypt);
      CheckCbcBlocks<8>(
          encrypt, [&](uint8_t* chain, uint8_t* d, size_t n) { TripleDesCbcBlocks(tdes, chain, d, n); },
          [&](const uint8_t* chain, uint8_t* block) { TripleDesCbcBlock(tdes, chain, block); },
          BatchBlockCounts());
    });
    // Long runs split with a helper thread (one made per task here); with a helper that
    // cannot start, and with one whose task is withdrawn before it begins: in both, the caller
    // does it all.
    static std::thread worker;
    static const HelperThread threaded = {
        [](void (*task)(void*), void* argument) { return worker = std::thread(task, argument), true; },
        [] { worker.join(); }};
    static const HelperThread refusing = {[](void (*)(void*), void*) { return false; }, [] { FAIL(); }};
    static const HelperThread withdrawn = {[](void (*)(void*), void*) { return true; }, [] {}};
    for (const HelperThread* helper : {&threaded, &refusing, &withdrawn}) {
      SetHelperThread(helper);
      // Around the shortest run shared, a piece's rest, many pieces, and more than the most
      // pieces of the shortest length.
      const std::vector<size_t> counts = {16383, 16384, 16385 + 127, 16384 + 128 + size_t(TestRng()() % 20000),
                                          65536 + 300, 64 * 4096 + 4096 + 77};
      DesContext des;
      DesInitKey(key.data(), des, encrypt);
      CheckCbcBlocks<8>(
          encrypt, [&](uint8_t* chain, uint8_t* d, size_t n) { DesCbcBlocks(des, chain, d, n); },
          [&](const uint8_t* chain, uint8_t* block) { DesCbcBlock(des, chain, block); }, counts);
      TripleDesContext tdes;
      TripleDesInitKey(key.data(), tdes, encrypt);
      CheckCbcBlocks<8>(
          encrypt, [&](uint8_t* chain, uint8_t* d, size_t n) { TripleDesCbcBlocks(tdes, chain, d, n); },
          [&](const uint8_t* chain, uint8_t* block) { TripleDesCbcBlock(tdes, chain, block); }, counts);
    }
    SetHelperThread(nullptr);
    BlowfishContext bf;
    BlowfishInitKey(key.data(), bf);
    CheckCbcBlocks<8>(
        encrypt, [&](uint8_t* chain, uint8_t* d, size_t n) { BlowfishCbcBlocks(bf, chain, d, n, encrypt); },
        [&](const uint8_t* chain, uint8_t* block) { BlowfishCbcBlock(bf, chain, block, encrypt); });
  }
}

// FIPS-197 Appendix C: one block chained from zero is the cipher itself.
TEST(FastPaths, RijndaelCbcBlocksKeepFips197Answers) {
  const Bytes plain = FromHex("00112233445566778899aabbccddeeff");
  const std::pair<const char*, const char*> rows[] = {
      {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "8ea2b7ca516745bfeafc49904b496089"}};
  OnEveryPath([&] {
    for (auto [keyHex, cipherHex] : rows) {
      const Bytes key = FromHex(keyHex);
      for (bool encrypt : {true, false}) {
        RijndaelContext c;
        RijndaelInitKey(key.data(), int32_t(key.size()), c, encrypt);
        // Nine copies of the block, so that the eight-lane path sees the answer too.
        const Bytes in = encrypt ? plain : FromHex(cipherHex);
        Bytes data;
        for (int i = 0; i < 9; ++i) data.insert(data.end(), in.begin(), in.end());
        Bytes chain(16, 0);
        if (encrypt) {
          RijndaelCbcBlocks(c, chain.data(), data.data(), 1);
          EXPECT_EQ(ToHex(data.data(), 16), cipherHex) << keyHex;
        } else {
          // Each block decrypts to the plaintext XOR the block before it (zero for the first).
          RijndaelCbcBlocks(c, chain.data(), data.data(), 9);
          Bytes expected = plain;
          EXPECT_EQ(ToHex(data.data(), 16), ToHex(expected)) << keyHex;
          for (int b = 0; b < 16; ++b) expected[size_t(b)] ^= in[size_t(b)];
          for (int i = 1; i < 9; ++i) EXPECT_EQ(ToHex(data.data() + 16 * i, 16), ToHex(expected)) << i;
        }
      }
    }
  });
}

TEST(FastPaths, Sha1EqualsOpenSslAtEveryLengthAlignmentAndSplit) {
  OnEveryPath([] {
    std::vector<size_t> lengths = {0, 1, 55, 56, 63, 64, 65, 127, 128, 129, 1000};
    for (int i = 0; i < 8; ++i) lengths.push_back(TestRng()() % 20000);
    for (size_t length : lengths) {
      Area area(length);
      uint8_t expected[20], whole[20], split[20];
      SHA1(area.data(), length, expected);
      Sha1OfBuffer(whole, area.data(), int32_t(length));
      EXPECT_EQ(ToHex(whole, 20), ToHex(expected, 20)) << length;
      // Added in random pieces: buffered bytes, whole blocks from the caller, a tail.
      Sha1Context c;
      Sha1Start(c);
      for (size_t done = 0; done < length;) {
        const size_t piece = std::min(length - done, size_t(TestRng()() % 200));
        Sha1Add(c, area.data() + done, int32_t(piece));
        done += piece;
      }
      Sha1Finish(c, split);
      EXPECT_EQ(ToHex(split, 20), ToHex(expected, 20)) << length << " in pieces";
    }
  });
}

TEST(FastPaths, Sha1CompressBlocksOnEveryPathAgree) {
  const Bytes data = RandomBytes(64 * 37);
  uint32_t reference[5] = {1, 2, 3, 4, 5};
  LimitCpuFeatures(0);
  Sha1CompressBlocks(reference, data.data(), 37);
  LimitCpuFeatures(~0u);
  OnEveryPath([&] {
    uint32_t h[5] = {1, 2, 3, 4, 5};
    Sha1CompressBlocks(h, data.data(), 20);
    Sha1CompressBlocks(h, data.data() + 64 * 20, 17);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(h[i], reference[i]) << i;
  });
}

TEST(FastPaths, CpuLimitNames) {
  uint32_t allowed = 7;
  EXPECT_TRUE(ParseCpuLimit("portable", allowed));
  EXPECT_EQ(allowed, 0u);
  EXPECT_TRUE(ParseCpuLimit("aesni,shani", allowed));
  EXPECT_EQ(allowed, kCpuAesNi | kCpuShaNi);
  EXPECT_TRUE(ParseCpuLimit("shani", allowed));
  EXPECT_EQ(allowed, kCpuShaNi);
  EXPECT_TRUE(ParseCpuLimit("sse2,avx2,avx512,simd128", allowed));
  EXPECT_EQ(allowed, kCpuSse2 | kCpuAvx2 | kCpuAvx512 | kCpuSimd128);
  EXPECT_TRUE(ParseCpuLimit(nullptr, allowed));
  EXPECT_EQ(allowed, ~0u);
  for (const char* bad : {"portables", "aes", "aesni,", ",shani", "native portable", "avx", "avx512f"})
    EXPECT_FALSE(ParseCpuLimit(bad, allowed)) << bad;
}
