// zqv info, test and extract: read the header, check it, decrypt the body and verify its digest.
#include <cstdio>
#include <cstring>

#include "Tool.h"
#include "crypto/FileStream.h"
#include "format/Archive.h"

namespace {

struct LoadedArchive {
  ArchiveHeader header{};  // bytes past the end of the file read as zero, as the stub reads them
  int64_t fileSize = 0;
  int64_t headerBytes = 0;  // how many header bytes the file holds (832 unless cut)
  CertificateTable signature{};  // the signer's table that ends the body; size 0 when none
  int64_t bodyEnd = 0;            // where the body ends: the table, else the end of the file
  int64_t bodySize = 0;
  bool magic = false;
};

LoadedArchive LoadArchive(const std::string& path) {
  LoadedArchive a;
  TFileStream file;
  if (Status s = file.Open(path.c_str(), FileAccess::ReadShareRead); !s.Ok()) FailStatus(s, path);
  a.fileSize = file.Size();
  if (a.fileSize < 0) Fail(path, "cannot read its size: " + SystemText(int(file.LastError())));
  uint8_t head[kPeHeadSize];
  const int32_t headBytes = file.Read(head, kPeHeadSize);
  if (file.LastError() != 0) Fail(path, "cannot read: " + SystemText(int(file.LastError())));
  a.signature = FindCertificateTable(head, headBytes, a.fileSize);
  a.bodyEnd = BodyEnd(a.signature, a.fileSize);
  if (a.fileSize > HeaderOffset) {
    if (!file.SetPosition(HeaderOffset)) Fail(path, "cannot read: " + SystemText(int(file.LastError())));
    auto* bytes = reinterpret_cast<uint8_t*>(&a.header);
    while (a.headerBytes < HeaderSize) {
      const int32_t n = file.Read(bytes + a.headerBytes, int32_t(HeaderSize - a.headerBytes));
      if (n <= 0) break;
      a.headerBytes += n;
    }
    if (file.LastError() != 0) Fail(path, "cannot read: " + SystemText(int(file.LastError())));
  }
  a.bodySize = a.bodyEnd > BodyOffset ? a.bodyEnd - BodyOffset : 0;
  a.magic = HasArchiveMagic(a.header);
  return a;
}

std::string Text(const uint8_t* field, int fieldSize, const std::string& codepage) {
  std::string text(size_t(fieldSize), '\0');
  text.resize(size_t(ReadShortString(field, fieldSize, text.data())));
  return FromCodepage(text, codepage);
}
template <size_t N>
std::string Text(const uint8_t (&field)[N], const std::string& codepage) {
  return Text(field, int(N), codepage);
}

void RequireMagic(const LoadedArchive& a, const std::string& path) {
  if (a.fileSize <= HeaderOffset)
    Fail(path, "not a ZQV self-extractor: " + std::to_string(a.fileSize) +
                   " bytes, nothing follows the stub (the archive header belongs at offset " +
                   std::to_string(HeaderOffset) + ")");
  if (!a.magic)
    Fail(path, "not a ZQV self-extractor: no archive header magic at offset " + std::to_string(HeaderOffset));
}

bool EmptyFileDigestLine(const ArchiveHeader& header) {
  uint8_t digest[20];
  Sha1OfBuffer(digest, "", 0);
  char line[kDigestLineLength + 1];
  MakeDigestLine(digest, line);
  return DigestLineMatches(header, line);
}

// Checks what can be checked before the password is asked. False: the cipher selector is
// unknown, but the header's digest line is that of an empty file, which is then the output.
bool RequireDecryptable(const LoadedArchive& a, const std::string& path) {
  RequireMagic(a, path);
  const uint8_t selector = a.header.cipher;
  if (!IsKnownCipher(selector)) {
    if (EmptyFileDigestLine(a.header)) return false;
    Fail(path, "unknown cipher selector " + std::to_string(selector) + " (known: 0 to 4)");
  }
  const int block = CipherBlockSize(selector);
  if (a.bodySize < 2 * block)
    Fail(path, std::string(kInvalidFileFormat) + ": the encrypted body is " + std::to_string(a.bodySize) +
                   " bytes, shorter than two " + std::to_string(block) + "-byte blocks");
  return true;
}


class NullStream final : public Stream {
 public:
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void*, int32_t count) override {
    size_ += count;
    return count;
  }
  int64_t Position() override { return size_; }
  int64_t Size() override { return size_; }
  bool SetPosition(int64_t) override { return false; }

