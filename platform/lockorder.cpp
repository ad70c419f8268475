#include "platform/lockorder.h"

#ifdef RALLYLINK_LOCK_ORDER_CHECKS
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

const char* const kNames[] = {"csSend", "csData", "csLog", "csStartStop"};

// How often the calling thread holds each lock (they are recursive).
thread_local int tHeld[4] = {0, 0, 0, 0};

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

void LockOrderEnter(LockRank rank) {
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
}

void LockOrderLeave(LockRank rank) { --tHeld[static_cast<int>(rank)]; }

LockOrderHandler SetLockOrderHandler(LockOrderHandler handler) {
  return gHandler.exchange(handler != nullptr ? handler : Abort);
}
#endif
