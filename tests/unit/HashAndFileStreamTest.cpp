// TKxSHA1 over buffers, texts, streams and files, and the buffered file stream under it.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "TestSupport.h"
#include "crypto/FileStream.h"
#include "crypto/KxClass.h"
#include "crypto/KxProc.h"

namespace {

std::string Digest(const TKxSHA1& sha) {
  uint8_t d[20];
  sha.CopyDigest(d);
  return ToHex(d, 20);
}

std::string OpenSslSha1(const uint8_t* data, size_t size) {
  uint8_t d[20];
  unsigned int n = 0;
  EVP_Digest(data, size, d, &n, EVP_sha1(), nullptr);
  return ToHex(d, 20);
}

struct TempFile {
  std::string path;
  explicit TempFile(const Bytes& content = {}) {
    char name[] = "/tmp/zqv-unit-XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    if (!content.empty()) {
      EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    }
    close(fd);
    path = name;
  }
  ~TempFile() { std::remove(path.c_str()); }
};

}  // namespace

TEST(TKxSHA1, FreshDigestIsZeroAndEachOperationReplacesIt) {
  TKxSHA1 sha;
  EXPECT_EQ(Digest(sha), std::string(40, '0'));
  sha.DigestOfText("abc");
  EXPECT_EQ(Digest(sha), "a9993e364706816aba3e25717850c26c9cd0d89d");
  sha.DigestOfBuffer("", 0);
  EXPECT_EQ(Digest(sha), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(TKxSHA1, StreamsFromTheirPositionAndThroughShortReads) {
  const Bytes data = RandomBytes(5000);
  VectorStream s(data);
  s.maxRead = 700;  // short reads before the end do not end the digest
  ASSERT_TRUE(s.SetPosition(1234));
  TKxSHA1 sha;
  sha.DigestOfStream(s);
  EXPECT_EQ(Digest(sha), OpenSslSha1(data.data() + 1234, data.size() - 1234));
}

TEST(TKxSHA1, FilesWholeAndMissing) {
  const Bytes data = RandomBytes(100000);
  TempFile file(data);
  TKxSHA1 sha;
  ASSERT_TRUE(sha.DigestOfFile(file.path.c_str()).Ok());
  EXPECT_EQ(Digest(sha), OpenSslSha1(data.data(), data.size()));

  const std::string before = Digest(sha);
  const Status s = sha.DigestOfFile("/nonexistent/zqv/file");
  EXPECT_EQ(s.kind, ErrorKind::EFOpenError);
  EXPECT_STREQ(s.message, "Cannot open file \"/nonexistent/zqv/file\". No such file or directory");
  EXPECT_EQ(Digest(sha), before);  // unchanged after a failed open
}

TEST(TFileStream, WritesReadsAndSeeksAcrossBufferBoundaries) {
  TempFile file;
  const Bytes data = RandomBytes(3 * TFileStream::kBufferSize + 123);
  TFileStream out;
  ASSERT_TRUE(out.Open(file.path.c_str(), FileAccess::CreateExclusive).Ok());
  // Writes of odd sizes, one larger than the buffer.
  size_t done = 0;
  for (size_t piece : {size_t(1), size_t(7), size_t(TFileStream::kBufferSize + 5), size_t(999)}) {
    ASSERT_EQ(out.Write(data.data() + done, static_cast<int32_t>(piece)), static_cast<int32_t>(piece));
    done += piece;
  }
  EXPECT_EQ(out.Size(), static_cast<int64_t>(done));
  ASSERT_EQ(out.Write(data.data() + done, static_cast<int32_t>(data.size() - done)),
            static_cast<int32_t>(data.size() - done));
  EXPECT_EQ(out.Position(), static_cast<int64_t>(data.size()));
  // Read back what was just written, through the same read/write stream.
  ASSERT_TRUE(out.SetPosition(10));
  Bytes back(100);
  ASSERT_EQ(out.Read(back.data(), 100), 100);
  EXPECT_EQ(back, Bytes(data.begin() + 10, data.begin() + 110));
  ASSERT_TRUE(out.Close().Ok());

  TFileStream in;
  ASSERT_TRUE(in.Open(file.path.c_str(), FileAccess::ReadShareRead).Ok());
  EXPECT_EQ(in.Size(), static_cast<int64_t>(data.size()));
  Bytes all(data.size() + 10);
  int32_t got = 0;
  for (int32_t n; (n = in.Read(all.data() + got, 5000)) > 0;) got += n;
  EXPECT_EQ(got, static_cast<int32_t>(data.size()));
  all.resize(static_cast<size_t>(got));
  EXPECT_EQ(all, data);
  EXPECT_EQ(in.Read(all.data(), 10), 0);  // at the end
}

TEST(TFileStream, OpenErrorsNameThePathAndTheCause) {
  TFileStream s;
  Status st = s.Open("/nonexistent/dir/out.bin", FileAccess::CreateExclusive);
  EXPECT_EQ(st.kind, ErrorKind::EFCreateError);
  EXPECT_STREQ(st.message, "Cannot create file \"/nonexistent/dir/out.bin\". No such file or directory");
  st = s.Open("/tmp", FileAccess::ReadShareRead);
  EXPECT_EQ(st.kind, ErrorKind::EFOpenError);
  EXPECT_FALSE(s.IsOpen());
}

TEST(TKxSHA1, FilesAreHashedThroughTheVirtualStreamDigest) {
  // A class that overrides DigestOfStream is used for files too.
  struct CountingSha1 final : TKxSHA1 {
    int streams = 0;
    void DigestOfStream(Stream& stream) override {
      ++streams;
      TKxSHA1::DigestOfStream(stream);
    }
  };
  TempFile file(Bytes{'a', 'b', 'c'});
  CountingSha1 sha;
  ASSERT_TRUE(sha.DigestOfFile(file.path.c_str()).Ok());
  EXPECT_EQ(sha.streams, 1);
  EXPECT_EQ(Digest(sha), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(TFileStream, AWriteAfterAReadLandsAtTheReadPosition) {
  // Reading buffers ahead; a write that follows must go where the caller stands, not where the
  // read-ahead left the file.
  TempFile file(RandomBytes(100000));
  Bytes expected = ReadFileBytes(file.path);
  TFileStream s;
  ASSERT_TRUE(s.Open(file.path.c_str(), FileAccess::CreateExclusive).Ok());
  ASSERT_EQ(s.Write(expected.data(), static_cast<int32_t>(expected.size())), static_cast<int32_t>(expected.size()));
  ASSERT_TRUE(s.SetPosition(50));
  Bytes got(10);
  ASSERT_EQ(s.Read(got.data(), 10), 10);
  EXPECT_EQ(got, Bytes(expected.begin() + 50, expected.begin() + 60));
  const uint8_t patch[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(s.Write(patch, 5), 5);
  EXPECT_EQ(s.Position(), 65);
  ASSERT_EQ(s.Read(got.data(), 10), 10);  // and reading goes on after the patch
  EXPECT_EQ(got, Bytes(expected.begin() + 65, expected.begin() + 75));
  EXPECT_EQ(s.Size(), static_cast<int64_t>(expected.size()));
  ASSERT_TRUE(s.Close().Ok());
  std::copy(patch, patch + 5, expected.begin() + 60);
  EXPECT_EQ(ReadFileBytes(file.path), expected);
}

TEST(TFileStream, AFullDeviceIsAWriteErrorNotSilentLoss) {
  // /dev/full takes nothing: a decryption into it fails as soon as the buffer is written out,
  // and bytes still buffered at Close are reported there.
  const uint8_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  VectorStream plain(RandomBytes(200000)), body;
  ASSERT_TRUE(DesCbcStream(plain, body, key, true).Ok());
  TFileStream full;
  ASSERT_TRUE(full.Open("/dev/full", FileAccess::CreateExclusive).Ok());
  VectorStream in(body.data());
  EXPECT_EQ(DesCbcStream(in, full, key, false).kind, ErrorKind::EWriteError);
  EXPECT_EQ(full.LastError(), static_cast<uint32_t>(ENOSPC));
  EXPECT_EQ(full.Close().kind, ErrorKind::EWriteError);

  TFileStream small;
  ASSERT_TRUE(small.Open("/dev/full", FileAccess::CreateExclusive).Ok());
  EXPECT_EQ(small.Write("abc", 3), 3);  // buffered
  EXPECT_EQ(small.Close().kind, ErrorKind::EWriteError);
}
