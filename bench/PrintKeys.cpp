// Prints the 8-, 16- and 32-byte archive keys of a password (the first line of standard
// input) in hex, so that bench/compare can give OpenSSL the same key.
#include <cstdio>
#include <cstring>
#include <string>

#include "format/Archive.h"

int main() {
  char line[256] = {};
  if (!std::fgets(line, sizeof line, stdin)) return 1;
  line[std::strcspn(line, "\r\n")] = 0;
  ArchiveKeys keys;
  DeriveArchiveKeys(line, keys);
  auto hex = [](const uint8_t* p, int n) {
    std::string s;
    char b[3];
    for (int i = 0; i < n; ++i) std::snprintf(b, sizeof b, "%02x", p[i]), s += b;
    return s;
  };
  std::printf("%s %s %s\n", hex(keys.key8, 8).c_str(), hex(keys.key16, 16).c_str(), hex(keys.key32, 32).c_str());
  return 0;
}
