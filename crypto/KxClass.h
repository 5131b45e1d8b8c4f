// The hash component classes: the digest of a buffer, a file, a stream or a text.
#pragma once

#include <stdint.h>

#include "Status.h"
#include "Stream.h"

class TKxHash {
 public:
  virtual void DigestOfBuffer(const void* data, int32_t length) = 0;
  // Hashes the whole file; EFOpenError when it cannot be opened (the digest is then unchanged).
  virtual Status DigestOfFile(const char* path) = 0;
  // Hashes from the stream's position to its end; a failed read ends the input silently.
  virtual void DigestOfStream(Stream& stream) = 0;
  // Hashes the text's bytes up to its terminating zero.
  virtual void DigestOfText(const char* text) = 0;

 protected:
  ~TKxHash() = default;
  uint8_t readBuffer_[1024];
};

class TKxSHA1 : public TKxHash {
 public:
  TKxSHA1() = default;
  ~TKxSHA1() = default;

  void DigestOfBuffer(const void* data, int32_t length) override;
  Status DigestOfFile(const char* path) override;
  void DigestOfStream(Stream& stream) override;
  void DigestOfText(const char* text) override;
  // Copies the digest of the last operation (20 zero bytes before the first).
  void CopyDigest(uint8_t digest[20]) const;

 private:
  uint8_t digest_[20] = {};
};
