// SHA-1 exactly as FIPS 180-1 defines it.
#include "Bytes.h"
#include "KxCipher.h"

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

void Sha1Compress(Sha1Context& context) {
  context.buffered = 0;
  uint32_t w[80];
  for (int t = 0; t < 16; ++t) w[t] = LoadBe32(context.block + 4 * t);
  for (int t = 16; t < 80; ++t) w[t] = RotateLeft32(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
  uint32_t a = context.h[0], b = context.h[1], c = context.h[2], d = context.h[3], e = context.h[4];
  for (int t = 0; t < 80; ++t) {
    uint32_t f, k;
    if (t < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (t < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    const uint32_t temp = RotateLeft32(a, 5) + f + e + w[t] + k;
    e = d;
    d = c;
    c = RotateLeft32(b, 30);
    b = a;
    a = temp;
  }
  context.h[0] += a;
  context.h[1] += b;
  context.h[2] += c;
  context.h[3] += d;
  context.h[4] += e;
  WipeBytes(w, sizeof w);
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
  while (left > 0) {
    const uint32_t room = 64 - context.buffered;
    if (left < room) {
      CopyBytes(context.block + context.buffered, in, left);
      context.buffered += left;
      return;
    }
    CopyBytes(context.block + context.buffered, in, room);
    in += room;
    left -= room;
    Sha1Compress(context);
  }
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
