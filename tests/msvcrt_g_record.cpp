// Writes tests/data/msvcrt_g.txt: the small set of "%G" cases with the text that msvcrt.dll's
// own _snprintf gives for each. Run under Wine from a Windows build:
//   build/windows-x64/wine-run.sh build/windows-x64/bin/msvcrt_g_record.exe tests/data/msvcrt_g.txt
#include <windows.h>

#include <cinttypes>
#include <cstdio>

#include "support/float_cases.h"

int main(int argc, char** argv) {
  typedef int(__cdecl * SnprintfFn)(char*, size_t, const char*, ...);
  auto msvcrt = reinterpret_cast<SnprintfFn>(
      reinterpret_cast<void*>(GetProcAddress(LoadLibraryA("msvcrt.dll"), "_snprintf")));
  FILE* out = argc == 2 ? fopen(argv[1], "wb") : nullptr;
  if (msvcrt == nullptr || out == nullptr) {
    fprintf(stderr, "usage: msvcrt_g_record OUTPUT (needs msvcrt.dll)\n");
    return 1;
  }
  for (uint64_t bits : FloatTextCases(false)) {
    char text[64] = {0};
    msvcrt(text, sizeof text - 1, "%G", DoubleFromBits(bits));
    fprintf(out, "%016" PRIx64 " %s\n", bits, text);
  }
  return fclose(out) == 0 ? 0 : 1;
}
