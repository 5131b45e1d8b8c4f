// XorBytes, RotateLeft32, the MXC block cipher and the RDG digest that derives every key.
#include "KxCipher.h"

#include "Bytes.h"
#include "PiDigits.h"

void XorBytes(void* mem1, const void* mem2, int32_t count) {
  uint8_t* a = static_cast<uint8_t*>(mem1);
  const uint8_t* b = static_cast<const uint8_t*>(mem2);
  int32_t i = 0;
  for (; i + 4 <= count; i += 4) {
    uint32_t x, y;
    CopyBytes(&x, a + i, 4);
    CopyBytes(&y, b + i, 4);
    x ^= y;
    CopyBytes(a + i, &x, 4);
  }
  for (; i < count; ++i) a[i] ^= b[i];
}

uint32_t RotateLeft32(uint32_t value, uint8_t count) {
  count &= 31;
  return count == 0 ? value : (value << count) | (value >> (32 - count));
}

namespace {

// The four-word mix of MXC rounds and the RDG key block. Step 7 XORs CC with DD >> 15, not
// CC >> 15: every key of every archive depends on that form.
inline void MxcMix(uint32_t& aa, uint32_t& bb, uint32_t& cc, uint32_t& dd) {
  aa += dd; dd += aa; aa ^= aa >> 7;
  bb += aa; aa += bb; bb ^= bb << 13;
  cc += bb; bb += cc; cc ^= cc >> 17;
  dd += cc; cc += dd; dd ^= dd << 9;
  aa += dd; dd += aa; aa ^= aa >> 3;
  bb += aa; aa += bb; bb ^= bb << 7;
  cc += bb; bb += cc; cc ^= dd >> 15;
  dd += cc; cc += dd; dd ^= dd << 11;
}

// The eight-word mix of the ISAAC generator's seeding, used by the MXC key schedule.
inline void MxcKeyMix(uint32_t w[8]) {
  uint32_t& a = w[0]; uint32_t& b = w[1]; uint32_t& c = w[2]; uint32_t& d = w[3];
  uint32_t& e = w[4]; uint32_t& f = w[5]; uint32_t& g = w[6]; uint32_t& h = w[7];
  a ^= b << 11; d += a; b += c;
  b ^= c >> 2;  e += b; c += d;
  c ^= d << 8;  f += c; d += e;
  d ^= e >> 16; g += d; e += f;
  e ^= f << 10; h += e; f += g;
  f ^= g >> 4;  a += f; g += h;
  g ^= h << 8;  b += g; h += a;
  h ^= a >> 9;  c += h; a += b;
}

constexpr uint32_t kMxcGroupConstants[4] = {0x55555555, 0xAAAAAAAA, 0x33333333, 0xCCCCCCCC};

}  // namespace

void MxcInitKey(const uint8_t key[16], MxcContext& context, int32_t rounds, bool encrypt) {
  context.encrypt = encrypt;
  context.rounds = rounds < 4 ? 4 : rounds > 16 ? 16 : rounds;
  for (int group = 0; group < 4; ++group) {
    const uint32_t c = kMxcGroupConstants[group];
    uint32_t w[8] = {LoadLe32(key), c, LoadLe32(key + 4), c, LoadLe32(key + 8), c, LoadLe32(key + 12), c};
    for (int i = 0; i < 8; ++i) MxcKeyMix(w);
    for (int pair = 0; pair < 4; ++pair) {
      context.subkeys[4 * group + pair][0] = w[2 * pair];
      context.subkeys[4 * group + pair][1] = w[2 * pair + 1];
    }
  }
  if (!encrypt) {
    const int32_t n = context.rounds;
    for (int32_t i = 0; i < n / 2; ++i) {
      for (int k = 0; k < 2; ++k) {
        const uint32_t t = context.subkeys[i][k];
        context.subkeys[i][k] = context.subkeys[n - 1 - i][k];
        context.subkeys[n - 1 - i][k] = t;
      }
    }
  }
}

void MxcBlock(const MxcContext& context, uint8_t block[16]) {
  // The first 8 bytes are the right half.
  uint32_t r0 = LoadLe32(block), r1 = LoadLe32(block + 4);
  uint32_t l0 = LoadLe32(block + 8), l1 = LoadLe32(block + 12);
  for (int32_t r = 0; r < context.rounds; ++r) {
    uint32_t aa = r0, bb = context.subkeys[r][0], cc = r1, dd = context.subkeys[r][1];
    MxcMix(aa, bb, cc, dd);
    MxcMix(cc, dd, aa, bb);  // the second mix runs with AA/CC and BB/DD exchanged
    const uint32_t n0 = l0 ^ cc ^ dd, n1 = l1 ^ aa ^ bb;
    l0 = r0;
    l1 = r1;
    r0 = n0;
    r1 = n1;
  }
  // The halves leave in the order left, right; the last exchange is not undone.
  StoreLe32(block, l0);
  StoreLe32(block + 4, l1);
  StoreLe32(block + 8, r0);
  StoreLe32(block + 12, r1);
}

// ---- RDG ----

namespace {

constexpr uint8_t kRdgFinalPad[8] = {1, 0, 0, 0, 0, 0, 0, 0};

void RdgMixKey(uint8_t key[16]) {
  uint32_t aa = LoadLe32(key + 12), bb = LoadLe32(key + 8), cc = LoadLe32(key + 4), dd = LoadLe32(key);
  for (int i = 0; i < 4; ++i) MxcMix(aa, bb, cc, dd);
  // The words go back in the opposite order from the one they came out in.
  StoreLe32(key, aa);
  StoreLe32(key + 4, bb);
  StoreLe32(key + 8, cc);
  StoreLe32(key + 12, dd);
}

}  // namespace

void RdgStart(RdgContext& context) {
  context.digestIndex = 0;
  for (int i = 0; i < 64; ++i) StoreBe32(context.digest + 4 * i, kPiDigits[i]);
  context.keyIndex = 0;
  FillBytes(context.key, 0x55, sizeof context.key);
}

void RdgAdd(RdgContext& context, const void* buffer, int32_t length) {
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  for (int32_t i = 0; i < length; ++i) {
    context.digest[context.digestIndex] ^= in[i];
    context.digestIndex = (context.digestIndex + 1) & 255;
    context.key[context.keyIndex] ^= in[i];
    if (++context.keyIndex == 8) {
      RdgMixKey(context.key);
      context.keyIndex = 0;
    }
  }
}

void RdgFinish(RdgContext& context, uint8_t* digest, int32_t size) {
  RdgAdd(context, kRdgFinalPad, 8 - context.keyIndex);
  MxcContext mxc;
  MxcInitKey(context.key, mxc, 8, true);
  const int32_t n = size < 0 ? 0 : size > kRdgMaxDigest ? kRdgMaxDigest : size;
  // The blocks are enciphered without chaining, so only those the digest reaches are needed.
  for (int32_t offset = 0; offset < n; offset += 16) MxcBlock(mxc, context.digest + offset);
  CopyBytes(digest, context.digest, static_cast<size_t>(n));
  WipeBytes(&mxc, sizeof mxc);
  WipeBytes(&context, sizeof context);
}

void RdgOfBuffer(uint8_t* digest, int32_t size, const void* buffer, int32_t length) {
  RdgContext context;
  RdgStart(context);
  RdgAdd(context, buffer, length);
  RdgFinish(context, digest, size);
}

void RdgOfText(uint8_t* key, int32_t size, const char* password) {
  int32_t length = 0;
  while (password[length] != 0) ++length;
  RdgOfBuffer(key, size, password, length);
}
