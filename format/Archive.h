// The self-extractor's file layout: the stub, the 832-byte archive header at a fixed offset,
// and the encrypted body to the end of the file, or to a signer's certificate table there.
// The stub, zqv and the web page all use this one copy.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "crypto/KxProc.h"
#include "crypto/Status.h"
#include "crypto/Stream.h"

// The length of the stub executable as shipped, where the archive builder appends the header.
inline constexpr int64_t HeaderOffset = 95232;
inline constexpr int64_t HeaderSize = 832;
inline constexpr int64_t BodyOffset = HeaderOffset + HeaderSize;

// ---- Where the body ends ----------------------------------------------------------------------
// A signer (signtool, osslsigncode) appends an Authenticode certificate table to the end of the
// file and points the Security entry of the stub's PE optional header at it. The signature
// covers every byte before the table, so the body ends where the table begins; the table itself
// is never decrypted.

// The Security entry's two 32-bit fields.
struct CertificateTable {
  uint32_t offset;  // from the start of the file
  uint32_t size;    // 0: the file carries no table that ends the body
};

// How much of the start of the file FindCertificateTable looks at: the DOS header and a PE
// header anywhere in the first 4 KiB (the stub's own lies at 0x80).
inline constexpr int32_t kPeHeadSize = 4096;

// The certificate table that ends the body of an archive of `fileSize` bytes, given the file's
// first `headSize` bytes (up to kPeHeadSize). Only a table a signer can have appended counts:
// at least 8 bytes, starting at a multiple of 8 at or after BodyOffset and ending exactly at the
// end of the file. Any other Security entry (or none, or no PE header) gives size 0, and the
// body runs to the end of the file as in an unsigned archive.
CertificateTable FindCertificateTable(const uint8_t* head, int32_t headSize, int64_t fileSize);
// Where the body ends: at the table when there is one, else at the end of the file.
inline int64_t BodyEnd(const CertificateTable& table, int64_t fileSize) {
  return table.size > 0 ? table.offset : fileSize;
}

// Texts are ShortStrings: a length byte, then the field's capacity of ANSI characters,
// zero-filled behind the text. A field of capacity c is c + 1 bytes.
struct ArchiveHeader {
  uint8_t magic[4];            // "ZQV" with its length byte 3
  uint8_t outputName[256];     // the output file's name, possibly with a relative folder part
  uint8_t destinationMode;     // 0 empty means current folder, 1 temporary folder, else as stored
  uint8_t destinationDir[256];
  uint8_t overwriteMode;       // the mode in force when the dialog opens: 0 overwrite, 1 skip, 2 ask
  uint8_t windowTitle[101];
  uint8_t runAfter[101];       // a file to open or an .INF to install after a verified extraction
  uint8_t hideOverwrite;       // 1: the dialog removes its overwrite options
  uint8_t cipher;              // a CipherSelector
  uint8_t digestLine[101];     // "SHA-1: " and the digest's 20 bytes as three decimal digits each
  uint8_t autoStart;           // 1: the dialog starts decryption by itself
  uint8_t reserved[8];
};

static_assert(sizeof(ArchiveHeader) == HeaderSize);
static_assert(offsetof(ArchiveHeader, outputName) == 4);
static_assert(offsetof(ArchiveHeader, destinationMode) == 260);
static_assert(offsetof(ArchiveHeader, destinationDir) == 261);
static_assert(offsetof(ArchiveHeader, overwriteMode) == 517);
static_assert(offsetof(ArchiveHeader, windowTitle) == 518);
static_assert(offsetof(ArchiveHeader, runAfter) == 619);
static_assert(offsetof(ArchiveHeader, hideOverwrite) == 720);
static_assert(offsetof(ArchiveHeader, cipher) == 721);
static_assert(offsetof(ArchiveHeader, digestLine) == 722);
static_assert(offsetof(ArchiveHeader, autoStart) == 823);
static_assert(offsetof(ArchiveHeader, reserved) == 824);

