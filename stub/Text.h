// Zero-terminated 8-bit ANSI texts in fixed buffers: the stub has no string library.
#pragma once

#include <stdint.h>

int TextLength(const char* text);
// Exact, case-sensitive equality.
bool TextEquals(const char* a, const char* b);

// Builds a text in a caller's buffer of `capacity` bytes; whatever does not fit is cut, and the
// buffer always holds a terminating zero.
class TextBuilder {
 public:
  TextBuilder(char* buffer, int capacity) : buffer_(buffer), capacity_(capacity) { buffer_[0] = 0; }

  TextBuilder& Add(const char* text);
  TextBuilder& Add(const char* text, int count);
  TextBuilder& AddChar(char c);
  // Eight upper-case hexadecimal digits, as error reports show code addresses.
  TextBuilder& AddHex32(uint32_t value);
  TextBuilder& AddDecimal(uint32_t value);

  int Length() const { return length_; }
  bool Truncated() const { return truncated_; }
  const char* Text() const { return buffer_; }

 private:
  char* buffer_;
  int capacity_;
  int length_ = 0;
  bool truncated_ = false;
};
