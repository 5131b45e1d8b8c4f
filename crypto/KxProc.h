// The CBC stream routines: a whole stream through one block cipher in the archive's layout.
//
// Layout for a plaintext of L bytes and block size B (8 for Blowfish, DES and Triple-DES, 16 for
// Rijndael): a chaining block, the L div B full blocks CBC-encrypted, and a tail block holding
// the last L mod B bytes, zeros, and that count in its last byte; (L div B + 2) * B bytes in all.
//
// Decrypting reads from the input's position to its end and appends the plaintext to the output.
// A body shorter than two blocks fails with ECipherException "Invalid file format" before any
// byte is written; trailing bytes past the last whole block are ignored. Nothing checks the key:
// a wrong key yields unrelated bytes, and only the digest check recognises it. A count byte above
// B (possible only under a wrong key) writes the whole block, never more.
// Encrypting reads the input from its position to its end and appends that layout. Every
// routine fails with EWriteError when the output stores fewer bytes than asked, and with
// EReadError "Read error" when the input cannot tell its size.
#pragma once

#include <stdint.h>

#include "Status.h"
#include "Stream.h"

// A millisecond clock for the seed of the chaining block when encrypting. Only the archive
// builder encrypts; the stub passes none, so it links no timer. Without one the seed is zero.
using MillisecondTimer = uint32_t (*)();

// Each cipher in each direction on its own, so that a program that only decrypts (the stub)
// links no encryption; the CbcStream forms below choose the direction by their argument.
Status BlowfishCbcDecrypt(Stream& input, Stream& output, const uint8_t key[16]);
Status BlowfishCbcEncrypt(Stream& input, Stream& output, const uint8_t key[16], MillisecondTimer timer);
Status DesCbcDecrypt(Stream& input, Stream& output, const uint8_t key[8]);
Status DesCbcEncrypt(Stream& input, Stream& output, const uint8_t key[8], MillisecondTimer timer);
Status TripleDesCbcDecrypt(Stream& input, Stream& output, const uint8_t key[16]);
Status TripleDesCbcEncrypt(Stream& input, Stream& output, const uint8_t key[16], MillisecondTimer timer);
// keySize is in bytes: 16 or 32 in archives, any size as Rijndael's key set-up maps it.
Status RijndaelCbcDecrypt(Stream& input, Stream& output, const uint8_t* key, int32_t keySize);
Status RijndaelCbcEncrypt(Stream& input, Stream& output, const uint8_t* key, int32_t keySize,
                          MillisecondTimer timer);

inline Status BlowfishCbcStream(Stream& input, Stream& output, const uint8_t key[16], bool encrypt,
                                MillisecondTimer timer = nullptr) {
  return encrypt ? BlowfishCbcEncrypt(input, output, key, timer) : BlowfishCbcDecrypt(input, output, key);
}
inline Status DesCbcStream(Stream& input, Stream& output, const uint8_t key[8], bool encrypt,
                           MillisecondTimer timer = nullptr) {
  return encrypt ? DesCbcEncrypt(input, output, key, timer) : DesCbcDecrypt(input, output, key);
}
inline Status TripleDesCbcStream(Stream& input, Stream& output, const uint8_t key[16], bool encrypt,
                                 MillisecondTimer timer = nullptr) {
  return encrypt ? TripleDesCbcEncrypt(input, output, key, timer) : TripleDesCbcDecrypt(input, output, key);
}
inline Status RijndaelCbcStream(Stream& input, Stream& output, const uint8_t* key, int32_t keySize,
                                bool encrypt, MillisecondTimer timer = nullptr) {
  return encrypt ? RijndaelCbcEncrypt(input, output, key, keySize, timer)
                 : RijndaelCbcDecrypt(input, output, key, keySize);
}

// The tail block before encryption: the `restSize` (fewer than `blockSize`) last plaintext bytes,
// zeros, and that count in its last byte.
void FillTailBlock(uint8_t* block, int32_t blockSize, const uint8_t* rest, int32_t restSize);
// How many bytes of a decrypted tail block are plaintext: its count byte, at most the whole block.
int32_t TailBlockLength(const uint8_t* block, int32_t blockSize);
