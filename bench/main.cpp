// The Linux benchmark. Every figure of the library is taken against a floor measured in the
// same run; request cost and event latency are measured in separate runs (processes) so that
// their spread over runs can be shown.
//
//   rallylink_bench --measure FILE [--quick]
//       one run: request cost and event latency, library against floor, written to FILE
//   rallylink_bench --table [--quick] FILE...
//       takes the figures that are taken once (allocations, idle wake-ups, scaling, memory)
//       and prints one table with them and the figures of the runs in FILE... (Linux and Wine)
//   rallylink_bench --instructions CALLS [library|floor]
//       calls of each request on both sides, or on one, for callgrind or strace (see
//       instructions.cpp)
//
// --quick shortens every measurement, to check that the program works (the figures mean
// nothing then).
#include <cstdlib>
#include <cstring>

#include "linux_figures.h"
#include "results.h"
#include "run.h"

static int Usage(const char* program) {
  fprintf(stderr,
          "usage: %s --measure FILE [--quick]\n"
          "       %s --table [--quick] FILE...\n"
          "       %s --instructions CALLS [library|floor]\n",
          program, program, program);
  return 2;
}

static int Table(bool quick, const std::vector<std::string>& files) {
  std::vector<std::vector<Figure>> runs;
  for (const std::string& file : files) runs.push_back(ReadFigures(file));
  std::vector<std::string> rows = RowsOverRuns(runs);
  std::vector<std::string> scale = SystemCallRows(quick);
  rows.insert(rows.end(), scale.begin(), scale.end());
  {
    BenchSession session;
    if (!session.Started()) return 1;
    FloorLink floor;
    auto add = [&](const std::vector<std::string>& more) {
      rows.insert(rows.end(), more.begin(), more.end());
    };
    fprintf(stderr, "scaling...\n");
    add(ScalingRows(session, floor, quick));
    fprintf(stderr, "allocations...\n");
    add(AllocationRows(session, floor, quick));
    fprintf(stderr, "idle...\n");
    add(IdleRows(session, quick ? 1 : 10));
    fprintf(stderr, "memory...\n");
    add(MemoryRows());  // the probe's file goes to the session's scratch folder
  }
  for (const std::string& line : TableHeader()) printf("%s\n", line.c_str());
  for (const std::string& row : rows) printf("%s\n", row.c_str());
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 2) return Usage(argv[0]);
  bool quick = false;
  std::vector<std::string> files;
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else {
      files.emplace_back(argv[i]);
    }
  }
  if (strcmp(argv[1], "--measure") == 0 && files.size() == 1) {
    // Opened before the session makes a scratch folder the current folder.
    FILE* out = fopen(files[0].c_str(), "w");
    if (out == nullptr) return 1;
    int status = MeasureRun("Linux", quick, out);
    fclose(out);
    return status;
  }
  if (strcmp(argv[1], "--table") == 0) return Table(quick, files);
  if (strcmp(argv[1], "--instructions") == 0 && !files.empty() && files.size() <= 2 && !quick) {
    Sides sides = Sides::kBoth;
    if (files.size() == 2) {
      if (files[1] != "library" && files[1] != "floor") return Usage(argv[0]);
      sides = files[1] == "library" ? Sides::kLibrary : Sides::kFloor;
    }
    return CountInstructions(atoi(files[0].c_str()), sides);
  }
  return Usage(argv[0]);
}
