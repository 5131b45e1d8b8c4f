// The web page's module: the archive format read and made inside a Web Worker. The worker
// supplies the input's bytes in chunks it reads from a File (readInput, awaited) and takes the
// output back in chunks it streams into a Blob (writeOutput, awaited); nothing here holds more
// than one chunk. zqv_open and zqv_make may suspend there: call them through ccall with async.
// zqv_decrypt_window decrypts a piece of a body held in memory, for the workers that share an
// archive's decryption. A signed archive's body ends where the signer's certificate table
// begins: zqv_check_archive finds it (FindCertificateTable, from the file's first bytes copied to
// zqv_pe_head()) and zqv_open and the page read the body only up to it.
#include <emscripten.h>

#include "crypto/Bytes.h"
#include "crypto/KxCipher.h"
#include "crypto/KxProc.h"
#include "format/Archive.h"
#include "format/OutputName.h"

// Copies up to `count` bytes of the input from `offset` into `buffer`; returns how many. The
// read is asynchronous (a byte stream of the File): the module is suspended meanwhile
// (Asyncify), so the worker's event loop runs and the browser reads ahead while we wait.
EM_ASYNC_JS(int32_t, ReadInputChunk, (double offset, uint8_t* buffer, int32_t count),
            { return await Module.readInput(offset, buffer, count); });
// Takes `count` bytes of output; returns how many it stored. Awaited too: the worker waits
// there while the browser takes in what it was given before.
EM_ASYNC_JS(int32_t, WriteOutputChunk, (const uint8_t* buffer, int32_t count),
            { return await Module.writeOutput(buffer, count); });
EM_JS(double, NowMilliseconds, (), { return Date.now(); });

namespace {

constexpr int32_t kChunk = 1 << 20;

// The input file as a stream, read ahead in chunks of kChunk bytes.
class InputStream final : public Stream {
 public:
  void Reset(int64_t size) {
    size_ = size;
    position_ = 0;
    fill_ = next_ = 0;
  }
  int32_t Read(void* buffer, int32_t count) override {
    auto* out = static_cast<uint8_t*>(buffer);
    int32_t done = 0;
    while (done < count) {
      if (next_ == fill_) {
        const int64_t left = size_ - position_;
        if (left <= 0) break;
        const int32_t want = left < kChunk ? int32_t(left) : kChunk;
        fill_ = ReadInputChunk(double(position_), chunk_, want);
        next_ = 0;
        if (fill_ <= 0) {
          fill_ = 0;
          break;
        }
        position_ += fill_;
      }
      int32_t n = fill_ - next_;
      if (n > count - done) n = count - done;
      __builtin_memcpy(out + done, chunk_ + next_, size_t(n));
      next_ += n;
      done += n;
    }
    return done;
  }
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Position() override { return position_ - (fill_ - next_); }
  int64_t Size() override { return size_; }
  bool SetPosition(int64_t position) override {
    if (position < 0 || position > size_) return false;
    position_ = position;
    fill_ = next_ = 0;
    return true;
  }

 private:
  int64_t size_ = 0;
  int64_t position_ = 0;  // of the byte after the chunk read ahead
  int32_t fill_ = 0, next_ = 0;
  uint8_t chunk_[kChunk];
};

// The output as a stream handed to the worker in chunks of kChunk bytes; hashes what it takes
// when asked, so that what is verified is exactly what is offered for download.
class OutputStream final : public Stream {
 public:
  void Reset(bool hash) {
    hash_ = hash;
    size_ = 0;
    fill_ = 0;
    failed_ = false;
    Sha1Start(sha1_);
  }
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* buffer, int32_t count) override {
    const auto* in = static_cast<const uint8_t*>(buffer);
    if (failed_ || count <= 0) return 0;
    if (hash_) Sha1Add(sha1_, in, count);
    int32_t done = 0;
    while (done < count) {
      int32_t n = kChunk - fill_;
      if (n > count - done) n = count - done;
      __builtin_memcpy(chunk_ + fill_, in + done, size_t(n));
      fill_ += n;
      done += n;
      if (fill_ == kChunk && !Flush()) return done - n;
    }
    size_ += count;
    return count;
  }
  int64_t Position() override { return size_; }
  int64_t Size() override { return size_; }
  bool SetPosition(int64_t) override { return false; }
  bool Flush() {
    if (fill_ > 0 && WriteOutputChunk(chunk_, fill_) != fill_) failed_ = true;
    fill_ = 0;
    return !failed_;
  }
  void Digest(uint8_t digest[20]) { Sha1Finish(sha1_, digest); }

