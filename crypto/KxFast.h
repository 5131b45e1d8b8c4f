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
