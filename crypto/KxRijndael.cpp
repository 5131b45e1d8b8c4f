// Rijndael with a 128-bit block, exactly FIPS-197 AES for 16-, 24- and 32-byte keys.
// State columns are handled as words with row 0 in the least significant byte.
#include "Bytes.h"
#include "KxCipher.h"
#include "KxCpu.h"
#include "KxFast.h"

namespace {

constexpr uint8_t Times2(uint8_t x) { return uint8_t((x << 1) ^ ((x & 0x80) ? 0x1b : 0)); }

constexpr uint8_t Multiply(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  for (; b; b >>= 1, a = Times2(a))
    if (b & 1) product ^= a;
  return product;
}

// Rows of the combined inverse table: four where the build optimises for speed, one (rows 1-3
// are its rotations) in the stub's build for size, which saves 3 KiB.
#if defined(__OPTIMIZE_SIZE__)
constexpr int kInverseRows = 1;
#else
constexpr int kInverseRows = 4;
#endif

struct Tables {
  uint8_t sbox[256];
  uint8_t inverseSbox[256];
  uint32_t forward[4][256];             // SubBytes + MixColumns of one byte, per row
  uint32_t inverseMix[4][256];          // InvMixColumns of one byte, per row
  uint32_t inverse[kInverseRows][256];  // InvSubBytes + InvMixColumns of one byte, per row
  uint8_t rcon[16];
};

constexpr uint32_t Column(uint8_t r0, uint8_t r1, uint8_t r2, uint8_t r3) {
  return uint32_t(r0) | uint32_t(r1) << 8 | uint32_t(r2) << 16 | uint32_t(r3) << 24;
}

constexpr uint32_t RotateColumn(uint32_t w) { return (w << 8) | (w >> 24); }

constexpr Tables MakeTables() {
  Tables t{};
  for (int x = 0; x < 256; ++x) {
    // Multiplicative inverse in GF(2^8) (0 maps to 0), then the affine transformation.
    uint8_t inverse = 0;
    for (int y = 1; y < 256 && x != 0; ++y)
      if (Multiply(uint8_t(x), uint8_t(y)) == 1) inverse = uint8_t(y);
    uint8_t s = inverse;
    for (int k = 1; k <= 4; ++k) s ^= uint8_t((inverse << k) | (inverse >> (8 - k)));
    s ^= 0x63;
    t.sbox[x] = s;
    t.inverseSbox[s] = uint8_t(x);
  }
  for (int x = 0; x < 256; ++x) {
    const uint8_t s = t.sbox[x], b = uint8_t(x);
    t.forward[0][x] = Column(Multiply(s, 2), s, s, Multiply(s, 3));
    t.inverseMix[0][x] = Column(Multiply(b, 14), Multiply(b, 9), Multiply(b, 13), Multiply(b, 11));
    for (int k = 1; k < 4; ++k) {
      t.forward[k][x] = RotateColumn(t.forward[k - 1][x]);
      t.inverseMix[k][x] = RotateColumn(t.inverseMix[k - 1][x]);
    }
  }
  for (int k = 0; k < kInverseRows; ++k)
    for (int x = 0; x < 256; ++x) t.inverse[k][x] = t.inverseMix[k][t.inverseSbox[x]];
  uint8_t r = 1;
  for (int i = 1; i < 16; ++i, r = Times2(r)) t.rcon[i] = r;
  return t;
}

constexpr Tables kTables = MakeTables();

inline uint8_t ByteOf(uint32_t w, int row) { return uint8_t(w >> (8 * row)); }

void LoadState(const uint8_t state[16], uint32_t s[4]) {
  for (int c = 0; c < 4; ++c) s[c] = LoadLe32(state + 4 * c);
}
void StoreState(uint8_t state[16], const uint32_t s[4]) {
  for (int c = 0; c < 4; ++c) StoreLe32(state + 4 * c, s[c]);
}

inline uint32_t Rotl(uint32_t w, int n) { return (w << n) | (w >> (32 - n)); }

// InvSubBytes + InvMixColumns of byte `x` in row `row` (1 to 3).
inline uint32_t InverseRow(int row, uint8_t x) {
  if constexpr (kInverseRows == 4) return kTables.inverse[row][x];
  return Rotl(kTables.inverse[0][x], 8 * row);
}

uint32_t InvMixColumn(uint32_t w) {
  return kTables.inverseMix[0][ByteOf(w, 0)] ^ kTables.inverseMix[1][ByteOf(w, 1)] ^
         kTables.inverseMix[2][ByteOf(w, 2)] ^ kTables.inverseMix[3][ByteOf(w, 3)];
}

// The last round of either direction on four column words: row r of column c is the S-box
// `box` of row r of column c + r * step (step 1 is ShiftRows, 3 InvShiftRows), then the key.
inline __attribute__((always_inline)) void FinalRound(const uint8_t box[256], int step, const uint32_t key[4],
                                                      uint32_t s[4]) {
  uint32_t t[4];
  for (int c = 0; c < 4; ++c)
    t[c] = Column(box[ByteOf(s[c], 0)], box[ByteOf(s[(c + step) & 3], 1)],
                  box[ByteOf(s[(c + 2 * step) & 3], 2)], box[ByteOf(s[(c + 3 * step) & 3], 3)]) ^
           key[c];
  for (int c = 0; c < 4; ++c) s[c] = t[c];
}

// The whole cipher on a state of four column words: one table look-up per byte and round.
void EncryptWords(const uint32_t* rk, int32_t rounds, uint32_t s[4]) {
  uint32_t t[4];
  for (int c = 0; c < 4; ++c) s[c] ^= rk[c];
  for (int32_t r = 1; r < rounds; ++r) {
    ZQV_UNROLL(4)
    for (int c = 0; c < 4; ++c)
      t[c] = kTables.forward[0][ByteOf(s[c], 0)] ^ kTables.forward[1][ByteOf(s[(c + 1) & 3], 1)] ^
             kTables.forward[2][ByteOf(s[(c + 2) & 3], 2)] ^ kTables.forward[3][ByteOf(s[(c + 3) & 3], 3)] ^
             rk[4 * r + c];
    ZQV_UNROLL(4)
    for (int c = 0; c < 4; ++c) s[c] = t[c];
  }
  FinalRound(kTables.sbox, 1, rk + 4 * rounds, s);
}

// The equivalent inverse cipher (FIPS-197 5.3.5): `dk` holds the round keys in the order used,
// those of the inner rounds passed through InvMixColumns.
void DecryptWords(const uint32_t* dk, int32_t rounds, uint32_t s[4]) {
  uint32_t t[4];
  for (int c = 0; c < 4; ++c) s[c] ^= dk[c];
  const uint32_t* inv = kTables.inverse[0];
  for (int32_t r = 1; r < rounds; ++r) {
    ZQV_UNROLL(4)
    for (int c = 0; c < 4; ++c)
      t[c] = inv[ByteOf(s[c], 0)] ^ InverseRow(1, ByteOf(s[(c + 3) & 3], 1)) ^
             InverseRow(2, ByteOf(s[(c + 2) & 3], 2)) ^ InverseRow(3, ByteOf(s[(c + 1) & 3], 3)) ^
             dk[4 * r + c];
    ZQV_UNROLL(4)
    for (int c = 0; c < 4; ++c) s[c] = t[c];
  }
  FinalRound(kTables.inverseSbox, 3, dk + 4 * rounds, s);
}

void CbcBlocksPortable(const RijndaelContext& context, uint8_t chain[16], uint8_t* data, size_t blocks) {
  const int32_t nr = context.rounds;
  uint32_t keys[60];  // the schedule as column words; for decryption in the inverse cipher's order
  for (int32_t r = 0; r <= nr; ++r)
    for (int c = 0; c < 4; ++c) {
      const uint32_t w = LoadLe32(context.roundKeys + 16 * (context.encrypt ? r : nr - r) + 4 * c);
      keys[4 * r + c] = context.encrypt || r == 0 || r == nr ? w : InvMixColumn(w);
    }
  uint32_t previous[4], s[4];
  LoadState(chain, previous);
  for (; blocks > 0; --blocks, data += 16) {
    LoadState(data, s);
    if (context.encrypt) {
      for (int c = 0; c < 4; ++c) s[c] ^= previous[c];
      EncryptWords(keys, nr, s);
      for (int c = 0; c < 4; ++c) previous[c] = s[c];
    } else {
      uint32_t in[4];
      for (int c = 0; c < 4; ++c) in[c] = s[c];
      DecryptWords(keys, nr, s);
      for (int c = 0; c < 4; ++c) {
        s[c] ^= previous[c];
        previous[c] = in[c];
      }
    }
    StoreState(data, s);
  }
  StoreState(chain, previous);
  WipeBytes(keys, sizeof keys);
}

}  // namespace