 private:
  bool hash_ = false;
  bool failed_ = false;
  int64_t size_ = 0;
  int32_t fill_ = 0;
  Sha1Context sha1_;
  uint8_t chunk_[kChunk];
};

// The plaintext read for encryption, hashed on the way: one pass, what is hashed is what is
// encrypted.
class HashingInput final : public Stream {
 public:
  explicit HashingInput(Stream& inner) : inner_(inner) { Sha1Start(sha1_); }
  int32_t Read(void* buffer, int32_t count) override {
    const int32_t n = inner_.Read(buffer, count);
    if (n > 0) Sha1Add(sha1_, buffer, n);
    return n;
  }
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Position() override { return inner_.Position(); }
  int64_t Size() override { return inner_.Size(); }
  bool SetPosition(int64_t) override { return false; }
  void Digest(uint8_t digest[20]) { Sha1Finish(sha1_, digest); }

 private:
  Stream& inner_;
  Sha1Context sha1_;
};

// A fixed buffer as a stream: read from its start, or written from its start (a buffer of
// nullptr takes and drops whatever is written, for the warm-up run).
class BufferStream final : public Stream {
 public:
  BufferStream(uint8_t* data, int32_t size) : data_(data), size_(size) {}
  int32_t Read(void* buffer, int32_t count) override {
    if (count > size_ - position_) count = size_ - position_;
    __builtin_memcpy(buffer, data_ + position_, size_t(count));
    position_ += count;
    return count;
  }
  int32_t Write(const void* buffer, int32_t count) override {
    if (!data_) return count;
    if (count > size_ - position_) count = size_ - position_;
    __builtin_memmove(data_ + position_, buffer, size_t(count));
    position_ += count;
    return count;
  }
  int64_t Position() override { return position_; }
  int64_t Size() override { return size_; }
  bool SetPosition(int64_t position) override {
    if (position < 0 || position > size_) return false;
    position_ = int32_t(position);
    return true;
  }

 private:
  uint8_t* data_;
  int32_t size_, position_ = 0;
};

InputStream input;
OutputStream output;
ArchiveHeader header;
// The first kPeHeadSize bytes of the archive last checked (fewer when it is shorter), and what
// zqv_check_archive found there: the signer's certificate table, if any, and where the body ends.
uint8_t peHead[kPeHeadSize];
CertificateTable signature{0, 0};
int64_t bodyEnd = 0;
const char* lastError = "";
Sha1Context piecesHash;

uint32_t ClockTimer() { return uint32_t(int64_t(NowMilliseconds())); }
// The chaining block's timer: `seed` >= 0 fixes every reading to that value (zqv build --seed);
// otherwise the clock gives them, as it does to zqv build.
MillisecondTimer TimerOf(double seed) {
  return seed >= 0 ? FixedMillisecondTimer(uint32_t(int64_t(seed))) : ClockTimer;
}

uint8_t* FieldOf(int field, int& size) {
  switch (field) {
    case 0: size = sizeof header.outputName; return header.outputName;
    case 1: size = sizeof header.destinationDir; return header.destinationDir;
    case 2: size = sizeof header.windowTitle; return header.windowTitle;
    case 3: size = sizeof header.runAfter; return header.runAfter;
    case 4: size = sizeof header.digestLine; return header.digestLine;
    default: size = 0; return nullptr;
  }
}

bool EmptyFileDigestLine() {
  uint8_t digest[20];
  Sha1OfBuffer(digest, "", 0);
  char line[kDigestLineLength + 1];
  MakeDigestLine(digest, line);
  return DigestLineMatches(header, line);
}

}  // namespace

// What the page can do with the archive whose header it copied here.
enum ArchiveCheck : int {
  kArchiveOk = 0,
  kNotAnArchive = 1,     // nothing after the stub, or no magic
  kUnknownCipher = 2,    // a selector the format does not know, and a digest no empty file has
  kEmptyOutput = 3,      // an unknown selector with the empty file's digest: the output is empty
  kBodyTooShort = 4,     // shorter than two blocks: "Invalid file format"
};

// Results of zqv_open and zqv_make.
enum RunResult : int { kRunMatch = 0, kRunMismatch = 1, kRunInvalid = 2, kRunWriteFailed = 3 };

