// Which instruction-set extensions the core's fast paths may use. The CPU is examined once; a
// front end may narrow the set (the host tool and the tests honour ZQV_CPU=portable), and every
// routine with a fast path asks here, in one place per algorithm, which path to take.
#pragma once

#include <stdint.h>

enum CpuFeature : uint32_t {
  kCpuAesNi = 1u << 0,  // AESDEC, AESENC, AESIMC (with SSE2): Rijndael
  kCpuShaNi = 1u << 1,  // SHA1RNDS4, SHA1NEXTE, SHA1MSG1/2 (with SSSE3, SSE4.1): SHA-1
  // The vector widths of bitsliced DES and Triple-DES decryption (x86 builds; AVX-512 on x86-64):
  kCpuSse2 = 1u << 2,    // 128 bits
  kCpuAvx2 = 1u << 3,    // 256 bits, with the system saving the YMM registers
  kCpuAvx512 = 1u << 4,  // 512 bits: AVX-512 F, BW and VL, with the system saving ZMM and masks
  kCpuSimd128 = 1u << 5, // WebAssembly's 128-bit SIMD: the module is built for it, so always there
};

// The features this CPU has, as far as the core was built to use them (none where the build has
// no fast paths), within the current limit.
uint32_t CpuFeatures();
// Allows at most `allowed` from now on; 0 forces the portable code everywhere. Call it before
// any other thread runs the core.
void LimitCpuFeatures(uint32_t allowed);

// The limit a front end's ZQV_CPU setting names: "portable" (none), "native" or empty (all), or
// a comma-separated list of "aesni", "shani", "sse2", "avx2", "avx512" and "simd128". False for
// any other text.
bool ParseCpuLimit(const char* text, uint32_t& allowed);

// A second thread a front end may lend the core for work that splits in two (bitsliced DES and
// Triple-DES decryption of long runs). `start` runs task(argument) on that thread and answers
// true, or answers false when it cannot (the caller then does the work itself); `wait` returns
// once the task started last has returned, or at once, withdrawing it, where the thread has not
// begun it: a task may never run, and the caller must do whatever it leaves. Without one (the
// default; the stub) everything runs on the caller's thread.
struct HelperThread {
  bool (*start)(void (*task)(void*), void* argument);
  void (*wait)();
};
// Lends `helper` (nullptr: none) from now on. Call it before any other thread runs the core;
// the core then asks the helper from one thread at a time, the one that decrypts.
void SetHelperThread(const HelperThread* helper);
const HelperThread* GetHelperThread();