void RijndaelCbcBlocks(const RijndaelContext& context, uint8_t chain[16], uint8_t* data, size_t blocks) {
#if ZQV_X86_FAST_PATHS
  if (CpuFeatures() & kCpuAesNi) {
    if (context.encrypt)
      return RijndaelCbcEncryptAesNi(context.roundKeys, context.rounds, chain, data, blocks);
    return RijndaelCbcDecryptAesNi(context.roundKeys, context.rounds, chain, data, blocks);
  }
#endif
  CbcBlocksPortable(context, chain, data, blocks);
}

void RijndaelInitKey(const uint8_t* key, int32_t keySize, RijndaelContext& context, bool encrypt) {
  FillBytes(&context, 0, sizeof context);
  context.encrypt = encrypt;
  if (keySize < 0) keySize = 0;
  CopyBytes(context.roundKeys, key, static_cast<size_t>(keySize < 240 ? keySize : 240));
  int32_t nk = keySize / 4;
  nk = nk < 4 ? 4 : nk > 8 ? 8 : nk;
  context.rounds = nk + 6;
  uint8_t* w = context.roundKeys;
  for (int32_t i = nk; i < 4 * (context.rounds + 1); ++i) {
    uint8_t temp[4];
    CopyBytes(temp, w + 4 * (i - 1), 4);
    if (i % nk == 0) {
      const uint8_t first = temp[0];
      temp[0] = uint8_t(kTables.sbox[temp[1]] ^ kTables.rcon[i / nk]);
      temp[1] = kTables.sbox[temp[2]];
      temp[2] = kTables.sbox[temp[3]];
      temp[3] = kTables.sbox[first];
    } else if (nk > 6 && i % nk == 4) {
      for (uint8_t& b : temp) b = kTables.sbox[b];
    }
    for (int k = 0; k < 4; ++k) w[4 * i + k] = uint8_t(w[4 * (i - nk) + k] ^ temp[k]);
  }
}

