// The few routines a freestanding program must supply itself: there is no C runtime in the stub,
// and Windows 95 ships none that it could import. The compiler emits calls to the memory
// routines for structure copies and clears; the loops below must not be turned back into calls
// to themselves, hence -fno-tree-loop-distribute-patterns on this file.
#include <stddef.h>
#include <stdint.h>

extern "C" {

void* memcpy(void* to, const void* from, size_t count) {
  uint8_t* d = static_cast<uint8_t*>(to);
  const uint8_t* s = static_cast<const uint8_t*>(from);
  while (count--) *d++ = *s++;
  return to;
}

void* memmove(void* to, const void* from, size_t count) {
  uint8_t* d = static_cast<uint8_t*>(to);
  const uint8_t* s = static_cast<const uint8_t*>(from);
  if (d < s) {
    while (count--) *d++ = *s++;
  } else {
    d += count;
    s += count;
    while (count--) *--d = *--s;
  }
  return to;
}

void* memset(void* to, int value, size_t count) {
  uint8_t* d = static_cast<uint8_t*>(to);
  while (count--) *d++ = static_cast<uint8_t>(value);
  return to;
}

int memcmp(const void* a, const void* b, size_t count) {
  const uint8_t* p = static_cast<const uint8_t*>(a);
  const uint8_t* q = static_cast<const uint8_t*>(b);
  for (; count; --count, ++p, ++q)
    if (*p != *q) return *p < *q ? -1 : 1;
  return 0;
}

// Called only if a pure virtual function were ever reached through a half-built object, which
// the stub's code never does; ending the process is the only sound answer.
[[noreturn]] void __stdcall ExitProcess(unsigned int code);
void __cxa_pure_virtual() { ExitProcess(3); }

}  // extern "C"
