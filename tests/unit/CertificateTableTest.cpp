// Where a signed archive's body ends: the Security entry of the stub's PE header names the
// certificate table a signer appended, and only a table a signer can have written ends the body.
#include <gtest/gtest.h>

#include <cstring>

#include "TestSupport.h"
#include "crypto/Bytes.h"
#include "crypto/KxCipher.h"
#include "crypto/KxProc.h"
#include "format/Archive.h"

namespace {

constexpr uint32_t kPe = 0x80;  // e_lfanew, where the stub's linker puts it
constexpr int64_t kFileSize = BodyOffset + 1024 + 1488;
constexpr uint32_t kTable = BodyOffset + 1024;

// The first bytes of a PE32 (or PE32+) image whose Security entry holds `offset` and `size`.
Bytes PeHead(uint32_t offset, uint32_t size, uint16_t magic = 0x10B) {
  Bytes head(kPeHeadSize, 0);
  head[0] = 'M';
  head[1] = 'Z';
  StoreLe32(&head[0x3C], kPe);
  StoreLe32(&head[kPe], 0x00004550);
  const uint32_t optional = kPe + 24, fields = magic == 0x20B ? 112 : 96;
  head[kPe + 20] = uint8_t(fields + 16 * 8);  // SizeOfOptionalHeader with all 16 directories
  head[optional] = uint8_t(magic);
  head[optional + 1] = uint8_t(magic >> 8);
  StoreLe32(&head[optional + fields - 4], 16);  // NumberOfRvaAndSizes
  StoreLe32(&head[optional + fields + 4 * 8], offset);
  StoreLe32(&head[optional + fields + 4 * 8 + 4], size);
  return head;
}

}  // namespace

TEST(CertificateTable, OnlyATableASignerWroteEndsTheBody) {
  const uint32_t entry = kPe + 24 + 96 + 32;
  struct Case {
    const char* what;
    Bytes head;
    int64_t fileSize;
    bool found;
  } cases[] = {
      {"signed", PeHead(kTable, 1488), kFileSize, true},
      {"signed PE32+", PeHead(kTable, 1488, 0x20B), kFileSize, true},
      {"table right at the body's start", PeHead(BodyOffset, kFileSize - BodyOffset), kFileSize, true},
      {"the smallest table", PeHead(uint32_t(kFileSize - 8), 8), kFileSize, true},
      {"no entry", PeHead(0, 0), kFileSize, false},
      {"misaligned", PeHead(kTable + 4, 1484), kFileSize, false},
      {"not ending at the end of the file", PeHead(kTable, 1480), kFileSize, false},
      {"pointing past the end", PeHead(kTable, 4096), kFileSize, false},
      {"starting inside the header", PeHead(HeaderOffset + 8, uint32_t(kFileSize - HeaderOffset - 8)), kFileSize,
       false},
      {"starting inside the stub", PeHead(4096, uint32_t(kFileSize - 4096)), kFileSize, false},
      {"size under 8", PeHead(uint32_t(kFileSize - 4), 4), kFileSize, false},
      {"size 0 at the end", PeHead(uint32_t(kFileSize), 0), kFileSize, false},
      {"unknown optional header", PeHead(kTable, 1488, 0x107), kFileSize, false},
  };
  for (const Case& c : cases) {
    const CertificateTable t = FindCertificateTable(c.head.data(), kPeHeadSize, c.fileSize);
    EXPECT_EQ(t.size != 0, c.found) << c.what;
    EXPECT_EQ(BodyEnd(t, c.fileSize), c.found ? int64_t(t.offset) : c.fileSize) << c.what;
  }

  // Broken PE headers are no PE header: the body runs to the end of the file.
  Bytes head = PeHead(kTable, 1488);
  auto without = [&](auto change) {
    Bytes h = head;
    change(h);
    return FindCertificateTable(h.data(), int32_t(h.size()), kFileSize).size;
  };
  EXPECT_EQ(without([](Bytes& h) { h[0] = 'N'; }), 0u);
  EXPECT_EQ(without([](Bytes& h) { h[kPe + 1] = 'X'; }), 0u);
  EXPECT_EQ(without([](Bytes& h) { StoreLe32(&h[0x3C], 0xFFFFFFF0); }), 0u);
  EXPECT_EQ(without([](Bytes& h) { StoreLe32(&h[0x3C], kPeHeadSize - 4); }), 0u);
  EXPECT_EQ(without([](Bytes& h) { StoreLe32(&h[kPe + 24 + 92], 4); }), 0u);  // no fifth directory
  EXPECT_EQ(without([](Bytes& h) { h[kPe + 20] = 96 + 4 * 8; }), 0u);         // optional header too short
  EXPECT_EQ(without([&](Bytes& h) { h.resize(entry + 4); }), 0u);              // file shorter than the entry
  EXPECT_EQ(FindCertificateTable(head.data(), 0x3F, kFileSize).size, 0u);
}

TEST(CertificateTable, TheBodyIsDecryptedUpToTheTableOnly) {
  // An archive's body followed by a table of bytes that would decrypt to one more block: read
  // through the bound, the plaintext comes back exact; read to the end, it does not.
  const Bytes plain = RandomBytes(1000), key = RandomBytes(16);
  VectorStream in(plain), body;
  ASSERT_TRUE(RijndaelCbcStream(in, body, key.data(), 16, true).Ok());
  Bytes file = body.data();
  const int64_t end = int64_t(file.size());
  const Bytes table = RandomBytes(32);
  file.insert(file.end(), table.begin(), table.end());

  for (const bool bounded : {true, false}) {
    VectorStream whole(file), out;
    BoundedStream limited(whole, end);
    Stream& source = bounded ? static_cast<Stream&>(limited) : whole;
    EXPECT_EQ(source.Size(), bounded ? end : int64_t(file.size()));
    ASSERT_TRUE(RijndaelCbcStream(source, out, key.data(), 16, false).Ok());
    EXPECT_EQ(out.data() == plain, bounded);
    EXPECT_EQ(whole.Position(), bounded ? end : int64_t(file.size()));
  }
}
