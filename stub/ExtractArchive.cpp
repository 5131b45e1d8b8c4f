// The extraction driver. An existing output file is never lost to a failed attempt: the body
// is decrypted into a temporary file beside the output, that file is hashed, and only a
// matching digest replaces the output with it. A wrong password, a short body or a full disk
// leaves the output folder as it was.
#include "ExtractArchive.h"

#include <windows.h>

#include "State.h"
#include "Text.h"
#include "Win32File.h"
#include "crypto/FileStream.h"
#include "crypto/KxCipher.h"
#include "crypto/KxClass.h"
#include "format/OutputName.h"
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

void RemoveTempFile() {
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

// Finds the reasons the output file could not be created before any byte is decrypted, and
// reports each as creating the output path would: a path that names a folder or ends in a
// backslash, a missing folder, an existing file that may not be replaced, a folder that may not
// be written. Then makes the temporary file beside the output.
Status CreateTempFile() {
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
  // The buffer has room for the longest output folder and the "zqvXXXX.tmp" name, more than
  // GetTempFileNameA is documented to write.
  // GetTempFileNameA takes folders of at most MAX_PATH - 14 characters. A longer one, which only
  // systems with long paths can hold, is past what this ANSI program handles: it fails as the
  // creation of the output file, before anything is written.
  if (folderLength > MAX_PATH - 14) return CreateError(ERROR_FILENAME_EXCED_RANGE);
  if (!GetTempFileNameA(folder, "zqv", 0, gTempFile)) {
    gTempFile[0] = 0;
    return CreateError(GetLastError());
  }
  return kOk;
}

// Decrypts the body into the temporary file and hashes what was written.
Status DecryptAndHash(uint8_t digest[20]) {
  // 64 KiB reads go from the file straight into this buffer (TKxSHA1's 1 KiB reads made a
  // 256 MiB file 262,144 calls through the stream's buffer); first it holds the PE header.
  uint8_t chunk[64 * 1024];
  TFileStream file;
  if (Status s = file.Open(gModulePath, FileAccess::ReadShareRead); !s.Ok()) return s;
  // The body ends where a signer's certificate table begins. The handle lets nobody write, so
  // the size and the table read here stay what the body is read against.
  const int32_t head = file.Read(chunk, kPeHeadSize);
  const int64_t fileSize = file.Size();
  if (fileSize < 0) return RaiseFileError(ErrorKind::EReadError, gModulePath, file.LastError());
  BoundedStream body(file, BodyEnd(FindCertificateTable(chunk, head, fileSize), fileSize));
  if (!body.SetPosition(BodyOffset)) return RaiseError(ErrorKind::ECipherException, kInvalidFileFormat);
  if (Status s = CreateTempFile(); !s.Ok()) return s;

  TFileStream output;
  Status s = output.Open(gTempFile, FileAccess::CreateExclusive);
  if (s.Ok()) s = DecryptBody(gHeader.cipher, gKeys, body, output);
  const Status closed = output.Close();
  (void)file.Close();
  if (s.Ok()) s = closed;
  if (s.kind == ErrorKind::EWriteError) {
    // A full disk is reported as such, naming the output and the system's reason.
    const DWORD error = output.LastError();
    s = RaiseFileError(ErrorKind::EWriteError, gOutputPath, error ? error : ERROR_DISK_FULL);
  } else if (file.LastError() != 0) {
    // A body the disk could not give is no damaged archive and no wrong password: the system's
    // reason is reported.
    s = RaiseFileError(ErrorKind::EReadError, gModulePath, file.LastError());
  }
  if (!s.Ok()) return s;

  TFileStream written;
  if (Status o = written.Open(gTempFile, FileAccess::ReadShareRead); !o.Ok()) return o;
  Sha1Context sha;
  Sha1Start(sha);
  for (int32_t n; (n = written.Read(chunk, sizeof chunk)) > 0;) Sha1Add(sha, chunk, n);
  Sha1Finish(sha, digest);
  // A file that cannot be read back is not judged: its digest would blame the password.
  if (written.LastError() != 0) return RaiseFileError(ErrorKind::EReadError, gOutputPath, written.LastError());
  return written.Close();
}

// Puts the verified temporary file in the output's place.
Status ReplaceOutputFile() {
  if (IsFile(gOutputPath)) DeleteFileA(gOutputPath);  // a failed delete shows up in the move
  if (!MoveFileA(gTempFile, gOutputPath)) return CreateError(GetLastError());
  gTempFile[0] = 0;
  return kOk;
}

}  // namespace

Status ExtractArchive(bool& verified) {
  verified = false;
  gTempFile[0] = 0;
  if (Status s = BuildOutputPath(); !s.Ok()) return s;
  if (Status s = CreateOutputFolder(); !s.Ok()) return s;
  ApplyOverwriteMode();
  AskPasswordAndDeriveKeys();

  uint8_t digest[20];
  Status s = DecryptAndHash(digest);
  if (s.Ok()) {
    char line[kDigestLineLength + 1];
    MakeDigestLine(digest, line);
    if (!DigestLineMatches(gHeader, line)) {
      RemoveTempFile();
      MessageBoxA(nullptr, "Wrong password.", kMessageCaption, MB_ICONERROR);
      return kOk;
    }
    s = ReplaceOutputFile();
  }
  // No unverified output stays behind an error.
  RemoveTempFile();
  verified = s.Ok();
  return s;
}
