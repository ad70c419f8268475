// Loading and unloading the library at run time: the entry point's debugger output, and the
// log's closing banner at unload.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "rallylink.h"
#include "support/fake_meetpoint.h"
#include "support/test_env.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

class Library {
 public:
  Library() {
#ifdef _WIN32
    handle_ = LoadLibraryA("rallylink.dll");
#else
    handle_ = dlopen(RALLYLINK_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
#endif
  }
  ~Library() { Unload(); }
  bool Loaded() const { return handle_ != nullptr; }
  void Unload() {
    if (handle_ == nullptr) return;
#ifdef _WIN32
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
    handle_ = nullptr;
  }
  // Installs onVote, starts a session with meetpoint (its connection-th) and has it send a vote.
  void StartAndSendAVote(VotingCallback onVote, FakeMeetpoint& meetpoint, int connection) {
    Get<uint32_t(RLCALL*)(VotingCallback, uint32_t)>("RLSetVotingCallback")(onVote, 0);
    ASSERT_EQ(Get<int(RLCALL*)(uint32_t, uint16_t)>("RLInitialise")(0, 1), 0);
    ASSERT_TRUE(meetpoint.WaitConnected(connection));
    ASSERT_TRUE(meetpoint.SendFrame({0x22, 1, 0, 0, 0, 1, 'u', 0}));
  }
  template <typename F>
  F Get(const char* name) {
#ifdef _WIN32
    return reinterpret_cast<F>(
        reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name)));
#else
    return reinterpret_cast<F>(dlsym(handle_, name));
#endif
  }

 private:
  void* handle_ = nullptr;
};

// Whether the library is in the process's memory, without loading it or keeping it loaded.
bool LibraryInMemory() {
#ifdef _WIN32
  return GetModuleHandleA("rallylink.dll") != nullptr;
#else
  void* handle = dlopen(RALLYLINK_LIBRARY_PATH, RTLD_LAZY | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
#endif
}

const char kAttachLines[] =
    "DLL Init routine...(DLL_PROCESS_ATTACH)\nDLL Init routine...(DLL_PROCESS_ATTACH [2])\n";

TEST(LibraryLoad, AttachWritesItsTwoDebuggerLines) {
  DebugOutputCapture debug;
  Library library;
  ASSERT_TRUE(library.Loaded());
  EXPECT_TRUE(WaitUntil(2000, [&] { return debug.Text() == kAttachLines; })) << debug.Text();
}

// A start that fails for want of a registry key leaves the log open and no thread running:
// the unload closes the log, unless RLShutdown already has.
TEST(LibraryLoad, UnloadClosesALogThatIsStillOpenAndOnlyThen) {
  for (bool shutdown : {false, true}) {
    ScratchDir dir;
    DeleteClientPortKey();
    {
      Library library;
      ASSERT_TRUE(library.Loaded());
      EXPECT_EQ(library.Get<int(RLCALL*)(uint32_t, uint16_t)>("RLInitialise")(0, 0), 1);
      if (shutdown) {
        EXPECT_EQ(library.Get<int(RLCALL*)()>("RLShutdown")(), 1);
      }
    }
    std::string log = ReadTextFile("RallylinkLog.txt");
    const char* closedBy =
        shutdown ? "]  Stopping message thread\n\n#### Closing log ####"
                 : "]  Failed to read client port from registry\n\n#### Closing log ####";
    EXPECT_NE(log.find(closedBy), std::string::npos) << log;
    EXPECT_EQ(log.find("#### Closing log ####"), log.rfind("#### Closing log ####"));
  }
}

// A private folder, a Meetpoint whose port is in the registry, standard output captured.
struct WithMeetpoint {
  WithMeetpoint() { SetClientPortValue(std::to_string(meetpoint.Port())); }
  ~WithMeetpoint() { DeleteClientPortKey(); }
  ScratchDir dir;
  FakeMeetpoint meetpoint;
  StreamCapture out{stdout};
};

// The process ends (main returns) without RLShutdown while events keep arriving: the message
// thread is stopped before anything it uses goes away, and the log still gets its closing banner.
TEST(LibraryLoad, ExitWithoutShutdownWhileEventsArriveEndsCleanly) {
  WithMeetpoint site;
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    const Bytes vote = Frame({0x22, 9, 0, 0, 0, 1, 'f', 'l', 'o', 'o', 'd', 0});
    while (!stop) {
      site.meetpoint.Send(vote);
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  });
  for (int run = 0; run < 30; ++run) {
    ASSERT_EQ(RunProgram("exit_midstream", {std::to_string(2 + run % 20)}, 20000), 0) << run;
    std::string log = ReadTextFile("RallylinkLog.txt");
    size_t closing = log.rfind("\n#### Closing log ####\n");
    ASSERT_NE(closing, std::string::npos) << run;
    EXPECT_GT(closing, log.rfind("#### Opening log ####")) << run;
    EXPECT_EQ(log.compare(log.size() - 22, 22, "#####################\n"), 0) << run;
  }
  stop = true;
  flood.join();
}

