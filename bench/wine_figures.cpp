// Request cost and event latency of the Windows DLL, meant to run under Wine next to the Linux
// benchmark. Writes the table rows to ROWS, which the Linux benchmark appends to its table.
//
//   rallylink_wine_figures ROWS [--quick]
#include <cstdio>
#include <cstring>

#include "bench_common.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s ROWS [--quick]\n", argv[0]);
    return 2;
  }
  bool quick = argc > 2 && strcmp(argv[2], "--quick") == 0;
  // Opened before the session makes a scratch folder the current folder.
  FILE* rows = fopen(argv[1], "w");
  if (rows == nullptr) return 1;
  std::vector<std::string> lines;
  {
    BenchSession session;
    if (!session.Started()) {
      fprintf(stderr,
              "no session: RLInitialise failed or Meetpoint's stand-in got no connection\n");
      return 1;
    }
    fprintf(stderr, "session started\n");
    FloorLink floor;
    fprintf(stderr, "request cost...\n");
    RequestCosts cost = MeasureRequestCost(floor, quick ? 3 : 40, quick ? 100 : 200);
    fprintf(stderr, "event latency...\n");
    EventLatency latency = MeasureEventLatency(session, floor.log, quick ? 500 : 10000, 50);
    lines = CommonRows("Wine, x64 DLL", cost, latency);
    fprintf(stderr, "ending the session...\n");
  }
  for (const std::string& line : lines) fprintf(rows, "%s\n", line.c_str());
  fclose(rows);
  return 0;
}
