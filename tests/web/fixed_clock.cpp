// Preloaded into zqv build by the web page's tests: every clock reads ZQV_FIXED_CLOCK_MS
// milliseconds, so that the chaining block zqv build draws from its millisecond clock is the
// one the page makes from the same fixed seed, and the two archives can be compared byte for
// byte.
#include <stdlib.h>
#include <time.h>

extern "C" int clock_gettime(clockid_t, struct timespec* ts) noexcept {
  const char* value = getenv("ZQV_FIXED_CLOCK_MS");
  const unsigned long long ms = value ? strtoull(value, nullptr, 10) : 0;
  ts->tv_sec = time_t(ms / 1000);
  ts->tv_nsec = long(ms % 1000) * 1000000L;
  return 0;
}
