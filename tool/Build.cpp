// zqv build: a copy of the stub, the archive header and the encrypted body, in that order.
#include <cstring>
#include <map>

#include "Tool.h"
#include "crypto/FileStream.h"
#include "format/Archive.h"

namespace {

uint32_t MillisecondClock() { return uint32_t(int64_t(MonotonicSeconds() * 1000)); }

uint8_t CipherSelectorOf(const std::string& name) {
  static const std::map<std::string, uint8_t> kCiphers = {{"blowfish", kCipherBlowfish},
                                                          {"des", kCipherDes},
                                                          {"3des", kCipherTripleDes},
                                                          {"aes128", kCipherRijndael128},
                                                          {"aes256", kCipherRijndael256}};
  const auto it = kCiphers.find(name);
  if (it == kCiphers.end())
    throw ToolError(kExitUsage, "--cipher " + name + ": not one of blowfish, des, 3des, aes128, aes256");
  return it->second;
}

uint8_t OverwriteModeOf(const std::string& name) {
  if (name == "overwrite") return 0;
  if (name == "skip") return 1;
  if (name == "confirm") return 2;
  throw ToolError(kExitUsage, "--mode " + name + ": not one of overwrite, skip, confirm");
}

// Converts a text for a header field; refuses what the code page cannot hold or the field cannot.
template <size_t N>
void StoreText(uint8_t (&field)[N], const std::string& utf8, const char* what, const std::string& codepage) {
  const auto ansi = ToCodepage(utf8, codepage);
  if (!ansi)
    throw ToolError(kExitError, std::string(what) + " \"" + utf8 + "\": not representable in code page " +
                                    CodepageName(codepage));
  if (ansi->size() > N - 1)
    throw ToolError(kExitError, std::string(what) + ": " + std::to_string(ansi->size()) +
                                    " characters, at most " + std::to_string(N - 1) + " fit");
  if (!WriteField(field, ansi->data(), int(ansi->size())))
    throw ToolError(kExitError, std::string(what) + ": too long");
}

// Copies the stub, which must be exactly HeaderOffset bytes, to the start of `out`.
void CopyStub(const std::string& stubPath, TFileStream& out, const std::string& outName) {
  TFileStream stub;
  if (Status s = stub.Open(stubPath.c_str(), FileAccess::ReadShareRead); !s.Ok()) FailStatus(s, stubPath);
  const int64_t size = stub.Size();
  if (size < 0) Fail(stubPath, "cannot read its size: " + SystemText(int(stub.LastError())));
  if (size != HeaderOffset)
    Fail(stubPath, "the stub is " + std::to_string(size) + " bytes; a stub must be exactly " +
                       std::to_string(HeaderOffset) + " bytes");
  static uint8_t buffer[64 * 1024];
  int64_t copied = 0;
  while (copied < HeaderOffset) {
    const int32_t n = stub.Read(buffer, sizeof buffer);
    if (n <= 0) Fail(stubPath, "cannot read: " + SystemText(int(stub.LastError())));
    if (out.Write(buffer, n) != n) Fail(outName, "cannot write: " + SystemText(int(out.LastError())));
    copied += n;
  }
}

}  // namespace

int RunBuild(const BuildOptions& o) {
  CheckCodepage(o.codepage);
  const uint8_t selector = CipherSelectorOf(o.cipher);
  const uint8_t overwriteMode = OverwriteModeOf(o.mode);

  ArchiveHeader header;
  InitArchiveHeader(header);
  const std::string name = o.name.empty() ? BaseName(o.input) : o.name;
  std::string why;
  if (!SafeRelativePath(name, why)) throw ToolError(kExitError, "--name: " + why);
  StoreText(header.outputName, name, "output name", o.codepage);
  header.destinationMode = o.destTemp ? 1 : !o.dest.empty() ? 2 : 0;
  if (!o.dest.empty()) StoreText(header.destinationDir, o.dest, "--dest", o.codepage);
  header.overwriteMode = overwriteMode;
  StoreText(header.windowTitle, o.title, "--title", o.codepage);
  StoreText(header.runAfter, o.runAfter, "--run-after", o.codepage);
  header.hideOverwrite = o.hideMode ? 1 : 0;
  header.autoStart = o.autoStart ? 1 : 0;
  header.cipher = selector;

  const std::string stubPath = ResolveStub(o.stub);
  TFileStream input;
  if (Status s = input.Open(o.input.c_str(), FileAccess::ReadShareRead); !s.Ok()) FailStatus(s, o.input);
  const PathFacts facts = LookAt(o.input);
  if (facts.error != 0) Fail(o.input, "cannot read: " + SystemText(facts.error));
  if (!facts.regular) Fail(o.input, "not a regular file");
  if (IsDirectory(o.output)) Fail(o.output, "is a folder");

  ArchiveKeys keys;
  ObtainArchiveKeys(o.passwordFile, true, o.codepage, keys);

  const FolderHandle folder = OpenFolder(DirName(o.output));
  TempFile temp(folder, BaseName(o.output), o.output);
  temp.Reserve(BodyOffset + EncryptedBodySize(selector, facts.size));
  TFileStream out;
  out.Adopt(temp.Release());
  CopyStub(stubPath, out, o.output);
  // The header goes in last, once the plaintext's digest is known; reserve its place now.
  const ArchiveHeader blank{};
  if (out.Write(&blank, sizeof blank) != int32_t(sizeof blank))
    Fail(o.output, "cannot write: " + SystemText(int(out.LastError())));

  // One pass over the input: what is hashed is exactly what is encrypted. Reading, hashing and
  // writing run in threads of their own, so this one only encrypts (CBC is serial).
  uint8_t digest[20];
  {
    PipeStream hashed(input, PipeStream::kReadAhead, /*hash=*/true);
    // The size the pipe reads to: one that could not be read is no empty file.
    const int64_t plainSize = hashed.Size();
    if (plainSize < 0) Fail(o.input, "cannot read its size: " + SystemText(int(input.LastError())));
    PipeStream body(out, PipeStream::kWriteBehind, /*hash=*/false);
    Progress progress("build", plainSize, StderrIsTerminal() && plainSize > kProgressThreshold);
    ProgressStream reader(hashed, progress);
    const MillisecondTimer timer = o.seed ? FixedMillisecondTimer(*o.seed) : MillisecondClock;
    const Status s = EncryptBody(selector, keys, reader, body, timer);
    const bool stored = body.Finish();
    hashed.Finish(digest);
    if (!s.Ok() || !stored) {
      if (s.kind == ErrorKind::EWriteError || !stored)
        Fail(o.output, "cannot write: " + SystemText(int(out.LastError())));
      if (input.LastError() != 0) Fail(o.input, "cannot read: " + SystemText(int(input.LastError())));
      Fail(o.input, "the file shrank while it was read");
    }
    progress.Finish();
  }
  SetDigestLine(header, digest);

  if (!out.SetPosition(HeaderOffset) || out.Write(&header, sizeof header) != int32_t(sizeof header))
    Fail(o.output, "cannot write: " + SystemText(int(out.LastError())));
  if (Status s = out.Close(); !s.Ok()) Fail(o.output, "cannot write: " + SystemText(int(out.LastError())));
  temp.Commit(0777, o.sync);
  return kExitOk;
}
