// Bitsliced DES and Triple-DES CBC decryption, 256 blocks at a time in AVX2 registers. The
// build compiles this file alone with -mavx2; it runs only where KxCpu found AVX2.
#include "KxFast.h"

#if ZQV_DES_BITSLICE && ZQV_X86_FAST_PATHS && defined(__AVX2__)
#include <immintrin.h>

namespace {

struct O {
  using V = __m256i;
  static constexpr int kLanes64 = 4;
  static constexpr bool kTernary = false;
  static V Load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static void Store(uint8_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
  static V Xor(V a, V b) { return _mm256_xor_si256(a, b); }
  static V And(V a, V b) { return _mm256_and_si256(a, b); }
  static V Or(V a, V b) { return _mm256_or_si256(a, b); }
  static V AndNot(V a, V b) { return _mm256_andnot_si256(a, b); }
  static V Not(V a) { return _mm256_xor_si256(a, _mm256_set1_epi32(-1)); }
  static V Mask32(uint32_t m) { return _mm256_set1_epi32(int(m)); }
  static V Mask64(uint64_t m) { return _mm256_set1_epi64x(int64_t(m)); }
  template <int n> static V ShiftLeft(V a) { return _mm256_slli_epi64(a, n); }
  template <int n> static V ShiftRight(V a) { return _mm256_srli_epi64(a, n); }
  static V ShiftLeftBy(V a, int n) { return _mm256_sll_epi64(a, _mm_cvtsi32_si128(n)); }
  static V ShiftRightBy(V a, int n) { return _mm256_srl_epi64(a, _mm_cvtsi32_si128(n)); }
};

#include "KxDesBitslice.inc"

}  // namespace

size_t DesCbcDecryptAvx2(const DesBitsliceKeys& keys, uint8_t chain[8], uint8_t* data, size_t blocks) {
  return DecryptBatches(keys, chain, data, blocks);
}

#elif ZQV_DES_BITSLICE && ZQV_X86_FAST_PATHS
// Built without the instruction set: no batch is ever taken here.
size_t DesCbcDecryptAvx2(const DesBitsliceKeys&, uint8_t*, uint8_t*, size_t) { return 0; }
#endif
