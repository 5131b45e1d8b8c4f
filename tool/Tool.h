// zqv: the host tool's shared pieces. Every failure is a ToolError carrying its exit code and
// one line for stderr; main() prints it and exits.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "crypto/FileStream.h"
#include "crypto/KxCipher.h"
#include "crypto/Status.h"
#include "crypto/Stream.h"

inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitWrongPassword = 3;


class ToolError : public std::runtime_error {
 public:
  ToolError(int code, const std::string& line) : std::runtime_error(line), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// "FILE: cause", exit code 1 unless given.
[[noreturn]] void Fail(const std::string& file, const std::string& cause, int code = kExitError);
// A failed Status of the core as a ToolError; `file` names what was being read or written when
// the message does not already name it.
[[noreturn]] void FailStatus(const Status& status, const std::string& file);
// The system's text for one of its error codes (errno on POSIX, GetLastError on Windows); that
// of an input/output error for 0, when a layer kept no code.
std::string SystemText(int error);

// ---- Texts: UTF-8 on the command line, the ANSI code page in the header ---------------------

// Normalises a code page name: "1252" and "cp1252" become "CP1252", others are upper-cased (and
// then passed to iconv on POSIX, mapped to the code page's number on Windows).
std::string CodepageName(const std::string& codepage);
// Converts UTF-8 to the code page; nullopt when a character has no form there (or the text is
// not UTF-8). Never transliterates or cuts.
std::optional<std::string> ToCodepage(const std::string& utf8, const std::string& codepage);
// Converts header bytes to UTF-8. A byte the code page leaves undefined reads as the Unicode
// character of the same number, as Windows maps them.
std::string FromCodepage(const std::string& bytes, const std::string& codepage);
// Checks that the code page exists; a usage error otherwise.
void CheckCodepage(const std::string& codepage);

// ---- The terminal ----------------------------------------------------------------------------

bool StdinIsTerminal();
bool StderrIsTerminal();
// Asks on the terminal (POSIX) or the console (Windows) and reads one line, without its line
// ending and, unless `echo`, without showing what is typed. UTF-8 as typed.
enum class Asked { kAnswered, kNoTerminal, kNoAnswer };
Asked AskTerminal(const std::string& prompt, bool echo, std::string& answer);
// The bytes of `path` ("-" is standard input) up to and including its first line break, or all
// of them when there is none. An interrupted read is read again rather than taken for the end.
std::string ReadFirstLine(const std::string& path);
// Seconds on a clock that only moves forward.
double MonotonicSeconds();
// The password: the first line of `passwordFile` ("-" is stdin) without its line ending, or
// asked on the terminal without echo (twice when `confirm`). UTF-8 as typed.
std::string ObtainPassword(const std::string& passwordFile, bool confirm);
// Obtains the password (asked twice when `confirm`), converts it to `codepage`, refuses it when
// unrepresentable or longer than the self-extractor takes, and derives the archive's keys.
void ObtainArchiveKeys(const std::string& passwordFile, bool confirm, const std::string& codepage,
                       struct ArchiveKeys& keys);
// Asks a yes/no question on the terminal; false unless the answer starts with y.
bool AskYesNo(const std::string& question);

// A progress bar with rate and time left on stderr, drawn only when enabled.
class Progress {
 public:
  Progress(const std::string& label, int64_t total, bool enabled);
  ~Progress();
  void Advance(int64_t bytes);
  void Finish();

 private:
  void Draw(bool final);
  std::string label_;
  int64_t total_, done_ = 0;
  bool enabled_;
  double start_, lastDraw_ = 0;
};
// Bodies above this size show a progress bar on a terminal.
inline constexpr int64_t kProgressThreshold = 4 << 20;

// A read-through stream that reports progress on every read.
class ProgressStream final : public Stream {
 public:
  ProgressStream(Stream& inner, Progress& progress) : inner_(inner), progress_(progress) {}
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override { return inner_.Write(buffer, count); }
  int64_t Position() override { return inner_.Position(); }
  int64_t Size() override { return inner_.Size(); }
  bool SetPosition(int64_t position) override { return inner_.SetPosition(position); }

