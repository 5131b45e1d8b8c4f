#include "Archive.h"

#include "crypto/Bytes.h"
#include "crypto/KxCipher.h"

int ReadShortString(const uint8_t* field, int fieldSize, char* text) {
  int length = field[0];
  if (length > fieldSize - 1) length = fieldSize - 1;
  CopyBytes(text, field + 1, static_cast<size_t>(length));
  text[length] = 0;
  return length;
}

bool WriteShortString(uint8_t* field, int fieldSize, const char* text, int length) {
  const int capacity = fieldSize - 1;
  const bool fits = length <= capacity;
  if (!fits) length = capacity;
  FillBytes(field, 0, static_cast<size_t>(fieldSize));
  field[0] = uint8_t(length);
  CopyBytes(field + 1, text, static_cast<size_t>(length));
  return fits;
}

bool HasArchiveMagic(const ArchiveHeader& header) {
  return header.magic[0] == 3 && header.magic[1] == 'Z' && header.magic[2] == 'Q' && header.magic[3] == 'V';
}

void SetArchiveMagic(ArchiveHeader& header) { WriteField(header.magic, "ZQV", 3); }

void MakeDigestLine(const uint8_t digest[20], char line[kDigestLineLength + 1]) {
  CopyBytes(line, "SHA-1: ", 7);
  char* p = line + 7;
  for (int i = 0; i < 20; ++i) {
    *p++ = char('0' + digest[i] / 100);
    *p++ = char('0' + digest[i] / 10 % 10);
    *p++ = char('0' + digest[i] % 10);
  }
  *p = 0;
}

void SetDigestLine(ArchiveHeader& header, const uint8_t digest[20]) {
  char line[kDigestLineLength + 1];
  MakeDigestLine(digest, line);
  WriteField(header.digestLine, line, kDigestLineLength);
}

bool DigestLineMatches(const ArchiveHeader& header, const char line[kDigestLineLength + 1]) {
  if (header.digestLine[0] != kDigestLineLength) return false;
  for (int i = 0; i < kDigestLineLength; ++i)
    if (header.digestLine[1 + i] != uint8_t(line[i])) return false;
  return true;
}

void DeriveArchiveKeys(const char* password, ArchiveKeys& keys) {
  RdgOfText(keys.key8, sizeof keys.key8, password);
  RdgOfText(keys.key16, sizeof keys.key16, password);
  RdgOfText(keys.key32, sizeof keys.key32, password);
}

bool IsKnownCipher(uint8_t selector) { return selector <= kCipherRijndael256; }

int CipherBlockSize(uint8_t selector) {
  return !IsKnownCipher(selector) ? 0 : selector >= kCipherRijndael128 ? 16 : 8;
}

const char* CipherName(uint8_t selector) {
  switch (selector) {
    case kCipherBlowfish: return "Blowfish";
    case kCipherDes: return "DES";
    case kCipherTripleDes: return "Triple-DES";
    case kCipherRijndael128: return "Rijndael-128";
    case kCipherRijndael256: return "Rijndael-256";
    default: return "unknown";
  }
}

void InitArchiveHeader(ArchiveHeader& header) {
  FillBytes(&header, 0, sizeof header);
  SetArchiveMagic(header);
}

int64_t EncryptedBodySize(uint8_t selector, int64_t plainSize) {
  const int64_t block = CipherBlockSize(selector);
  return block == 0 ? 0 : (plainSize / block + 2) * block;
}

bool PlainSizeRange(uint8_t selector, int64_t bodySize, int64_t& least, int64_t& most) {
  const int64_t block = CipherBlockSize(selector);
  if (block == 0 || bodySize < 2 * block) return false;
  least = block * (bodySize / block - 2);
  most = least + block - 1;
  return true;
}

CertificateTable FindCertificateTable(const uint8_t* head, int32_t headSize, int64_t fileSize) {
  const CertificateTable none{0, 0};
  if (headSize < 0x40 || head[0] != 'M' || head[1] != 'Z') return none;
  // e_lfanew, then "PE\0\0", the 20-byte file header and the optional header, whose data
  // directories (8 bytes each, the Security entry fifth) follow its PE32 or PE32+ fields.
  // Offsets stay below headSize, so 32 bits hold them.
  const uint32_t pe = LoadLe32(head + 0x3C);
  if (pe > uint32_t(headSize) - 26 || LoadLe32(head + pe) != 0x00004550) return none;
  const uint8_t* optional = head + pe + 24;
  const uint32_t magic = optional[0] | optional[1] << 8;
  const uint32_t fields = magic == 0x10B ? 96 : magic == 0x20B ? 112 : 0;
  const uint32_t entry = pe + 24 + fields + 4 * 8;
  const uint32_t optionalSize = head[pe + 20] | head[pe + 21] << 8;
  if (fields == 0 || entry + 8 > uint32_t(headSize) || optionalSize < fields + 5 * 8 ||
      LoadLe32(optional + fields - 4) < 5)
    return none;
  const CertificateTable table{LoadLe32(head + entry), LoadLe32(head + entry + 4)};
  const bool signerWrote = table.size >= 8 && table.offset % 8 == 0 && table.offset >= BodyOffset &&
                           uint64_t(table.offset) + table.size == uint64_t(fileSize);
  return signerWrote ? table : none;
}

namespace {

// The direction is a template argument, so that the decrypting stub links no encryption.
template <bool encrypt>
Status RunCipher(uint8_t selector, const ArchiveKeys& keys, Stream& in, Stream& out, MillisecondTimer timer) {
  switch (selector) {
    case kCipherBlowfish: return BlowfishCbcStream(in, out, keys.key16, encrypt, timer);
    case kCipherDes: return DesCbcStream(in, out, keys.key8, encrypt, timer);
    case kCipherTripleDes: return TripleDesCbcStream(in, out, keys.key16, encrypt, timer);
    case kCipherRijndael128: return RijndaelCbcStream(in, out, keys.key16, 16, encrypt, timer);
    case kCipherRijndael256: return RijndaelCbcStream(in, out, keys.key32, 32, encrypt, timer);
    default: return kOk;
  }
}

}  // namespace

Status DecryptBody(uint8_t selector, const ArchiveKeys& keys, Stream& body, Stream& output) {
  return RunCipher<false>(selector, keys, body, output, nullptr);
}

Status EncryptBody(uint8_t selector, const ArchiveKeys& keys, Stream& plain, Stream& output,
                   MillisecondTimer timer) {
  if (!IsKnownCipher(selector)) return RaiseError(ErrorKind::ECipherException, "Unknown cipher");
  return RunCipher<true>(selector, keys, plain, output, timer);
}

namespace {
uint32_t gFixedMilliseconds = 0;
uint32_t ReadFixedMilliseconds() { return gFixedMilliseconds; }
}  // namespace

MillisecondTimer FixedMillisecondTimer(uint32_t ms) {
  gFixedMilliseconds = ms;
  return ReadFixedMilliseconds;
}
