#include "HelperThread.h"

#include <windows.h>

#include "crypto/KxCpu.h"

namespace {

// A task is handed over through a semaphore the thread waits on. The caller withdraws a task
// the thread has not yet taken by taking the semaphore back itself: the system hands its one
// count to exactly one of the two, so a task runs once or never.
HANDLE gHanded, gFinished, gThread;
bool gRefused;
void (*gTask)(void*);
void* gArgument;

DWORD WINAPI RunHelper(void*) {
  for (;;) {
    WaitForSingleObject(gHanded, INFINITE);
    gTask(gArgument);
    SetEvent(gFinished);
  }
}

bool StartTask(void (*task)(void*), void* argument) {
  if (!gThread && !gRefused) {
    gHanded = CreateSemaphoreA(nullptr, 0, 1, nullptr);
    gFinished = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD id;
    if (gHanded && gFinished) gThread = CreateThread(nullptr, 0, RunHelper, nullptr, 0, &id);
    gRefused = !gThread;
  }
  if (gRefused) return false;
  gTask = task;
  gArgument = argument;
  ReleaseSemaphore(gHanded, 1, nullptr);
  return true;
}

void WaitForTask() {
  if (WaitForSingleObject(gHanded, 0) == WAIT_OBJECT_0) return;  // not begun: withdrawn
  WaitForSingleObject(gFinished, INFINITE);
}

const HelperThread kHelper = {StartTask, WaitForTask};

}  // namespace

void LendHelperThread() {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  if (system.dwNumberOfProcessors > 1) SetHelperThread(&kHelper);
}
