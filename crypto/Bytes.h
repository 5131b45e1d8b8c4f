// Byte-order-explicit loads and stores and the memory helpers of the portable core.
#pragma once

#include <stddef.h>
#include <stdint.h>

inline uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint32_t LoadBe32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline void StoreLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
inline void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

inline void CopyBytes(void* to, const void* from, size_t count) { __builtin_memcpy(to, from, count); }
inline void FillBytes(void* to, uint8_t value, size_t count) { __builtin_memset(to, value, count); }

// Clears memory in a way the optimiser may not drop, for key material and hash state.
inline void WipeBytes(void* to, size_t count) {
  volatile uint8_t* p = static_cast<volatile uint8_t*>(to);
  while (count--) *p++ = 0;
}

// Unrolls the next loop `n` times where the build optimises for speed; a build for size (the
// stub) keeps it rolled.
#define ZQV_PRAGMA(text) _Pragma(#text)
#if defined(__OPTIMIZE_SIZE__) || !defined(__GNUC__) || defined(__clang__)
#define ZQV_UNROLL(n)
#else
#define ZQV_UNROLL(n) ZQV_PRAGMA(GCC unroll n)
#endif
