// The block ciphers, the RDG key derivation and the SHA-1 primitives of the archive format.
//
// Every cipher follows one pattern: an InitKey operation fills a caller-owned context, a Block
// operation transforms one block in place, and a CbcBlock operation (context, chaining bytes,
// block) performs one CBC step in place without changing the chaining bytes. Nothing here
// allocates, fails or reads global state; out-of-range arguments are clamped silently.
// All multi-byte values are read and written with an explicit byte order, on any host.
#pragma once

#include <stddef.h>
#include <stdint.h>

// ---- Shared helpers ------------------------------------------------------------------------

// mem1 := mem1 xor mem2 over `count` bytes (nothing when count <= 0). The areas may be unaligned.
void XorBytes(void* mem1, const void* mem2, int32_t count);

// `value` rotated left by (count mod 32) bits.
uint32_t RotateLeft32(uint32_t value, uint8_t count);

// ---- MXC: 16-byte blocks, 16-byte key, 4 to 16 Feistel rounds --------------------------------

struct MxcContext {
  bool encrypt;            // keyed for encryption; the block operation does not read it
  int32_t rounds;          // 4 .. 16
  uint32_t subkeys[16][2]; // pair r is used in round r; decryption reverses pairs 0 .. rounds-1
};

// Keys `context` with the 16-byte `key`; `rounds` is clamped to 4 .. 16.
void MxcInitKey(const uint8_t key[16], MxcContext& context, int32_t rounds, bool encrypt);
// Enciphers (or, keyed with encrypt false, deciphers) one 16-byte block in place.
void MxcBlock(const MxcContext& context, uint8_t block[16]);

// ---- RDG digest and key generation ---------------------------------------------------------

struct RdgContext {
  int32_t digestIndex;     // 0 .. 255: where the next input byte lands in `digest`
  uint8_t digest[256];     // absorbs every input byte; MXC-encrypted at the end
  int32_t keyIndex;        // 0 .. 7: where the next input byte lands in `key`
  uint8_t key[16];         // the finalization key; mixed after every 8 input bytes
};

inline constexpr int32_t kRdgMaxDigest = 256;

void RdgStart(RdgContext& context);
// Absorbs `length` bytes (nothing when length <= 0).
void RdgAdd(RdgContext& context, const void* buffer, int32_t length);
// Writes min(256, size) digest bytes (nothing when size <= 0); the context is spent afterwards.
void RdgFinish(RdgContext& context, uint8_t* digest, int32_t size);
void RdgOfBuffer(uint8_t* digest, int32_t size, const void* buffer, int32_t length);
// Key generation: the RDG digest of the password's bytes up to its terminating zero.
// The 8-, 16- and 32-byte keys of one password are prefixes of one another.
void RdgOfText(uint8_t* key, int32_t size, const char* password);

// ---- DES (FIPS 46-3) and two-key Triple-DES ------------------------------------------------

struct DesContext {
  uint32_t subkeys[16][2]; // in round order; each holds the eight 6-bit groups of a subkey:
                           // first word groups 1,3,5,7 from the top byte, second 2,4,6,8
  bool encrypt;
};

struct TripleDesContext {
  DesContext first;        // K1, in the direction of the whole
  DesContext second;       // K2, in the opposite direction
};

// The low (parity) bit of every key byte is ignored.
void DesInitKey(const uint8_t key[8], DesContext& context, bool encrypt);
void DesBlock(const DesContext& context, uint8_t block[8]);
void DesCbcBlock(const DesContext& context, const uint8_t chain[8], uint8_t block[8]);
// CBC over `blocks` whole blocks at `data`, in place, in the context's direction, chained from
// `chain`; leaves in `chain` the last ciphertext block. The same bytes as DesCbcBlock block by
// block. The same holds for the other ciphers' CbcBlocks routines.
void DesCbcBlocks(const DesContext& context, uint8_t chain[8], uint8_t* data, size_t blocks);

