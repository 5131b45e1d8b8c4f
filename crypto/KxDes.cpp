// DES as FIPS 46-3 defines it and two-key Triple-DES (keying option 2, K3 = K1) on top of it.
#include "Bytes.h"
#include "KxCipher.h"
#include "KxCpu.h"
#include "KxFast.h"

namespace {

constexpr uint8_t kPc1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                              10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                              63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                              14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr uint8_t kPc2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,
                              23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
                              41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
                              44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                            2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr uint8_t kSBoxes[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,  0, 15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5,  3,  8,  4,  1,  14, 8,  13, 6, 2, 11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2,  4,  9,  1,  7,  5,  11, 3,  14, 10, 0, 6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10, 3,  13, 4,  7,  15, 2,
     8,  14, 12, 0,  1,  10, 6,  9,  11, 5, 0,  14, 7,  11, 10, 4, 13, 1,  5,  8,  12, 6,
     9,  3,  2,  15, 13, 8,  10, 1,  3,  15, 4, 2,  11, 6,  7,  12, 0, 5,  14, 9},
    {10, 0,  9,  14, 6,  3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,  13, 7, 0,  9, 3,  4,
     6,  10, 2,  8,  5,  14, 12, 11, 15, 1,  13, 6,  4,  9,  8,  15, 3,  0, 11, 1, 2,  12,
     5,  10, 14, 7,  1,  10, 13, 0,  6,  9,  8,  7,  4,  15, 14, 3,  11, 5, 2,  12},
    {7,  13, 14, 3,  0,  6, 9,  10, 1,  2, 8,  5,  11, 12, 4,  15, 13, 8,  11, 5, 6,  15,
     0,  3,  4,  7,  2,  12, 1, 10, 14, 9,  10, 6,  9,  0,  12, 11, 7, 13, 15, 1, 3,  14,
     5,  2,  8,  4,  3,  15, 0,  6,  10, 1, 13, 8,  9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5, 3,  15, 13, 0, 14, 9,  14, 11, 2,  12, 4, 7,
     13, 1,  5,  0,  15, 10, 3,  9,  8,  6, 4,  2,  1,  11, 10, 13, 7, 8,  15, 9,  12, 5,
     6,  3,  0,  14, 11, 8,  12, 7,  1,  14, 2, 13, 6,  15, 0,  9,  10, 4, 5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7, 5,  11, 10, 15, 4,  2,  7,  12,
     9,  5,  6,  1,  13, 14, 0, 11, 3,  8,  9,  14, 15, 5, 2,  8,  12, 3,  7,  0,  4,  10,
     1,  13, 11, 6,  4,  3,  2, 12, 9,  5,  15, 10, 11, 14, 1, 7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0, 8,  13, 3,  12, 9,  7,  5,  10, 6,  1,  13, 0,  11, 7, 4,  9,
     1,  10, 14, 3,  5,  12, 2, 15, 8,  6,  1,  4,  11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0,  5,  9,  2,  6,  11, 13, 8, 1,  4,  10, 7,  9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2,  8,  4,  6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4,  12, 5,  6,  11, 0,  14, 9,  2,  7,  11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3,  5,  8,  2,  1,  14, 7,  4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11}};

// S-box i merged with the permutation P: entry x (the six input bits, first bit highest) is
// the box's four output bits already moved to their P-permuted places, in the rounds' form of a
// half (rotated left by one bit).
struct SpTables {
  uint32_t sp[8][64];
};

constexpr SpTables MakeSpTables() {
  SpTables t{};
  for (int i = 0; i < 8; ++i) {
    for (int x = 0; x < 64; ++x) {
      const int row = ((x >> 4) & 2) | (x & 1), column = (x >> 1) & 15;
      const uint32_t unpermuted = uint32_t(kSBoxes[i][16 * row + column]) << (28 - 4 * i);
      uint32_t out = 0;
      for (int j = 0; j < 32; ++j)
        if (unpermuted >> (32 - kP[j]) & 1) out |= 1u << (31 - j);
      t.sp[i][x] = (out << 1) | (out >> 31);  // the rounds work on halves rotated left by one
    }
  }
  return t;
}