enum CipherSelector : uint8_t {
  kCipherBlowfish = 0,
  kCipherDes = 1,
  kCipherTripleDes = 2,
  kCipherRijndael128 = 3,
  kCipherRijndael256 = 4,
};

inline constexpr int kShortStringMax = 255;

// The text of a ShortString field of `fieldSize` bytes, copied to `text` with a terminating
// zero (room for fieldSize bytes). A length byte above the field's capacity reads as the
// capacity: a corrupt header never makes a reader look past its field.
int ReadShortString(const uint8_t* field, int fieldSize, char* text);
// Stores `length` bytes of `text`, cut to the capacity, and zero-fills the rest of the field.
// Returns false when the text had to be cut.
bool WriteShortString(uint8_t* field, int fieldSize, const char* text, int length);

template <size_t N>
int ReadField(const uint8_t (&field)[N], char (&text)[N]) {
  return ReadShortString(field, int(N), text);
}
template <size_t N>
bool WriteField(uint8_t (&field)[N], const char* text, int length) {
  return WriteShortString(field, int(N), text, length);
}

// The header is accepted when its first four bytes are the length byte 3 and "ZQV".
bool HasArchiveMagic(const ArchiveHeader& header);
void SetArchiveMagic(ArchiveHeader& header);

// The digest line: "SHA-1: " and each digest byte as three decimal digits; 67 characters.
inline constexpr int kDigestLineLength = 67;
void MakeDigestLine(const uint8_t digest[20], char line[kDigestLineLength + 1]);
// Stores the digest line of `digest` in the header's digest field.
void SetDigestLine(ArchiveHeader& header, const uint8_t digest[20]);
// Exact equality of the header's digest line with `line`, length and case included.
bool DigestLineMatches(const ArchiveHeader& header, const char line[kDigestLineLength + 1]);

// The longest password the self-extractor's prompt takes, in code-page bytes: its buffer holds
// 80 with the terminating zero. zqv and the web page refuse a longer one rather than cut it.
inline constexpr int kMaxPasswordLength = 79;

// The three keys derived from one password; each is a prefix of the next.
struct ArchiveKeys {
  uint8_t key8[8];
  uint8_t key16[16];
  uint8_t key32[32];
};
void DeriveArchiveKeys(const char* password, ArchiveKeys& keys);

bool IsKnownCipher(uint8_t selector);
// The block size of a known cipher (8 or 16), 0 for others.
int CipherBlockSize(uint8_t selector);
const char* CipherName(uint8_t selector);

// Decrypts `body` from its position into `output` with the cipher the selector names; any other
// selector writes nothing and succeeds, so its empty output fails the digest check.
Status DecryptBody(uint8_t selector, const ArchiveKeys& keys, Stream& body, Stream& output);
// Starts the builder's header: all 832 bytes zero (reserved bytes included), then the magic.
void InitArchiveHeader(ArchiveHeader& header);

// The body of a plaintext of `plainSize` bytes under a known cipher: a chaining block, the full
// blocks and a tail block. 0 for an unknown selector.
int64_t EncryptedBodySize(uint8_t selector, int64_t plainSize);
// The plaintext lengths a body of `bodySize` bytes can decrypt to under the right key:
// B * (bodySize div B - 2) plus a count byte of 0 .. B - 1. False for an unknown selector or a
// body shorter than two blocks (which fails with "Invalid file format").
bool PlainSizeRange(uint8_t selector, int64_t bodySize, int64_t& least, int64_t& most);

// The archive builder's twin: encrypts `plain` into `output` in the body layout. Unknown
// selectors are refused with ECipherException "Unknown cipher".
Status EncryptBody(uint8_t selector, const ArchiveKeys& keys, Stream& plain, Stream& output,
                   MillisecondTimer timer);
// A timer that reads `ms` every time, for EncryptBody: the same inputs then make the same archive
// byte for byte (zqv build --seed, the web page's fixed seed). One fixed value at a time.
MillisecondTimer FixedMillisecondTimer(uint32_t ms);
