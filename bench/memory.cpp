// Resident memory: the probe process reports its resident size before it loads the library
// and after it has run a session with requests and events.
#include <cstdlib>
#include <fstream>

#include "linux_figures.h"
#include "results.h"

std::vector<std::string> MemoryRows() {
  std::string out = "memory-probe.txt";
  std::string command = std::string(RALLYLINK_MEMORY_PROBE) + " " + RALLYLINK_LIBRARY_PATH + " " +
                        out + " </dev/null >/dev/null";
  long without = 0, with = 0;
  if (system(command.c_str()) == 0) {  // NOLINT(concurrency-mt-unsafe)
    std::ifstream in(out);
    in >> without >> with;
  }
  if (without <= 0) return {TableRow("Resident memory", "probe failed", "-", "-", "-")};
  return {TableRow("Resident memory, session open vs library not loaded",
                   Format("%ld KiB (+%ld KiB)", with, with - without), Format("%ld KiB", without),
                   Format("%.3f", static_cast<double>(with) / static_cast<double>(without)), "-")};
}
