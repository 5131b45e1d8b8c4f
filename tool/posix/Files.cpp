// Files and folders for zqv on POSIX: descriptors relative to the destination, O_NOFOLLOW, flock,
// fallocate and renameat.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <dirent.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "tool/Tool.h"

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

std::string JoinPath(const std::string& folder, const std::string& name) {
  return folder + (folder == "/" ? "" : "/") + name;
}

std::string WithoutTrailingSeparators(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

PathFacts LookAt(const std::string& path) {
  PathFacts facts;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    facts.error = errno;
    return facts;
  }
  facts.folder = S_ISDIR(st.st_mode);
  facts.regular = S_ISREG(st.st_mode);
  facts.size = int64_t(st.st_size);
  return facts;
}

EntryKind EntryIn(const FolderHandle& folder, const std::string& name) {
  struct stat st;
  if (fstatat(int(folder.handle()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::kNone;
  return S_ISDIR(st.st_mode) ? EntryKind::kFolder : EntryKind::kOther;
}

namespace {

std::string ExecutableDir() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "";
  buffer[n] = 0;
  return DirName(buffer);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> StubPlaces() {
  const std::string exeDir = ExecutableDir();
  if (exeDir.empty()) return {};
  // Installed: /usr/bin/zqv and /usr/share/zqv/zqvsfx.exe, wherever the tree was put; a build
  // tree: build/host/zqv beside build/stub/zqvsfx.exe.
  return {{exeDir + "/../share/zqv/zqvsfx.exe", "installed"}, {exeDir + "/../stub/zqvsfx.exe", "build tree"}};
}

std::optional<std::string> EnvironmentValue(const char* name) {
  const char* value = getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

std::vector<std::string> StartProgram(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

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
  if (handle_ >= 0) close(int(handle_));
}

FolderHandle OpenFolder(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) Fail(path, "cannot open the folder: " + SystemText(errno));
  return FolderHandle(fd, path);
}

namespace {

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Takes the file's lock without waiting; an interrupted call is made again.
bool TryLock(int fd) {
  int r;
  do r = flock(fd, LOCK_EX | LOCK_NB);
  while (r != 0 && errno == EINTR);
  return r == 0;
}

// Removes the temporaries in `folder` whose writer is gone: regular files of zqv's name pattern
// whose lock this process can take. One still written is locked by its zqv and stays; on a file
// system without locks none can be taken, so none is removed.
void RemoveStaleTemporaries(int folder, const std::string& shownFolder, bool quiet) {
  const int listing = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listing >= 0 ? fdopendir(listing) : nullptr;
  if (!dir) {
    if (listing >= 0) close(listing);
    return;  // a folder that cannot be listed hides nothing this run could remove
  }
  while (const dirent* entry = readdir(dir)) {
    if (!IsTempName(entry->d_name)) continue;
    struct stat before, opened, now;
    if (fstatat(folder, entry->d_name, &before, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(before.st_mode)) continue;
    const int fd = openat(folder, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    // Locked, and still the file under that name: its writer is gone, and no new one can take it.
    if (fstat(fd, &opened) == 0 && SameFile(before, opened) && TryLock(fd) &&
        fstatat(folder, entry->d_name, &now, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(now, opened) &&
        unlinkat(folder, entry->d_name, 0) == 0 && !quiet)
      ReportRemovedTemporary(shownFolder, entry->d_name, int64_t(opened.st_size));
    close(fd);
  }
  closedir(dir);
}

}  // namespace

TempFile::TempFile(const FolderHandle& folder, const std::string& name, const std::string& shown, bool quiet)
    : folder_(folder), name_(name), shown_(shown) {
  WatchSignals();
  const int dir = int(folder_.handle());
  RemoveStaleTemporaries(dir, DirName(shown), quiet);
  // An interrupt between creating the file and naming it to the handler would leave the file
  // behind, so the signals wait until both are done. (No other thread runs yet.)
  sigset_t interrupts, before;
  sigemptyset(&interrupts);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&interrupts, s);
  pthread_sigmask(SIG_BLOCK, &interrupts, &before);
  auto fail = [&](const std::string& what, int error) {
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    Fail(DirName(shown), what + ": " + SystemText(error));
  };
  int fd = -1;
  // mkstemp's job, relative to the folder's descriptor; O_NOFOLLOW and O_EXCL together never
  // open anything that already stands there.
  for (int attempt = 0; fd < 0; ++attempt) {
    uint32_t random = 0;
    if (getrandom(&random, sizeof random, 0) != sizeof random) random = uint32_t(getpid()) + uint32_t(attempt);
    std::snprintf(temp_, sizeof temp_, "%s%08x", kTempPrefix, random);
    fd = openat(dir, temp_, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno != EEXIST || attempt > 100) fail("cannot create a temporary file", errno);
      continue;
    }
    // Between its creation and its lock another zqv may have taken the new file for a stale one
    // and removed it: then it is no longer under its name, and a fresh one is made. A file
    // system without locks (ENOLCK, EOPNOTSUPP) keeps the file unlocked, and no zqv removes it.
    struct stat mine, named;
    if (!TryLock(fd) && errno == EWOULDBLOCK) {  // a cleaner holds it and removes it
      close(fd);
      fd = -1;
      continue;
    }
    const bool known = fstat(fd, &mine) == 0;
    const bool gone = known && fstatat(dir, temp_, &named, AT_SYMLINK_NOFOLLOW) != 0;
    if (!known || (gone && errno != ENOENT)) {
      const int error = errno;
      close(fd);
      fd = -1;
      unlinkat(dir, temp_, 0);
      fail("cannot create a temporary file", error);
    }
    if (gone || !SameFile(mine, named)) {  // removed, and perhaps made anew, by another zqv
      close(fd);
      fd = -1;
    }
  }
  hold_ = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (hold_ < 0) {
    const int error = errno;
    close(fd);
    fd = -1;
    unlinkat(dir, temp_, 0);
    fail("cannot create a temporary file", error);
  }
  file_ = fd;
  gPendingFolder = dir;
  std::snprintf(gPendingName, sizeof gPendingName, "%s", temp_);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

TempFile::~TempFile() {
  if (file_ >= 0) close(int(file_));
  // Removed while still locked, so that no other zqv can take it for a stale one meanwhile.
  if (!committed_) unlinkat(int(folder_.handle()), temp_, 0);
  if (hold_ >= 0) close(int(hold_));
  gPendingName[0] = 0;
}

void TempFile::Reserve(int64_t bytes) {
  // Not in memory (tmpfs, ramfs), where reserving clears every page before the work can start
  // and there are no disk blocks to map; nor on btrfs, which writes reserved extents in place
  // and so would store the file uncompressed where the mount compresses.
  struct statfs fs;
  const int fd = int(file_);
  const bool skipped = fstatfs(fd, &fs) == 0 && (fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC ||
                                                  fs.f_type == BTRFS_SUPER_MAGIC);
  if (bytes <= 0 || skipped || fallocate(fd, 0, 0, bytes) == 0) return;
  if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG) Fail(shown_, "cannot write: " + SystemText(errno));
}

FileHandle TempFile::Release() {
  const FileHandle file = file_;
  file_ = kNoFile;
  return file;
}

void TempFile::Commit(unsigned mode, bool durable) {
  const int dir = int(folder_.handle());
  // Anything at the name, or a name that cannot be looked at, counts as a file to keep safe.
  struct stat st;
  const bool replaces = fstatat(dir, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
  const bool sync = durable || replaces;
  if (sync) SyncAt(dir, temp_, 0, shown_);
  const mode_t mask = umask(0);
  umask(mask);
  if (fchmodat(dir, temp_, mode_t(mode) & ~mask, 0) != 0)
    Fail(shown_, "cannot set the mode: " + SystemText(errno));
  // renameat replaces whatever stands at the name, a link included, and never what a link
  // points to.
  if (renameat(dir, temp_, dir, name_.c_str()) != 0)
    Fail(shown_, "cannot rename into place: " + SystemText(errno));
  committed_ = true;
  gPendingName[0] = 0;
  close(int(hold_));
  hold_ = kNoFile;
  if (sync) SyncAt(dir, ".", O_DIRECTORY, DirName(shown_));
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
    if (prefix.empty()) continue;
    struct stat st;
    if (stat(prefix.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) continue;
      Fail(prefix, "cannot create the folder: a file of that name exists");
    }
    if (errno != ENOENT) Fail(prefix, "cannot look at the folder: " + SystemText(errno));
    if (mkdir(prefix.c_str(), 0777) != 0) Fail(prefix, "cannot create the folder: " + SystemText(errno));
    folders_.push_back(prefix);
  }
}

OutputFolder::OutputFolder(const std::string& destination, const std::vector<std::string>& folders,
                           bool create) {
  std::string shown = destination;
  folders_.push_back(std::make_unique<FolderHandle>(OpenFolder(destination)));
  for (const std::string& name : folders) {
    shown = JoinPath(shown, name);
    const int parent = int(folders_.back()->handle());
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
    folders_.push_back(std::make_unique<FolderHandle>(fd, shown));
  }
  complete_ = true;
}

OutputFolder::~OutputFolder() {
  for (auto it = created_.rbegin(); it != created_.rend(); ++it)
    unlinkat(int(folders_[it->first]->handle()), it->second.c_str(), AT_REMOVEDIR);
}
