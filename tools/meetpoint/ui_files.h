// The page's files (tools/meetpoint/ui), built into meetpoint: the build writes ui_files.cpp
// from them (cmake/embed-files.cmake), so that the page works offline and loads nothing from
// elsewhere.
#pragma once

#include <cstddef>
#include <string>

namespace mp {

struct UiFile {
  const char* path;  // "/index.html"
  const char* type;  // its Content-Type
  const unsigned char* data;
  size_t size;
};

// The file served at path; null when there is none.
const UiFile* FindUiFile(const std::string& path);

}  // namespace mp
