// Writes tests/data/msvcrt_g.txt: the small set of "%G" cases with the text that msvcrt.dll's
// own _snprintf gives for each. Run under Wine from a Windows build:
//   build/windows-x64/wine-run.sh build/windows-x64/bin/msvcrt_g_record.exe tests/data/msvcrt_g.txt
#include <cstdio>

#include "float_cases.h"

int main(int argc, char** argv) {
  FILE* out = argc == 2 ? fopen(argv[1], "wb") : nullptr;
  if (MsvcrtGText(1.0).empty() || out == nullptr) {
    fprintf(stderr, "usage: msvcrt_g_record OUTPUT (needs msvcrt.dll)\n");
    return 1;
  }
  for (uint64_t bits : FloatTextCases(false)) {
    fprintf(out, "%s %s\n", BitsText(bits).c_str(), MsvcrtGText(DoubleFromBits(bits)).c_str());
  }
  return fclose(out) == 0 ? 0 : 1;
}
