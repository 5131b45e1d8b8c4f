// Bitsliced DES and Triple-DES CBC decryption, 128 blocks at a time in SSE2 registers. SSE2 is
// baseline on x86-64; the i686 stub compiles this file alone with -msse2, and it runs only where
// KxCpu found SSE2 and the system saves the XMM registers.
#include "KxFast.h"

#if ZQV_DES_BITSLICE && ZQV_X86_FAST_PATHS && defined(__SSE2__)
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
  static V ShiftLeftBy(V a, int n) { return _mm_sll_epi64(a, _mm_cvtsi32_si128(n)); }
  static V ShiftRightBy(V a, int n) { return _mm_srl_epi64(a, _mm_cvtsi32_si128(n)); }
};

#include "KxDesBitslice.inc"

}  // namespace

size_t DesCbcDecryptSse2(const DesBitsliceKeys& keys, uint8_t chain[8], uint8_t* data, size_t blocks) {
  return DecryptBatches(keys, chain, data, blocks);
}

#elif ZQV_DES_BITSLICE && ZQV_X86_FAST_PATHS
// Built without the instruction set: no batch is ever taken here.
size_t DesCbcDecryptSse2(const DesBitsliceKeys&, uint8_t*, uint8_t*, size_t) { return 0; }
#endif
