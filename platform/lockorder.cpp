#include "platform/lockorder.h"

#ifdef RALLYLINK_LOCK_ORDER_CHECKS
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

const char* const kNames[] = {"csSend", "csData", "csLog", "csStartStop"};

// How often the calling thread holds a lock of each rank (two locks may share one, and the
// recursive ones may be held more than once).
thread_local int tHeld[4] = {0, 0, 0, 0};

// The plain locks that the calling thread holds, in the order it took them. Two are all the
// library can hold at once (csSend, then csLog); more are not recorded.
const int kMaxPlainHeld = 8;
thread_local const PlatLock* tPlainHeld[kMaxPlainHeld] = {};
thread_local int tPlainCount = 0;

bool IsPlain(LockRank rank) { return rank == LockRank::kSend || rank == LockRank::kLog; }

bool HoldsPlain(const PlatLock* lock) {
  for (int i = 0; i < tPlainCount; ++i) {
    if (tPlainHeld[i] == lock) return true;
  }
  return false;
}

void Abort(const char* breach) {
  char line[160];
  snprintf(line, sizeof line, "Lock order breached: %s\n", breach);
  fputs(line, stderr);
  PlatDebugOutput(line);
  abort();
}

std::atomic<LockOrderHandler> gHandler{Abort};

bool Held(LockRank rank) { return tHeld[static_cast<int>(rank)] > 0; }

}  // namespace

void LockOrderEnter(LockRank rank, const PlatLock* lock) {
  if (IsPlain(rank) && HoldsPlain(lock)) {
    char breach[96];
    snprintf(breach, sizeof breach, "%s taken again while it is held",
             kNames[static_cast<int>(rank)]);
    gHandler.load()(breach);
  }
  const char* outer = nullptr;
  if (Held(LockRank::kLog) && rank != LockRank::kLog) {
    outer = "csLog";
  } else if (Held(LockRank::kData) && rank != LockRank::kData) {
    outer = "csData";
  } else if (Held(LockRank::kSend) && (rank == LockRank::kData || rank == LockRank::kStartStop)) {
    outer = "csSend";
  }
  if (outer != nullptr) {
    char breach[96];
    snprintf(breach, sizeof breach, "%s taken while %s is held", kNames[static_cast<int>(rank)],
             outer);
    gHandler.load()(breach);
  }
  ++tHeld[static_cast<int>(rank)];
  if (IsPlain(rank) && tPlainCount < kMaxPlainHeld) tPlainHeld[tPlainCount++] = lock;
}

void LockOrderLeave(LockRank rank, const PlatLock* lock) {
  --tHeld[static_cast<int>(rank)];
  if (!IsPlain(rank)) return;
  // The latest entry of the lock goes; locks are normally left in the reverse order of taking.
  for (int i = tPlainCount - 1; i >= 0; --i) {
    if (tPlainHeld[i] != lock) continue;
    for (int j = i; j + 1 < tPlainCount; ++j) tPlainHeld[j] = tPlainHeld[j + 1];
    --tPlainCount;
    return;
  }
}

LockOrderHandler SetLockOrderHandler(LockOrderHandler handler) {
  return gHandler.exchange(handler != nullptr ? handler : Abort);
}
#endif
