#include "HashingOutput.h"

#include <windows.h>

#include "crypto/Bytes.h"
#include "crypto/KxCipher.h"

namespace {

constexpr int kSlots = HashingOutput::kSlots;
constexpr int32_t kSlotSize = HashingOutput::kSlotSize;

// In .bss by name: the build gives each object a section of its own, and the linker would place
// a ".bss.*" one among the initialised data, 4 MiB of zeros in the image.
[[gnu::section(".bss")]] uint8_t gSlots[kSlots][kSlotSize];
int32_t gFill[kSlots];  // the bytes in each slot; -1 marks the end of the output

// The stages a slot passes through in turn: 0 the decrypter fills it, 1 the hasher hashes it, 2
// the writer writes it and gives it back to the decrypter. ready[k] counts the slots that stage
// k may take; each stage takes them in slot order.
struct Pipeline {
  HANDLE ready[3];
  HANDLE threads[2];  // the hasher's and the writer's
  TFileStream* file;
  Sha1Context sha;
  uint32_t failed;     // a write to the file fell short
  uint32_t abandoned;  // the output is dropped
};
Pipeline gPipe;

bool Failed() { return __atomic_load_n(&gPipe.failed, __ATOMIC_RELAXED) != 0; }
// After a failed write or once the output is abandoned, no slot is hashed or written any more.
bool Skipping() { return Failed() || __atomic_load_n(&gPipe.abandoned, __ATOMIC_RELAXED) != 0; }

void HashSlot(int i) {
  if (!Skipping()) Sha1Add(gPipe.sha, gSlots[i], gFill[i]);
}

void WriteSlot(int i) {
  if (!Skipping() && gPipe.file->Write(gSlots[i], gFill[i]) != gFill[i])
    __atomic_store_n(&gPipe.failed, 1u, __ATOMIC_RELAXED);
}

// The hasher's (1) or the writer's (2) thread: every slot in order, the end marker included,
// is taken from the stage before and handed to the next.
DWORD WINAPI RunStage(void* argument) {
  const int stage = int(reinterpret_cast<intptr_t>(argument));
  for (int i = 0;; i = (i + 1) % kSlots) {
    WaitForSingleObject(gPipe.ready[stage], INFINITE);
    const bool end = gFill[i] < 0;
    if (!end) (stage == 1 ? HashSlot : WriteSlot)(i);
    ReleaseSemaphore(gPipe.ready[(stage + 1) % 3], 1, nullptr);
    if (end) return 0;
  }
}

void CloseStageHandles() {
  for (HANDLE& h : gPipe.ready) {
    if (h) CloseHandle(h);
    h = nullptr;
  }
  for (HANDLE& h : gPipe.threads) {
    if (h) CloseHandle(h);
    h = nullptr;
  }
}

// The hasher's and the writer's threads, where the machine has a core for them; false (and
// nothing left running) where it has one core or the system refuses a semaphore or a thread.
bool StartStages() {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  if (system.dwNumberOfProcessors < 2) return false;
  gPipe.ready[0] = CreateSemaphoreA(nullptr, kSlots, kSlots, nullptr);
  gPipe.ready[1] = CreateSemaphoreA(nullptr, 0, kSlots, nullptr);
  gPipe.ready[2] = CreateSemaphoreA(nullptr, 0, kSlots, nullptr);
  DWORD id;
  if (gPipe.ready[0] && gPipe.ready[1] && gPipe.ready[2]) {
    gPipe.threads[1] = CreateThread(nullptr, 0, RunStage, reinterpret_cast<void*>(intptr_t(2)), 0, &id);
    if (gPipe.threads[1]) gPipe.threads[0] = CreateThread(nullptr, 0, RunStage, reinterpret_cast<void*>(intptr_t(1)), 0, &id);
    if (gPipe.threads[0]) return true;
    if (gPipe.threads[1]) {
      // The writer alone started: the end marker, straight to it, ends it.
      gFill[0] = -1;
      ReleaseSemaphore(gPipe.ready[2], 1, nullptr);
      WaitForSingleObject(gPipe.threads[1], INFINITE);
    }
  }
  CloseStageHandles();
  return false;
}

}  // namespace

HashingOutput::HashingOutput(TFileStream& file) : file_(file) {
  gPipe.file = &file_;
  gPipe.failed = gPipe.abandoned = 0;
  Sha1Start(gPipe.sha);
  threaded_ = StartStages();
}

uint8_t* HashingOutput::Filling() {
  if (current_ < 0) {
    if (threaded_) WaitForSingleObject(gPipe.ready[0], INFINITE);
    current_ = next_;
    if (threaded_) next_ = (next_ + 1) % kSlots;
    gFill[current_] = 0;
  }
  return gSlots[current_];
}

void HashingOutput::Hand(int32_t fill) {
  gFill[current_] = fill;
  if (threaded_) {
    ReleaseSemaphore(gPipe.ready[1], 1, nullptr);
  } else if (fill > 0) {
    HashSlot(current_);
    WriteSlot(current_);
  }
  current_ = -1;
}

void HashingOutput::Abandon() { __atomic_store_n(&gPipe.abandoned, 1u, __ATOMIC_RELAXED); }

uint8_t* HashingOutput::WriteSpace(int32_t& capacity) {
  if (Skipping()) return nullptr;
  uint8_t* slot = Filling();
  const int32_t room = kSlotSize - gFill[current_];
  if (capacity > room) capacity = room;
  return slot + gFill[current_];
}

int32_t HashingOutput::Write(const void* buffer, int32_t count) {
  const uint8_t* from = static_cast<const uint8_t*>(buffer);
  int32_t done = 0;
  while (done < count && !Skipping()) {
    uint8_t* place = Filling() + gFill[current_];
    int32_t take = kSlotSize - gFill[current_];
    if (take > count - done) take = count - done;
    if (place != from + done) CopyBytes(place, from + done, size_t(take));
    done += take;
    gFill[current_] += take;
    if (gFill[current_] == kSlotSize) Hand(kSlotSize);
  }
  written_ += done;
  return done;
}

bool HashingOutput::Finish(uint8_t digest[20]) {
  if (!finished_) {
    finished_ = true;
    if (current_ >= 0 && gFill[current_] > 0) Hand(gFill[current_]);
    if (threaded_) {
      Filling();
      Hand(-1);
      WaitForMultipleObjects(2, gPipe.threads, TRUE, INFINITE);
      CloseStageHandles();
    }
    uint8_t ignored[20];
    Sha1Finish(gPipe.sha, digest ? digest : ignored);
  }
  return !Failed();
}