 private:
  int64_t size_ = 0;
};

// Decrypts the body into `out` and answers whether the result's digest line equals the header's.
// `outName` names the output in write errors; `outError` reports the output's system error code.
template <typename ErrorOf>
bool DecryptAndVerify(const LoadedArchive& a, const std::string& path, const ArchiveKeys& keys, bool known,
                      Stream& out, const std::string& outName, ErrorOf outError, bool quiet,
                      int64_t& written) {
  PipeStream hashed(out, PipeStream::kWriteBehind, /*hash=*/true);
  if (known) {
    TFileStream body;
    if (Status s = body.Open(path.c_str(), FileAccess::ReadShareRead); !s.Ok()) FailStatus(s, path);
    if (!body.SetPosition(BodyOffset)) Fail(path, "cannot read: " + SystemText(int(body.LastError())));
    Progress progress("extract", a.bodySize, !quiet && StderrIsTerminal() && a.bodySize > kProgressThreshold);
    BoundedStream bodyOnly(body, a.bodyEnd);
    ProgressStream reader(bodyOnly, progress);
    if (Status s = DecryptBody(a.header.cipher, keys, reader, hashed); !s.Ok()) {
      // The writer thread ends first, so that the output's error is its last word.
      if (!hashed.Finish() || s.kind == ErrorKind::EWriteError)
        Fail(outName, "cannot write: " + SystemText(int(outError())));
      if (body.LastError() != 0) Fail(path, "cannot read: " + SystemText(int(body.LastError())));
      Fail(path, s.message);
    }
    // A read that failed and was not seen as a short body (the next one succeeded) is still no
    // body to judge: the digest would blame the password.
    if (body.LastError() != 0) Fail(path, "cannot read: " + SystemText(int(body.LastError())));
    progress.Finish();
  }
  written = hashed.Position();
  uint8_t digest[20];
  if (!hashed.Finish(digest)) Fail(outName, "cannot write: " + SystemText(int(outError())));
  char line[kDigestLineLength + 1];
  MakeDigestLine(digest, line);
  return DigestLineMatches(a.header, line);
}

[[noreturn]] void FailWrongPassword(const std::string& path) {
  Fail(path, "wrong password (the decrypted file's SHA-1 does not match the archive's)", kExitWrongPassword);
}

const char* OverwriteModeName(uint8_t mode) {
  switch (mode) {
    case 0:
      return "overwrite";
    case 1:
      return "skip";
    case 2:
      return "confirm";
    default:
      return "overwrite (unlisted value)";
  }
}

const char* DestinationModeName(uint8_t mode) {
  switch (mode) {
    case 0:
      return "current folder when empty";
    case 1:
      return "temporary folder";
    default:
      return "as stored";
  }
}

