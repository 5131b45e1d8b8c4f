// The core's helper thread: one thread, made on the first task, that runs one task at a time for
// the thread that decrypts, while the pipe's threads hash and store as before.
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "Tool.h"
#include "crypto/KxCpu.h"

namespace {

struct Helper {
  std::mutex mutex;
  std::condition_variable changed;
  void (*task)(void*) = nullptr;  // the task waiting to run, taken by the thread
  void* argument = nullptr;
  bool busy = false;              // from Start until the task has returned

  void Serve() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [this] { return task != nullptr; });
      void (*run)(void*) = task;
      task = nullptr;
      lock.unlock();
      run(argument);
      lock.lock();
      busy = false;
      changed.notify_all();
    }
  }
};

// Made on first use and never freed: the thread serves until the process ends.
Helper* gHelper = nullptr;
bool gNoThread = false;  // the system gave none once; the core then works alone

bool Start(void (*task)(void*), void* argument) {
  if (gHelper == nullptr) {
    if (gNoThread) return false;
    Helper* helper = new (std::nothrow) Helper;
    if (helper == nullptr) return gNoThread = true, false;
    try {
      std::thread([helper] { helper->Serve(); }).detach();
    } catch (const std::system_error&) {
      delete helper;
      return gNoThread = true, false;
    }
    gHelper = helper;
  }
  {
    std::lock_guard<std::mutex> lock(gHelper->mutex);
    gHelper->task = task;
    gHelper->argument = argument;
    gHelper->busy = true;
  }
  gHelper->changed.notify_all();
  return true;
}

void Wait() {
  std::unique_lock<std::mutex> lock(gHelper->mutex);
  // A task the thread has not taken yet is withdrawn: the caller, which has done all there was
  // meanwhile, does not wait for the thread to be given a core only to find nothing left. (The
  // hashing and storing threads share the cores: in a DES extraction a fifth to two fifths of
  // the shared runs ended before the thread had begun.)
  if (gHelper->task != nullptr) {
    gHelper->task = nullptr;
    gHelper->busy = false;
    return;
  }
  gHelper->changed.wait(lock, [] { return !gHelper->busy; });
}

const HelperThread kHelper = {Start, Wait};

}  // namespace

void LendHelperThread() { SetHelperThread(&kHelper); }
