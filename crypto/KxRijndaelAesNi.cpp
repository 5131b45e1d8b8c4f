// Rijndael CBC with AES-NI (AESDEC, AESDECLAST, AESENC, AESENCLAST, AESIMC; SSE2 loads and
// stores). Decryption keeps eight independent blocks in flight, as CBC decryption allows; the
// decryption keys are the equivalent inverse cipher's, made from the encryption schedule.
#include "KxFast.h"

#if ZQV_X86_FAST_PATHS
#include <immintrin.h>

#define ZQV_AES_TARGET __attribute__((target("aes,sse2")))

namespace {

ZQV_AES_TARGET inline __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
ZQV_AES_TARGET inline void Store(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

}  // namespace

ZQV_AES_TARGET void RijndaelCbcDecryptAesNi(const uint8_t* roundKeys, int32_t rounds, uint8_t chain[16],
                                            uint8_t* data, size_t blocks) {
  __m128i key[15];
  key[0] = Load(roundKeys + 16 * rounds);
  for (int32_t r = 1; r < rounds; ++r) key[r] = _mm_aesimc_si128(Load(roundKeys + 16 * (rounds - r)));
  key[rounds] = Load(roundKeys);

  __m128i previous = Load(chain);
  // Only the states live in registers (eight of sixteen on x86-64, four of eight on i386); the
  // ciphertext for the chaining XOR is read again from memory, last block first, before the
  // in-place stores overwrite it.
  constexpr int kLanes = sizeof(void*) == 8 ? 8 : 4;
  for (; blocks >= kLanes; blocks -= kLanes, data += 16 * kLanes) {
    __m128i x[kLanes];
#pragma GCC unroll 8
    for (int i = 0; i < kLanes; ++i) x[i] = _mm_xor_si128(Load(data + 16 * i), key[0]);
    for (int32_t r = 1; r < rounds; ++r) {
      const __m128i k = key[r];
#pragma GCC unroll 8
      for (int i = 0; i < kLanes; ++i) x[i] = _mm_aesdec_si128(x[i], k);
    }
    const __m128i last = key[rounds];
    const __m128i next = Load(data + 16 * (kLanes - 1));
#pragma GCC unroll 8
    for (int i = kLanes - 1; i > 0; --i)
      Store(data + 16 * i, _mm_xor_si128(_mm_aesdeclast_si128(x[i], last), Load(data + 16 * (i - 1))));
    Store(data, _mm_xor_si128(_mm_aesdeclast_si128(x[0], last), previous));
    previous = next;
  }
  for (; blocks > 0; --blocks, data += 16) {
    const __m128i in = Load(data);
    __m128i x = _mm_xor_si128(in, key[0]);
    for (int32_t r = 1; r < rounds; ++r) x = _mm_aesdec_si128(x, key[r]);
    Store(data, _mm_xor_si128(_mm_aesdeclast_si128(x, key[rounds]), previous));
    previous = in;
  }
  Store(chain, previous);
}

ZQV_AES_TARGET void RijndaelCbcEncryptAesNi(const uint8_t* roundKeys, int32_t rounds, uint8_t chain[16],
                                            uint8_t* data, size_t blocks) {
  __m128i key[15];
  for (int32_t r = 0; r <= rounds; ++r) key[r] = Load(roundKeys + 16 * r);
  __m128i x = Load(chain);
  for (; blocks > 0; --blocks, data += 16) {
    x = _mm_xor_si128(x, _mm_xor_si128(Load(data), key[0]));
    for (int32_t r = 1; r < rounds; ++r) x = _mm_aesenc_si128(x, key[r]);
    x = _mm_aesenclast_si128(x, key[rounds]);
    Store(data, x);
  }
  Store(chain, x);
}

#endif
