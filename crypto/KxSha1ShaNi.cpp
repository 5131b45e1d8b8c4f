// The SHA-1 compression function with the SHA extensions (SHA1RNDS4, SHA1NEXTE, SHA1MSG1,
// SHA1MSG2; SSSE3 PSHUFB for the byte order, SSE4.1 for the lane extract). Each SHA1RNDS4 does
// four rounds; A, B, C, D live in one register with A in the top lane, E travels with the
// message words.
#include "KxFast.h"

#if ZQV_X86_FAST_PATHS
#include <immintrin.h>

#define ZQV_SHA_TARGET __attribute__((target("sha,ssse3,sse4.1")))

namespace {

// The next four message words W[t..t+3] from the sixteen before them.
ZQV_SHA_TARGET inline __m128i NextWords(__m128i w16, __m128i w12, __m128i w8, __m128i w4) {
  return _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(w16, w12), w8), w4);
}

// Four rounds of group `F` (0: rounds 0-19, 1: 20-39, 2: 40-59, 3: 60-79): `ew` holds the four
// message words with E added to the first; leaves in `ew` the next four words with the next E.
template <int F>
ZQV_SHA_TARGET inline void FourRounds(__m128i& abcd, __m128i& ew, __m128i next) {
  const __m128i before = abcd;
  abcd = _mm_sha1rnds4_epu32(abcd, ew, F);
  ew = _mm_sha1nexte_epu32(before, next);
}

}  // namespace

ZQV_SHA_TARGET void Sha1CompressShaNi(uint32_t h[5], const uint8_t* data, size_t blocks) {
  const __m128i byteSwap = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0x1B);
  __m128i e = _mm_set_epi32(int(h[4]), 0, 0, 0);
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i savedAbcd = abcd, savedE = e;
    __m128i w[20];
    for (int i = 0; i < 4; ++i)
      w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteSwap);
    for (int i = 4; i < 20; ++i) w[i] = NextWords(w[i - 4], w[i - 3], w[i - 2], w[i - 1]);
    __m128i ew = _mm_add_epi32(e, w[0]);
    for (int i = 0; i < 5; ++i) FourRounds<0>(abcd, ew, w[i + 1]);
    for (int i = 5; i < 10; ++i) FourRounds<1>(abcd, ew, w[i + 1]);
    for (int i = 10; i < 15; ++i) FourRounds<2>(abcd, ew, w[i + 1]);
    for (int i = 15; i < 19; ++i) FourRounds<3>(abcd, ew, w[i + 1]);
    // The last group: E of the next block is the rotated A before it, plus the saved E.
    const __m128i before = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, ew, 3);
    e = _mm_sha1nexte_epu32(before, savedE);
    abcd = _mm_add_epi32(abcd, savedAbcd);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_shuffle_epi32(abcd, 0x1B));
  h[4] = uint32_t(_mm_extract_epi32(e, 3));
}

#endif