constexpr SpTables kSp = MakeSpTables();

inline uint32_t RoundFunction(uint32_t right, const uint32_t subkey[2]) {
  // The working form of R is rotated left by one bit, so that each S-box's six expanded
  // input bits sit together in one byte of R (or of R rotated right by four).
  const uint32_t odd = ((right << 28) | (right >> 4)) ^ subkey[0];
  const uint32_t even = right ^ subkey[1];
  return kSp.sp[6][odd & 0x3f] | kSp.sp[4][(odd >> 8) & 0x3f] | kSp.sp[2][(odd >> 16) & 0x3f] |
         kSp.sp[0][(odd >> 24) & 0x3f] | kSp.sp[7][even & 0x3f] | kSp.sp[5][(even >> 8) & 0x3f] |
         kSp.sp[3][(even >> 16) & 0x3f] | kSp.sp[1][(even >> 24) & 0x3f];
}

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Swaps the bits of `a` selected by `mask` << shift with the bits of `b` selected by `mask`.
inline void SwapBitGroups(uint32_t& a, uint32_t& b, int shift, uint32_t mask) {
  const uint32_t t = ((a >> shift) ^ b) & mask;
  b ^= t;
  a ^= t << shift;
}

}  // namespace

void DesInitKey(const uint8_t key[8], DesContext& context, bool encrypt) {
  uint64_t k = 0;
  for (int i = 0; i < 8; ++i) k = k << 8 | key[i];
  uint32_t c = 0, d = 0;  // 28 bits each, bit 27 first
  for (int i = 0; i < 28; ++i) {
    c = c << 1 | uint32_t(k >> (64 - kPc1[i]) & 1);
    d = d << 1 | uint32_t(k >> (64 - kPc1[i + 28]) & 1);
  }
  for (int n = 0; n < 16; ++n) {
    for (int s = 0; s < kShifts[n]; ++s) {
      c = ((c << 1) | (c >> 27)) & 0x0fffffff;
      d = ((d << 1) | (d >> 27)) & 0x0fffffff;
    }
    const uint64_t cd = uint64_t(c) << 28 | d;
    uint8_t groups[8] = {};
    for (int j = 0; j < 48; ++j)
      groups[j / 6] = uint8_t(groups[j / 6] << 1 | (cd >> (56 - kPc2[j]) & 1));
    uint32_t* entry = context.subkeys[encrypt ? n : 15 - n];
    entry[0] = uint32_t(groups[0]) << 24 | uint32_t(groups[2]) << 16 | uint32_t(groups[4]) << 8 | groups[6];
    entry[1] = uint32_t(groups[1]) << 24 | uint32_t(groups[3]) << 16 | uint32_t(groups[5]) << 8 | groups[7];
  }
  context.encrypt = encrypt;
}

