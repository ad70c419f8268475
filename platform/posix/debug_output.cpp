// Debugger output on POSIX systems: appended to the file named by $RALLYLINK_DEBUG_OUTPUT, or
// dropped when that is not set (as with no debugger attached).
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/platform.h"

void PlatDebugOutput(const char* text) {
  static std::mutex mutex;
  // The setting is read at each call so that it can be set after the library was loaded.
  const char* path = getenv("RALLYLINK_DEBUG_OUTPUT");  // NOLINT(concurrency-mt-unsafe)
  if (path == nullptr || *path == '\0') return;
  std::lock_guard<std::mutex> guard(mutex);
  FILE* f = fopen(path, "ab");
  if (f == nullptr) return;
  fputs(text, f);
  fclose(f);
}
