// One CBC stream algorithm for all four ciphers; each cipher supplies its block step and seed.
#include "KxProc.h"

#include "Bytes.h"
#include "KxCipher.h"

namespace {

inline uint32_t Tick(MillisecondTimer timer) { return timer ? timer() : 0; }

struct BlowfishCipher {
  static constexpr int kBlock = 8;
  BlowfishContext context;
  bool encrypt;
  BlowfishCipher(const uint8_t key[16], bool e) : encrypt(e) { BlowfishInitKey(key, context); }
  void Step(const uint8_t* chain, uint8_t* block) const { BlowfishCbcBlock(context, chain, block, encrypt); }
  void Blocks(uint8_t* chain, uint8_t* data, size_t blocks) const {
    BlowfishCbcBlocks(context, chain, data, blocks, encrypt);
  }
  void Seed(uint8_t* block, MillisecondTimer timer) const {
    StoreLe32(block, Tick(timer));
    StoreLe32(block + 4, Tick(timer));
    BlowfishBlock(context, block, encrypt);
  }
};

struct DesCipher {
  static constexpr int kBlock = 8;
  DesContext context;
  DesCipher(const uint8_t key[8], bool encrypt) { DesInitKey(key, context, encrypt); }
  void Step(const uint8_t* chain, uint8_t* block) const { DesCbcBlock(context, chain, block); }
  void Blocks(uint8_t* chain, uint8_t* data, size_t blocks) const { DesCbcBlocks(context, chain, data, blocks); }
  void Seed(uint8_t* block, MillisecondTimer timer) const {
    for (int i = 0; i < 4; ++i) block[i] = uint8_t(Tick(timer));
    DesBlock(context, block);
  }
};

struct TripleDesCipher {
  static constexpr int kBlock = 8;
  TripleDesContext context;
  TripleDesCipher(const uint8_t key[16], bool encrypt) { TripleDesInitKey(key, context, encrypt); }
  void Step(const uint8_t* chain, uint8_t* block) const { TripleDesCbcBlock(context, chain, block); }
  void Blocks(uint8_t* chain, uint8_t* data, size_t blocks) const {
    TripleDesCbcBlocks(context, chain, data, blocks);
  }
  void Seed(uint8_t* block, MillisecondTimer timer) const {
    for (int i = 0; i < 4; ++i) block[i] = uint8_t(Tick(timer));
    TripleDesBlock(context, block);
  }
};

struct RijndaelCipher {
  static constexpr int kBlock = 16;
  RijndaelContext context;
  RijndaelCipher(const uint8_t* key, int32_t keySize, bool encrypt) {
    RijndaelInitKey(key, keySize, context, encrypt);
  }
  void Step(const uint8_t* chain, uint8_t* block) const { RijndaelCbcBlock(context, chain, block); }
  void Blocks(uint8_t* chain, uint8_t* data, size_t blocks) const {
    RijndaelCbcBlocks(context, chain, data, blocks);
  }
  void Seed(uint8_t* block, MillisecondTimer timer) const {
    for (int i = 0; i < 2; ++i) block[i] = uint8_t(Tick(timer));
    RijndaelBlock(context, block);
  }
};

// Reads until `count` bytes arrived or the stream gives nothing more; returns the count read.
int32_t ReadFull(Stream& input, uint8_t* buffer, int32_t count) {
  int32_t done = 0;
  while (done < count) {
    const int32_t n = input.Read(buffer + done, count - done);
    if (n <= 0) break;
    done += n;
  }
  return done;
}

Status WriteAll(Stream& output, const uint8_t* buffer, int32_t count) {
  if (count > 0 && output.Write(buffer, count) != count)
    return RaiseError(ErrorKind::EWriteError, "Write error");
  return kOk;
}

// The blocks move through one fixed buffer, many per call, so the cipher's fast paths run on
// long stretches and the streams see few calls; or, where the output lends its own memory, are
// read and transformed there, which spares the output a copy. Outcomes are those of a
// block-at-a-time loop: the whole blocks read before a short read are transformed and written,
// then the routine fails.
constexpr int32_t kChunkSize = 64 * 1024;

// Transforms `blocks` whole blocks from `input` to `output`, chained through `chain`.
template <class Cipher>
Status PumpBlocks(const Cipher& cipher, Stream& input, Stream& output, uint8_t* chain, int64_t blocks,
                  uint8_t* buffer) {
  constexpr int B = Cipher::kBlock;
  while (blocks > 0) {
    int32_t room = blocks < 0x7fffffff / B ? int32_t(blocks) * B : 0x7fffffff / B * B;
    uint8_t* place = output.WriteSpace(room);
    if (place == nullptr || room < B) {
      place = buffer;
      room = kChunkSize;
    }
    const int32_t want = int32_t(blocks < room / B ? blocks : room / B) * B;
    const int32_t got = ReadFull(input, place, want);
    const int32_t whole = got / B;
    cipher.Blocks(chain, place, size_t(whole));
    if (Status s = WriteAll(output, place, whole * B); !s.Ok()) return s;
    if (got < want) return RaiseError(ErrorKind::ECipherException, kInvalidFileFormat);
    blocks -= whole;
  }
  return kOk;
}

template <class Cipher>
Status Decrypt(const Cipher& cipher, Stream& input, Stream& output) {
  constexpr int B = Cipher::kBlock;
  uint8_t chain[B], block[B];
  static_assert(kChunkSize % B == 0);
  uint8_t buffer[kChunkSize];
  // 64-bit: a body above 16 GiB would overflow a 32-bit block count.
  const int64_t size = input.Size();
  if (size < 0) return RaiseError(ErrorKind::EReadError, "Read error");
  const int64_t blocks = (size - input.Position()) / B;
  // The chaining block: a body too short to hold it, or a read that failed, stops here, before
  // anything is written, as a short body would at the tail read.
  if (ReadFull(input, chain, B) < B) return RaiseError(ErrorKind::ECipherException, kInvalidFileFormat);
  // Every block between the chaining block and the tail block is written whole.
  if (Status s = PumpBlocks(cipher, input, output, chain, blocks - 2, buffer); !s.Ok()) return s;
  if (ReadFull(input, block, B) < B) return RaiseError(ErrorKind::ECipherException, kInvalidFileFormat);
  cipher.Step(chain, block);
  return WriteAll(output, block, TailBlockLength(block, B));
}

template <class Cipher>
Status Encrypt(const Cipher& cipher, Stream& input, Stream& output, MillisecondTimer timer) {
  constexpr int B = Cipher::kBlock;
  uint8_t chain[B] = {}, block[B];
  uint8_t buffer[kChunkSize];
  const int64_t size = input.Size();
  if (size < 0) return RaiseError(ErrorKind::EReadError, "Read error");
  const int64_t length = size - input.Position();
  cipher.Seed(chain, timer);
  if (Status s = WriteAll(output, chain, B); !s.Ok()) return s;
  if (Status s = PumpBlocks(cipher, input, output, chain, length / B, buffer); !s.Ok()) return s;
  const int32_t rest = static_cast<int32_t>(length % B);
  uint8_t restBytes[B];
  if (ReadFull(input, restBytes, rest) < rest) return RaiseError(ErrorKind::ECipherException, kInvalidFileFormat);
  FillTailBlock(block, B, restBytes, rest);
  cipher.Step(chain, block);
  return WriteAll(output, block, B);
}

}  // namespace