namespace {

// The block as two big-endian halves, through the initial permutation (masked swaps of bit
// groups), in the rounds' form (each half rotated left by one bit).
inline void InitialPermutation(const uint8_t block[8], uint32_t& left, uint32_t& right) {
  left = LoadBe32(block);
  right = LoadBe32(block + 4);
  SwapBitGroups(left, right, 4, 0x0f0f0f0f);
  SwapBitGroups(left, right, 16, 0x0000ffff);
  SwapBitGroups(right, left, 2, 0x33333333);
  SwapBitGroups(right, left, 8, 0x00ff00ff);
  right = Rotl(right, 1);
  const uint32_t t = (left ^ right) & 0xaaaaaaaa;
  left ^= t;
  right ^= t;
  left = Rotl(left, 1);
}

// The inverse of the initial permutation, applied to the pre-output (R16, L16).
inline void FinalPermutation(uint32_t left, uint32_t right, uint8_t block[8]) {
  right = Rotl(right, 31);
  const uint32_t t = (left ^ right) & 0xaaaaaaaa;
  left ^= t;
  right ^= t;
  left = Rotl(left, 31);
  SwapBitGroups(left, right, 8, 0x00ff00ff);
  SwapBitGroups(left, right, 2, 0x33333333);
  SwapBitGroups(right, left, 16, 0x0000ffff);
  SwapBitGroups(right, left, 4, 0x0f0f0f0f);
  StoreBe32(block, right);
  StoreBe32(block + 4, left);
}

// The sixteen rounds; afterwards (left, right) = (L16, R16).
inline void Rounds(const DesContext& context, uint32_t& left, uint32_t& right) {
  for (int round = 0; round < 16; round += 2) {
    left ^= RoundFunction(right, context.subkeys[round]);
    right ^= RoundFunction(left, context.subkeys[round + 1]);
  }
}

#if ZQV_DES_WIDE_ROUNDS
// The rounds of the many-block routines, in one 64-bit word per half: the high 32 bits hold the
// half in the rounds' form and the low 32 bits the same rotated right by four. XORed with a
// round's two subkey words, each of the word's eight bytes then holds one S-box's six input
// bits in its low bits, so no rotation or mask lies between one round and the next. Entry x of
// table i is S-box i's output through P for the six low bits of x (the two above belong to the
// neighbouring groups), in the same two forms; the eight entries are disjoint in their bits.
struct WideSpTables {
  uint64_t sp[8][256];
};

// A half in the wide form: itself above, rotated right by four below.
constexpr uint64_t Widen(uint32_t half) { return uint64_t(half) << 32 | ((half >> 4) | (half << 28)); }

constexpr WideSpTables MakeWideSpTables() {
  WideSpTables t{};
  for (int i = 0; i < 8; ++i)
    for (int x = 0; x < 256; ++x) t.sp[i][x] = Widen(kSp.sp[i][x & 0x3f]);
  return t;
}

constexpr WideSpTables kWideSp = MakeWideSpTables();

// The value as computed, hidden from the optimizer's reassociation of the expressions using it
// (on x86-64, whose order of loads was measured; a WebAssembly engine schedules for itself).
inline uint64_t Settled(uint64_t value) {
#if defined(__GNUC__) && defined(__x86_64__)
  __asm__("" : "+r"(value));
#endif
  return value;
}

// One round on wide halves: `left` XORed with the round function of `right`. The eight table
// entries are folded into `left` two at a time in the order their indices are ready; a round is
// bound by issuing its eight loads, and this order, kept from the compiler's reassociation,
// measured fastest (a balanced tree of ORs and the compiler's chain of eight both lost 5-10%).
inline uint64_t WideRound(uint64_t left, uint64_t right, const uint32_t subkey[2]) {
  const uint64_t x = right ^ (uint64_t(subkey[1]) << 32 | subkey[0]);
  const uint64_t a = Settled(kWideSp.sp[6][x & 0xff] | kWideSp.sp[4][(x >> 8) & 0xff]);
  const uint64_t b = Settled(kWideSp.sp[2][(x >> 16) & 0xff] | kWideSp.sp[0][(x >> 24) & 0xff]);
  const uint64_t c = Settled(kWideSp.sp[7][(x >> 32) & 0xff] | kWideSp.sp[5][(x >> 40) & 0xff]);
  const uint64_t d = Settled(kWideSp.sp[3][(x >> 48) & 0xff] | kWideSp.sp[1][x >> 56]);
  return Settled(Settled(Settled(left ^ a) ^ b) ^ c) ^ d;
}
#endif

// CBC in the permuted domain: the permutations are linear, so the chaining value is carried
// permuted and the permutations stay off the chain's critical path. `Cipher` is one DES or the
// three of Triple-DES on permuted halves.
template <class Cipher>
void CbcBlocksPermuted(Cipher cipher, bool encrypt, uint8_t chain[8], uint8_t* data, size_t blocks) {
  uint32_t chainLeft, chainRight;
  InitialPermutation(chain, chainLeft, chainRight);
  if (encrypt) {
    for (; blocks > 0; --blocks, data += 8) {
      uint32_t left, right;
      InitialPermutation(data, left, right);
      left ^= chainLeft;
      right ^= chainRight;
      cipher(left, right);
      chainLeft = left;
      chainRight = right;
      FinalPermutation(right, left, data);
    }
  } else {
#if !defined(__OPTIMIZE_SIZE__)  // the stub, built for size, takes one block at a time
    // Two blocks at a time: they are independent, so their rounds overlap in the pipeline.
    for (; blocks >= 2; blocks -= 2, data += 16) {
      uint32_t l0, r0, l1, r1;
      InitialPermutation(data, l0, r0);
      InitialPermutation(data + 8, l1, r1);
      const uint32_t in0Left = l0, in0Right = r0, in1Left = l1, in1Right = r1;
      cipher(l0, r0, l1, r1);
      FinalPermutation(r0 ^ chainRight, l0 ^ chainLeft, data);
      FinalPermutation(r1 ^ in0Right, l1 ^ in0Left, data + 8);
      chainLeft = in1Left;
      chainRight = in1Right;
    }
#endif
    for (; blocks > 0; --blocks, data += 8) {
      uint32_t left, right;
      InitialPermutation(data, left, right);
      const uint32_t inLeft = left, inRight = right;
      cipher(left, right);
      FinalPermutation(right ^ chainRight, left ^ chainLeft, data);
      chainLeft = inLeft;
      chainRight = inRight;
    }
  }
  FinalPermutation(chainRight, chainLeft, chain);
}

}  // namespace