 private:
  Stream& inner_;
  Progress& progress_;
  int64_t pending_ = 0;
};

// Lends the core a second thread (KxCpu.h: HelperThread), made when the core first asks for it:
// long DES and Triple-DES decryptions then run on both. When the system gives no thread the
// core works alone.
void LendHelperThread();

// A pass-through stream whose system calls, and optionally SHA-1, run in threads of their own
// beside the caller's enciphering, over a ring of fixed slots, so that memory stays bounded:
//   kReadAhead: a thread reads `inner` from its position to the end it had when the pipe was
//     made into the slots; the caller's reads take the bytes from there.
//   kWriteBehind: the caller's writes fill the slots; a thread stores them into `inner`. A store
//     that fails makes every later Write store nothing, and Finish reports it.
// With `hash`, one more thread hashes every slot in order: the SHA-1 of exactly the bytes that
// the reader thread read or the caller wrote. Nothing else may use `inner` until Finish.
// Where the system gives no thread (a process limit, no memory for a stack), the pipe does the
// same work on the caller's thread, slower but with the same results.
class PipeStream final : public Stream {
 public:
  enum Direction { kReadAhead, kWriteBehind };
  PipeStream(Stream& inner, Direction direction, bool hash);
  ~PipeStream();
  PipeStream(const PipeStream&) = delete;
  PipeStream& operator=(const PipeStream&) = delete;
  int32_t Read(void* buffer, int32_t count) override;          // kReadAhead only
  int32_t Write(const void* buffer, int32_t count) override;   // kWriteBehind only
  int64_t Position() override { return position_; }
  // Reading: the end of `inner` when the pipe was made, -1 when it could not be read.
  int64_t Size() override { return direction_ == kReadAhead ? end_ : position_; }
  bool SetPosition(int64_t) override { return false; }
  // Writing: the rest of the slot being filled, so that bytes made there need no copy.
  uint8_t* WriteSpace(int32_t& capacity) override;
  // Ends the threads once they are through what was written (or, reading, at once) and writes
  // the digest when hashing; false when a store behind failed (`inner` then tells why). Also for
  // the failure path, before `inner` is asked for its error. Call once.
  bool Finish(uint8_t digest[20] = nullptr);

 private:
  // 8 MiB in flight: enough to ride out the stalls of a writer the kernel throttles; slots large
  // enough that the threads wake and the system is called seldom.
  static constexpr int kSlots = 16;
  static constexpr int32_t kSlotSize = 512 * 1024;
  bool StartThreads();  // false when the system gives none; the caller's thread then does it all
  void ReadAhead();  // the reader thread
  void Publish();    // hands the slot the caller filled to the threads and waits for a free one
  void Stop();
  // Runs `use` on every published slot in order; `done` counts the slots it finished.
  template <class Use>
  void Consume(uint64_t& done, Use use);
  uint64_t Slowest() const { return hash_ ? std::min(hashed_, delivered_) : delivered_; }
  // Counts a slot `done` (hashed_ or delivered_), under the mutex; true when that freed it.
  bool Advance(uint64_t& done);
  uint8_t* Slot(uint64_t sequence) { return slots_.get() + size_t(sequence % kSlots) * kSlotSize; }

