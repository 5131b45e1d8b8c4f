// The sample archives, one per cipher, made by an independent implementation of the builder.
#include <gtest/gtest.h>

#include <cstring>

#include "TestSupport.h"
#include "crypto/KxClass.h"
#include "format/Archive.h"

TEST(ArchiveVectors, EachSampleDecryptsToItsPlaintextAndDigestLine) {
  const auto rows = ReadVectorFile("archives/MANIFEST.txt");
  ASSERT_EQ(rows.size(), 5u);
  for (const auto& row : rows) {
    SCOPED_TRACE(row[0]);
    const Bytes file = ReadFileBytes(VectorPath("archives/" + row[0]));
    const Bytes plain = ReadFileBytes(VectorPath("archives/" + row[3]));
    ASSERT_GT(file.size(), size_t(BodyOffset));
    ArchiveHeader header;
    std::memcpy(&header, file.data() + HeaderOffset, sizeof header);
    ASSERT_TRUE(HasArchiveMagic(header));
    EXPECT_EQ(header.cipher, std::stoi(row[1]));

    ArchiveKeys keys;
    DeriveArchiveKeys(row[2].c_str(), keys);
    VectorStream body(file), out;
    ASSERT_TRUE(body.SetPosition(BodyOffset));
    ASSERT_TRUE(DecryptBody(header.cipher, keys, body, out).Ok());
    EXPECT_EQ(out.data(), plain);

    TKxSHA1 sha;
    VectorStream again(out.data());
    sha.DigestOfStream(again);
    uint8_t digest[20];
    sha.CopyDigest(digest);
    char line[kDigestLineLength + 1];
    MakeDigestLine(digest, line);
    EXPECT_TRUE(DigestLineMatches(header, line)) << line;
  }
}
