// The measuring run of the Windows DLL, meant to run under Wine next to the Linux benchmark:
// request cost and event latency against the floor, written to FILE, which the Linux
// benchmark's table gathers with its own runs.
//
//   rallylink_wine_figures FILE [--quick]
#include <cstdio>
#include <cstring>

#include "run.h"

int main(int argc, char** argv) {
  if (argc < 2 || (argc > 2 && strcmp(argv[2], "--quick") != 0)) {
    fprintf(stderr, "usage: %s FILE [--quick]\n", argv[0]);
    return 2;
  }
  // Opened before the session makes a scratch folder the current folder.
  FILE* out = fopen(argv[1], "w");
  if (out == nullptr) return 1;
  const char* tag = sizeof(void*) == 8 ? "Wine, x64 DLL" : "Wine, x86 DLL";
  int status = MeasureRun(tag, argc > 2, out);
  fclose(out);
  return status;
}
