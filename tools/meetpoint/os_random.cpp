// The system's random source, in a file of its own: only the programs that need secrets link
// it (on Windows it brings in bcrypt.dll).
#include "os.h"

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <sys/random.h>

#include <cerrno>
#endif

namespace mp {

bool RandomBytes(uint8_t* out, size_t size) {
#ifdef _WIN32
  return BCRYPT_SUCCESS(
      BCryptGenRandom(nullptr, out, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
#else
  while (size > 0) {
    ssize_t n = getrandom(out, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    size -= static_cast<size_t>(n);
  }
  return true;
#endif
}

}  // namespace mp
