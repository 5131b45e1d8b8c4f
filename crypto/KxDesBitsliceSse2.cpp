// Bitsliced DES and Triple-DES CBC decryption, 128 blocks at a time in SSE2 registers.
#include "KxFast.h"

#if ZQV_DES_BITSLICE && ZQV_X86_FAST_PATHS
#include <immintrin.h>

namespace {

struct O {
  using V = __m128i;
  static constexpr int kLanes64 = 2;
  static constexpr bool kTernary = false;
  static V Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static void Store(uint8_t* p, V v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
  static V Xor(V a, V b) { return _mm_xor_si128(a, b); }
  static V And(V a, V b) { return _mm_and_si128(a, b); }
  static V Or(V a, V b) { return _mm_or_si128(a, b); }
  static V AndNot(V a, V b) { return _mm_andnot_si128(a, b); }
  static V Not(V a) { return _mm_xor_si128(a, _mm_set1_epi32(-1)); }
  static V Mask32(uint32_t m) { return _mm_set1_epi32(int(m)); }
  static V Mask64(uint64_t m) { return _mm_set1_epi64x(int64_t(m)); }
  template <int n> static V ShiftLeft(V a) { return _mm_slli_epi64(a, n); }
  template <int n> static V ShiftRight(V a) { return _mm_srli_epi64(a, n); }
};

#include "KxDesBitslice.inc"

}  // namespace

size_t DesCbcDecryptSse2(const DesBitsliceKeys& keys, uint8_t chain[8], uint8_t* data, size_t blocks) {
  return DecryptBatches(keys, chain, data, blocks);
}

#endif
