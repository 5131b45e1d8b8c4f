#include "KxClass.h"

#include "Bytes.h"
#include "FileStream.h"
#include "KxCipher.h"

void TKxSHA1::DigestOfBuffer(const void* data, int32_t length) { Sha1OfBuffer(digest_, data, length); }

void TKxSHA1::DigestOfText(const char* text) { Sha1OfText(digest_, text); }

void TKxSHA1::DigestOfStream(Stream& stream) {
  Sha1Context context;
  Sha1Start(context);
  // Only a read of nothing ends the input; a short read in the middle does not.
  for (int32_t n; (n = stream.Read(readBuffer_, sizeof readBuffer_)) > 0;) Sha1Add(context, readBuffer_, n);
  Sha1Finish(context, digest_);
}

Status TKxSHA1::DigestOfFile(const char* path) {
  TFileStream file;
  if (Status s = file.Open(path, FileAccess::ReadShareReadWrite); !s.Ok()) return s;
  DigestOfStream(file);  // through the virtual slot, so a derived class's override is used
  return kOk;
}

void TKxSHA1::CopyDigest(uint8_t digest[20]) const { CopyBytes(digest, digest_, sizeof digest_); }
