// Fuzz target: the whole of `zqv extract` on an archive whose header and body are the input,
// into a destination inside a folder of its own. The password is "open sesame N" for the
// header's cipher selector N, as in the sample archives that seed the corpus, so that mutated
// headers over intact bodies reach a complete extraction.
//
// After every run: nothing but the destination stands in its folder; the file `keep.txt` that
// was in the destination is untouched unless the run succeeded and named it; a failed run left
// the destination as it found it, and a successful one added one file at most (and its folders).
#include <dirent.h>
#include <sys/stat.h>

#include <set>

#include "FuzzArchive.h"
#include "tool/Tool.h"

namespace {

constexpr char kTarget[] = "fuzz_extract";
constexpr char kKept[] = "kept bytes\n";

struct Places {
  std::string archive, passwordFile, root, destination;
};

// Every path in `folder` (relative, folders with a trailing slash), and below it when `deep`;
// links are not followed.
void List(const std::string& folder, const std::string& prefix, std::set<std::string>& paths, bool deep = true) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) fuzz::Abort(kTarget, "cannot list " + folder);
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (lstat((folder + "/" + name).c_str(), &st) != 0) fuzz::Abort(kTarget, "cannot stat " + name);
    if (S_ISDIR(st.st_mode)) {
      paths.insert(prefix + name + "/");
      if (deep) List(folder + "/" + name, prefix + name + "/", paths);
    } else {
      paths.insert(prefix + name);
    }
  }
  closedir(dir);
}

void RemoveBelow(const std::string& folder) {
  std::set<std::string> paths;
  List(folder, "", paths);
  for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
    const std::string path = folder + "/" + *it;
    if ((it->back() == '/' ? rmdir(path.c_str()) : unlink(path.c_str())) != 0)
      fuzz::Abort(kTarget, "cannot remove " + path);
  }
}

void WriteText(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0)
    fuzz::Abort(kTarget, "cannot write " + path);
}

std::string ReadText(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buffer[256];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
    std::fclose(f);
  }
  return text;
}

const Places& Setup() {
  static const Places places = [] {
    fuzz::SilenceStdout();
    const std::string work = fuzz::MakeWorkFolder(kTarget);
    Places p{work + "/archive.exe", work + "/password", work + "/root", work + "/root/dest"};
    if (mkdir(p.root.c_str(), 0700) != 0 || mkdir(p.destination.c_str(), 0700) != 0)
      fuzz::Abort(kTarget, "cannot make the destination");
    return p;
  }();
  return places;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Places& p = Setup();
  RemoveBelow(p.destination);
  WriteText(p.destination + "/keep.txt", kKept);
  fuzz::WriteArchive(kTarget, p.archive, data, size);
  const uint8_t selector = size > offsetof(ArchiveHeader, cipher) ? data[offsetof(ArchiveHeader, cipher)] : 0;
  WriteText(p.passwordFile, "open sesame " + std::to_string(selector) + "\n");

  OpenOptions options;
  options.archive = p.archive;
  options.directory = p.destination;
  options.passwordFile = p.passwordFile;
  options.overwrite = 0;
  options.quiet = true;
  bool extracted = false;
  try {
    extracted = RunExtract(options) == kExitOk;
  } catch (const ToolError&) {
  }

  std::set<std::string> outside;
  List(p.root, "", outside, /*deep=*/false);
  if (outside != std::set<std::string>{"dest/"}) fuzz::Abort(kTarget, "something was written beside the destination");
  // A temporary file left behind shows up in these two checks: after a failure as anything but
  // keep.txt, after a success as a file besides the one extracted. (A scan for ".zqv-tmp-" in
  // names would be wrong: the stored name may hold those characters.)
  std::set<std::string> inside;
  List(p.destination, "", inside);
  if (!extracted) {
    if (inside != std::set<std::string>{"keep.txt"} || ReadText(p.destination + "/keep.txt") != kKept)
      fuzz::Abort(kTarget, "a failed extraction left files or changed keep.txt");
  } else {
    // One file more at most, and the folders that lead to it.
    size_t files = 0;
    for (const auto& path : inside) files += path.back() != '/' && path != "keep.txt";
    if (files > 1) fuzz::Abort(kTarget, "an extraction left more than the file it extracted");
    if (files == 1 && ReadText(p.destination + "/keep.txt") != kKept)
      fuzz::Abort(kTarget, "an extraction of another name changed keep.txt");
  }
  return 0;
}
