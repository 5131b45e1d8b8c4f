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

// Writes the placeholder and `data` to `path`, replacing what was there.
inline void WriteArchive(const char* target, const std::string& path, const uint8_t* data, size_t size) {
  static const std::string placeholder(HeaderOffset, '\0');
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(placeholder.data(), 1, placeholder.size(), f) != placeholder.size() ||
      (size && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0)
    Abort(target, "cannot write " + path);
}

// zqv prints its results on stdout; the fuzzer's own report goes to stderr and stays.
inline void SilenceStdout() {
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
}

}  // namespace fuzz
