// Fuzz target: every CBC stream routine decrypting arbitrary bodies under arbitrary keys, with
// the fast paths and again with the portable code forced; the two must agree byte for byte and
// in the status they return. Rijndael with an archive's key sizes is also checked against
// OpenSSL, and the many-block routines against their one-block forms. A body that survives
// decryption is encrypted again and must come back.
//
// Input: one byte choosing the routine, 40 key bytes (the first also gives the size of a key of
// any size, 1 to 40), then the body.
#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crypto/KxCipher.h"
#include "crypto/KxCpu.h"
#include "crypto/KxProc.h"
#include "crypto/MemoryStream.h"
#include "format/Archive.h"

namespace {

void Require(bool holds, const char* what) {
  if (!holds) {
    __builtin_printf("fuzz_cbc: %s\n", what);
    std::abort();
  }
}

struct Result {
  Status status;
  std::vector<uint8_t> bytes;
};

enum Routine : uint8_t { kBlowfish, kDes, kTripleDes, kRijndael16, kRijndael32, kRijndaelAnySize,
                         kArchiveBody, kRoutines };

// Runs one routine over `in` into a fresh output of room enough for any result.
Result Run(Routine routine, const uint8_t* key, int32_t keySize, uint8_t selector, const uint8_t* in,
           size_t size, bool encrypt) {
  std::vector<uint8_t> input(in, in + size);
  MemoryStream source(input.data(), int64_t(size), int64_t(size));
  Result r;
  r.bytes.resize(size + 64);
  MemoryStream sink(r.bytes.data(), 0, int64_t(r.bytes.size()));
  switch (routine) {
    case kBlowfish: r.status = BlowfishCbcStream(source, sink, key, encrypt); break;
    case kDes: r.status = DesCbcStream(source, sink, key, encrypt); break;
    case kTripleDes: r.status = TripleDesCbcStream(source, sink, key, encrypt); break;
    case kRijndael16: r.status = RijndaelCbcStream(source, sink, key, 16, encrypt); break;
    case kRijndael32: r.status = RijndaelCbcStream(source, sink, key, 32, encrypt); break;
    case kRijndaelAnySize: r.status = RijndaelCbcStream(source, sink, key, keySize, encrypt); break;
    default: {
      ArchiveKeys keys;
      static_assert(sizeof keys <= 64);
      uint8_t material[64];
      for (size_t i = 0; i < sizeof material; ++i) material[i] = key[i % 32] ^ uint8_t(i);
      std::memcpy(&keys, material, sizeof keys);
      r.status = DecryptBody(selector, keys, source, sink);
    }
  }
  r.bytes.resize(size_t(sink.Size()));
  return r;
}

// The archive layout decrypted by OpenSSL: the chaining block is the IV, the full blocks follow,
// and the tail block's last byte counts its bytes (all of them when it is above 16).
void CheckAgainstOpenSsl(const uint8_t* key, int keySize, const uint8_t* body, size_t size, const Result& ours) {
  const size_t blocks = size / 16;
  if (blocks < 2) {
    Require(!ours.status.Ok(), "a body under two blocks was accepted");
    return;
  }
  Require(ours.status.Ok(), "a body of two or more blocks was refused");
  const EVP_CIPHER* cipher = keySize == 16 ? EVP_aes_128_cbc() : EVP_aes_256_cbc();
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::vector<uint8_t> plain((blocks - 1) * 16 + 16);
  int n = 0, tail = 0;
  Require(EVP_DecryptInit_ex(ctx, cipher, nullptr, key, body) == 1 && EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_DecryptUpdate(ctx, plain.data(), &n, body + 16, int((blocks - 1) * 16)) == 1 &&
              EVP_DecryptFinal_ex(ctx, plain.data() + n, &tail) == 1,
          "OpenSSL refused the body");
  EVP_CIPHER_CTX_free(ctx);
  const size_t full = (blocks - 2) * 16;
  size_t count = plain[full + 15];
  if (count > 16) count = 16;
  Require(ours.bytes.size() == full + count, "a length other than OpenSSL's");
  Require(std::memcmp(ours.bytes.data(), plain.data(), full + count) == 0, "bytes other than OpenSSL's");
}

// The many-block routines against block-by-block steps, on the body as whole blocks.
void CheckManyBlocks(const uint8_t* key, const uint8_t* body, size_t size) {
  RijndaelContext aes;
  RijndaelInitKey(key, 32, aes, false);
  const size_t blocks = size / 16;
  std::vector<uint8_t> many(body, body + blocks * 16), single = many;
  uint8_t chain[16] = {}, saved[16], step[16] = {};
  RijndaelCbcBlocks(aes, chain, many.data(), blocks);
  for (size_t i = 0; i < blocks; ++i) {
    std::memcpy(saved, &single[i * 16], 16);
    RijndaelCbcBlock(aes, step, &single[i * 16]);
    std::memcpy(step, saved, 16);
  }
  Require(many == single && std::memcmp(chain, step, 16) == 0, "RijndaelCbcBlocks differs from its steps");

  uint32_t fast[5] = {1, 2, 3, 4, 5}, slow[5] = {1, 2, 3, 4, 5};
  Sha1Context one;
  Sha1Start(one);
  std::memcpy(one.h, slow, sizeof slow);
  for (size_t i = 0; i < size / 64; ++i) {
    std::memcpy(one.block, body + i * 64, 64);
    Sha1Compress(one);
  }
  Sha1CompressBlocks(fast, body, size / 64);
  Require(std::memcmp(fast, one.h, sizeof fast) == 0, "Sha1CompressBlocks differs from Sha1Compress");

  uint8_t ours[20], theirs[20];
  Sha1OfBuffer(ours, body, int32_t(size));
  unsigned length = 0;
  Require(EVP_Digest(body, size, theirs, &length, EVP_sha1(), nullptr) == 1 && length == 20, "OpenSSL SHA-1 failed");
  Require(std::memcmp(ours, theirs, 20) == 0, "SHA-1 other than OpenSSL's");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kKeyBytes = 40;
  if (size < 1 + kKeyBytes) return 0;
  const Routine routine = Routine(data[0] % kRoutines);
  const uint8_t selector = uint8_t(data[0] / kRoutines % 6);  // the five ciphers and one unknown
  const int32_t keySize = 1 + data[1] % kKeyBytes;
  const uint8_t* key = data + 1;
  const uint8_t* body = data + 1 + kKeyBytes;
  const size_t bodySize = size - 1 - kKeyBytes;

  const uint32_t all = CpuFeatures();
  const Result fast = Run(routine, key, keySize, selector, body, bodySize, false);
  LimitCpuFeatures(0);
  const Result portable = Run(routine, key, keySize, selector, body, bodySize, false);
  LimitCpuFeatures(all);
  Require(fast.status.kind == portable.status.kind && std::strcmp(fast.status.message, portable.status.message) == 0,
          "the fast and portable paths return different statuses");
  Require(fast.bytes == portable.bytes, "the fast and portable paths decrypt to different bytes");

  if (routine == kRijndael16 || routine == kRijndael32)
    CheckAgainstOpenSsl(key, routine == kRijndael16 ? 16 : 32, body, bodySize, fast);
  if (routine == kRijndael32) CheckManyBlocks(key, body, bodySize);

  // Encrypting the body as plaintext and decrypting the result gives it back.
  if (routine != kArchiveBody) {
    const Result sealed = Run(routine, key, keySize, selector, body, bodySize, true);
    Require(sealed.status.Ok(), "encryption failed");
    const Result opened = Run(routine, key, keySize, selector, sealed.bytes.data(), sealed.bytes.size(), false);
    Require(opened.status.Ok() && opened.bytes == std::vector<uint8_t>(body, body + bodySize),
            "a round trip changed the bytes");
  }
  return 0;
}
