// Runs a fuzz target's entry point once on each file given (a folder stands for the files in
// it), so that every kept finding and seed is replayed by the ordinary test build. A sample
// archive (.exe) is given as the header and body it carries, which is what the targets read.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "crypto/KxCpu.h"
#include "format/Archive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int ReplayFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t skip = 0;
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".exe") == 0 && bytes.size() >= HeaderOffset)
    skip = HeaderOffset;
  LLVMFuzzerTestOneInput(bytes.data() + skip, bytes.size() - skip);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // ZQV_CPU=portable replays with the fast paths off, as the tool honours it.
  if (uint32_t allowed; ParseCpuLimit(std::getenv("ZQV_CPU"), allowed)) LimitCpuFeatures(allowed);
  int failures = 0, replayed = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      std::fprintf(stderr, "replay: no such file or folder: %s\n", argv[i]);
      return 1;
    }
    std::vector<std::string> files;
    if (S_ISDIR(st.st_mode)) {
      DIR* dir = opendir(argv[i]);
      while (const dirent* e = dir ? readdir(dir) : nullptr)
        if (e->d_name[0] != '.') files.push_back(std::string(argv[i]) + "/" + e->d_name);
      if (dir) closedir(dir);
    } else {
      files.push_back(argv[i]);
    }
    for (const auto& f : files) {
      failures += ReplayFile(f);
      ++replayed;
    }
  }
  // The targets silence stdout; the count goes to stderr. Replaying nothing proves nothing.
  std::fprintf(stderr, "replayed %d inputs\n", replayed);
  return failures || replayed == 0 ? 1 : 0;
}
