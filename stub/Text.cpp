#include "Text.h"

int TextLength(const char* text) {
  int n = 0;
  while (text[n]) ++n;
  return n;
}

bool TextEquals(const char* a, const char* b) {
  for (; *a == *b; ++a, ++b)
    if (!*a) return true;
  return false;
}

TextBuilder& TextBuilder::AddChar(char c) {
  if (length_ + 1 < capacity_) {
    buffer_[length_++] = c;
    buffer_[length_] = 0;
  } else {
    truncated_ = true;
  }
  return *this;
}

TextBuilder& TextBuilder::Add(const char* text, int count) {
  for (int i = 0; i < count; ++i) AddChar(text[i]);
  return *this;
}

TextBuilder& TextBuilder::Add(const char* text) { return Add(text, TextLength(text)); }

TextBuilder& TextBuilder::AddHex32(uint32_t value) {
  for (int shift = 28; shift >= 0; shift -= 4) AddChar("0123456789ABCDEF"[(value >> shift) & 15]);
  return *this;
}

TextBuilder& TextBuilder::AddDecimal(uint32_t value) {
  char digits[10];
  int n = 0;
  do digits[n++] = char('0' + value % 10);
  while ((value /= 10) != 0);
  while (n) AddChar(digits[--n]);
  return *this;
}
