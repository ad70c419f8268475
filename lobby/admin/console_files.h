// The console page's files (console/), built into rallylobby: the build turns each into bytes
// of a generated source (cmake/embed-files.cmake), so the server needs no folder of its own at
// run time.
#pragma once

#include <cstddef>
#include <string>

namespace lobby {

struct ConsoleFile {
  const char* path;  // "/index.html", "/console.js", ...
  const char* type;  // its Content-Type
  const unsigned char* data;
  size_t size;
};

// Null when no file of the console has that path.
const ConsoleFile* FindConsoleFile(const std::string& path);

}  // namespace lobby
