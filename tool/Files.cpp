// Files and folders for zqv: errors, temporary files, folder creation, names and the stub.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "Tool.h"

[[noreturn]] void Fail(const std::string& file, const std::string& cause, int code) {
  throw ToolError(code, file + ": " + cause);
}

[[noreturn]] void FailStatus(const Status& status, const std::string& file) {
  const std::string message = status.message;
  // The file layer's open and create errors already name their file.
  if (message.find("\"" + file + "\"") != std::string::npos) throw ToolError(kExitError, message);
  Fail(file, message);
}

std::string SystemText(int error) { return std::strerror(error != 0 ? error : EIO); }

std::string BaseName(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string DirName(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string ExecutableDir() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "";
  buffer[n] = 0;
  return DirName(buffer);
}

// ---- Temporary files --------------------------------------------------------------------------

namespace {

// The temporary file of the running command, removed by the signal handler on an interrupt.
char gPendingTemp[PATH_MAX];

void RemovePendingAndDie(int signal) {
  if (gPendingTemp[0]) unlink(gPendingTemp);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

void WatchSignals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action {};
  action.sa_handler = RemovePendingAndDie;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(s, &action, nullptr);
}

void SyncPath(const std::string& path, const std::string& shown) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) {
    const int error = errno;
    if (fd >= 0) close(fd);
    // Folders on some file systems refuse fsync; only a file's data matters here.
    if (error == EINVAL || error == EROFS) return;
    Fail(shown, "cannot write: " + SystemText(error));
  }
  close(fd);
}

}  // namespace

TempFile::TempFile(const std::string& target) : target_(target) {
  std::string pattern = DirName(target) + "/.zqv-tmp-XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd < 0) Fail(DirName(target), "cannot create a temporary file: " + SystemText(errno));
  close(fd);
  path_ = pattern;
  WatchSignals();
  std::snprintf(gPendingTemp, sizeof gPendingTemp, "%s", path_.c_str());
}

TempFile::~TempFile() {
  if (!committed_) unlink(path_.c_str());
  gPendingTemp[0] = 0;
}

void TempFile::Commit(unsigned mode) {
  SyncPath(path_, target_);
  const mode_t mask = umask(0);
  umask(mask);
  if (chmod(path_.c_str(), mode_t(mode) & ~mask) != 0)
    Fail(target_, "cannot set the mode: " + SystemText(errno));
  if (rename(path_.c_str(), target_.c_str()) != 0)
    Fail(target_, "cannot rename into place: " + SystemText(errno));
  committed_ = true;
  gPendingTemp[0] = 0;
  SyncPath(DirName(target_), DirName(target_));
}

// ---- Folders ------------------------------------------------------------------------------------

CreatedFolders::~CreatedFolders() {
  for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) rmdir(it->c_str());
}

void CreatedFolders::Make(const std::string& folder) {
  size_t at = 0;
  while (at != std::string::npos) {
    at = folder.find('/', at + 1);
    const std::string prefix = folder.substr(0, at);
    if (prefix.empty() || IsDirectory(prefix)) continue;
    if (Exists(prefix)) Fail(prefix, "cannot create the folder: a file of that name exists");
    if (mkdir(prefix.c_str(), 0777) != 0) Fail(prefix, "cannot create the folder: " + SystemText(errno));
    folders_.push_back(prefix);
  }
}

// ---- Output names ---------------------------------------------------------------------------------

std::optional<std::vector<std::string>> SafeRelativePath(const std::string& name, std::string& why) {
  if (name.empty()) return why = "the archive names no output file", std::nullopt;
  if (name.find('\0') != std::string::npos) return why = "the output name contains a zero byte", std::nullopt;
  if (name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':')
    return why = "the output name \"" + name + "\" carries a drive", std::nullopt;
  if (name[0] == '\\' || name[0] == '/')
    return why = "the output name \"" + name + "\" is an absolute path", std::nullopt;
  if (name.find(':') != std::string::npos)
    return why = "the output name \"" + name + "\" contains a colon (a drive or a stream)", std::nullopt;
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string::npos) end = name.size();
    const std::string part = name.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (parts.empty())
        return why = "the output name \"" + name + "\" climbs out of the destination folder", std::nullopt;
      parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  if (parts.empty()) return why = "the output name \"" + name + "\" names no file", std::nullopt;
  return parts;
}

// ---- The stub ---------------------------------------------------------------------------------------

std::optional<std::string> FindStub(const std::string& given, std::string* where) {
  auto found = [&](std::string path, const char* how) {
    if (where) *where = how;
    return std::optional<std::string>(std::move(path));
  };
  if (!given.empty()) return found(given, "--stub");
  if (const char* env = getenv("ZQV_STUB"); env && *env) return found(env, "$ZQV_STUB");
  const std::string exeDir = ExecutableDir();
  if (exeDir.empty()) return std::nullopt;
  // Installed: /usr/bin/zqv and /usr/share/zqv/zqvsfx.exe, wherever the tree was put.
  if (std::string p = exeDir + "/../share/zqv/zqvsfx.exe"; access(p.c_str(), R_OK) == 0)
    return found(p, "installed");
  // A build tree: build/host/zqv beside build/stub/zqvsfx.exe.
  if (std::string p = exeDir + "/../stub/zqvsfx.exe"; access(p.c_str(), R_OK) == 0)
    return found(p, "build tree");
  return std::nullopt;
}

std::string ResolveStub(const std::string& given) {
  if (auto stub = FindStub(given, nullptr)) return *stub;
  throw ToolError(kExitError,
                  "stub: no zqvsfx.exe found (install zqv, build the stub with `cmake --preset stub && "
                  "cmake --build --preset stub`, or give --stub FILE or ZQV_STUB)");
}