  Stream& inner_;
  const Direction direction_;
  const bool hash_;
  Sha1Context context_;
  std::unique_ptr<uint8_t[]> slots_;
  int32_t sizes_[kSlots] = {};
  int32_t fill_ = 0;      // the caller's place in its current slot: bytes written or taken
  int64_t position_ = 0;  // as the caller sees it
  int64_t end_ = 0;       // reading: the end of `inner` when the pipe was made
  uint64_t published_ = 0, hashed_ = 0, delivered_ = 0;  // slot counts, in sequence
  bool producerDone_ = false, stopping_ = false, writeFailed_ = false;
  bool serial_ = false;  // no threads: Read and Write go to `inner` directly
  std::mutex mutex_;
  // Each waiter is woken only by what it waits for: the consumers (the hasher, the writer, a
  // reading caller) by a slot published or the producer done; the producer (the reader thread,
  // a writing caller) by a slot freed or the end. Notified after the mutex is let go, so that a
  // thread woken does not at once sleep again on the mutex.
  std::condition_variable slotPublished_, slotFreed_;
  std::thread hasher_, mover_;  // mover: the reader or the writer
};

// ---- Files ------------------------------------------------------------------------------------

// An open folder and the path it was opened by. On POSIX names below it are resolved from it,
// never again through its path; on Windows it is held open without delete sharing, so that it
// cannot be renamed or removed while it is held, and the path keeps naming it.
class FolderHandle {
 public:
  FolderHandle(FileHandle handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  FolderHandle(FolderHandle&& other) noexcept : handle_(other.handle_), path_(std::move(other.path_)) {
    other.handle_ = kNoFile;
  }
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;
  ~FolderHandle();
  FileHandle handle() const { return handle_; }
  const std::string& path() const { return path_; }

 private:
  FileHandle handle_;
  std::string path_;
};
// Opens a folder the user named (a link there is the user's own choice).
FolderHandle OpenFolder(const std::string& path);

// What stands at `name` in `folder`, a link not followed; kNone also when it cannot be looked at.
enum class EntryKind { kNone, kFolder, kOther };
EntryKind EntryIn(const FolderHandle& folder, const std::string& name);

// What stands at a path, links followed; `error` is the system's code when it cannot be looked
// at (nothing there included).
struct PathFacts {
  int error = 0;
  bool folder = false, regular = false;
  int64_t size = 0;
};
PathFacts LookAt(const std::string& path);
inline bool IsDirectory(const std::string& path) { return LookAt(path).folder; }

// A temporary file `.zqv-tmp-XXXXXXXX` (eight hex digits) in `folder`, removed again unless
// Commit() renamed it to `name` there. An interrupt removes it too. It is marked as in use until
// then (POSIX: an advisory lock, flock; Windows: a handle no other may share), so that a
// temporary that can be taken was left by a zqv that was killed or lost its machine: the
// constructor first removes those in `folder`, saying so on stderr unless `quiet`, and never
// touches one still in use. `shown` names the target in messages.
class TempFile {
 public:
  TempFile(const FolderHandle& folder, const std::string& name, const std::string& shown, bool quiet = false);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  // Reserves the file's first `bytes` on the disk. The file system then maps the blocks in one
  // step instead of piece by piece as the writes come, and a disk or quota that cannot hold them
  // fails here, before any work. Where it cannot or should not reserve, the writes go on as
  // before and report their own errors.
  void Reserve(int64_t bytes);
  // The open file, for a stream to take over.
  FileHandle Release();
  // Sets the mode (masked by umask; POSIX only) and renames over the target. A file that
  // replaces another is flushed to disk before the rename (and on POSIX the folder after it), so
  // that a crash leaves the old file or the new one, never neither; a file under a name that was
  // free is renamed without waiting for the disk (as cp, tar and unzip leave theirs), unless
  // `durable`.
  void Commit(unsigned mode, bool durable);

 private:
  const FolderHandle& folder_;
  FileHandle file_ = kNoFile;
  FileHandle hold_ = kNoFile;  // a second handle of the file that keeps it in use while a stream has file_
  std::string name_, shown_;
  char temp_[32] = {};
  bool committed_ = false;
};

// zqv's temporaries are named kTempPrefix and exactly eight lower-case hex digits.
inline constexpr char kTempPrefix[] = ".zqv-tmp-";
bool IsTempName(const char* name);
// Says on stderr that a stale temporary was removed.
void ReportRemovedTemporary(const std::string& folder, const char* name, int64_t size);

// Folders on a path the user named, made by one run, removed again (innermost first) unless kept.
class CreatedFolders {
 public:
  ~CreatedFolders();
  // Creates `folder` and every missing parent.
  void Make(const std::string& folder);
  void Keep() { folders_.clear(); }

