// The standard ciphers, SHA-1 and the CBC streams against OpenSSL on random inputs.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <memory>

#include "TestSupport.h"
#include "crypto/KxCipher.h"
#include "crypto/KxClass.h"
#include "crypto/KxCpu.h"
#include "crypto/KxProc.h"

namespace {

// Single DES lives in OpenSSL 3's legacy provider. The providers stay loaded, held here for the
// leak checker, until the process ends.
OSSL_PROVIDER* const kLegacyProvider = OSSL_PROVIDER_load(nullptr, "legacy");
OSSL_PROVIDER* const kDefaultProvider = OSSL_PROVIDER_load(nullptr, "default");
const bool kProvidersLoaded = kLegacyProvider && kDefaultProvider;

// OpenSSL's transform of `data` (a whole number of blocks, no padding); iv empty for ECB.
Bytes OpenSsl(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& iv, const Bytes& data, bool encrypt) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  EXPECT_EQ(EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), encrypt), 1);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  Bytes out(data.size() + 32);
  int n = 0, tail = 0;
  EXPECT_EQ(EVP_CipherUpdate(ctx.get(), out.data(), &n, data.data(), static_cast<int>(data.size())), 1);
  EXPECT_EQ(EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail), 1);
  out.resize(static_cast<size_t>(n + tail));
  return out;
}

constexpr int kRandomRuns = 200;

}  // namespace

TEST(OpenSslCrossCheck, DesBlocks) {
  ASSERT_TRUE(kProvidersLoaded);
  for (int i = 0; i < kRandomRuns; ++i) {
    const Bytes key = RandomBytes(8), block = RandomBytes(8);
    Bytes ours = block;
    DesContext c;
    DesInitKey(key.data(), c, true);
    DesBlock(c, ours.data());
    ASSERT_EQ(ours, OpenSsl(EVP_des_ecb(), key, {}, block, true)) << ToHex(key);
    DesInitKey(key.data(), c, false);
    DesBlock(c, ours.data());
    ASSERT_EQ(ours, block);
  }
}

TEST(OpenSslCrossCheck, TwoKeyTripleDesBlocks) {
  for (int i = 0; i < kRandomRuns; ++i) {
    const Bytes key = RandomBytes(16), block = RandomBytes(8);
    Bytes ours = block;
    TripleDesContext c;
    TripleDesInitKey(key.data(), c, true);
    TripleDesBlock(c, ours.data());
    ASSERT_EQ(ours, OpenSsl(EVP_des_ede_ecb(), key, {}, block, true)) << ToHex(key);
    TripleDesInitKey(key.data(), c, false);
    TripleDesBlock(c, ours.data());
    ASSERT_EQ(ours, block);
  }
}

TEST(OpenSslCrossCheck, AesBlocksForEveryKeySize) {
  const std::pair<int, const EVP_CIPHER*> sizes[] = {{16, EVP_aes_128_ecb()}, {24, EVP_aes_192_ecb()}, {32, EVP_aes_256_ecb()}};
  for (auto [size, cipher] : sizes) {
    for (int i = 0; i < kRandomRuns; ++i) {
      const Bytes key = RandomBytes(static_cast<size_t>(size)), block = RandomBytes(16);
      Bytes ours = block;
      RijndaelContext c;
      RijndaelInitKey(key.data(), size, c, true);
      RijndaelBlock(c, ours.data());
      ASSERT_EQ(ours, OpenSsl(cipher, key, {}, block, true)) << size << " " << ToHex(key);
      RijndaelInitKey(key.data(), size, c, false);
      RijndaelBlock(c, ours.data());
      ASSERT_EQ(ours, block);
    }
  }
}

TEST(OpenSslCrossCheck, Sha1OverLengthsInRandomSplits) {
  const Bytes data = RandomBytes(4096);
  for (size_t length = 0; length <= 4096; length += (length < 200 ? 1 : 37)) {
    uint8_t expected[20], ours[20];
    unsigned int n = 0;
    EVP_Digest(data.data(), length, expected, &n, EVP_sha1(), nullptr);
    Sha1Context c;
    Sha1Start(c);
    for (size_t done = 0; done < length;) {
      const size_t piece = std::min(length - done, static_cast<size_t>(TestRng()() % 150));
      Sha1Add(c, data.data() + done, static_cast<int32_t>(piece));
      done += piece;
    }
    Sha1Finish(c, ours);
    ASSERT_EQ(ToHex(ours, 20), ToHex(expected, 20)) << length;
  }
}

