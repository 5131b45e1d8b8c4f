// The archive header's bytes: every field at its offset, zero fill, full-capacity texts and the
// digest line, as the builder writes them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto/KxCipher.h"
#include "format/Archive.h"

namespace {

const uint8_t* Bytes(const ArchiveHeader& h) { return reinterpret_cast<const uint8_t*>(&h); }

}  // namespace

TEST(ArchiveHeader, EveryFieldAtItsOffsetWithZeroFill) {
  ArchiveHeader h;
  std::memset(&h, 0xAA, sizeof h);
  InitArchiveHeader(h);
  for (int i = 4; i < HeaderSize; ++i) ASSERT_EQ(Bytes(h)[i], 0) << i;
  EXPECT_EQ(std::memcmp(Bytes(h), "\x03ZQV", 4), 0);

  EXPECT_TRUE(WriteField(h.outputName, "a.txt", 5));
  h.destinationMode = 0x11;
  EXPECT_TRUE(WriteField(h.destinationDir, "C:\\Out", 6));
  h.overwriteMode = 0x22;
  EXPECT_TRUE(WriteField(h.windowTitle, "T", 1));
  EXPECT_TRUE(WriteField(h.runAfter, "s.inf", 5));
  h.hideOverwrite = 0x33;
  h.cipher = 0x44;
  h.autoStart = 0x55;
  const uint8_t* b = Bytes(h);
  EXPECT_EQ(b[4], 5);
  EXPECT_EQ(std::memcmp(b + 5, "a.txt", 5), 0);
  EXPECT_EQ(b[260], 0x11);
  EXPECT_EQ(b[261], 6);
  EXPECT_EQ(std::memcmp(b + 262, "C:\\Out", 6), 0);
  EXPECT_EQ(b[517], 0x22);
  EXPECT_EQ(b[518], 1);
  EXPECT_EQ(b[519], 'T');
  EXPECT_EQ(b[619], 5);
  EXPECT_EQ(b[720], 0x33);
  EXPECT_EQ(b[721], 0x44);
  EXPECT_EQ(b[823], 0x55);
  // Behind each text its field is zero to the end; the reserved bytes stay zero.
  for (int i = 10; i < 260; ++i) ASSERT_EQ(b[i], 0) << i;
  for (int i = 268; i < 517; ++i) ASSERT_EQ(b[i], 0) << i;
  for (int i = 520; i < 619; ++i) ASSERT_EQ(b[i], 0) << i;
  for (int i = 625; i < 720; ++i) ASSERT_EQ(b[i], 0) << i;
  for (int i = 722; i < 823; ++i) ASSERT_EQ(b[i], 0) << i;
  for (int i = 824; i < 832; ++i) ASSERT_EQ(b[i], 0) << i;
}

TEST(ArchiveHeader, FullCapacityTextHasNoTerminatorAndLongerIsCut) {
  ArchiveHeader h;
  InitArchiveHeader(h);
  const std::string name(255, 'n');
  EXPECT_TRUE(WriteField(h.outputName, name.data(), 255));
  EXPECT_EQ(Bytes(h)[4], 255);
  EXPECT_EQ(Bytes(h)[259], 'n');
  EXPECT_EQ(Bytes(h)[260], 0);  // the next field, untouched
  char text[256];
  EXPECT_EQ(ReadField(h.outputName, text), 255);
  EXPECT_EQ(std::string(text), name);

  const std::string longer(256, 'm');
  EXPECT_FALSE(WriteField(h.outputName, longer.data(), 256));
  EXPECT_EQ(Bytes(h)[4], 255);
  EXPECT_EQ(Bytes(h)[260], 0);
  // A length byte above a field's capacity never reads past the field.
  h.windowTitle[0] = 200;
  char title[101];
  EXPECT_EQ(ReadField(h.windowTitle, title), 100);
}

TEST(ArchiveHeader, DigestLineOfAbc) {
  uint8_t digest[20];
  Sha1OfText(digest, "abc");
  ArchiveHeader h;
  InitArchiveHeader(h);
  SetDigestLine(h, digest);
  const char expected[] = "SHA-1: 169153062054071006129106186062037113120080194108156208216157";
  EXPECT_EQ(Bytes(h)[722], 67);
  EXPECT_EQ(std::memcmp(Bytes(h) + 723, expected, 67), 0);
  EXPECT_EQ(Bytes(h)[790], 0);
  char line[kDigestLineLength + 1];
  MakeDigestLine(digest, line);
  EXPECT_TRUE(DigestLineMatches(h, line));
  line[0] = 's';
  EXPECT_FALSE(DigestLineMatches(h, line));
}

TEST(ArchiveHeader, DigestBytesAsThreeDigits) {
  uint8_t digest[20] = {0, 7, 42, 255};
  char line[kDigestLineLength + 1];
  MakeDigestLine(digest, line);
  EXPECT_EQ(std::string(line).substr(0, 19), "SHA-1: 000007042255");
  EXPECT_EQ(std::strlen(line), 67u);
}

TEST(ArchiveHeader, BodySizesOfTheLayout) {
  EXPECT_EQ(EncryptedBodySize(kCipherDes, 0), 16);
  EXPECT_EQ(EncryptedBodySize(kCipherDes, 7), 16);
  EXPECT_EQ(EncryptedBodySize(kCipherDes, 8), 24);
  EXPECT_EQ(EncryptedBodySize(kCipherRijndael256, 17), 48);
  EXPECT_EQ(EncryptedBodySize(5, 17), 0);
  int64_t least = -1, most = -1;
  EXPECT_TRUE(PlainSizeRange(kCipherBlowfish, 16, least, most));
  EXPECT_EQ(least, 0);
  EXPECT_EQ(most, 7);
  EXPECT_TRUE(PlainSizeRange(kCipherRijndael128, 64 + 5, least, most));  // trailing bytes ignored
  EXPECT_EQ(least, 32);
  EXPECT_EQ(most, 47);
  EXPECT_FALSE(PlainSizeRange(kCipherRijndael128, 31, least, most));
  EXPECT_FALSE(PlainSizeRange(255, 64, least, most));
}