void RijndaelEncryptRound(const uint8_t roundKey[16], uint8_t state[16], bool final) {
  uint32_t s[4], out[4];
  LoadState(state, s);
  for (int c = 0; c < 4; ++c) {
    const uint8_t a0 = ByteOf(s[c], 0), a1 = ByteOf(s[(c + 1) & 3], 1);
    const uint8_t a2 = ByteOf(s[(c + 2) & 3], 2), a3 = ByteOf(s[(c + 3) & 3], 3);
    out[c] = final ? Column(kTables.sbox[a0], kTables.sbox[a1], kTables.sbox[a2], kTables.sbox[a3])
                   : kTables.forward[0][a0] ^ kTables.forward[1][a1] ^ kTables.forward[2][a2] ^
                         kTables.forward[3][a3];
    out[c] ^= LoadLe32(roundKey + 4 * c);
  }
  StoreState(state, out);
}

void RijndaelDecryptRound(const uint8_t roundKey[16], uint8_t state[16], bool final) {
  XorBytes(state, roundKey, 16);
  uint32_t s[4], out[4];
  LoadState(state, s);
  if (!final) {
    for (uint32_t& column : s) {
      column = kTables.inverseMix[0][ByteOf(column, 0)] ^ kTables.inverseMix[1][ByteOf(column, 1)] ^
               kTables.inverseMix[2][ByteOf(column, 2)] ^ kTables.inverseMix[3][ByteOf(column, 3)];
    }
  }
  for (int c = 0; c < 4; ++c) {
    const uint8_t* inv = kTables.inverseSbox;
    out[c] = Column(inv[ByteOf(s[c], 0)], inv[ByteOf(s[(c + 3) & 3], 1)], inv[ByteOf(s[(c + 2) & 3], 2)],
                    inv[ByteOf(s[(c + 1) & 3], 3)]);
  }
  StoreState(state, out);
}

void RijndaelBlock(const RijndaelContext& context, uint8_t block[16]) {
  const uint8_t* rk = context.roundKeys;
  const int32_t nr = context.rounds;
  if (context.encrypt) {
    XorBytes(block, rk, 16);
    for (int32_t r = 1; r < nr; ++r) RijndaelEncryptRound(rk + 16 * r, block, false);
    RijndaelEncryptRound(rk + 16 * nr, block, true);
  } else {
    RijndaelDecryptRound(rk + 16 * nr, block, true);
    for (int32_t r = nr - 1; r >= 1; --r) RijndaelDecryptRound(rk + 16 * r, block, false);
    XorBytes(block, rk, 16);
  }
}

void RijndaelCbcBlock(const RijndaelContext& context, const uint8_t chain[16], uint8_t block[16]) {
  if (context.encrypt) XorBytes(block, chain, 16);
  RijndaelBlock(context, block);
  if (!context.encrypt) XorBytes(block, chain, 16);
}
