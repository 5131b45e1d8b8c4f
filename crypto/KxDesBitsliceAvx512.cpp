// Bitsliced DES and Triple-DES CBC decryption, 512 blocks at a time in AVX-512 registers, the
// S-boxes in three-input VPTERNLOG gates. The build compiles this file alone with -mavx512f; it
// runs only where KxCpu found AVX-512 (F, BW, VL) and a system that saves its registers.
#include "KxFast.h"

#if ZQV_DES_BITSLICE_AVX512 && defined(__AVX512F__)
#include <immintrin.h>

namespace {

struct O {
  using V = __m512i;
  static constexpr int kLanes64 = 8;
  static constexpr bool kTernary = true;
  static V Load(const uint8_t* p) { return _mm512_loadu_si512(p); }
  static void Store(uint8_t* p, V v) { _mm512_storeu_si512(p, v); }
  static V Xor(V a, V b) { return _mm512_xor_si512(a, b); }
  static V And(V a, V b) { return _mm512_and_si512(a, b); }
  static V Or(V a, V b) { return _mm512_or_si512(a, b); }
  static V AndNot(V a, V b) { return _mm512_andnot_si512(a, b); }
  static V Not(V a) { return _mm512_ternarylogic_epi64(a, a, a, 0x55); }
  static V Mask32(uint32_t m) { return _mm512_set1_epi32(int(m)); }
  static V Mask64(uint64_t m) { return _mm512_set1_epi64(int64_t(m)); }
  // The masked forms with every lane selected: GCC's plain ones pass an undefined source that
  // its own uninitialised-use warning reports.
  template <int n> static V ShiftLeft(V a) { return _mm512_mask_slli_epi64(a, 0xff, a, n); }
  template <int n> static V ShiftRight(V a) { return _mm512_mask_srli_epi64(a, 0xff, a, n); }
  template <int imm> static V Tern(V a, V b, V c) { return _mm512_ternarylogic_epi64(a, b, c, imm); }
};

#include "KxDesBitslice.inc"

}  // namespace

size_t DesCbcDecryptAvx512(const DesBitsliceKeys& keys, uint8_t chain[8], uint8_t* data, size_t blocks) {
  return DecryptBatches(keys, chain, data, blocks);
}

#elif ZQV_DES_BITSLICE_AVX512
// Built without the instruction set: no batch is ever taken here.
size_t DesCbcDecryptAvx512(const DesBitsliceKeys&, uint8_t*, uint8_t*, size_t) { return 0; }
#endif
