// SHA-1 exactly as FIPS 180-1 defines it.
#include "Bytes.h"
#include "KxCipher.h"
#include "KxCpu.h"
#include "KxFast.h"

uint32_t SwapBytes32(uint32_t word) {
  return (word >> 24) | ((word >> 8) & 0xff00) | ((word << 8) & 0xff0000) | (word << 24);
}

void Sha1Start(Sha1Context& context) {
  FillBytes(&context, 0, sizeof context);
  context.h[0] = 0x67452301;
  context.h[1] = 0xEFCDAB89;
  context.h[2] = 0x98BADCFE;
  context.h[3] = 0x10325476;
  context.h[4] = 0xC3D2E1F0;
}

namespace {

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// The portable compression: the schedule kept as a ring of sixteen words, the rounds unrolled
// so that the function and constant of each group are fixed.
void CompressPortable(uint32_t h[5], const uint8_t* data, size_t blocks) {
  uint32_t w[16];
  for (; blocks > 0; --blocks, data += 64) {
    for (int t = 0; t < 16; ++t) w[t] = LoadBe32(data + 4 * t);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    auto word = [&w](int t) {
      if (t < 16) return w[t];
      return w[t & 15] = Rotl(w[(t - 3) & 15] ^ w[(t - 8) & 15] ^ w[(t - 14) & 15] ^ w[t & 15], 1);
    };
    auto round = [&](uint32_t f, uint32_t k, uint32_t wt) {
      const uint32_t temp = Rotl(a, 5) + f + e + wt + k;
      e = d;
      d = c;
      c = Rotl(b, 30);
      b = a;
      a = temp;
    };
    ZQV_UNROLL(20)
    for (int t = 0; t < 20; ++t) round(d ^ (b & (c ^ d)), 0x5A827999, word(t));
    ZQV_UNROLL(20)
    for (int t = 20; t < 40; ++t) round(b ^ c ^ d, 0x6ED9EBA1, word(t));
    ZQV_UNROLL(20)
    for (int t = 40; t < 60; ++t) round((b & c) | (d & (b | c)), 0x8F1BBCDC, word(t));
    ZQV_UNROLL(20)
    for (int t = 60; t < 80; ++t) round(b ^ c ^ d, 0xCA62C1D6, word(t));
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
  WipeBytes(w, sizeof w);  // the schedule holds message words; cleared once per call
}

}  // namespace

void Sha1CompressBlocks(uint32_t h[5], const uint8_t* data, size_t blocks) {
#if ZQV_X86_FAST_PATHS
  if (CpuFeatures() & kCpuShaNi) return Sha1CompressShaNi(h, data, blocks);
#endif
#if ZQV_SHA1_SIMD128
  return Sha1CompressSimd128(h, data, blocks);
#endif
  CompressPortable(h, data, blocks);
}

void Sha1Compress(Sha1Context& context) {
  context.buffered = 0;
  Sha1CompressBlocks(context.h, context.block, 1);
  FillBytes(context.block, 0, sizeof context.block);
}

void Sha1Add(Sha1Context& context, const void* data, int32_t length) {
  if (length <= 0) return;
  const uint32_t n = static_cast<uint32_t>(length);
  const uint32_t bits = n << 3;
  context.bitCountLow += bits;
  if (context.bitCountLow < bits) ++context.bitCountHigh;
  context.bitCountHigh += n >> 29;
  const uint8_t* in = static_cast<const uint8_t*>(data);
  uint32_t left = n;
  if (context.buffered > 0) {
    const uint32_t room = 64 - context.buffered;
    const uint32_t take = left < room ? left : room;
    CopyBytes(context.block + context.buffered, in, take);
    context.buffered += take;
    in += take;
    left -= take;
    if (context.buffered < 64) return;
    Sha1Compress(context);
  }
  // Whole blocks straight from the caller's bytes, without a copy.
  if (left >= 64) {
    Sha1CompressBlocks(context.h, in, left / 64);
    in += left & ~63u;
    left &= 63;
  }
  CopyBytes(context.block, in, left);
  context.buffered = left;
}

void Sha1Finish(Sha1Context& context, uint8_t digest[20]) {
  context.block[context.buffered] = 0x80;
  if (context.buffered >= 56) Sha1Compress(context);
  StoreBe32(context.block + 56, context.bitCountHigh);
  StoreBe32(context.block + 60, context.bitCountLow);
  Sha1Compress(context);
  for (int i = 0; i < 5; ++i) StoreBe32(digest + 4 * i, context.h[i]);
  WipeBytes(&context, sizeof context);
}

void Sha1OfBuffer(uint8_t digest[20], const void* data, int32_t length) {
  Sha1Context context;
  Sha1Start(context);
  Sha1Add(context, data, length);
  Sha1Finish(context, digest);
}

void Sha1OfText(uint8_t digest[20], const char* text) {
  int32_t length = 0;
  while (text[length] != 0) ++length;
  Sha1OfBuffer(digest, text, length);
}
