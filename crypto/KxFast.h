// The core's hardware paths, each beside the portable code it replaces and chosen by that
// code's many-block routine (see KxCpu.h). Internal to crypto/.
#pragma once

#include <stddef.h>
#include <stdint.h>

// x86 builds (the host tool and the i686 stub) carry the AES-NI and SHA-NI paths; others
// (WebAssembly) run the portable code alone. Each function is compiled for its instructions by
// a target attribute, so the rest of the build needs none of them.
#if (defined(__x86_64__) || defined(__i386__)) && !defined(ZQV_NO_FAST_PATHS)
#define ZQV_X86_FAST_PATHS 1
#else
#define ZQV_X86_FAST_PATHS 0
#endif

// Bitsliced DES and Triple-DES decryption: on x86 (the host tool and the i686 stub) in SSE2 and
// AVX2 registers, and in WebAssembly's 128-bit SIMD (the page's module). Each x86 width's file is
// compiled alone for its instruction set, so the rest of the build needs none of them.
#if ZQV_X86_FAST_PATHS || (defined(__wasm_simd128__) && !defined(ZQV_NO_FAST_PATHS))
#define ZQV_DES_BITSLICE 1
#else
#define ZQV_DES_BITSLICE 0
#endif

// The bitsliced batches' bit transposition as loops rather than unrolled: in the i686 stub, which
// is built for size.
#if ZQV_DES_BITSLICE && defined(__i386__)
#define ZQV_DES_COMPACT_TRANSPOSE 1
#else
#define ZQV_DES_COMPACT_TRANSPOSE 0
#endif

// A long bitsliced run shared with a lent helper thread (KxCpu.h) takes its pieces from an atomic
// counter. The i386 the stub is built for has no atomic read-modify-write instruction, but the
// bitsliced paths run only on CPUs with SSE2, so the one function that takes pieces is compiled
// for the i686 (ZQV_TAKES_PIECES), whose LOCK XADD every such CPU has.
#if ZQV_DES_BITSLICE && (__GCC_ATOMIC_INT_LOCK_FREE == 2 || defined(__i386__))
#define ZQV_DES_SHARED_RUNS 1
#else
#define ZQV_DES_SHARED_RUNS 0
#endif
#if defined(__i386__) && __GCC_ATOMIC_INT_LOCK_FREE != 2
#define ZQV_TAKES_PIECES __attribute__((target("arch=i686")))
#else
#define ZQV_TAKES_PIECES
#endif

// The AVX-512 width on x86-64 only: the stub, built for size, leaves it out.
#if ZQV_X86_FAST_PATHS && defined(__x86_64__)
#define ZQV_DES_BITSLICE_AVX512 1
#else
#define ZQV_DES_BITSLICE_AVX512 0
#endif

// DES rounds on 64-bit words, each half held with its rotation by four bits (KxDes.cpp): where
// the target has 64-bit registers and the build is for speed. The stub keeps 32-bit rounds.
#if (defined(__x86_64__) || defined(__wasm__) || defined(__aarch64__)) && !defined(__OPTIMIZE_SIZE__) && \
    !defined(ZQV_NO_FAST_PATHS)
#define ZQV_DES_WIDE_ROUNDS 1
#else
#define ZQV_DES_WIDE_ROUNDS 0
#endif

// SHA-1 with the schedule four words at a time in WebAssembly's 128-bit SIMD (the page's module).
#if defined(__wasm_simd128__) && !defined(ZQV_NO_FAST_PATHS)
#define ZQV_SHA1_SIMD128 1
#else
#define ZQV_SHA1_SIMD128 0
#endif

#if ZQV_X86_FAST_PATHS
// KxRijndaelAesNi.cpp; needs AES-NI and SSE2. `roundKeys` is the encryption key schedule of
// `rounds` rounds (10 to 14), as RijndaelInitKey leaves it.
void RijndaelCbcDecryptAesNi(const uint8_t* roundKeys, int32_t rounds, uint8_t chain[16], uint8_t* data,
                             size_t blocks);
void RijndaelCbcEncryptAesNi(const uint8_t* roundKeys, int32_t rounds, uint8_t chain[16], uint8_t* data,
                             size_t blocks);
// KxSha1ShaNi.cpp; needs SHA-NI, SSSE3 and SSE4.1.
void Sha1CompressShaNi(uint32_t h[5], const uint8_t* data, size_t blocks);
#endif

#if ZQV_DES_BITSLICE
// The subkeys of up to three DES passes as bitsliced masks (each all zeros or all ones):
// masks[pass][round][6 * j + m] is input bit m of S-box j, in the order the pass uses them.
struct DesBitsliceKeys {
  int32_t passes;  // 1 for DES; 3 for Triple-DES
  uint32_t masks[3][16][48];
};

// CBC decryption in place of the whole batches of `blocks` blocks at `data`, chained from
// `chain`, which then holds the last ciphertext block decrypted; returns the blocks done, a
// multiple of the batch: 128 blocks (KxDesBitsliceSse2.cpp), 256 (KxDesBitsliceAvx2.cpp, needs
// AVX2) or 512 (KxDesBitsliceAvx512.cpp, needs AVX-512 F).
size_t DesCbcDecryptSse2(const DesBitsliceKeys& keys, uint8_t chain[8], uint8_t* data, size_t blocks);
size_t DesCbcDecryptAvx2(const DesBitsliceKeys& keys, uint8_t chain[8], uint8_t* data, size_t blocks);
size_t DesCbcDecryptAvx512(const DesBitsliceKeys& keys, uint8_t chain[8], uint8_t* data, size_t blocks);
// 128 blocks (KxDesBitsliceWasm.cpp, the WebAssembly module).
size_t DesCbcDecryptSimd128(const DesBitsliceKeys& keys, uint8_t chain[8], uint8_t* data, size_t blocks);
#endif

#if ZQV_SHA1_SIMD128
// KxSha1Wasm.cpp.
void Sha1CompressSimd128(uint32_t h[5], const uint8_t* data, size_t blocks);
#endif
