// The core's fast paths inside a Windows process, as the stub runs them: compiled for i686 by
// mingw, started under Wine. Every many-block routine and SHA-1 on each path the CPU offers
// against the portable code, on random keys, lengths and alignments, and the FIPS answers.
// DES and Triple-DES run on every width the CPU offers, each forced alone, and with the stub's
// helper thread sharing their long runs.
// Prints one line per failed check and the paths it tried; exit code 0 when all held.
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "crypto/KxCipher.h"
#include "crypto/KxCpu.h"
#include "stub/HelperThread.h"

namespace {

int gFailures = 0;
std::mt19937 gRng(20261208);

void Check(bool ok, const char* what, unsigned detail) {
  if (!ok) {
    ++gFailures;
    std::printf("FAIL %s (%u)\n", what, detail);
  }
}

std::vector<uint8_t> Random(size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(gRng());
  return v;
}

// The many-block result under the current limit against RijndaelCbcBlock block by block.
void CheckRijndael() {
  for (int32_t keySize : {16, 32, 24, 20})
    for (bool encrypt : {false, true})
      for (size_t blocks : {size_t(0), size_t(1), size_t(3), size_t(4), size_t(5), size_t(9), size_t(200)}) {
        const auto key = Random(size_t(keySize));
        RijndaelContext c;
        RijndaelInitKey(key.data(), keySize, c, encrypt);
        const size_t offset = gRng() % 16;
        auto area = Random(16 * blocks + 16);
        auto chain = Random(16), refChain = chain;
        std::vector<uint8_t> expected(area.begin() + long(offset), area.begin() + long(offset + 16 * blocks));
        for (size_t i = 0; i < blocks; ++i) {
          uint8_t* b = expected.data() + 16 * i;
          uint8_t in[16];
          std::memcpy(in, b, 16);
          RijndaelCbcBlock(c, refChain.data(), b);
          std::memcpy(refChain.data(), encrypt ? b : in, 16);
        }
        RijndaelCbcBlocks(c, chain.data(), area.data() + offset, blocks);
        Check(std::memcmp(area.data() + offset, expected.data(), 16 * blocks) == 0, "RijndaelCbcBlocks bytes",
              unsigned(keySize * 1000 + blocks));
        Check(chain == refChain, "RijndaelCbcBlocks chain", unsigned(keySize * 1000 + blocks));
      }
}

// DES and Triple-DES many-block decryption under the current limit against the block-at-a-time
// code, at lengths around each batch (128 blocks in SSE2, 256 in AVX2) and the chaining value
// carried out, at a random alignment.
// The lengths around every batch size (128, 256 blocks), and past where a long run is shared
// with a lent helper thread (16,384 blocks).
constexpr size_t kDesLengths[] = {0, 1, 127, 128, 129, 255, 256, 257, 383, 384, 385, 511, 512, 513, 3001};
constexpr size_t kSharedDesLengths[] = {16384, 16384 + 513, 50001};

template <size_t N>
void CheckDes(const size_t (&lengths)[N]) {
  struct Cipher {
    const char* name;
    size_t keyBytes;
    void (*blocks)(const uint8_t* key, uint8_t chain[8], uint8_t* data, size_t blocks);
    void (*block)(const uint8_t* key, const uint8_t chain[8], uint8_t block[8]);
  };
  static const Cipher kCiphers[] = {
      {"DesCbcBlocks", 8,
       [](const uint8_t* key, uint8_t chain[8], uint8_t* data, size_t blocks) {
         DesContext c;
         DesInitKey(key, c, false);
         DesCbcBlocks(c, chain, data, blocks);
       },
       [](const uint8_t* key, const uint8_t chain[8], uint8_t block[8]) {
         DesContext c;
         DesInitKey(key, c, false);
         DesCbcBlock(c, chain, block);
       }},
      {"TripleDesCbcBlocks", 16,
       [](const uint8_t* key, uint8_t chain[8], uint8_t* data, size_t blocks) {
         TripleDesContext c;
         TripleDesInitKey(key, c, false);
         TripleDesCbcBlocks(c, chain, data, blocks);
       },
       [](const uint8_t* key, const uint8_t chain[8], uint8_t block[8]) {
         TripleDesContext c;
         TripleDesInitKey(key, c, false);
         TripleDesCbcBlock(c, chain, block);
       }},
  };
  for (const Cipher& cipher : kCiphers)
    for (size_t blocks : lengths) {
      const auto key = Random(cipher.keyBytes);
      const size_t offset = gRng() % 8;
      auto area = Random(8 * blocks + 8);
      auto chain = Random(8), refChain = chain;
      std::vector<uint8_t> expected(area.begin() + long(offset), area.begin() + long(offset + 8 * blocks));
      for (size_t i = 0; i < blocks; ++i) {
        uint8_t* b = expected.data() + 8 * i;
        uint8_t in[8];
        std::memcpy(in, b, 8);
        cipher.block(key.data(), refChain.data(), b);
        std::memcpy(refChain.data(), in, 8);
      }
      cipher.blocks(key.data(), chain.data(), area.data() + offset, blocks);
      Check(std::memcmp(area.data() + offset, expected.data(), 8 * blocks) == 0, cipher.name, unsigned(blocks));
      Check(chain == refChain, cipher.name, unsigned(blocks));
    }
}

void CheckFips197() {
  const uint8_t plain[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                             0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  const uint8_t cipher256[16] = {0x8e, 0xa2, 0xb7, 0xca, 0x51, 0x67, 0x45, 0xbf,
                                 0xea, 0xfc, 0x49, 0x90, 0x4b, 0x49, 0x60, 0x89};
  uint8_t key[32];
  for (int i = 0; i < 32; ++i) key[i] = uint8_t(i);
  RijndaelContext c;
  RijndaelInitKey(key, 32, c, false);
  uint8_t data[16 * 5], chain[16] = {};
  for (int i = 0; i < 5; ++i) std::memcpy(data + 16 * i, cipher256, 16);
  RijndaelCbcBlocks(c, chain, data, 5);
  Check(std::memcmp(data, plain, 16) == 0, "FIPS-197 C.3 decrypt", 0);
}

void CheckSha1() {
  uint8_t digest[20];
  Sha1OfBuffer(digest, "abc", 3);
  const uint8_t abc[20] = {0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81, 0x6a, 0xba, 0x3e,
                           0x25, 0x71, 0x78, 0x50, 0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d};
  Check(std::memcmp(digest, abc, 20) == 0, "FIPS 180-1 abc", 0);
}

}  // namespace

int main() {
  const uint32_t all = CpuFeatures();
  std::printf("features: aesni %d, shani %d, sse2 %d, avx2 %d\n", (all & kCpuAesNi) ? 1 : 0,
              (all & kCpuShaNi) ? 1 : 0, (all & kCpuSse2) ? 1 : 0, (all & kCpuAvx2) ? 1 : 0);
  // DES and Triple-DES on each width alone (with every path and the portable one below).
  for (uint32_t limit : {uint32_t(kCpuSse2), uint32_t(kCpuAvx2)}) {
    LimitCpuFeatures(limit);
    CheckDes(kDesLengths);
  }
  // Long runs shared with the stub's own helper thread, on each width.
  LendHelperThread();
  for (uint32_t limit : {uint32_t(kCpuSse2), uint32_t(kCpuAvx2)}) {
    LimitCpuFeatures(limit);
    CheckDes(kSharedDesLengths);
  }
  SetHelperThread(nullptr);
  // SHA-1 of random lengths on the portable path, then compared on every other path.
  std::vector<std::vector<uint8_t>> messages;
  std::vector<std::vector<uint8_t>> portableDigests;
  LimitCpuFeatures(0);
  for (size_t n : {size_t(0), size_t(55), size_t(64), size_t(65), size_t(1000), size_t(70000)}) {
    messages.push_back(Random(n));
    portableDigests.emplace_back(20);
    Sha1OfBuffer(portableDigests.back().data(), messages.back().data(), int32_t(n));
  }
  for (uint32_t limit : {all, uint32_t(0)}) {
    LimitCpuFeatures(limit);
    CheckRijndael();
    CheckDes(kDesLengths);
    CheckFips197();
    CheckSha1();
    for (size_t i = 0; i < messages.size(); ++i) {
      uint8_t d[20];
      Sha1OfBuffer(d, messages[i].data(), int32_t(messages[i].size()));
      Check(std::memcmp(d, portableDigests[i].data(), 20) == 0, "SHA-1 against the portable path", unsigned(i));
    }
  }
  std::printf("%s\n", gFailures ? "fast paths: FAILED" : "fast paths: every check held");
  return gFailures ? 1 : 0;
}
