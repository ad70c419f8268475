// The order of the library's locks, checked in debug builds: csStartStop comes before every
// other lock, csSend may be held while csLog is taken, csData is never taken while csSend is
// held, and nothing else is taken while csLog or csData is held (each is the innermost lock of
// its callers). A thread that breaks
// the order could deadlock against another that keeps it, so a debug build reports the first
// breach at once instead of waiting for the deadlock. csSend and csLog are plain locks
// (PlatLockInitPlain), which their owner must not take again: it would wait for itself, so that
// is reported too. Builds without RALLYLINK_LOCK_ORDER_CHECKS (the release build) compile the
// checks away.
#pragma once

#include "platform/platform.h"

enum class LockRank { kSend = 0, kData = 1, kLog = 2, kStartStop = 3 };

#ifdef RALLYLINK_LOCK_ORDER_CHECKS
// Called before and after the calling thread holds the lock, of the given rank.
void LockOrderEnter(LockRank rank, const PlatLock* lock);
void LockOrderLeave(LockRank rank, const PlatLock* lock);
// Receives the description of a breach. The default writes it to standard error and the
// debugger output and aborts the process. Returns the handler that was installed before.
typedef void (*LockOrderHandler)(const char* breach);
LockOrderHandler SetLockOrderHandler(LockOrderHandler handler);
#else
inline void LockOrderEnter(LockRank, const PlatLock*) {}
inline void LockOrderLeave(LockRank, const PlatLock*) {}
#endif

// Holds one of the library's locks for a scope and keeps the thread's lock order up to date.
class RL_SCOPED_CAPABILITY RankedLockGuard {
 public:
  RankedLockGuard(PlatLock* lock, LockRank rank) RL_ACQUIRE(lock)
      : rank_(rank), lock_(lock), held_(true) {
    // Checked before waiting, so that a breach is reported, not deadlocked.
    LockOrderEnter(rank_, lock_);
    PlatLockEnter(lock_);
  }
  // Takes the lock only when no other thread holds it; Held() tells whether it did.
  struct TryOnly {};
  RankedLockGuard(PlatLock* lock, LockRank rank, TryOnly) RL_NO_THREAD_SAFETY_ANALYSIS
      : rank_(rank),
        lock_(lock) {
    LockOrderEnter(rank_, lock_);
    held_ = PlatLockTryEnter(lock_);
    if (!held_) LockOrderLeave(rank_, lock_);
  }
  ~RankedLockGuard() RL_RELEASE() {
    if (!held_) return;
    PlatLockLeave(lock_);
    LockOrderLeave(rank_, lock_);
  }
  bool Held() const { return held_; }
  RankedLockGuard(const RankedLockGuard&) = delete;
  RankedLockGuard& operator=(const RankedLockGuard&) = delete;

 private:
  LockRank rank_;
  PlatLock* lock_;
  bool held_;
};
