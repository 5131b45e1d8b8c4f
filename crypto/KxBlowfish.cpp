// Blowfish in the archive format's own form (see KxCipher.h for how it differs).
#include "Bytes.h"
#include "KxCipher.h"
#include "PiDigits.h"

namespace {

inline uint32_t F(const BlowfishContext& c, uint32_t x) {
  return ((c.s[0][x >> 24] + c.s[1][(x >> 16) & 255]) ^ c.s[2][(x >> 8) & 255]) + c.s[3][x & 255];
}

// The transform on two words. F reads the copies taken at entry, never the running halves.
void BlowfishWords(const BlowfishContext& c, uint32_t& l, uint32_t& r, bool encrypt) {
  const uint32_t fl = F(c, l), fr = F(c, r);
  if (encrypt) {
    l ^= c.p[0];
    for (int i = 1; i <= 15; i += 2) {
      r ^= c.p[i] ^ fl;
      l ^= c.p[i + 1] ^ fr;
    }
    r ^= c.p[17];
  } else {
    r ^= c.p[17];
    for (int i = 16; i >= 2; i -= 2) {
      l ^= c.p[i] ^ fr;
      r ^= c.p[i - 1] ^ fl;
    }
    l ^= c.p[0];
  }
}

}  // namespace

void BlowfishInitKey(const uint8_t key[16], BlowfishContext& context) {
  CopyBytes(context.p, kPiDigits, sizeof context.p);
  CopyBytes(context.s, kPiDigits + 18, sizeof context.s);
  int j = 0;
  for (int i = 0; i < 18; ++i) {
    uint32_t word = 0;
    for (int k = 0; k < 4; ++k) {
      word = word << 8 | key[j];
      j = (j + 1) & 15;
    }
    context.p[i] ^= word;
  }
  uint32_t l = 0, r = 0;
  for (int i = 0; i < 18; i += 2) {
    BlowfishWords(context, l, r, true);
    context.p[i] = l;
    context.p[i + 1] = r;
  }
  for (auto& box : context.s) {
    for (int k = 0; k < 256; k += 2) {
      BlowfishWords(context, l, r, true);
      box[k] = l;
      box[k + 1] = r;
    }
  }
}

void BlowfishBlock(const BlowfishContext& context, uint8_t block[8], bool encrypt) {
  uint32_t l = LoadLe32(block), r = LoadLe32(block + 4);
  BlowfishWords(context, l, r, encrypt);
  StoreLe32(block, l);
  StoreLe32(block + 4, r);
}

void BlowfishCbcBlock(const BlowfishContext& context, const uint8_t chain[8], uint8_t block[8],
                      bool encrypt) {
  if (encrypt) XorBytes(block, chain, 8);
  BlowfishBlock(context, block, encrypt);
  if (!encrypt) XorBytes(block, chain, 8);
}

void BlowfishCbcBlocks(const BlowfishContext& context, uint8_t chain[8], uint8_t* data, size_t blocks,
                       bool encrypt) {
  // The transform is the block XOR two masks (F's terms cancel in pairs), so the masks are what
  // it makes of a zero block, found once; each block then costs two XORs besides the chaining.
  uint32_t maskLeft = 0, maskRight = 0;
  BlowfishWords(context, maskLeft, maskRight, encrypt);
  uint32_t chainLeft = LoadLe32(chain), chainRight = LoadLe32(chain + 4);
  for (; blocks > 0; --blocks, data += 8) {
    const uint32_t left = LoadLe32(data), right = LoadLe32(data + 4);
    uint32_t outLeft = left ^ maskLeft ^ chainLeft, outRight = right ^ maskRight ^ chainRight;
    StoreLe32(data, outLeft);
    StoreLe32(data + 4, outRight);
    if (!encrypt) outLeft = left, outRight = right;
    chainLeft = outLeft;
    chainRight = outRight;
  }
  StoreLe32(chain, chainLeft);
  StoreLe32(chain + 4, chainRight);
}