std::atomic<int> gVotes{0};

int RLCALL CountVote(const char*, uint32_t, unsigned char, uint32_t) {
  ++gVotes;
  return 0;
}

// A game that loads the library for one session at a time: the message thread is joined by
// RLShutdown, so the library's code can be unmapped as soon as it returns.
TEST(LibraryLoad, SlowUnloadRightAfterShutdownAHundredTimes) {
  WithMeetpoint site;
  for (int cycle = 1; cycle <= 100; ++cycle) {
    Library library;
    ASSERT_TRUE(library.Loaded());
    int votes = gVotes;
    ASSERT_NO_FATAL_FAILURE(library.StartAndSendAVote(CountVote, site.meetpoint, cycle));
    ASSERT_TRUE(WaitUntil(5000, [&] { return gVotes > votes; }));
    ASSERT_EQ(library.Get<int(RLCALL*)()>("RLShutdown")(), 0);
    library.Unload();
    ASSERT_FALSE(LibraryInMemory()) << cycle;
  }
}

std::atomic<bool> gHolding{false};
std::atomic<bool> gRelease{false};

int RLCALL HoldVote(const char*, uint32_t, unsigned char, uint32_t) {
  gHolding = true;
  WaitUntil(60000, [] { return gRelease.load(); });  // released once the game has unloaded
  return 0;
}

// A callback holds the message thread past every wait: RLShutdown gives up on it after 5 s, a
// second RLShutdown too, and the game unloads the library. The thread still holds the library,
// so its code stays in place until the thread, back from the callback, has left it: on Windows
// the thread's exit unloads the library then; elsewhere it stays loaded. (Under Wine the
// thread count is no measure: Wine starts threads of its own now and then.)
TEST(LibraryLoad, SlowUnloadWhileACallbackHoldsTheThreadWaitsForTheThreadToLeave) {
  WithMeetpoint site;
#ifndef _WIN32
  const int threads = ThreadCount();
#endif
  Library library;
  ASSERT_TRUE(library.Loaded());
  ASSERT_NO_FATAL_FAILURE(library.StartAndSendAVote(HoldVote, site.meetpoint, 1));
  ASSERT_TRUE(WaitUntil(5000, [] { return gHolding.load(); }));
  auto shutdown = library.Get<int(RLCALL*)()>("RLShutdown");
  EXPECT_EQ(shutdown(), 0);  // the goodbye went out; the thread did not end within the wait
  EXPECT_EQ(shutdown(), 1);  // outside a session, after another wait
  library.Unload();
  EXPECT_TRUE(LibraryInMemory());
  gRelease = true;
#ifdef _WIN32
  // The thread's exit gives up the last hold on the DLL, which goes once the thread has left it.
  EXPECT_TRUE(WaitUntil(5000, [] { return !LibraryInMemory(); }));
#else
  // The thread ends; its hold on the library stays (nothing joins it before the process ends).
  EXPECT_TRUE(WaitUntil(5000, [&] { return ThreadCount() == threads; }));
#endif
}

}  // namespace
