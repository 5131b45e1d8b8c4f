// MiB/s of each CBC stream routine in the decrypt direction and of SHA-1, next to OpenSSL's
// CBC decryption and SHA-1 of the same bytes. Pairs print side by side: .../zqv, .../openssl.
// The many-block routines also run on each path alone (.../zqv-portable, -sse2, -avx2, -avx512
// where the CPU has it), and in the encrypt direction next to OpenSSL's CBC encryption.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstring>
#include <vector>

#include "crypto/KxCipher.h"
#include "crypto/KxClass.h"
#include "crypto/KxCpu.h"
#include "crypto/KxProc.h"
#include "crypto/MemoryStream.h"
#include "format/Archive.h"

namespace {

constexpr int64_t kBodySize = 8 << 20;

struct Cipher {
  const char* name;
  uint8_t selector;
  const EVP_CIPHER* (*openssl)();
  int keySize;
  int block;
};

// OpenSSL's Blowfish is the published cipher, whose output differs from the format's for every
// key; it stands beside ours only as the speed of a cipher of the same shape.
const Cipher kCiphers[] = {{"blowfish", kCipherBlowfish, EVP_bf_cbc, 16, 8},
                           {"des", kCipherDes, EVP_des_cbc, 8, 8},
                           {"3des", kCipherTripleDes, EVP_des_ede_cbc, 16, 8},
                           {"aes128", kCipherRijndael128, EVP_aes_128_cbc, 16, 16},
                           {"aes256", kCipherRijndael256, EVP_aes_256_cbc, 32, 16}};

std::vector<uint8_t>& Data() {
  static std::vector<uint8_t> data = [] {
    std::vector<uint8_t> d(kBodySize + 64);
    for (size_t i = 0; i < d.size(); ++i) d[i] = uint8_t(i * 2654435761u >> 13);
    return d;
  }();
  return data;
}

void DecryptZqv(benchmark::State& state, const Cipher& c) {
  ArchiveKeys keys;
  DeriveArchiveKeys("benchmark", keys);
  std::vector<uint8_t>& body = Data();
  std::vector<uint8_t> out(body.size());
  for (auto _ : state) {
    MemoryStream in(body.data(), kBodySize, kBodySize), sink(out.data(), 0, int64_t(out.size()));
    if (!DecryptBody(c.selector, keys, in, sink).Ok()) state.SkipWithError("decrypt failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * kBodySize);
}

void DecryptOpenSsl(benchmark::State& state, const Cipher& c) {
  static const bool loaded = OSSL_PROVIDER_load(nullptr, "legacy") && OSSL_PROVIDER_load(nullptr, "default");
  if (!loaded) return state.SkipWithError("OpenSSL providers not available");
  ArchiveKeys keys;
  DeriveArchiveKeys("benchmark", keys);
  const uint8_t* key = c.keySize == 8 ? keys.key8 : c.keySize == 16 ? keys.key16 : keys.key32;
  std::vector<uint8_t>& body = Data();
  std::vector<uint8_t> out(body.size() + 64);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  for (auto _ : state) {
    int n = 0;
    // The chaining block is the IV; the rest is decrypted as the routine decrypts it.
    if (EVP_DecryptInit_ex(ctx, c.openssl(), nullptr, key, body.data()) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx, 0) != 1 ||
        EVP_DecryptUpdate(ctx, out.data(), &n, body.data() + c.block, int(kBodySize - c.block)) != 1) {
      state.SkipWithError("OpenSSL decryption failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(state.iterations() * kBodySize);
}

void EncryptOpenSsl(benchmark::State& state, const Cipher& c) {
  static const bool loaded = OSSL_PROVIDER_load(nullptr, "legacy") && OSSL_PROVIDER_load(nullptr, "default");
  if (!loaded) return state.SkipWithError("OpenSSL providers not available");
  ArchiveKeys keys;
  DeriveArchiveKeys("benchmark", keys);
  const uint8_t* key = c.keySize == 8 ? keys.key8 : c.keySize == 16 ? keys.key16 : keys.key32;
  std::vector<uint8_t>& plain = Data();
  std::vector<uint8_t> out(plain.size() + 64);
  const uint8_t iv[16] = {};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  for (auto _ : state) {
    int n = 0;
    if (EVP_EncryptInit_ex(ctx, c.openssl(), nullptr, key, iv) != 1 || EVP_CIPHER_CTX_set_padding(ctx, 0) != 1 ||
        EVP_EncryptUpdate(ctx, out.data(), &n, plain.data(), int(kBodySize)) != 1) {
      state.SkipWithError("OpenSSL encryption failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(state.iterations() * kBodySize);
}

// The many-block routine itself, in place on the body after its chaining block: the CBC work
// with no stream around it, as OpenSSL's figure has none.
void CbcBlocksZqv(benchmark::State& state, const Cipher& c, bool encrypt = false) {
  ArchiveKeys keys;
  DeriveArchiveKeys("benchmark", keys);
  std::vector<uint8_t> data(Data().begin(), Data().begin() + kBodySize);
  const size_t blocks = size_t(kBodySize) / size_t(c.block);
  RijndaelContext aes;
  DesContext des;
  TripleDesContext tdes;
  BlowfishContext bf;
  if (c.block == 16) RijndaelInitKey(c.keySize == 32 ? keys.key32 : keys.key16, c.keySize, aes, encrypt);
  if (c.selector == kCipherDes) DesInitKey(keys.key8, des, encrypt);
  if (c.selector == kCipherTripleDes) TripleDesInitKey(keys.key16, tdes, encrypt);
  if (c.selector == kCipherBlowfish) BlowfishInitKey(keys.key16, bf);
  uint8_t chain[16] = {};
  for (auto _ : state) {
    switch (c.selector) {
      case kCipherBlowfish: BlowfishCbcBlocks(bf, chain, data.data(), blocks, encrypt); break;
      case kCipherDes: DesCbcBlocks(des, chain, data.data(), blocks); break;
      case kCipherTripleDes: TripleDesCbcBlocks(tdes, chain, data.data(), blocks); break;
      default: RijndaelCbcBlocks(aes, chain, data.data(), blocks);
    }
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(state.iterations() * kBodySize);
}

// Runs `body` with the core held to `features` (0: the portable code); skipped where the CPU
// lacks them.
template <class Body>
void Limited(benchmark::State& state, uint32_t features, Body body) {
  const uint32_t all = CpuFeatures();
  if ((all & features) != features) return state.SkipWithError("not on this CPU");
  LimitCpuFeatures(features);
  body(state);
  LimitCpuFeatures(all);
}
template <class Body>
void Portable(benchmark::State& state, Body body) {
  Limited(state, 0, body);
}

struct Path {
  const char* name;
  uint32_t features;
};
const Path kDesPaths[] = {{"portable", 0}, {"sse2", kCpuSse2}, {"avx2", kCpuAvx2}, {"avx512", kCpuAvx512}};

void Sha1Zqv(benchmark::State& state) {
  std::vector<uint8_t>& data = Data();
  uint8_t digest[20];
  for (auto _ : state) {
    Sha1OfBuffer(digest, data.data(), int32_t(kBodySize));
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * kBodySize);
}

void Sha1ZqvStream(benchmark::State& state) {
  std::vector<uint8_t>& data = Data();
  TKxSHA1 sha;
  for (auto _ : state) {
    MemoryStream in(data.data(), kBodySize, kBodySize);
    sha.DigestOfStream(in);
  }
  state.SetBytesProcessed(state.iterations() * kBodySize);
}

void Sha1OpenSsl(benchmark::State& state) {
  std::vector<uint8_t>& data = Data();
  uint8_t digest[20];
  unsigned int n = 0;
  for (auto _ : state) {
    EVP_Digest(data.data(), size_t(kBodySize), digest, &n, EVP_sha1(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * kBodySize);
}

const bool kRegistered = [] {
  for (const Cipher& c : kCiphers) {
    benchmark::RegisterBenchmark((std::string("Decrypt/") + c.name + "/zqv").c_str(), DecryptZqv, c)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("Decrypt/") + c.name + "/openssl").c_str(), DecryptOpenSsl, c)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("CbcBlocks/") + c.name + "/zqv").c_str(),
                                 [c](benchmark::State& st) { CbcBlocksZqv(st, c); })
        ->Unit(benchmark::kMillisecond);
    if (c.block == 16)
      benchmark::RegisterBenchmark((std::string("CbcBlocks/") + c.name + "/zqv-portable").c_str(),
                                   [c](benchmark::State& st) { Portable(st, [&](auto& s) { CbcBlocksZqv(s, c); }); })
          ->Unit(benchmark::kMillisecond);
    if (c.selector == kCipherDes || c.selector == kCipherTripleDes)
      for (const Path& p : kDesPaths)
        benchmark::RegisterBenchmark(
            (std::string("CbcBlocks/") + c.name + "/zqv-" + p.name).c_str(),
            [c, p](benchmark::State& st) { Limited(st, p.features, [&](auto& s) { CbcBlocksZqv(s, c); }); })
            ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("CbcEncrypt/") + c.name + "/zqv").c_str(),
                                 [c](benchmark::State& st) { CbcBlocksZqv(st, c, true); })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("CbcEncrypt/") + c.name + "/openssl").c_str(), EncryptOpenSsl, c)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("Sha1/buffer/zqv", Sha1Zqv)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Sha1/buffer/zqv-portable", [](benchmark::State& st) { Portable(st, Sha1Zqv); })
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Sha1/stream/zqv", Sha1ZqvStream)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Sha1/buffer/openssl", Sha1OpenSsl)->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
