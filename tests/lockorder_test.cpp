// The lock order checks of debug builds: the library's own locks report a breach before they
// wait, and the default reaction ends the process with a message.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/log.h"
#include "platform/lockorder.h"
#include "session/sessiondata.h"

namespace {

#ifdef RALLYLINK_LOCK_ORDER_CHECKS
std::vector<std::string> gBreaches;

void RecordBreach(const char* breach) { gBreaches.push_back(breach); }
#endif

TEST(LockOrderDeathTest, TheLibrarysLocksReportEveryBreach) {
#ifndef RALLYLINK_LOCK_ORDER_CHECKS
  GTEST_SKIP() << "this build has no lock order checks";
#else
  LockOrderHandler previous = SetLockOrderHandler(RecordBreach);
  CSessionData data(DefaultCallbacks{});
  PlatLock outerLock;
  PlatLock innerLock;
  PlatLockInit(&outerLock);
  PlatLockInit(&innerLock);
  // Takes a lock of the given rank while one of another rank is held: csData and csLog through
  // the library's own objects, the others through locks of their rank.
  auto take = [&](LockRank inner) {
    if (inner == LockRank::kData) {
      data.GetClientPort();
    } else if (inner == LockRank::kLog) {
      Log.SetFlag(1);
    } else {
      RankedLockGuard hold(&innerLock, inner);
    }
  };
  const struct {
    LockRank outer;
    LockRank inner;
    const char* breach;  // null: permitted
  } kCases[] = {
      {LockRank::kStartStop, LockRank::kSend, nullptr},
      {LockRank::kStartStop, LockRank::kData, nullptr},
      {LockRank::kSend, LockRank::kLog, nullptr},
      {LockRank::kSend, LockRank::kData, "csData taken while csSend is held"},
      {LockRank::kSend, LockRank::kStartStop, "csStartStop taken while csSend is held"},
      {LockRank::kData, LockRank::kLog, "csLog taken while csData is held"},
      {LockRank::kLog, LockRank::kSend, "csSend taken while csLog is held"},
      {LockRank::kLog, LockRank::kLog, nullptr},  // a rank may be held twice (recursion)
  };
  for (const auto& c : kCases) {
    gBreaches.clear();
    {
      RankedLockGuard hold(&outerLock, c.outer);
      take(c.inner);
    }
    take(c.inner);  // on its own a lock is always permitted
    EXPECT_EQ(gBreaches, c.breach != nullptr ? std::vector<std::string>{c.breach}
                                             : std::vector<std::string>{});
  }

  // A lock taken only if free is checked as a take and counts as held while its guard lasts.
  gBreaches.clear();
  {
    RankedLockGuard tried(&outerLock, LockRank::kLog, RankedLockGuard::TryOnly{});
    ASSERT_TRUE(tried.Held());
    take(LockRank::kSend);
  }
  // Each plain lock is held as often as it was taken, whatever order the locks are left in.
  LockOrderEnter(LockRank::kSend, &innerLock);
  LockOrderEnter(LockRank::kLog, &outerLock);
  LockOrderEnter(LockRank::kLog, &outerLock);
  LockOrderLeave(LockRank::kSend, &innerLock);
  LockOrderLeave(LockRank::kLog, &outerLock);
  LockOrderEnter(LockRank::kLog, &outerLock);
  for (int i = 0; i < 2; ++i) LockOrderLeave(LockRank::kLog, &outerLock);
  const char* again = "csLog taken again while it is held";
  EXPECT_EQ(gBreaches,
            (std::vector<std::string>{"csSend taken while csLog is held", again, again}));
  SetLockOrderHandler(previous);
  PlatLockDelete(&outerLock);
  PlatLockDelete(&innerLock);
#endif
}

TEST(LockOrderDeathTest, ABreachEndsTheProcessByDefault) {
#if !defined(RALLYLINK_LOCK_ORDER_CHECKS) || !GTEST_HAS_DEATH_TEST
  GTEST_SKIP() << "this build has no lock order checks";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        CSessionData data(DefaultCallbacks{});
        PlatLock send;
        PlatLockInit(&send);
        RankedLockGuard holdSend(&send, LockRank::kSend);
        data.GetClientPort();
      },
      "Lock order breached: csData taken while csSend is held");
#endif
}

}  // namespace
