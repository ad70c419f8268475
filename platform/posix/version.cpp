// Version information on POSIX systems: the only file that has any is "rallylink.dll", whose
// version is the one compiled into the library.
#include <strings.h>

#include <cstring>

#include "platform/platform.h"
#include "rallylink_version.h"

uint32_t PlatVersionInfoSize(const char* file) {
  return strcasecmp(file, "rallylink.dll") == 0 ? 4 * sizeof(uint16_t) : 0;
}

bool PlatReadFileVersion(const char* file, void* buffer, uint32_t size, uint16_t version[4]) {
  if (PlatVersionInfoSize(file) == 0 || size < PlatVersionInfoSize(file)) return false;
  const uint16_t v[4] = {RALLYLINK_VERSION_MAJOR, RALLYLINK_VERSION_MINOR, RALLYLINK_VERSION_PATCH,
                         RALLYLINK_VERSION_TWEAK};
  memcpy(buffer, v, sizeof v);
  memcpy(version, v, sizeof v);
  return true;
}
