// The registry on POSIX systems: a folder tree. The key HKEY_LOCAL_MACHINE\A\B is the folder
// ROOT/HKEY_LOCAL_MACHINE/A/B, where ROOT is $RALLYLINK_REGISTRY_DIR (default
// /etc/rallylink/registry), and a value is a file in it. Results are Windows error codes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/posix/errors.h"

struct PlatRegKeyObject {
  std::string path;
};

static std::string RegistryKeyPath(const char* subkey) {
  const char* root = getenv("RALLYLINK_REGISTRY_DIR");  // NOLINT(concurrency-mt-unsafe)
  std::string path = (root != nullptr && *root != '\0') ? root : "/etc/rallylink/registry";
  path += "/HKEY_LOCAL_MACHINE/";
  for (const char* c = subkey; *c != '\0'; ++c) path += (*c == '\\') ? '/' : *c;
  return path;
}

long PlatRegOpenLocalMachineKey(const char* subkey, PlatRegKey* key) {
  *key = nullptr;
  std::string path = RegistryKeyPath(subkey);
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return PLAT_ERROR_FILE_NOT_FOUND;
  *key = new (std::nothrow) PlatRegKeyObject{path};
  return *key != nullptr ? 0 : posix::kErrorOutOfMemory;
}

long PlatRegQueryValue(PlatRegKey key, const char* name, char* data, uint32_t* size) {
  if (key == nullptr) return posix::kErrorInvalidHandle;
  std::string path = key->path + "/" + name;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return PLAT_ERROR_FILE_NOT_FOUND;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return PLAT_ERROR_FILE_NOT_FOUND;
  }
  uint64_t needed = static_cast<uint64_t>(st.st_size) + 1;  // the data and its zero
  if (needed > *size) {
    close(fd);
    *size = needed > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(needed);
    return PLAT_ERROR_MORE_DATA;
  }
  size_t got = 0;
  while (got < needed - 1) {
    ssize_t n = read(fd, data + got, needed - 1 - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  data[got] = '\0';
  *size = static_cast<uint32_t>(got + 1);
  return 0;
}

void PlatRegCloseKey(PlatRegKey key) { delete key; }

uint32_t PlatFormatSystemMessage(uint32_t code, char* buffer, uint32_t size) {
  // The texts that Windows gives for the codes the registry read can meet.
  static const struct {
    uint32_t code;
    const char* text;
  } kMessages[] = {
      {PLAT_ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
      {posix::kErrorAccessDenied, "Access is denied.\r\n"},
      {posix::kErrorInvalidHandle, "The handle is invalid.\r\n"},
      {posix::kErrorOutOfMemory,
       "Not enough memory resources are available to complete this operation.\r\n"},
      {PLAT_ERROR_MORE_DATA, "More data is available.\r\n"},
  };
  if (size == 0) return 0;
  for (const auto& m : kMessages) {
    if (m.code != code) continue;
    size_t n = strlen(m.text);
    if (n > size - 1) n = size - 1;
    memcpy(buffer, m.text, n);
    buffer[n] = '\0';
    return static_cast<uint32_t>(n);
  }
  return 0;
}
