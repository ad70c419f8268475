// Locks, threads and time on POSIX systems.
#include <dlfcn.h>
#include <pthread.h>
#include <time.h>

#include <new>

#include "platform/platform.h"
#include "platform/posix/clock.h"

// ---------------------------------------------------------------------------------------------
// Critical sections: recursive mutexes, or default ones for plain locks (whose lock and unlock
// take glibc's shortest path).

static_assert(sizeof(pthread_mutex_t) <= sizeof(PlatLock::opaque), "PlatLock too small");
static_assert(alignof(pthread_mutex_t) <= alignof(PlatLock), "PlatLock under-aligned");

static pthread_mutex_t* Mutex(PlatLock* lock) {
  return reinterpret_cast<pthread_mutex_t*>(lock->opaque);
}

void PlatLockInit(PlatLock* lock) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(Mutex(lock), &attr);
  pthread_mutexattr_destroy(&attr);
}

void PlatLockInitPlain(PlatLock* lock) { pthread_mutex_init(Mutex(lock), nullptr); }

void PlatLockDelete(PlatLock* lock) { pthread_mutex_destroy(Mutex(lock)); }

// The annotations describe the contract; the analysis can't see through the mutex calls.
void PlatLockEnter(PlatLock* lock) RL_NO_THREAD_SAFETY_ANALYSIS { pthread_mutex_lock(Mutex(lock)); }
bool PlatLockTryEnter(PlatLock* lock) RL_NO_THREAD_SAFETY_ANALYSIS {
  return pthread_mutex_trylock(Mutex(lock)) == 0;
}
void PlatLockLeave(PlatLock* lock) RL_NO_THREAD_SAFETY_ANALYSIS {
  pthread_mutex_unlock(Mutex(lock));
}

// ---------------------------------------------------------------------------------------------
// Threads: joinable pthreads. The handle holds what the thread runs and the reference to the
// shared object that it holds.

struct PlatThreadObject {
  pthread_t id;
  void (*fn)(void*);
  void* arg;
  void* module;  // from dlopen, null when this code is part of the program itself
};

namespace {
void* ThreadTrampoline(void* p) {
  auto* thread = static_cast<PlatThreadObject*>(p);
  thread->fn(thread->arg);
  return nullptr;
}

// The shared object that holds this code, opened once more: it stays loaded, whatever its other
// users do, until that reference is closed. Null when the code is part of the program.
void* HoldModule() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&HoldModule), &info) == 0 || info.dli_fname == nullptr) {
    return nullptr;
  }
  return dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
}
}  // namespace

PlatThread PlatThreadStart(void (*fn)(void*), void* arg) {
  auto* thread = new (std::nothrow) PlatThreadObject;
  if (thread == nullptr) return PLAT_NO_THREAD;
  thread->fn = fn;
  thread->arg = arg;
  thread->module = HoldModule();
  if (pthread_create(&thread->id, nullptr, ThreadTrampoline, thread) != 0) {
    if (thread->module != nullptr) dlclose(thread->module);
    delete thread;
    return PLAT_NO_THREAD;
  }
  return thread;
}

bool PlatThreadJoin(PlatThread thread, uint32_t timeoutMs, bool keepModule) {
  bool joined;
  if (timeoutMs == PLAT_INFINITE) {
    joined = pthread_join(thread->id, nullptr) == 0;
  } else {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    joined = pthread_timedjoin_np(thread->id, nullptr, &deadline) == 0;
  }
  if (!joined) return false;
  // The thread has left the shared object's code: its reference may go, and with it, if it
  // was the last, the shared object.
  if (thread->module != nullptr && !keepModule) dlclose(thread->module);
  delete thread;
  return true;
}

uint64_t PlatCurrentThreadId() { return static_cast<uint64_t>(pthread_self()); }

// ---------------------------------------------------------------------------------------------
// Time

void PlatSleep(uint32_t ms) { posix::SleepUntil(posix::NowMs() + ms); }

static void FillLocalTime(time_t second, long nanoseconds, PlatLocalTime* time) {
  tm local;
  localtime_r(&second, &local);
  time->year = static_cast<uint16_t>(local.tm_year + 1900);
  time->month = static_cast<uint16_t>(local.tm_mon + 1);
  time->dayOfWeek = static_cast<uint16_t>(local.tm_wday);
  time->day = static_cast<uint16_t>(local.tm_mday);
  time->hour = static_cast<uint16_t>(local.tm_hour);
  time->minute = static_cast<uint16_t>(local.tm_min);
  time->second = static_cast<uint16_t>(local.tm_sec);
  time->milliseconds = static_cast<uint16_t>(nanoseconds / 1000000);
}

// The coarse clock is the one time() reads: the time of the last clock tick, read without the
// hardware counter that the fine clock needs.
void PlatGetLocalTime(PlatLocalTime* time) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME_COARSE, &ts);
  FillLocalTime(ts.tv_sec, ts.tv_nsec, time);
}

bool PlatLocalTimeOnNewSecond(int64_t* second, PlatLocalTime* time) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME_COARSE, &ts);
  if (ts.tv_sec == *second) return false;
  *second = ts.tv_sec;
  FillLocalTime(ts.tv_sec, ts.tv_nsec, time);
  return true;
}