void DesBlock(const DesContext& context, uint8_t block[8]) {
  uint32_t left, right;
  InitialPermutation(block, left, right);
  Rounds(context, left, right);
  FinalPermutation(left, right, block);
}

void DesCbcBlock(const DesContext& context, const uint8_t chain[8], uint8_t block[8]) {
  if (context.encrypt) XorBytes(block, chain, 8);
  DesBlock(context, block);
  if (!context.encrypt) XorBytes(block, chain, 8);
}

void TripleDesInitKey(const uint8_t key[16], TripleDesContext& context, bool encrypt) {
  DesInitKey(key, context.first, encrypt);
  DesInitKey(key + 8, context.second, !encrypt);
}

void TripleDesBlock(const TripleDesContext& context, uint8_t block[8]) {
  DesBlock(context.first, block);
  DesBlock(context.second, block);
  DesBlock(context.first, block);
}

void TripleDesCbcBlock(const TripleDesContext& context, const uint8_t chain[8], uint8_t block[8]) {
  if (context.first.encrypt) XorBytes(block, chain, 8);
  TripleDesBlock(context, block);
  if (!context.first.encrypt) XorBytes(block, chain, 8);
}

namespace {

// The many-block routines' halves: the wide form where it is built, else the rounds' form.
#if ZQV_DES_WIDE_ROUNDS
using Half = uint64_t;
inline Half ToHalf(uint32_t half) { return Widen(half); }
inline uint32_t FromHalf(Half half) { return uint32_t(half >> 32); }
inline Half Round(Half left, Half right, const uint32_t subkey[2]) { return WideRound(left, right, subkey); }
#else
using Half = uint32_t;
inline Half ToHalf(uint32_t half) { return half; }
inline uint32_t FromHalf(Half half) { return half; }
inline Half Round(Half left, Half right, const uint32_t subkey[2]) { return left ^ RoundFunction(right, subkey); }
#endif

// One DES in the permuted domain, on one block or two interleaved: the final permutation of one
// DES followed by the initial permutation of the next cancel, leaving the halves exchanged.
inline void HalfDes(const DesContext& c, Half& l, Half& r) {
  ZQV_UNROLL(8)
  for (int round = 0; round < 16; round += 2) {
    l = Round(l, r, c.subkeys[round]);
    r = Round(r, l, c.subkeys[round + 1]);
  }
  const Half t = l;
  l = r;
  r = t;
}

inline void HalfDes(const DesContext& c, Half& l0, Half& r0, Half& l1, Half& r1) {
  for (int round = 0; round < 16; round += 2) {
    l0 = Round(l0, r0, c.subkeys[round]);
    l1 = Round(l1, r1, c.subkeys[round]);
    r0 = Round(r0, l0, c.subkeys[round + 1]);
    r1 = Round(r1, l1, c.subkeys[round + 1]);
  }
  Half t = l0;
  l0 = r0;
  r0 = t;
  t = l1;
  l1 = r1;
  r1 = t;
}

// `Passes` DES contexts applied in turn, on halves in the rounds' form.
template <int Passes>
struct DesPasses {
  const DesContext* c[Passes];
  void operator()(uint32_t& l, uint32_t& r) const {
    Half hl = ToHalf(l), hr = ToHalf(r);
    for (int p = 0; p < Passes; ++p) HalfDes(*c[p], hl, hr);
    l = FromHalf(hl);
    r = FromHalf(hr);
  }
  void operator()(uint32_t& l0, uint32_t& r0, uint32_t& l1, uint32_t& r1) const {
    Half hl0 = ToHalf(l0), hr0 = ToHalf(r0), hl1 = ToHalf(l1), hr1 = ToHalf(r1);
    for (int p = 0; p < Passes; ++p) HalfDes(*c[p], hl0, hr0, hl1, hr1);
    l0 = FromHalf(hl0);
    r0 = FromHalf(hr0);
    l1 = FromHalf(hl1);
    r1 = FromHalf(hr1);
  }
};

#if ZQV_DES_BITSLICE
// Decryption of whole batches in bitsliced form, the widest batches first, as far as `features`
// allow; returns the blocks done.
size_t DecryptWidths(const DesBitsliceKeys& keys, uint32_t features, uint8_t chain[8], uint8_t* data,
                     size_t blocks) {
  size_t done = 0;
#if defined(__wasm_simd128__)
  if (features & kCpuSimd128) done += DesCbcDecryptSimd128(keys, chain, data, blocks);
#else
#if ZQV_DES_BITSLICE_AVX512
  if (features & kCpuAvx512) done += DesCbcDecryptAvx512(keys, chain, data, blocks);
#endif
  if (features & kCpuAvx2) done += DesCbcDecryptAvx2(keys, chain, data + 8 * done, blocks - done);
  if (features & kCpuSse2) done += DesCbcDecryptSse2(keys, chain, data + 8 * done, blocks - done);
#endif
  return done;
}

#if ZQV_DES_SHARED_RUNS
// A long run shared by the caller and the helper thread, in pieces that each takes in turn from
// a common counter: where the system gives one of them less time (the hashing and writing
// threads share the cores), the other takes more pieces, rather than waiting at a fixed half.
// Each piece starts from its own copy of the ciphertext block before it, since the piece before
// may overwrite that block first. Pieces are whole numbers of the widest batch (512 blocks), at
// least 32 KiB (the last one waited for is short; a piece is many batches) and at most 64.
struct SharedRun {
  static constexpr size_t kMinPieceBlocks = 4096;
  static constexpr int kMaxPieces = 64;
  const DesBitsliceKeys* keys;
  uint32_t features;
  uint8_t* data;
  size_t blocks;
  size_t pieceBlocks;
  int pieces;
  int next;         // the next piece to take, by __atomic operations
  size_t lastDone;  // blocks the last piece decrypted (the others do all of theirs)
  uint8_t chains[kMaxPieces][8];

