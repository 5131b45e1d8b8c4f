// The decrypted body's way into the temporary file: every byte written here is hashed with SHA-1
// and written to the file, in order, so that the digest is known when the last byte is written
// and the file is never read back.
//
// The bytes travel in slots of 1 MiB. Where the machine has more than one core, a slot that the
// decrypting thread has filled is hashed on a thread of its own and then written on another,
// while the decrypter fills the next: at most kSlots slots (4 MiB) are in flight, whatever the
// size of the body. Slots this large keep the hand-overs few: under Wine every wait and release
// is a round trip to its server. With one core, or where the system gives no threads, the
// decrypting thread hashes and writes each slot itself.
#pragma once

#include <stdint.h>

#include "crypto/FileStream.h"

class HashingOutput final : public Stream {
 public:
  static constexpr int kSlots = 4;
  static constexpr int32_t kSlotSize = 1024 * 1024;

  // Starts the pipeline into `file`, open for writing at its start; at most one runs at a time.
  explicit HashingOutput(TFileStream& file);
  ~HashingOutput() { Finish(nullptr); }
  HashingOutput(const HashingOutput&) = delete;
  HashingOutput& operator=(const HashingOutput&) = delete;

  // Hands on the last slot, waits until every slot is hashed and written, ends the threads and
  // stores the digest of everything written (unless `digest` is null). False when the file took
  // fewer bytes than it was given: its LastError then says why. Later calls do nothing.
  bool Finish(uint8_t digest[20]);
  // Drops what is still in flight: no slot is hashed or written from now on, and later writes
  // take nothing. For an extraction that was cancelled; Finish still ends the threads.
  void Abandon();

  // Lends the rest of the slot being filled; a Write of bytes placed there takes them without a
  // copy. Fewer bytes than asked are taken only once a write to the file has failed or the output
  // was abandoned.
  uint8_t* WriteSpace(int32_t& capacity) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int32_t Read(void*, int32_t) override { return 0; }
  int64_t Position() override { return written_; }
  int64_t Size() override { return written_; }
  bool SetPosition(int64_t) override { return false; }

 private:
  uint8_t* Filling();  // the slot being filled, taken from the free ones when there is none
  void Hand(int32_t fill);  // hands the slot being filled on with `fill` bytes (-1: the end)

  TFileStream& file_;
  int64_t written_ = 0;
  int current_ = -1;  // the slot being filled, -1 when none
  int next_ = 0;      // the slot taken next
  bool threaded_ = false;
  bool finished_ = false;
};
