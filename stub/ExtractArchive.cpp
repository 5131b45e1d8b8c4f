// The extraction driver. An existing output file is never lost to a failed attempt: the body
// is decrypted into a temporary file beside the output, hashed as it is written, and only a
// matching digest replaces the output with it. A wrong password, a short body, a full disk or
// Cancel leaves the output folder as it was.
//
// The temporary file ("zqv", four hexadecimal digits, ".tmp") is held open without sharing from
// its creation until it is moved into place, so no other process can delete it meanwhile. A
// stub that was killed leaves its file behind, closed by the system; the next extraction into
// that folder removes such files, those of the pattern that can be deleted.
#include "ExtractArchive.h"

#include <windows.h>

#include "State.h"
#include "Text.h"
#include "Win32File.h"
#include "crypto/FileStream.h"
#include "crypto/KxCipher.h"
#include "HashingOutput.h"
#include "crypto/Bytes.h"
#include "format/OutputName.h"
#include "ui/MainDialog.h"
#include "ui/PasswordDialog.h"

namespace {

char gOutputPath[kOutputPathCapacity];
// The temporary file the body is decrypted into, beside the output; empty when there is none.
char gTempFile[kOutputPathCapacity + 16];

bool IsFolder(const char* path) {
  const DWORD a = GetFileAttributesA(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFile(const char* path) {
  const DWORD a = GetFileAttributesA(path);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// Closes and removes the temporary file. Once it is closed another stub may take it for a stale
// one and delete it first, which does no harm: a file made since under that name is held open
// by its stub, and this delete fails.
void RemoveTempFile(TFileStream& temp) {
  (void)temp.Close();
  if (gTempFile[0]) DeleteFileA(gTempFile);
  gTempFile[0] = 0;
}

// The refusal of a stored name that would leave the destination or name a device.
char gNameError[300];

// The destination, a backslash unless it is empty or ends in one, and the output file name as
// the shared name rule makes it. A name that reaches outside the destination (a "..", a drive,
// a leading backslash) or names a device is refused before anything is created. Names the
// file system refuses by itself (empty, or with a character file names cannot hold) go on as
// stored, so that creating the output reports them.
Status BuildOutputPath() {
  char name[256], safe[256];
  const int length = ReadField(gHeader.outputName, name);
  const OutputNameFault fault = MakeOutputPath(name, length, '\\', safe);
  if (fault != kNameSafe && fault != kNameEmpty && fault != kNameCharacter) {
    TextBuilder(gNameError, sizeof gNameError).Add("The output name \"").Add(name).Add("\" ").Add(
        OutputNameFaultText(fault)).AddChar('.');
    return RaiseError(ErrorKind::EInOutError, gNameError);
  }
  TextBuilder path(gOutputPath, sizeof gOutputPath);
  path.Add(gDestinationDir);
  if (path.Length() > 0 && gOutputPath[path.Length() - 1] != '\\') path.AddChar('\\');
  path.Add(fault == kNameSafe ? safe : name);
  return kOk;
}

// The folder part of a path: everything up to and including its last backslash or colon.
int FolderPartLength(const char* path) {
  int length = 0;
  for (int i = 0; path[i]; ++i)
    if (path[i] == '\\' || path[i] == ':') length = i + 1;
  return length;
}

// Creates the output's folder with every missing parent, the outermost first. Whether each
// creation worked is not examined: a folder that could not be made shows up as the creation
// error of the output file.
Status CreateOutputFolder() {
  const int length = FolderPartLength(gOutputPath);
  if (length == 0) return RaiseError(ErrorKind::EInOutError, "Unable to create directory");
  char folder[kOutputPathCapacity];
  TextBuilder(folder, sizeof folder).Add(gOutputPath, length);
  if (IsFolder(folder)) return kOk;
  int end = length;
  if (end > 1 && folder[end - 1] == '\\') folder[--end] = 0;
  // Each backslash after the first character ends one ancestor; a drive or server part simply
  // fails to be created, which nothing examines.
  for (int i = 1; i < end; ++i) {
    if (folder[i] != '\\') continue;
    folder[i] = 0;
    if (!IsFolder(folder)) CreateDirectoryA(folder, nullptr);
    folder[i] = '\\';
  }
  CreateDirectoryA(folder, nullptr);
  return kOk;
}

// Ends the process, or not, by the overwrite mode when a file already stands at the output
// path. Overwrite and Yes change nothing yet: the file is replaced only by a verified result.
void ApplyOverwriteMode() {
  if (!IsFile(gOutputPath)) return;
  if (gOverwriteMode == 1) ExitProcess(0);
  if (gOverwriteMode == 2) {
    char question[kOutputPathCapacity + 32];
    TextBuilder(question, sizeof question).Add(gOutputPath).Add(" already exists. Overwrite?");
    if (MessageBoxA(nullptr, question, kMessageCaption, MB_ICONQUESTION | MB_YESNO) != IDYES) ExitProcess(0);
  }
}

void AskPasswordAndDeriveKeys() {
  DialogBoxParamA(gInstance, "PASSWD", nullptr, PasswordDialogProc, 0);
  TextBuilder(gPasswordText, sizeof gPasswordText).Add(gPassword);
  DeriveArchiveKeys(gPasswordText, gKeys);
}

Status CreateError(DWORD error) { return RaiseFileError(ErrorKind::EFCreateError, gOutputPath, error); }

// A write to the temporary file that failed, reported against the output path with the
// system's reason (a full disk when the system gave none).
Status WriteError(const TFileStream& temp) {
  const DWORD error = temp.LastError();
  return RaiseFileError(ErrorKind::EWriteError, gOutputPath, error ? error : ERROR_DISK_FULL);
}

// Whether a file name is one of the temporary files: "zqv", four hexadecimal digits, ".tmp", in
// any case, as the file system compares names.
bool IsTempName(const char* name) {
  static const char kPattern[] = "zqv####.tmp";
  for (int i = 0; i < 12; ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
    const bool fits = kPattern[i] == '#' ? (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') : c == kPattern[i];
    if (!fits) return false;
  }
  return true;
}

// Removes from the output's folder (the first `folderLength` characters of gTempFile) the
// temporary files that stubs which were stopped left there: files of the pattern that can be
// deleted. A running stub's file is open without delete sharing, and the system refuses to
// delete it; the handles of a killed process are closed, so its file can go. Nothing else is
// touched, and what cannot be removed stays without a word.
void RemoveStaleTempFiles(int folderLength) {
  char* const name = gTempFile + folderLength;
  const int capacity = int(sizeof gTempFile) - folderLength;
  TextBuilder(name, capacity).Add("zqv*");
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(gTempFile, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsTempName(found.cFileName)) {
      TextBuilder(name, capacity).Add(found.cFileName);
      DeleteFileA(gTempFile);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

// Counts the four digits of a temporary name up by one, as a hexadecimal number; false past FFFF.
bool NextTempName(char* digits) {
  for (int i = 3; i >= 0; --i) {
    char& c = digits[i];
    if (c == '9') c = 'A';
    else if (c != 'F') ++c;
    else {
      c = '0';
      continue;
    }
    return true;
  }
  return false;
}

// Finds the reasons the output file could not be created before any byte is decrypted, and
// reports each as creating the output path would: a path that names a folder or ends in a
// backslash, a missing folder, an existing file that may not be replaced, a folder that may not
// be written. Then removes stale temporary files and makes the temporary file beside the output,
// open in `temp`.
Status CreateTempFile(TFileStream& temp) {
  const int length = TextLength(gOutputPath);
  const int folderLength = FolderPartLength(gOutputPath);
  char folder[kOutputPathCapacity];
  TextBuilder(folder, sizeof folder).Add(gOutputPath, folderLength);
  if (IsFolder(gOutputPath) || gOutputPath[length - 1] == '\\' || !IsFolder(folder)) {
    // No file can come into being under such a path; the system's own answer gives the text.
    HANDLE h = CreateFileA(gOutputPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return CreateError(GetLastError());
    CloseHandle(h);
    DeleteFileA(gOutputPath);
  }
  if (IsFile(gOutputPath)) {
    // Opening for writing without changing it tells whether it can be replaced later.
    HANDLE h = CreateFileA(gOutputPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return CreateError(GetLastError());
    CloseHandle(h);
  }
  // Folders of more than MAX_PATH - 14 characters, which only systems with long paths can hold,
  // are past what this ANSI program handles: that fails as the creation of the output file,
  // before anything is written. gTempFile has room for the longest output folder and the name.
  if (folderLength > MAX_PATH - 14) return CreateError(ERROR_FILENAME_EXCED_RANGE);
  TextBuilder(gTempFile, sizeof gTempFile).Add(folder);
  RemoveStaleTempFiles(folderLength);
  // The first free name from zqv0000.tmp on, created and opened without sharing in one step: no
  // moment passes in which another stub could take the new file for a stale one.
  TextBuilder(gTempFile + folderLength, sizeof gTempFile - folderLength).Add("zqv0000.tmp");
  for (;;) {
    const HANDLE h = CreateFileA(gTempFile, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      temp.Adopt(reinterpret_cast<FileHandle>(h));
      return kOk;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS) {
      if (NextTempName(gTempFile + folderLength + 3)) continue;
    }
    gTempFile[0] = 0;
    return CreateError(error);
  }
}

// The body as the decrypter reads it: each read counts towards the progress the main dialog
// shows, and once Cancel has asked the extraction to stop, reads give nothing, which ends the
// decryption at its next read.
class WatchedBody final : public Stream {
 public:
  explicit WatchedBody(Stream& inner) : inner_(inner) {}
  int32_t Read(void* buffer, int32_t count) override {
    if (__atomic_load_n(&gProgress.stop, __ATOMIC_RELAXED)) return 0;
    const int32_t n = inner_.Read(buffer, count);
    if (n > 0) read_ += n;
    __atomic_store_n(&gProgress.doneKiB, uint32_t(read_ >> 10), __ATOMIC_RELAXED);
    return n;
  }
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Position() override { return inner_.Position(); }
  int64_t Size() override { return inner_.Size(); }
  bool SetPosition(int64_t position) override { return inner_.SetPosition(position); }

 private:
  Stream& inner_;
  int64_t read_ = 0;
};

// What the extraction's worker thread is given and gives back.
struct Decryption {
  Stream* body;
  TFileStream* temp;
  Status outcome;
  bool written;  // the temporary file took every byte
  uint8_t digest[20];
};

// The worker: decrypts the body into the temporary file, hashing each piece as it is written.
DWORD WINAPI DecryptOnWorker(void* argument) {
  Decryption& job = *static_cast<Decryption*>(argument);
  HashingOutput output(*job.temp);
  job.outcome = DecryptBody(gHeader.cipher, gKeys, *job.body, output);
  // Cancelled: what is still in flight is dropped rather than hashed and written.
  if (__atomic_load_n(&gProgress.stop, __ATOMIC_RELAXED)) output.Abandon();
  job.written = output.Finish(job.digest);
  return 0;
}

// Decrypts the body into the temporary file, which stays open, and hashes what was written. The
// work runs on a thread of its own while the main dialog keeps answering and shows how far it
// has got; Cancel stops it at its next read of the body.
Status DecryptAndHash(TFileStream& temp, uint8_t digest[20]) {
  uint8_t head[kPeHeadSize];
  TFileStream file;
  if (Status s = file.Open(gModulePath, FileAccess::ReadShareRead); !s.Ok()) return s;
  // The body ends where a signer's certificate table begins. The handle lets nobody write, so
  // the size and the table read here stay what the body is read against.
  const int32_t headSize = file.Read(head, kPeHeadSize);
  const int64_t fileSize = file.Size();
  if (fileSize < 0) return RaiseFileError(ErrorKind::EReadError, gModulePath, file.LastError());
  const int64_t bodyEnd = BodyEnd(FindCertificateTable(head, headSize, fileSize), fileSize);
  BoundedStream body(file, bodyEnd);
  if (!body.SetPosition(BodyOffset)) return RaiseError(ErrorKind::ECipherException, kInvalidFileFormat);
  if (Status s = CreateTempFile(temp); !s.Ok()) return s;

  gProgress.totalKiB = bodyEnd > BodyOffset ? uint32_t((bodyEnd - BodyOffset) >> 10) : 0;
  WatchedBody watched(body);
  Decryption job{&watched, &temp, kOk, false, {}};
  RunAnswering(DecryptOnWorker, &job);
  Status s = job.outcome;
  if (!job.written) s = RaiseError(ErrorKind::EWriteError, "Write error");
  (void)file.Close();
  // A full disk is reported as such, naming the output and the system's reason.
  if (s.kind == ErrorKind::EWriteError) return WriteError(temp);
  // A body the disk could not give is no damaged archive and no wrong password: the system's
  // reason is reported.
  if (file.LastError() != 0) return RaiseFileError(ErrorKind::EReadError, gModulePath, file.LastError());
  CopyBytes(digest, job.digest, 20);
  return s;
}

// Puts the verified temporary file in the output's place. Moving needs the file closed (an open
// handle that shares no deletion forbids renaming it too); the close comes first, so that a
// write the system reports lost only then keeps the existing output. Between the close and the
// move the file is unlocked: a stub starting in this folder at that moment could remove it, and
// the move then fails as the creation of the output.
Status ReplaceOutputFile(TFileStream& temp) {
  if (!temp.Close().Ok()) return WriteError(temp);
  DeleteFileA(gOutputPath);  // a failed delete shows up in the move
  if (!MoveFileA(gTempFile, gOutputPath)) return CreateError(GetLastError());
  gTempFile[0] = 0;
  return kOk;
}

}  // namespace

Status ExtractArchive(bool& verified) {
  verified = false;
  gTempFile[0] = 0;
  gProgress = {};  // a Cancel of an earlier attempt is not this one's
  if (Status s = BuildOutputPath(); !s.Ok()) return s;
  if (Status s = CreateOutputFolder(); !s.Ok()) return s;
  ApplyOverwriteMode();
  AskPasswordAndDeriveKeys();

  TFileStream temp;
  uint8_t digest[20];
  Status s = DecryptAndHash(temp, digest);
  // Cancelled: nothing stands under the output name, and an existing output file is as it was.
  if (__atomic_load_n(&gProgress.stop, __ATOMIC_RELAXED)) {
    RemoveTempFile(temp);
    return kOk;
  }
  if (s.Ok()) {
    char line[kDigestLineLength + 1];
    MakeDigestLine(digest, line);
    if (!DigestLineMatches(gHeader, line)) {
      RemoveTempFile(temp);
      MessageBoxA(nullptr, "Wrong password.", kMessageCaption, MB_ICONERROR);
      return kOk;
    }
    s = ReplaceOutputFile(temp);
  }
  // No unverified output stays behind an error.
  RemoveTempFile(temp);
  verified = s.Ok();
  return s;
}
