// Files and folders for zqv: errors, temporary files, folder creation, names and the stub.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "Tool.h"
#include "format/OutputName.h"

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

// The temporary file of the running command, removed by the signal handler on an interrupt:
// its folder's descriptor and its name there (unlinkat is safe in a signal handler).
int gPendingFolder = -1;
char gPendingName[64];

void RemovePendingAndDie(int signal) {
  if (gPendingName[0]) unlinkat(gPendingFolder, gPendingName, 0);
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

// Flushes a file or folder to disk; `flags` as for openat.
void SyncAt(int folder, const char* name, int flags, const std::string& shown) {
  const int fd = openat(folder, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | flags);
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

FolderHandle::~FolderHandle() {
  if (fd_ >= 0) close(fd_);
}

FolderHandle OpenFolder(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) Fail(path, "cannot open the folder: " + SystemText(errno));
  return FolderHandle(fd);
}

TempFile::TempFile(const FolderHandle& folder, const std::string& name, const std::string& shown)
    : folder_(folder.fd()), name_(name), shown_(shown) {
  WatchSignals();
  // An interrupt between creating the file and naming it to the handler would leave the file
  // behind, so the signals wait until both are done. (No other thread runs yet.)
  sigset_t interrupts, before;
  sigemptyset(&interrupts);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&interrupts, s);
  pthread_sigmask(SIG_BLOCK, &interrupts, &before);
  // mkstemp's job, relative to the folder's descriptor; O_NOFOLLOW and O_EXCL together never
  // open anything that already stands there.
  for (int attempt = 0; fd_ < 0; ++attempt) {
    uint32_t random = 0;
    if (getrandom(&random, sizeof random, 0) != sizeof random) random = uint32_t(getpid()) + uint32_t(attempt);
    std::snprintf(temp_, sizeof temp_, ".zqv-tmp-%08x", random);
    fd_ = openat(folder_, temp_, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0 && (errno != EEXIST || attempt > 100)) {
      const int error = errno;
      pthread_sigmask(SIG_SETMASK, &before, nullptr);
      Fail(DirName(shown), "cannot create a temporary file: " + SystemText(error));
    }
  }
  gPendingFolder = folder_;
  std::snprintf(gPendingName, sizeof gPendingName, "%s", temp_);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

TempFile::~TempFile() {
  if (fd_ >= 0) close(fd_);
  if (!committed_) unlinkat(folder_, temp_, 0);
  gPendingName[0] = 0;
}

int TempFile::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void TempFile::Commit(unsigned mode, bool durable) {
  // Anything at the name, or a name that cannot be looked at, counts as a file to keep safe.
  struct stat st;
  const bool replaces = fstatat(folder_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
  const bool sync = durable || replaces;
  if (sync) SyncAt(folder_, temp_, 0, shown_);
  const mode_t mask = umask(0);
  umask(mask);
  if (fchmodat(folder_, temp_, mode_t(mode) & ~mask, 0) != 0)
    Fail(shown_, "cannot set the mode: " + SystemText(errno));
  // renameat replaces whatever stands at the name, a link included, and never what a link
  // points to.
  if (renameat(folder_, temp_, folder_, name_.c_str()) != 0)
    Fail(shown_, "cannot rename into place: " + SystemText(errno));
  committed_ = true;
  gPendingName[0] = 0;
  if (sync) SyncAt(folder_, ".", O_DIRECTORY, DirName(shown_));
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

OutputFolder::OutputFolder(const std::string& destination, const std::vector<std::string>& folders,
                           bool create) {
  std::string shown = destination;
  folders_.push_back(std::make_unique<FolderHandle>(OpenFolder(destination)));
  for (const std::string& name : folders) {
    shown += (shown == "/" ? "" : "/") + name;
    const int parent = folders_.back()->fd();
    int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
      if (!create) return;
      if (mkdirat(parent, name.c_str(), 0777) != 0)
        Fail(shown, "cannot create the folder: " + SystemText(errno));
      created_.emplace_back(folders_.size() - 1, name);
      fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
      const int error = errno;
      struct stat st;
      if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        Fail(shown, "cannot extract: a symbolic link stands where the archive names a folder");
      if (error == ENOTDIR) Fail(shown, "cannot create the folder: a file of that name exists");
      Fail(shown, "cannot open the folder: " + SystemText(error));
    }
    folders_.push_back(std::make_unique<FolderHandle>(fd));
  }
  complete_ = true;
}

OutputFolder::~OutputFolder() {
  for (auto it = created_.rbegin(); it != created_.rend(); ++it)
    unlinkat(folders_[it->first]->fd(), it->second.c_str(), AT_REMOVEDIR);
}

// ---- Output names ---------------------------------------------------------------------------------

std::optional<std::vector<std::string>> SafeRelativePath(const std::string& name, std::string& why) {
  std::string path(name.size() + 1, '\0');
  const OutputNameFault fault = MakeOutputPath(name.data(), int(name.size()), '/', path.data());
  if (fault != kNameSafe) {
    why = "the output name \"" + name + "\" " + OutputNameFaultText(fault);
    return std::nullopt;
  }
  path.resize(std::strlen(path.c_str()));
  std::vector<std::string> parts;
  for (size_t start = 0; start <= path.size();) {
    const size_t end = std::min(path.find('/', start), path.size());
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
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
