// Bitsliced DES and Triple-DES CBC decryption for the web page's module, 128 blocks at a time in
// WebAssembly's 128-bit SIMD registers (the module is built with -msimd128).
#include "KxFast.h"

#if ZQV_DES_BITSLICE && defined(__wasm_simd128__)
#include <wasm_simd128.h>

namespace {

struct O {
  using V = v128_t;
  static constexpr int kLanes64 = 2;
  static constexpr bool kTernary = false;
  static V Load(const uint8_t* p) { return wasm_v128_load(p); }
  static void Store(uint8_t* p, V v) { wasm_v128_store(p, v); }
  static V Xor(V a, V b) { return wasm_v128_xor(a, b); }
  static V And(V a, V b) { return wasm_v128_and(a, b); }
  static V Or(V a, V b) { return wasm_v128_or(a, b); }
  static V AndNot(V a, V b) { return wasm_v128_andnot(b, a); }  // WebAssembly's is a & ~b
  static V Not(V a) { return wasm_v128_not(a); }
  static V Mask32(uint32_t m) { return wasm_i32x4_splat(int32_t(m)); }
  static V Mask64(uint64_t m) { return wasm_i64x2_splat(int64_t(m)); }
  template <int n> static V ShiftLeft(V a) { return wasm_i64x2_shl(a, n); }
  template <int n> static V ShiftRight(V a) { return wasm_u64x2_shr(a, n); }
};

#include "KxDesBitslice.inc"

}  // namespace

size_t DesCbcDecryptSimd128(const DesBitsliceKeys& keys, uint8_t chain[8], uint8_t* data, size_t blocks) {
  return DecryptBatches(keys, chain, data, blocks);
}

#endif
