// Idle wake-ups: the context switches of the message thread while nothing arrives, against a
// thread of this program that waits on a condition for the same time.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "frames.h"
#include "gate.h"
#include "linux_figures.h"
#include "rallylink.h"
#include "results.h"

namespace {

long ContextSwitches(long tid) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  long total = 0;
  while (std::getline(status, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
        line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
      total += atol(line.c_str() + line.find(':') + 1);
    }
  }
  return total;
}

int RLCALL NoteVote(const char*, uint32_t, unsigned char, uint32_t) {
  EventArrived();
  return 0;
}

}  // namespace

std::vector<std::string> IdleRows(BenchSession& session, int seconds) {
  RLSetVotingCallback(NoteVote, 0);
  SendPacedEvents(session, {VoteEventFrame(1)});  // tells which thread the callbacks run on
  RLSetVotingCallback(nullptr, 0);
  long messageThread = LastCallbackThread();

  Gate release;
  std::atomic<long> floorThread{0};
  std::thread idle([&] {
    floorThread = static_cast<long>(syscall(SYS_gettid));
    release.Wait(3600 * 1000);
  });
  while (floorThread == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // both are asleep by now

  long libraryBefore = ContextSwitches(messageThread);
  long floorBefore = ContextSwitches(floorThread);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  long libraryWakeups = ContextSwitches(messageThread) - libraryBefore;
  long floorWakeups = ContextSwitches(floorThread) - floorBefore;
  release.Post();
  idle.join();
  return {TableRow(Format("Idle wake-ups of the message thread in %d s", seconds),
                   Format("%ld", libraryWakeups), Format("%ld", floorWakeups), "-", "0")};
}
