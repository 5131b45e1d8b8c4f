#include "KxCpu.h"

#include "KxFast.h"

#if ZQV_X86_FAST_PATHS
#include <cpuid.h>
#endif

namespace {

#if ZQV_DES_BITSLICE && ZQV_X86_FAST_PATHS
// XCR0: which register states the system saves on a task switch.
uint64_t SavedStates() {
  uint32_t low, high;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return uint64_t(high) << 32 | low;
}
#endif

uint32_t Detect() {
  uint32_t found = 0;
#if defined(__wasm_simd128__)
  found |= kCpuSimd128;
#endif
#if ZQV_X86_FAST_PATHS
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return 0;
  const bool sse2 = edx & bit_SSE2, ssse3 = ecx & bit_SSSE3, sse41 = ecx & bit_SSE4_1;
  if (sse2 && (ecx & bit_AES)) found |= kCpuAesNi;
#if ZQV_DES_BITSLICE && ZQV_X86_FAST_PATHS
  // YMM state (XCR0 bits 1, 2) and, for AVX-512, opmask and ZMM state (bits 5, 6, 7).
  const uint64_t saved = (ecx & bit_OSXSAVE) && (ecx & bit_AVX) ? SavedStates() : 0;
  const bool ymm = (saved & 0x06) == 0x06;
#if ZQV_DES_BITSLICE_AVX512
  const bool zmm = ymm && (saved & 0xe0) == 0xe0;
#endif
  if (sse2) found |= kCpuSse2;
#endif
  if (__get_cpuid_max(0, nullptr) >= 7) {
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    if (ssse3 && sse41 && (ebx & bit_SHA)) found |= kCpuShaNi;
#if ZQV_DES_BITSLICE && ZQV_X86_FAST_PATHS
    if (ymm && (ebx & bit_AVX2)) found |= kCpuAvx2;
#if ZQV_DES_BITSLICE_AVX512
    if (zmm && (ebx & bit_AVX512F) && (ebx & bit_AVX512BW) && (ebx & bit_AVX512VL)) found |= kCpuAvx512;
#endif
#endif
  }
#endif
  return found;
}

// Plain data, filled on first use (the core has no objects with constructors); threads that
// race to fill it store the same value.
constexpr uint32_t kUnknown = ~0u;
uint32_t gFeatures = kUnknown;
uint32_t gAllowed = ~0u;

}  // namespace

uint32_t CpuFeatures() {
  uint32_t features = __atomic_load_n(&gFeatures, __ATOMIC_RELAXED);
  if (features == kUnknown) {
    features = Detect();
    __atomic_store_n(&gFeatures, features, __ATOMIC_RELAXED);
  }
  return features & __atomic_load_n(&gAllowed, __ATOMIC_RELAXED);
}

void LimitCpuFeatures(uint32_t allowed) { __atomic_store_n(&gAllowed, allowed, __ATOMIC_RELAXED); }

namespace {
const HelperThread* gHelper = nullptr;
}  // namespace

void SetHelperThread(const HelperThread* helper) { gHelper = helper; }
const HelperThread* GetHelperThread() { return gHelper; }

namespace {

// True when the `length` characters at `text` are exactly `word`.
bool IsWord(const char* text, int length, const char* word) {
  int i = 0;
  for (; i < length; ++i)
    if (word[i] != text[i]) return false;
  return word[i] == 0;
}

}  // namespace

bool ParseCpuLimit(const char* text, uint32_t& allowed) {
  if (text == nullptr || *text == 0) return allowed = ~0u, true;
  uint32_t set = 0;
  for (const char* p = text;;) {
    int n = 0;
    while (p[n] != 0 && p[n] != ',') ++n;
    if (IsWord(p, n, "native")) set = ~0u;
    else if (IsWord(p, n, "portable")) set |= 0;
    else if (IsWord(p, n, "aesni")) set |= kCpuAesNi;
    else if (IsWord(p, n, "shani")) set |= kCpuShaNi;
    else if (IsWord(p, n, "sse2")) set |= kCpuSse2;
    else if (IsWord(p, n, "avx2")) set |= kCpuAvx2;
    else if (IsWord(p, n, "avx512")) set |= kCpuAvx512;
    else if (IsWord(p, n, "simd128")) set |= kCpuSimd128;
    else return false;
    if (p[n] == 0) break;
    p += n + 1;
  }
  allowed = set;
  return true;
}
