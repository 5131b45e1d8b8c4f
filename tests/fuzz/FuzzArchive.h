// What the archive-reading fuzz targets share: the input is an archive's header and body, and
// the targets write it after a stub-sized placeholder so that zqv finds them where a real stub
// leaves them.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "format/Archive.h"

namespace fuzz {

[[noreturn]] inline void Abort(const char* target, const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", target, what.c_str());
  std::abort();
}

// A fresh folder under $TMPDIR (or /tmp) for one fuzzing process, removed when it exits.
inline std::string MakeWorkFolder(const char* target) {
  static std::string folder;
  const char* tmp = std::getenv("TMPDIR");
  folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + target + "-XXXXXX";
  if (!mkdtemp(folder.data())) Abort(target, "cannot make a work folder");
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  });
  return folder;
}

// Writes the placeholder, `data` and a signer's table to `path`, replacing what was there. The
// placeholder is a PE32 header whose Security entry names a table of 8 * (last input byte mod
// 4) bytes (none for 0) appended after `data`: an intact archive still extracts through it, and
// one whose length is no multiple of 8 gets an entry no signer writes, which must be ignored.
inline void WriteArchive(const char* target, const std::string& path, const uint8_t* data, size_t size) {
  std::string placeholder(HeaderOffset, '\0');
  const auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) placeholder[at + i] = char(v >> 8 * i);
  };
  constexpr size_t pe = 0x80, optional = pe + 24, entry = optional + 96 + 4 * 8;
  placeholder[0] = 'M';
  placeholder[1] = 'Z';
  put32(0x3C, pe);
  put32(pe, 0x00004550);
  placeholder[pe + 20] = char(96 + 16 * 8);  // SizeOfOptionalHeader
  placeholder[optional] = 0x0B;              // PE32
  placeholder[optional + 1] = 0x01;
  put32(optional + 92, 16);                  // NumberOfRvaAndSizes
  const std::string table(size ? 8 * (data[size - 1] % 4u) : 0, '\xA5');
  if (!table.empty()) {
    put32(entry, uint32_t(HeaderOffset + size));
    put32(entry + 4, uint32_t(table.size()));
  }
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(placeholder.data(), 1, placeholder.size(), f) != placeholder.size() ||
      (size && std::fwrite(data, 1, size, f) != size) ||
      std::fwrite(table.data(), 1, table.size(), f) != table.size() || std::fclose(f) != 0)
    Abort(target, "cannot write " + path);
}

// zqv prints its results on stdout; the fuzzer's own report goes to stderr and stays.
inline void SilenceStdout() {
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
}

}  // namespace fuzz
