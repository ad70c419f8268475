#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "gate.h"
#include "linux_figures.h"

static Gate gArrived;
static std::atomic<long> gCallbackThread{0};

void EventArrived() {
  gCallbackThread = static_cast<long>(syscall(SYS_gettid));
  gArrived.Post();
}

long LastCallbackThread() { return gCallbackThread; }

int SendPacedEvents(BenchSession& session, const std::vector<mp::Bytes>& frames) {
  int arrived = 0;
  for (const mp::Bytes& frame : frames) {
    session.Meetpoint().Send(frame);
    arrived += gArrived.Wait(5000) ? 1 : 0;
  }
  return arrived;
}
