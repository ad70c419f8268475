// The lock order checks of debug builds: the library's own locks report a breach before they
// wait, and the default reaction ends the process with a message.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/log.h"
#include "platform/lockorder.h"
#include "session/sessiondata.h"

namespace {

#ifndef NDEBUG
std::vector<std::string> gBreaches;

void RecordBreach(const char* breach) { gBreaches.push_back(breach); }
#endif

TEST(LockOrder, TheLibrarysLocksReportEveryBreach) {
#ifdef NDEBUG
  GTEST_SKIP() << "release builds have no lock order checks";
#else
  gBreaches.clear();
  LockOrderHandler previous = SetLockOrderHandler(RecordBreach);
  CSessionData data(DefaultCallbacks{});
  PlatLock send;
  PlatLockInit(&send);
  {
    // The permitted order: csSend, then csLog (a failure line); csData on its own.
    RankedLockGuard holdSend(&send, LockRank::kSend);
    Log.SetFlag(1);
  }
  data.GetClientPort();
  EXPECT_TRUE(gBreaches.empty());
  {
    RankedLockGuard holdSend(&send, LockRank::kSend);
    data.GetClientPort();
  }
  {
    RankedLockGuard holdData(&send, LockRank::kData);
    Log.SetFlag(1);
  }
  {
    RankedLockGuard holdLog(&send, LockRank::kLog);
    RankedLockGuard again(&send, LockRank::kLog);  // the locks are recursive
    RankedLockGuard holdSend(&send, LockRank::kSend);
  }
  SetLockOrderHandler(previous);
  PlatLockDelete(&send);
  EXPECT_EQ(gBreaches, (std::vector<std::string>{"csData taken while csSend is held",
                                                 "csLog taken while csData is held",
                                                 "csSend taken while csLog is held"}));
#endif
}

TEST(LockOrderDeathTest, ABreachEndsTheProcessByDefault) {
#if defined(NDEBUG) || !GTEST_HAS_DEATH_TEST
  GTEST_SKIP() << "release builds have no lock order checks";
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
