// Resident memory of a game process with and without the library: reads its own resident
// size, then loads the library, opens a session with a stand-in Meetpoint, sends requests,
// takes events, and reads the resident size again.
//
//   rallylink_memory_probe LIBRARY OUTPUT
//
// OUTPUT receives one line: the resident size in KiB before loading, then with the session.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "frames.h"
#include "rallylink.h"
#include "peer_socket.h"
#include "surroundings.h"

static long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
  }
  return 0;
}

static std::atomic<int> gVotes{0};

static int RLCALL CountVote(const char*, uint32_t, unsigned char, uint32_t) {
  ++gVotes;
  return 0;
}

template <typename F>
static F Symbol(void* library, const char* name) {
  return reinterpret_cast<F>(dlsym(library, name));
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s LIBRARY OUTPUT\n", argv[0]);
    return 2;
  }
  FILE* out = fopen(argv[2], "w");
  if (out == nullptr) return 1;
  RawSocket listener = RawSocket::Listen();
  ScratchDir dir;
  SetClientPortValue(std::to_string(listener.Port()));
  long without = ResidentKiB();

  void* library = dlopen(argv[1], RTLD_NOW);
  if (library == nullptr) return 1;
  auto initialise = Symbol<int (*)(uint32_t, uint16_t)>(library, "RLInitialise");
  auto shutdown = Symbol<int (*)()>(library, "RLShutdown");
  auto sendVote = Symbol<uint32_t (*)(uint32_t, unsigned char)>(library, "RLSendVote");
  auto setVoting = Symbol<uint32_t (*)(VotingCallback, uint32_t)>(library, "RLSetVotingCallback");
  if (!initialise || !shutdown || !sendVote || !setVoting || initialise(0, 0) != 0) return 1;
  RawSocket game = listener.Accept(5000);
  setVoting(CountVote, 0);
  for (uint32_t i = 0; i < 100; ++i) {
    sendVote(i, 1);
    int before = gVotes;
    game.SendAll(VoteEventFrame(i));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (gVotes == before && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }
  long with = ResidentKiB();
  shutdown();
  fprintf(out, "%ld %ld\n", without, with);
  fclose(out);
  return 0;
}