  ZQV_TAKES_PIECES void TakePieces() {
    for (;;) {
      const int i = __atomic_fetch_add(&next, 1, __ATOMIC_RELAXED);
      if (i >= pieces) return;
      const size_t start = size_t(i) * pieceBlocks;
      const size_t count = i + 1 < pieces ? pieceBlocks : blocks - start;
      const size_t done = DecryptWidths(*keys, features, chains[i], data + 8 * start, count);
      if (i + 1 == pieces) lastDone = done;
    }
  }
  static void Run(void* argument) { static_cast<SharedRun*>(argument)->TakePieces(); }
};

// A run this long (64 KiB per thread) is worth sharing with the helper thread.
constexpr size_t kSplitBlocks = 2 * 8192;

// Decrypts whole batches of `blocks` with the helper's help and sets `blocks` to those done;
// false, with nothing done, when the helper could not start.
bool DecryptShared(const HelperThread& helper, const DesBitsliceKeys& keys, uint32_t features, uint8_t chain[8],
                   uint8_t* data, size_t& blocks) {
  SharedRun run{&keys, features, data, blocks, 0, 0, 0, 0, {}};
  const size_t perPiece = (blocks + SharedRun::kMaxPieces - 1) / SharedRun::kMaxPieces;
  run.pieceBlocks = perPiece <= SharedRun::kMinPieceBlocks ? SharedRun::kMinPieceBlocks : (perPiece + 511) / 512 * 512;
  run.pieces = int((blocks + run.pieceBlocks - 1) / run.pieceBlocks);
  CopyBytes(run.chains[0], chain, 8);
  for (int i = 1; i < run.pieces; ++i) CopyBytes(run.chains[i], data + 8 * (size_t(i) * run.pieceBlocks) - 8, 8);
  const bool started = helper.start(SharedRun::Run, &run);
  if (started) {
    run.TakePieces();
    helper.wait();
    CopyBytes(chain, run.chains[run.pieces - 1], 8);
    blocks = size_t(run.pieces - 1) * run.pieceBlocks + run.lastDone;
  }
  WipeBytes(run.chains, sizeof run.chains);
  return started;
}
#endif

// Decryption of whole batches in bitsliced form, as far as the CPU allows (KxCpu.h), split with
// the helper thread where one is lent and the run is long; `passes` are the DES contexts in
// order. Returns the blocks done; the rest, fewer than the narrowest batch, is left to the
// block-at-a-time code.
size_t DecryptBitsliced(const DesContext* const* passes, int32_t count, uint8_t chain[8], uint8_t* data,
                        size_t blocks) {
  const uint32_t features = CpuFeatures();
  if (!(features & (kCpuSse2 | kCpuAvx2 | kCpuAvx512 | kCpuSimd128)) || blocks < 128) return 0;
  DesBitsliceKeys keys;
  keys.passes = count;
  for (int32_t p = 0; p < count; ++p)
    for (int round = 0; round < 16; ++round)
      for (int j = 0; j < 8; ++j) {
        // Group j of the subkey: word j & 1, the byte (j >> 1) from the top, six bits first-high.
        const uint32_t group = passes[p]->subkeys[round][j & 1] >> (24 - 8 * (j >> 1));
        for (int m = 0; m < 6; ++m) keys.masks[p][round][6 * j + m] = 0u - (group >> (5 - m) & 1);
      }
  size_t done = blocks;
#if ZQV_DES_SHARED_RUNS
  const HelperThread* helper = GetHelperThread();
  if (helper == nullptr || blocks < kSplitBlocks || !DecryptShared(*helper, keys, features, chain, data, done))
#endif
    done = DecryptWidths(keys, features, chain, data, blocks);
  WipeBytes(&keys, sizeof keys);
  return done;
}
#endif

}  // namespace

void DesCbcBlocks(const DesContext& context, uint8_t chain[8], uint8_t* data, size_t blocks) {
#if ZQV_DES_BITSLICE
  if (!context.encrypt) {
    const DesContext* const passes[1] = {&context};
    const size_t done = DecryptBitsliced(passes, 1, chain, data, blocks);
    data += 8 * done;
    blocks -= done;
  }
#endif
  CbcBlocksPermuted(DesPasses<1>{{&context}}, context.encrypt, chain, data, blocks);
}

void TripleDesCbcBlocks(const TripleDesContext& context, uint8_t chain[8], uint8_t* data, size_t blocks) {
#if ZQV_DES_BITSLICE
  if (!context.first.encrypt) {
    const DesContext* const passes[3] = {&context.first, &context.second, &context.first};
    const size_t done = DecryptBitsliced(passes, 3, chain, data, blocks);
    data += 8 * done;
    blocks -= done;
  }
#endif
  CbcBlocksPermuted(DesPasses<3>{{&context.first, &context.second, &context.first}}, context.first.encrypt, chain, data, blocks);
}