// K1 = key bytes 0..7, K2 = key bytes 8..15; E(K1) D(K2) E(K1) when encrypting.
void TripleDesInitKey(const uint8_t key[16], TripleDesContext& context, bool encrypt);
void TripleDesBlock(const TripleDesContext& context, uint8_t block[8]);
void TripleDesCbcBlock(const TripleDesContext& context, const uint8_t chain[8], uint8_t block[8]);
void TripleDesCbcBlocks(const TripleDesContext& context, uint8_t chain[8], uint8_t* data, size_t blocks);

// ---- Blowfish, in the archive format's own form --------------------------------------------
// Shaped like Schneier's Blowfish, but the round function reads a copy of the block taken at
// the start, the halves are never swapped and they are little-endian. The round function
// therefore cancels out: a block transform is the block XOR two masks made of the P-array,
// it is its own inverse, and the S-boxes influence nothing. Archives depend on exactly this.

struct BlowfishContext {
  uint32_t p[18];
  uint32_t s[4][256];
};

void BlowfishInitKey(const uint8_t key[16], BlowfishContext& context);
void BlowfishBlock(const BlowfishContext& context, uint8_t block[8], bool encrypt);
void BlowfishCbcBlock(const BlowfishContext& context, const uint8_t chain[8], uint8_t block[8],
                      bool encrypt);
void BlowfishCbcBlocks(const BlowfishContext& context, uint8_t chain[8], uint8_t* data, size_t blocks,
                       bool encrypt);

// ---- Rijndael with a 128-bit block (FIPS-197 AES) -------------------------------------------

struct RijndaelContext {
  bool encrypt;
  int32_t rounds;          // Nk + 6: 10, 12 or 14 for 16-, 24- and 32-byte keys
  uint8_t roundKeys[240];  // the encryption key schedule, used by both directions
};

// `keySize` bytes of `key`; Nk = keySize div 4 clamped to 4 .. 8, so a shorter key acts as if
// zero-padded to 16 bytes and a longer one as its first 32 bytes.
void RijndaelInitKey(const uint8_t* key, int32_t keySize, RijndaelContext& context, bool encrypt);
void RijndaelBlock(const RijndaelContext& context, uint8_t block[16]);
void RijndaelCbcBlock(const RijndaelContext& context, const uint8_t chain[16], uint8_t block[16]);
// CBC over `blocks` whole blocks at `data`, in place, in the context's direction, chained from
// `chain`; leaves in `chain` the last ciphertext block, from which the next call goes on. The
// same bytes as RijndaelCbcBlock block by block, with AES-NI where the CPU has it (KxCpu.h).
void RijndaelCbcBlocks(const RijndaelContext& context, uint8_t chain[16], uint8_t* data, size_t blocks);
// One round of the cipher on `state`: SubBytes, ShiftRows, MixColumns (not when final), then
// the round key.
void RijndaelEncryptRound(const uint8_t roundKey[16], uint8_t state[16], bool final);
// One round of the inverse cipher: the round key, InvMixColumns (not when final), then
// InvShiftRows and InvSubBytes.
void RijndaelDecryptRound(const uint8_t roundKey[16], uint8_t state[16], bool final);

// ---- SHA-1 (FIPS 180-1) --------------------------------------------------------------------

struct Sha1Context {
  uint32_t bitCountHigh;
  uint32_t bitCountLow;
  uint32_t buffered;       // 0 .. 63 bytes waiting in `block`; bytes after them are zero
  uint32_t h[5];
  uint8_t block[64];
};

inline constexpr int32_t kSha1DigestSize = 20;

void Sha1Start(Sha1Context& context);
// Adds `length` bytes (0 or more) to the message.
void Sha1Add(Sha1Context& context, const void* data, int32_t length);
// Writes the 20-byte digest and clears the context; start it again before reuse.
void Sha1Finish(Sha1Context& context, uint8_t digest[20]);
void Sha1Compress(Sha1Context& context);
// Compresses `blocks` whole 64-byte blocks at `data` into the chaining value `h`, with SHA-NI
// where the CPU has it (see KxCpu.h), else with the portable code.
void Sha1CompressBlocks(uint32_t h[5], const uint8_t* data, size_t blocks);
void Sha1OfBuffer(uint8_t digest[20], const void* data, int32_t length);
// The digest of the text's bytes up to its terminating zero.
void Sha1OfText(uint8_t digest[20], const char* text);
uint32_t SwapBytes32(uint32_t word);
