// SHA-1 compression for the web page's module, with WebAssembly's 128-bit SIMD (the module is
// built with -msimd128): the block's words byte-swapped by one shuffle per four, the message
// schedule four words at a time, and the eighty rounds written out so that the working
// variables and the schedule stay in the function's locals rather than in linear memory.
#include "KxFast.h"

#if ZQV_SHA1_SIMD128
#include <wasm_simd128.h>

namespace {

// The rounds and the schedule are inlined whatever the compiler's estimate of their size, so that
// the arrays passed by reference become locals of the one function (none is left in linear
// memory, so there is no schedule to wipe).
#define ZQV_INLINE inline __attribute__((always_inline))

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

template <int n> inline v128_t RotlLanes(v128_t x) { return wasm_v128_or(wasm_i32x4_shl(x, n), wasm_u32x4_shr(x, 32 - n)); }

// Four big-endian words of the block.
inline v128_t LoadBe32x4(const uint8_t* p) {
  const v128_t v = wasm_v128_load(p);
  return wasm_i8x16_shuffle(v, v, 3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
}

// W[t..t+3] for 16 <= t < 32, t a multiple of four, from the four vectors before it:
// W[t] = rotl1(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16]). The last lane needs W[t] of the same
// vector; it is computed with that term missing and then given rotl1(W[t]), which rotation
// distributes over the exclusive or.
inline v128_t ScheduleNear(v128_t w16, v128_t w12, v128_t w8, v128_t w4) {
  const v128_t w14 = wasm_i32x4_shuffle(w16, w12, 2, 3, 4, 5);
  const v128_t w3 = wasm_i32x4_shuffle(w4, wasm_i32x4_const(0, 0, 0, 0), 1, 2, 3, 4);
  const v128_t r = RotlLanes<1>(wasm_v128_xor(wasm_v128_xor(w16, w14), wasm_v128_xor(w8, w3)));
  const v128_t fix = wasm_i32x4_shuffle(r, wasm_i32x4_const(0, 0, 0, 0), 4, 4, 4, 0);
  return wasm_v128_xor(r, RotlLanes<1>(fix));
}

// W[t..t+3] for 32 <= t < 80: the recurrence applied to itself gives
// W[t] = rotl2(W[t-6] ^ W[t-16] ^ W[t-28] ^ W[t-32]), whose terms all lie at least a vector back.
inline v128_t ScheduleFar(v128_t w32, v128_t w28, v128_t w16, v128_t w8, v128_t w4) {
  const v128_t w6 = wasm_i32x4_shuffle(w8, w4, 2, 3, 4, 5);
  return RotlLanes<2>(wasm_v128_xor(wasm_v128_xor(w6, w16), wasm_v128_xor(w28, w32)));
}

// The round function of round t.
template <int t> ZQV_INLINE uint32_t F(uint32_t b, uint32_t c, uint32_t d) {
  if constexpr (t < 20) return d ^ (b & (c ^ d));
  else if constexpr (t < 40 || t >= 60) return b ^ c ^ d;
  else return (b & c) | (d & (b | c));
}
// The constant of rounds 20j to 20j + 19.
constexpr uint32_t kRoundConstants[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};

// Rounds t to 79 of a block whose schedule, W[4i..4i+3] in w[i], is made as far as w[t / 4 + 3].
// Each vector is made four vectors (sixteen rounds) before its rounds, so that its work overlaps
// theirs and no more than nine vectors are live. The five working variables are v[0..4]: round
// t finds a in v[-t mod 5], b in the next and so on, so that each round writes two and moves none.
template <int t> ZQV_INLINE void Rounds(uint32_t (&v)[5], v128_t (&w)[20]) {
  if constexpr (t % 4 == 0 && t / 4 + 4 < 8) {
    constexpr int i = t / 4 + 4;
    w[i] = ScheduleNear(w[i - 4], w[i - 3], w[i - 2], w[i - 1]);
  } else if constexpr (t % 4 == 0 && t / 4 + 4 < 20) {
    constexpr int i = t / 4 + 4;
    w[i] = ScheduleFar(w[i - 8], w[i - 7], w[i - 4], w[i - 2], w[i - 1]);
  }
  uint32_t& a = v[(80 - t) % 5];
  uint32_t& b = v[(81 - t) % 5];
  uint32_t& c = v[(82 - t) % 5];
  uint32_t& d = v[(83 - t) % 5];
  uint32_t& e = v[(84 - t) % 5];
  // The terms known early first, a's rotation (a is the last round's result) last.
  e += wasm_i32x4_extract_lane(w[t / 4], t % 4) + kRoundConstants[t / 20] + F<t>(b, c, d);
  e += Rotl(a, 5);
  b = Rotl(b, 30);
  if constexpr (t < 79) Rounds<t + 1>(v, w);
}

}  // namespace

void Sha1CompressSimd128(uint32_t h[5], const uint8_t* data, size_t blocks) {
  for (; blocks > 0; --blocks, data += 64) {
    v128_t w[20];
    w[0] = LoadBe32x4(data);
    w[1] = LoadBe32x4(data + 16);
    w[2] = LoadBe32x4(data + 32);
    w[3] = LoadBe32x4(data + 48);
    uint32_t v[5] = {h[0], h[1], h[2], h[3], h[4]};
    Rounds<0>(v, w);
    for (int i = 0; i < 5; ++i) h[i] += v[i];
  }
}

#endif