// The body between the chaining block and the tail block is plain CBC with the chaining block
// as its initial value; OpenSSL decrypts it the same way. Random lengths, and for DES and
// Triple-DES lengths around every bitsliced batch (128, 256, 512 blocks and sums of them), on
// each vector width this CPU has alone, then on all of them.
TEST(OpenSslCrossCheck, CbcStreamBodiesMatchOpenSslCbc) {
  std::vector<size_t> batchLengths;
  for (size_t blocks : {127, 128, 129, 255, 256, 257, 383, 384, 511, 512, 513, 895, 896, 1023, 1024, 1025, 8195})
    batchLengths.push_back(8 * blocks + TestRng()() % 8);
  const uint32_t all = CpuFeatures();
  std::vector<uint32_t> widths;
  for (uint32_t f : {kCpuSse2, kCpuAvx2, kCpuAvx512})
    if (all & f) widths.push_back(f);
  widths.push_back(all);
  struct Case {
    const char* name;
    int keySize, block;
    const EVP_CIPHER* cipher;
  } cases[] = {{"des", 8, 8, EVP_des_cbc()},
               {"3des", 16, 8, EVP_des_ede_cbc()},
               {"aes128", 16, 16, EVP_aes_128_cbc()},
               {"aes256", 32, 16, EVP_aes_256_cbc()}};
  for (const Case& c : cases) {
    std::vector<std::pair<size_t, uint32_t>> runs;  // length, features
    for (int run = 0; run < 20; ++run) runs.push_back({TestRng()() % 3000, all});
    if (c.block == 8)
      for (uint32_t width : widths)
        for (size_t length : batchLengths) runs.push_back({length, width});
    for (auto [length, features] : runs) {
      LimitCpuFeatures(features);
      SCOPED_TRACE(std::to_string(length) + " bytes, features " + std::to_string(features));
      const Bytes key = RandomBytes(static_cast<size_t>(c.keySize));
      const Bytes plain = RandomBytes(length);
      VectorStream in(plain), body;
      auto timer = +[]() -> uint32_t { return 77; };
      Status s = c.block == 16 ? RijndaelCbcStream(in, body, key.data(), c.keySize, true, timer)
                 : c.keySize == 8 ? DesCbcStream(in, body, key.data(), true, timer)
                                  : TripleDesCbcStream(in, body, key.data(), true, timer);
      ASSERT_TRUE(s.Ok()) << c.name;
      const size_t b = static_cast<size_t>(c.block), full = plain.size() / b * b;
      ASSERT_EQ(body.data().size(), full + 2 * b);
      const Bytes& e = body.data();
      const Bytes iv(e.begin(), e.begin() + c.block);
      const Bytes middle(e.begin() + c.block, e.begin() + c.block + static_cast<long>(full));
      EXPECT_EQ(OpenSsl(c.cipher, key, iv, middle, false), Bytes(plain.begin(), plain.begin() + static_cast<long>(full)))
          << c.name;
      // And our decryption of OpenSSL's encryption of the same layout.
      Bytes tail(b, 0);
      std::copy(plain.begin() + static_cast<long>(full), plain.end(), tail.begin());
      tail[b - 1] = static_cast<uint8_t>(plain.size() - full);
      Bytes theirs = iv;
      Bytes laidOut(plain.begin(), plain.begin() + static_cast<long>(full));
      laidOut.insert(laidOut.end(), tail.begin(), tail.end());
      const Bytes enc = OpenSsl(c.cipher, key, iv, laidOut, true);
      theirs.insert(theirs.end(), enc.begin(), enc.end());
      VectorStream in2(theirs), out;
      s = c.block == 16 ? RijndaelCbcStream(in2, out, key.data(), c.keySize, false)
          : c.keySize == 8 ? DesCbcStream(in2, out, key.data(), false)
                           : TripleDesCbcStream(in2, out, key.data(), false);
      ASSERT_TRUE(s.Ok());
      EXPECT_EQ(out.data(), plain) << c.name;
    }
  }
  LimitCpuFeatures(all);
}