 private:
  std::vector<std::string> folders_;
};

// The folder an archive's output goes in: the destination, then the stored name's folders
// below it, each opened from the one before without following a link (on Windows: a symbolic
// link, junction or other reparse point), so that no link inside the destination (nor one
// swapped in while the file is written) leads outside it. A link or a file where a folder
// belongs is refused. A missing folder ends the walk unless `create`; folders made are removed
// again unless kept.
class OutputFolder {
 public:
  OutputFolder(const std::string& destination, const std::vector<std::string>& folders, bool create);
  ~OutputFolder();
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;
  // Every folder exists and innermost() is the last of them.
  bool complete() const { return complete_; }
  const FolderHandle& innermost() const { return *folders_.back(); }
  void Keep() { created_.clear(); }

 private:
  std::vector<std::unique_ptr<FolderHandle>> folders_;
  std::vector<std::pair<size_t, std::string>> created_;  // (index of the parent, name)
  bool complete_ = false;
};

// Paths in the system's own form: "/" separates on POSIX; a backslash or "/" on Windows, where
// a drive (C:) or a share (\\server\share) may start the path.
std::string BaseName(const std::string& path);
std::string DirName(const std::string& path);
// `name` below `folder`, with one separator between them.
std::string JoinPath(const std::string& folder, const std::string& name);
// The path without the separators that end it, but for a root ("/", C:\ ).
std::string WithoutTrailingSeparators(const std::string& path);
// The places a stub is looked for when none is named, in order, each with the word --version
// shows for it: beside the executable, the installed tree's, a build tree's.
std::vector<std::pair<std::string, std::string>> StubPlaces();
// An environment variable's value in UTF-8; nullopt when unset or empty.
std::optional<std::string> EnvironmentValue(const char* name);
// Prepares the process (on Windows: the console's code page, which is given back at exit) and
// returns its arguments in UTF-8, the program's name first.
std::vector<std::string> StartProgram(int argc, char** argv);

// ---- Commands ---------------------------------------------------------------------------------

struct BuildOptions {
  std::string input, output, stub, cipher = "aes256", name, dest, mode = "confirm", title, runAfter;
  bool destTemp = false, destCurrent = false, hideMode = false, autoStart = false;
  std::string passwordFile, codepage = "WINDOWS-1252";
  bool sync = false;  // the output on disk before zqv ends, also under a new name
  // Every clock reading the chaining block is made from, in milliseconds; unset: the clock's.
  std::optional<uint32_t> seed;
};
int RunBuild(const BuildOptions& options);

struct OpenOptions {
  std::string archive, directory = ".", passwordFile, codepage = "WINDOWS-1252";
  bool json = false, quiet = false;
  bool sync = false;  // the output on disk before zqv ends, also under a new name
  std::optional<int> overwrite;  // 0 overwrite, 1 skip, 2 confirm; unset: the header's mode
};
int RunInfo(const OpenOptions& options);
int RunTest(const OpenOptions& options);
int RunExtract(const OpenOptions& options);

// The stub to copy: `given`, else $ZQV_STUB, else the first of StubPlaces() that is a readable
// file. `where` names which.
std::optional<std::string> FindStub(const std::string& given, std::string* where);
// FindStub's answer, or a ToolError saying how to get a stub.
std::string ResolveStub(const std::string& given);
// The output name's path below the destination: backslashes and slashes separate folders, "."
// parts drop out; a name that is empty, absolute, names a drive or climbs above the
// destination with ".." is refused (the reason in `why`).
std::optional<std::vector<std::string>> SafeRelativePath(const std::string& name, std::string& why);
