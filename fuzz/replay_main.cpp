// Runs every file of the given corpus folders through one fuzz target, without libFuzzer, so
// that the corpora are ordinary regression tests on every platform.
// Usage: fuzz_replay TARGET FOLDER...   (TARGET: event_stream, tcpbuffer, meetpoint_reader or
// lobby_reader)
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_targets.h"
#include "surroundings.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  struct Target {
    const char* name;
    int (*entry)(const uint8_t*, size_t);
  };
  static const Target kTargets[] = {{"event_stream", FuzzEventStream},
                                    {"tcpbuffer", FuzzTcpBuffer},
                                    {"meetpoint_reader", FuzzMeetpointReader},
                                    {"lobby_reader", FuzzLobbyReader}};
  const Target* target = nullptr;
  for (const Target& t : kTargets) {
    if (argc > 1 && strcmp(argv[1], t.name) == 0) target = &t;
  }
  if (target == nullptr || argc < 3) {
    fprintf(stderr,
            "usage: fuzz_replay event_stream|tcpbuffer|meetpoint_reader|lobby_reader FOLDER...\n");
    return 2;
  }
  std::vector<fs::path> files;
  for (int i = 2; i < argc; ++i) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(argv[i], ec)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    if (ec) {
      fprintf(stderr, "can't read %s\n", argv[i]);
      return 2;
    }
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    std::string bytes = ReadBinaryFile(file.string());
    target->entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  // An empty corpus would make a test that proves nothing.
  fprintf(stderr, "%s: %zu inputs replayed\n", target->name, files.size());
  return files.empty() ? 1 : 0;
}