void FillTailBlock(uint8_t* block, int32_t blockSize, const uint8_t* rest, int32_t restSize) {
  FillBytes(block, 0, blockSize);
  CopyBytes(block, rest, restSize);
  block[blockSize - 1] = uint8_t(restSize);
}

int32_t TailBlockLength(const uint8_t* block, int32_t blockSize) {
  return block[blockSize - 1] > blockSize ? blockSize : block[blockSize - 1];
}

Status BlowfishCbcDecrypt(Stream& input, Stream& output, const uint8_t key[16]) {
  return Decrypt(BlowfishCipher(key, false), input, output);
}
Status BlowfishCbcEncrypt(Stream& input, Stream& output, const uint8_t key[16], MillisecondTimer timer) {
  return Encrypt(BlowfishCipher(key, true), input, output, timer);
}

Status DesCbcDecrypt(Stream& input, Stream& output, const uint8_t key[8]) {
  return Decrypt(DesCipher(key, false), input, output);
}
Status DesCbcEncrypt(Stream& input, Stream& output, const uint8_t key[8], MillisecondTimer timer) {
  return Encrypt(DesCipher(key, true), input, output, timer);
}

Status TripleDesCbcDecrypt(Stream& input, Stream& output, const uint8_t key[16]) {
  return Decrypt(TripleDesCipher(key, false), input, output);
}
Status TripleDesCbcEncrypt(Stream& input, Stream& output, const uint8_t key[16], MillisecondTimer timer) {
  return Encrypt(TripleDesCipher(key, true), input, output, timer);
}

Status RijndaelCbcDecrypt(Stream& input, Stream& output, const uint8_t* key, int32_t keySize) {
  return Decrypt(RijndaelCipher(key, keySize, false), input, output);
}
Status RijndaelCbcEncrypt(Stream& input, Stream& output, const uint8_t* key, int32_t keySize,
                          MillisecondTimer timer) {
  return Encrypt(RijndaelCipher(key, keySize, true), input, output, timer);
}
