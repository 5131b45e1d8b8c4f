// The fractional hexadecimal digits of pi, shared by the RDG digest and the Blowfish set-up.
#pragma once

#include <stdint.h>

// 1042 words, most significant digits first: the first 64 (read big-endian) are the initial
// RDG digest buffer, the first 18 the Blowfish P-array and the next 1024 its S-boxes.
inline constexpr int kPiDigitWords = 18 + 4 * 256;
extern const uint32_t kPiDigits[kPiDigitWords];
