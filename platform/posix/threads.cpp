// Locks, threads and time on POSIX systems.
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
// Threads: joinable pthreads; the handle is the pthread_t.

namespace {
struct ThreadStart {
  void (*fn)(void*);
  void* arg;
};

void* ThreadTrampoline(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.fn(start.arg);
  return nullptr;
}
}  // namespace

PlatThread PlatThreadStart(void (*fn)(void*), void* arg) {
  auto* start = new (std::nothrow) ThreadStart;
  if (start == nullptr) return PLAT_NO_THREAD;
  start->fn = fn;
  start->arg = arg;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, ThreadTrampoline, start) != 0) {
    delete start;
    return PLAT_NO_THREAD;
  }
  return reinterpret_cast<PlatThread>(thread);  // NOLINT(performance-no-int-to-ptr): a pthread_t
}

bool PlatThreadJoin(PlatThread thread, uint32_t timeoutMs) {
  auto t = reinterpret_cast<pthread_t>(thread);
  if (timeoutMs == PLAT_INFINITE) return pthread_join(t, nullptr) == 0;
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
  deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return pthread_timedjoin_np(t, nullptr, &deadline) == 0;
}

uint64_t PlatCurrentThreadId() { return static_cast<uint64_t>(pthread_self()); }

// ---------------------------------------------------------------------------------------------
// Time

void PlatSleep(uint32_t ms) { posix::SleepUntil(posix::NowMs() + ms); }

void PlatGetLocalTime(PlatLocalTime* time) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local;
  localtime_r(&ts.tv_sec, &local);
  time->year = static_cast<uint16_t>(local.tm_year + 1900);
  time->month = static_cast<uint16_t>(local.tm_mon + 1);
  time->dayOfWeek = static_cast<uint16_t>(local.tm_wday);
  time->day = static_cast<uint16_t>(local.tm_mday);
  time->hour = static_cast<uint16_t>(local.tm_hour);
  time->minute = static_cast<uint16_t>(local.tm_min);
  time->second = static_cast<uint16_t>(local.tm_sec);
  time->milliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
}
