#include "peer.h"

#include <cstdio>

#include <string>

#include "measure.h"
#include "rallylink.h"
#include "surroundings.h"

#include "native_socket.h"

// Bytes waiting to be read on the socket.
static size_t Waiting(intptr_t handle) {
#ifdef _WIN32
  u_long n = 0;
  if (ioctlsocket(N(handle), FIONREAD, &n) != 0) return 0;
#else
  int n = 0;
  if (ioctl(N(handle), FIONREAD, &n) != 0 || n < 0) return 0;
#endif
  return static_cast<size_t>(n);
}

// True when data (or the end of the stream) is there within timeoutMs.
static bool Readable(intptr_t handle, int timeoutMs) {
#ifdef _WIN32
  fd_set set;
  FD_ZERO(&set);
  FD_SET(N(handle), &set);
  timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return select(0, &set, nullptr, nullptr, &tv) > 0;
#else
  pollfd p = {N(handle), POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0;
#endif
}

// One receive into area; the count, or 0 at the end of the stream or on failure.
static size_t ReceiveOnce(intptr_t handle, char* area, size_t size) {
  int n = static_cast<int>(recv(N(handle), area, static_cast<int>(size), 0));
  return n > 0 ? static_cast<size_t>(n) : 0;
}

GamePeer::GamePeer() : listener_(RawSocket::Listen()) {}

GamePeer::~GamePeer() { StopReader(); }

bool GamePeer::Accept(int timeoutMs) {
  connection_ = listener_.Accept(timeoutMs);
  return connection_.Valid();
}

size_t GamePeer::ReadAvailable(mp::Bytes* keep) {
  char area[16384];
  size_t total = 0;
  // Only what FIONREAD reports is asked for, so the receive never waits.
  for (size_t waiting; (waiting = Waiting(connection_.Handle())) > 0;) {
    size_t n =
        ReceiveOnce(connection_.Handle(), area, waiting < sizeof area ? waiting : sizeof area);
    if (n == 0) break;
    if (keep != nullptr) keep->insert(keep->end(), area, area + n);
    total += n;
  }
  return total;
}

bool GamePeer::ReadAtLeast(size_t bytes, int timeoutMs, mp::Bytes* keep) {
  int64_t deadline = NowNs() + static_cast<int64_t>(timeoutMs) * 1000000;
  size_t have = 0;
  while (have < bytes) {
    int left = static_cast<int>((deadline - NowNs()) / 1000000);
    if (left <= 0 || !Readable(connection_.Handle(), left)) return false;
    size_t n = ReadAvailable(keep);
    if (n == 0) return false;  // readable with nothing to read: the game closed
    have += n;
  }
  return true;
}

// The reader thread waits up to 20 ms at a time so that it notices StopReader.
void GamePeer::StartReader() {
  if (reader_.joinable()) return;
  stop_ = false;
  intptr_t handle = connection_.Handle();
  reader_ = std::thread([this, handle] {
    char area[16384];
    while (!stop_) {
      if (Readable(handle, 20) && ReceiveOnce(handle, area, sizeof area) == 0) return;
    }
  });
}

void GamePeer::StopReader() {
  if (!reader_.joinable()) return;
  stop_ = true;
  reader_.join();
}

struct BenchSession::Surroundings {
  ScratchDir dir;
  StreamCapture out{stdout};
};

BenchSession::BenchSession() : surroundings_(new Surroundings) {
  SetClientPortValue(std::to_string(meetpoint_.Port()));
  started_ = RLInitialise(0, 0) == 0 && meetpoint_.Accept(5000);
  if (!started_) {
    fprintf(stderr, "no session: RLInitialise failed or Meetpoint's stand-in got no connection\n");
  }
}

std::string BenchSession::ConsoleText() { return surroundings_->out.Text(); }

BenchSession::~BenchSession() {
  RLShutdown();
  meetpoint_.StopReader();
  DeleteClientPortKey();
  delete surroundings_;
}