extern "C" {

EMSCRIPTEN_KEEPALIVE uint8_t* zqv_header() { return reinterpret_cast<uint8_t*>(&header); }
EMSCRIPTEN_KEEPALIVE int zqv_header_offset() { return int(HeaderOffset); }
EMSCRIPTEN_KEEPALIVE int zqv_header_size() { return int(HeaderSize); }
EMSCRIPTEN_KEEPALIVE int zqv_max_password() { return kMaxPasswordLength; }
EMSCRIPTEN_KEEPALIVE const char* zqv_last_error() { return lastError; }

// Where the file's first bytes go before zqv_check_archive, and how many it takes.
EMSCRIPTEN_KEEPALIVE uint8_t* zqv_pe_head() { return peHead; }
EMSCRIPTEN_KEEPALIVE int zqv_pe_head_size() { return int(kPeHeadSize); }

// The archive of `fileSize` bytes whose header (missing bytes zero) is at zqv_header() and
// whose first `headSize` bytes (up to kPeHeadSize) are at zqv_pe_head(). Settles where its body
// ends (zqv_body_end), which zqv_open then reads to.
EMSCRIPTEN_KEEPALIVE int zqv_check_archive(double fileSize, int headSize) {
  const int64_t size = int64_t(fileSize);
  if (headSize < 0 || headSize > kPeHeadSize) headSize = 0;
  signature = FindCertificateTable(peHead, headSize, size);
  bodyEnd = BodyEnd(signature, size);
  if (size <= HeaderOffset || !HasArchiveMagic(header)) return kNotAnArchive;
  if (!IsKnownCipher(header.cipher)) return EmptyFileDigestLine() ? kEmptyOutput : kUnknownCipher;
  const int64_t body = bodyEnd > BodyOffset ? bodyEnd - BodyOffset : 0;
  if (body < 2 * CipherBlockSize(header.cipher)) return kBodyTooShort;
  return kArchiveOk;
}
// Where the body of the archive last checked ends: at the signer's certificate table, else at
// the end of the file. And the table's size (0: not signed).
EMSCRIPTEN_KEEPALIVE double zqv_body_end() { return double(bodyEnd); }
EMSCRIPTEN_KEEPALIVE double zqv_signature_size() { return double(signature.size); }

// A header field's text (0 output name, 1 destination, 2 title, 3 run-after, 4 digest line)
// copied to `text` (room for 257 bytes); returns its length.
EMSCRIPTEN_KEEPALIVE int zqv_field(int field, char* text) {
  int size = 0;
  const uint8_t* f = FieldOf(field, size);
  return f ? ReadShortString(f, size, text) : 0;
}
EMSCRIPTEN_KEEPALIVE int zqv_byte(int offset) { return offset >= 0 && offset < HeaderSize ? zqv_header()[offset] : 0; }
EMSCRIPTEN_KEEPALIVE const char* zqv_cipher_name(int selector) { return CipherName(uint8_t(selector)); }

// The plaintext sizes a body of `bodySize` bytes can hold, in `range` (two doubles).
EMSCRIPTEN_KEEPALIVE int zqv_plain_size_range(double bodySize, double* range) {
  int64_t least = 0, most = 0;
  if (!PlainSizeRange(header.cipher, int64_t(bodySize), least, most)) return 0;
  range[0] = double(least);
  range[1] = double(most);
  return 1;
}

// The name the output is saved under: the stored name made safe as for extraction, its folder
// part dropped. Returns its length, or minus the OutputNameFault that refuses it.
EMSCRIPTEN_KEEPALIVE int zqv_download_name(char* name) {
  char stored[sizeof header.outputName];
  const int length = ReadField(header.outputName, stored);
  char path[sizeof header.outputName];
  const OutputNameFault fault = MakeOutputPath(stored, length, '/', path);
  if (fault != kNameSafe) return -int(fault);
  int start = 0, end = 0;
  for (; path[end]; ++end)
    if (path[end] == '/') start = end + 1;
  for (int i = start; i <= end; ++i) name[i - start] = path[i];
  return end - start;
}
EMSCRIPTEN_KEEPALIVE const char* zqv_name_fault_text(int fault) {
  return OutputNameFaultText(OutputNameFault(fault));
}
// Whether `length` bytes of `name` are safe as a stored output name.
EMSCRIPTEN_KEEPALIVE int zqv_name_fault(const char* name, int length, char* path) {
  return int(MakeOutputPath(name, length, '/', path));
}

// Runs every cipher's decryption and SHA-1 over a few hundred KiB of zeros, so that the engine
// has its optimised code of the hot loops ready before the user's file comes: a loop running in
// the engine's first, quick tier stays there until its function is called again.
EMSCRIPTEN_KEEPALIVE void zqv_warm_up() {
  static uint8_t zeros[256 * 1024];
  ArchiveKeys keys;
  DeriveArchiveKeys("", keys);
  for (uint8_t selector = 0; selector <= kCipherRijndael256; ++selector) {
    BufferStream body(zeros, sizeof zeros);
    BufferStream sink(nullptr, 0);
    (void)DecryptBody(selector, keys, body, sink);
  }
  Sha1Context sha1;
  Sha1Start(sha1);
  for (int i = 0; i < 4; ++i) Sha1Add(sha1, zeros, sizeof zeros);
  uint8_t digest[20];
  Sha1Finish(sha1, digest);
}

// Whether the digest line of `digest` (20 bytes) is the header's: kRunMatch or kRunMismatch.
EMSCRIPTEN_KEEPALIVE int zqv_digest_matches(const uint8_t* digest) {
  char line[kDigestLineLength + 1];
  MakeDigestLine(digest, line);
  return DigestLineMatches(header, line) ? kRunMatch : kRunMismatch;
}

// SHA-1 of a stream of pieces, for the worker that hashes what the decrypters hand back.
EMSCRIPTEN_KEEPALIVE void zqv_sha1_start() { Sha1Start(piecesHash); }
EMSCRIPTEN_KEEPALIVE void zqv_sha1_add(const uint8_t* data, int length) { Sha1Add(piecesHash, data, length); }
EMSCRIPTEN_KEEPALIVE void zqv_sha1_finish(uint8_t* digest) { Sha1Finish(piecesHash, digest); }

// Decrypts the body of the archive last checked (the input from BodyOffset to its body's end:
// no byte of a certificate table is read) with the password's keys into the output, and
// compares the output's digest line with the header's.
EMSCRIPTEN_KEEPALIVE int zqv_open(const char* password) {
  ArchiveKeys keys;
  DeriveArchiveKeys(password, keys);
  input.Reset(bodyEnd);
  output.Reset(true);
  if (IsKnownCipher(header.cipher)) {
    if (!input.SetPosition(BodyOffset)) return kRunInvalid;
    if (Status s = DecryptBody(header.cipher, keys, input, output); !s.Ok()) {
      lastError = s.message;
      return s.kind == ErrorKind::EWriteError ? kRunWriteFailed : kRunInvalid;
    }
  }
  if (!output.Flush()) return kRunWriteFailed;
  uint8_t digest[20];
  output.Digest(digest);
  return zqv_digest_matches(digest);
}

// Decrypts in place one window of the body, so that several instances can share the work of
// one archive: CBC makes each plaintext block depend only on two ciphertext blocks, so a window
// decrypts apart from the rest of the body. `data` holds the window's `size` bytes of the body:
// the block before the window's first (its chaining block), the window's blocks, and, for every
// window but the last, the block after them, which is read as a tail block and cut away. The
// last window ends where the body ends. Returns the length of the plaintext left at `data`, or -1
// for a window shorter than two blocks or, but for the last, not of whole blocks.
EMSCRIPTEN_KEEPALIVE int zqv_decrypt_window(int cipher, const char* password, uint8_t* data, int size, int last) {
  const int block = CipherBlockSize(uint8_t(cipher));
  if (block == 0 || size < 2 * block || (!last && size % block != 0)) return -1;
  ArchiveKeys keys;
  DeriveArchiveKeys(password, keys);
  BufferStream body(data, size);
  // The output trails the input by the chaining block: each chunk is read before it is written.
  BufferStream plain(data, size);
  const Status s = DecryptBody(uint8_t(cipher), keys, body, plain);
  WipeBytes(&keys, sizeof keys);
  if (!s.Ok()) return -1;
  return last ? int(plain.Position()) : size - 2 * block;
}
EMSCRIPTEN_KEEPALIVE int zqv_block_size(int cipher) { return CipherBlockSize(uint8_t(cipher)); }

// Starts a header for zqv_make: all zero, then the magic.
EMSCRIPTEN_KEEPALIVE void zqv_make_start() { InitArchiveHeader(header); }
// The most code-page bytes a text field (0 to 3, as zqv_field) holds.
EMSCRIPTEN_KEEPALIVE int zqv_field_room(int field) {
  int size = 0;
  return field != 4 && FieldOf(field, size) ? size - 1 : 0;
}
// Stores `length` code-page bytes in a text field; 0 when they do not fit.
EMSCRIPTEN_KEEPALIVE int zqv_make_text(int field, const char* text, int length) {
  int size = 0;
  uint8_t* f = FieldOf(field, size);
  return f && field != 4 && length <= size - 1 && WriteShortString(f, size, text, length);
}
// The header's settings for a new archive (the text fields go in through zqv_make_text).
EMSCRIPTEN_KEEPALIVE void zqv_make_settings(int cipher, int destinationMode, int overwriteMode, int hideOverwrite,
                                           int autoStart) {
  header.cipher = uint8_t(cipher);
  header.destinationMode = uint8_t(destinationMode);
  header.overwriteMode = uint8_t(overwriteMode);
  header.hideOverwrite = hideOverwrite ? 1 : 0;
  header.autoStart = autoStart ? 1 : 0;
}

// Encrypts the input (`plainSize` bytes) into the output as the body and completes the header.
// `seed` >= 0 fixes every timer reading of the chaining block to that value; otherwise the
// clock gives them, as it does to zqv build.
EMSCRIPTEN_KEEPALIVE int zqv_make(int cipher, int destinationMode, int overwriteMode, int hideOverwrite,
                                  int autoStart, const char* password, double plainSize, double seed) {
  zqv_make_settings(cipher, destinationMode, overwriteMode, hideOverwrite, autoStart);
  ArchiveKeys keys;
  DeriveArchiveKeys(password, keys);
  input.Reset(int64_t(plainSize));
  output.Reset(false);
  HashingInput hashed(input);
  if (Status s = EncryptBody(uint8_t(cipher), keys, hashed, output, TimerOf(seed)); !s.Ok()) {
    lastError = s.message;
    return s.kind == ErrorKind::EWriteError ? kRunWriteFailed : kRunInvalid;
  }
  if (!output.Flush()) return kRunWriteFailed;
  uint8_t digest[20];
  hashed.Digest(digest);
  SetDigestLine(header, digest);
  return kRunMatch;
}

// ---- The pieces of a body for a cipher run outside the module -------------------------------
// The page runs AES through the browser's Web Cryptography API (AES-CBC) where it has one; the
// keys, the chaining block and the tail block still come from here, so the layout stays in one
// place.

// The raw key of an AES archive (16 or 32 bytes, at `key`) for the password; 0 for other ciphers.
EMSCRIPTEN_KEEPALIVE int zqv_aes_key(int cipher, const char* password, uint8_t* key) {
  if (cipher != kCipherRijndael128 && cipher != kCipherRijndael256) return 0;
  ArchiveKeys keys;
  DeriveArchiveKeys(password, keys);
  const int size = cipher == kCipherRijndael128 ? 16 : 32;
  CopyBytes(key, cipher == kCipherRijndael128 ? keys.key16 : keys.key32, size);
  WipeBytes(&keys, sizeof keys);
  return size;
}

// The chaining block a new body starts with (one block at `block`), as zqv_make writes it:
// the body of an empty file is that block and a tail block.
EMSCRIPTEN_KEEPALIVE int zqv_chaining_block(int cipher, const char* password, double seed, uint8_t* block) {
  const int size = CipherBlockSize(uint8_t(cipher));
  if (size == 0) return 0;
  ArchiveKeys keys;
  DeriveArchiveKeys(password, keys);
  uint8_t empty[1], body[32];
  BufferStream none(empty, 0);
  BufferStream out(body, sizeof body);
  const Status s = EncryptBody(uint8_t(cipher), keys, none, out, TimerOf(seed));
  WipeBytes(&keys, sizeof keys);
  if (!s.Ok()) return 0;
  CopyBytes(block, body, size);
  return size;
}

// The tail block before encryption for the last `restSize` bytes of a plaintext (at `rest`).
EMSCRIPTEN_KEEPALIVE int zqv_tail_block(int cipher, const uint8_t* rest, int restSize, uint8_t* block) {
  const int size = CipherBlockSize(uint8_t(cipher));
  if (size == 0 || restSize < 0 || restSize >= size) return 0;
  FillTailBlock(block, size, rest, restSize);
  return size;
}

// How many bytes of the decrypted tail block at `block` are the plaintext's last.
EMSCRIPTEN_KEEPALIVE int zqv_tail_length(int cipher, const uint8_t* block) {
  const int size = CipherBlockSize(uint8_t(cipher));
  return size == 0 ? 0 : TailBlockLength(block, size);
}

// Completes the header of a body made outside the module with the plaintext's SHA-1 digest.
EMSCRIPTEN_KEEPALIVE void zqv_make_digest(const uint8_t* digest) { SetDigestLine(header, digest); }

}  // extern "C"