std::string Json(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      out += buffer;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

// Applies the overwrite mode to an output that exists: false when the run ends here, successfully.
bool ConfirmOverwrite(const OpenOptions& o, const ArchiveHeader& header, const std::string& target) {
  const int mode = o.overwrite ? *o.overwrite : header.overwriteMode;
  if (mode == 1) {
    if (!o.quiet) std::fprintf(stderr, "zqv: %s: exists, skipped\n", target.c_str());
    return false;
  }
  if (mode == 2) {
    if (!StdinIsTerminal())
      Fail(target, "already exists; not overwritten without a terminal to confirm (use --overwrite or --skip)");
    if (!AskYesNo(target + " already exists. Overwrite?")) {
      if (!o.quiet) std::fprintf(stderr, "zqv: %s: not overwritten\n", target.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

void ObtainArchiveKeys(const std::string& passwordFile, bool confirm, const std::string& codepage,
                       ArchiveKeys& keys) {
  const auto password = ToCodepage(ObtainPassword(passwordFile, confirm), codepage);
  if (!password)
    throw ToolError(kExitError, "password: not representable in code page " + CodepageName(codepage));
  if (password->size() > size_t(kMaxPasswordLength))
    throw ToolError(kExitError, "password: " + std::to_string(password->size()) +
                                    " characters; the self-extractor takes at most " +
                                    std::to_string(kMaxPasswordLength));
  DeriveArchiveKeys(password->c_str(), keys);
}

int RunInfo(const OpenOptions& o) {
  CheckCodepage(o.codepage);
  const LoadedArchive a = LoadArchive(o.archive);
  const ArchiveHeader& h = a.header;
  const std::string cp = o.codepage;
  int64_t least = 0, most = 0;
  const bool sized = PlainSizeRange(h.cipher, a.bodySize, least, most);
  char reserved[17];
  for (int i = 0; i < 8; ++i) std::snprintf(reserved + 2 * i, 3, "%02x", h.reserved[i]);
  const std::string range = sized ? std::to_string(least) + " to " + std::to_string(most) + " bytes"
                            : !IsKnownCipher(h.cipher) ? "none (unknown cipher)"
                                                       : "none (body shorter than two blocks)";
  if (o.json) {
    std::printf(
        "{\n  \"archive\": %s,\n  \"file_size\": %lld,\n  \"header_bytes\": %lld,\n  \"magic_ok\": %s,\n",
        Json(o.archive).c_str(), (long long)a.fileSize, (long long)a.headerBytes, a.magic ? "true" : "false");
    std::printf("  \"output_name\": %s,\n  \"destination_mode\": %d,\n  \"destination\": %s,\n",
                Json(Text(h.outputName, cp)).c_str(), h.destinationMode,
                Json(Text(h.destinationDir, cp)).c_str());
    std::printf("  \"overwrite_mode\": %d,\n  \"window_title\": %s,\n  \"run_after\": %s,\n", h.overwriteMode,
                Json(Text(h.windowTitle, cp)).c_str(), Json(Text(h.runAfter, cp)).c_str());
    std::printf("  \"hide_overwrite\": %d,\n  \"cipher\": %d,\n  \"cipher_name\": %s,\n", h.hideOverwrite,
                h.cipher, Json(CipherName(h.cipher)).c_str());
    std::printf("  \"digest_line\": %s,\n  \"auto_start\": %d,\n  \"reserved\": \"%s\",\n",
                Json(Text(h.digestLine, cp)).c_str(), h.autoStart, reserved);
    // zqv finds the certificate table but does not judge the signature ("checked": false).
    if (a.signature.size)
      std::printf("  \"signature\": {\"present\": true, \"table_offset\": %lld, \"table_size\": %lld, "
                  "\"checked\": false},\n",
                  (long long)a.signature.offset, (long long)a.signature.size);
    else
      std::printf("  \"signature\": {\"present\": false, \"table_offset\": null, \"table_size\": null, "
                  "\"checked\": false},\n");
    std::printf("  \"body_size\": %lld,\n", (long long)a.bodySize);
    if (sized)
      std::printf("  \"plain_size_min\": %lld,\n  \"plain_size_max\": %lld\n}\n", (long long)least,
                  (long long)most);
    else
      std::printf("  \"plain_size_min\": null,\n  \"plain_size_max\": null\n}\n");
  } else {
    std::printf("archive:           %s (%lld bytes)\n", o.archive.c_str(), (long long)a.fileSize);
    std::printf("magic:             %s\n", a.magic ? "ZQV (accepted)" : "missing (not a ZQV self-extractor)");
    if (a.fileSize > HeaderOffset && a.headerBytes < HeaderSize)
      std::printf("header:            cut after %lld of %lld bytes; the rest reads as zero\n",
                  (long long)a.headerBytes, (long long)HeaderSize);
    std::printf("output name:       %s\n", Text(h.outputName, cp).c_str());
    std::printf("destination mode:  %d (%s)\n", h.destinationMode, DestinationModeName(h.destinationMode));
    std::printf("destination:       %s\n", Text(h.destinationDir, cp).c_str());
    std::printf("overwrite mode:    %d (%s)\n", h.overwriteMode, OverwriteModeName(h.overwriteMode));
    std::printf("window title:      %s\n", Text(h.windowTitle, cp).c_str());
    std::printf("run after:         %s\n", Text(h.runAfter, cp).c_str());
    std::printf("hide overwrite:    %d\n", h.hideOverwrite);
    std::printf("auto start:        %d\n", h.autoStart);
    std::printf("cipher:            %d (%s)\n", h.cipher, CipherName(h.cipher));
    std::printf("digest line:       %s\n", Text(h.digestLine, cp).c_str());
    std::printf("reserved:          %s\n", reserved);
    if (a.signature.size)
      std::printf("signature:         present: a certificate table of %lld bytes at offset %lld, where the\n"
                  "                   body ends; zqv does not judge it (osslsigncode verify does)\n",
                  (long long)a.signature.size, (long long)a.signature.offset);
    else
      std::printf("signature:         none\n");
    std::printf("body size:         %lld bytes\n", (long long)a.bodySize);
    std::printf("plaintext size:    %s\n", range.c_str());
  }
  std::fflush(stdout);
  RequireMagic(a, o.archive);
  return kExitOk;
}

int RunTest(const OpenOptions& o) {
  CheckCodepage(o.codepage);
  const LoadedArchive a = LoadArchive(o.archive);
  const bool known = RequireDecryptable(a, o.archive);
  ArchiveKeys keys;
  ObtainArchiveKeys(o.passwordFile, false, o.codepage, keys);
  NullStream sink;
  int64_t written = 0;
  if (!DecryptAndVerify(
          a, o.archive, keys, known, sink, "(none)", [] { return 0u; }, o.quiet, written))
    FailWrongPassword(o.archive);
  if (!o.quiet)
    std::printf("%s: OK (%s, %lld bytes, digest matches)\n", o.archive.c_str(),
                Text(a.header.outputName, o.codepage).c_str(), (long long)written);
  return kExitOk;
}

int RunExtract(const OpenOptions& o) {
  CheckCodepage(o.codepage);
  const LoadedArchive a = LoadArchive(o.archive);
  const bool known = RequireDecryptable(a, o.archive);
  std::string why;
  const auto parts = SafeRelativePath(Text(a.header.outputName, o.codepage), why);
  if (!parts) Fail(o.archive, why);
  const std::vector<std::string> folderParts(parts->begin(), parts->end() - 1);
  const std::string& leaf = parts->back();
  const std::string destination = WithoutTrailingSeparators(o.directory.empty() ? "." : o.directory);
  std::string target = destination;
  for (const auto& part : *parts) target = JoinPath(target, part);

  // What already stands there is looked at before the password is asked, through the same walk
  // that extraction takes, so that a link in the way is refused at once.
  if (IsDirectory(destination)) {
    const OutputFolder existing(destination, folderParts, /*create=*/false);
    const EntryKind there = existing.complete() ? EntryIn(existing.innermost(), leaf) : EntryKind::kNone;
    if (there != EntryKind::kNone) {
      if (there == EntryKind::kFolder) Fail(target, "cannot extract: a folder of that name exists");
      if (!ConfirmOverwrite(o, a.header, target)) return kExitOk;
    }
  }

  ArchiveKeys keys;
  ObtainArchiveKeys(o.passwordFile, false, o.codepage, keys);
  CreatedFolders made;  // declared before the folder and the temporary file, so removed after them
  made.Make(destination);
  OutputFolder folder(destination, folderParts, /*create=*/true);
  TempFile temp(folder.innermost(), leaf, target, o.quiet);
  // The output is at least this long under any key; the last block's count byte adds the rest.
  int64_t least, most;
  if (known && PlainSizeRange(a.header.cipher, a.bodySize, least, most)) temp.Reserve(least);
  TFileStream out;
  out.Adopt(temp.Release());
  int64_t written = 0;
  const bool match = DecryptAndVerify(
      a, o.archive, keys, known, out, target, [&] { return out.LastError(); }, o.quiet, written);
  if (Status s = out.Close(); !s.Ok()) Fail(target, "cannot write: " + SystemText(int(out.LastError())));
  if (!match) FailWrongPassword(o.archive);
  temp.Commit(0666, o.sync);
  folder.Keep();
  made.Keep();
  if (!o.quiet)
    std::printf("%s: extracted %s (%lld bytes)\n", o.archive.c_str(), target.c_str(), (long long)written);
  return kExitOk;
}
