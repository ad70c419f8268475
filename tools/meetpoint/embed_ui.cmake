# Writes OUTPUT: a C++ source that holds the files FILES (names under DIR) as byte arrays, with
# FindUiFile() to look them up by path (ui_files.h). Run by the build whenever a file changes.
set(types_html "text/html; charset=utf-8")
set(types_css "text/css; charset=utf-8")
set(types_js "text/javascript; charset=utf-8")
set(types_svg "image/svg+xml")
set(arrays "")
set(table "")
set(index 0)
foreach(name IN LISTS FILES)
  file(READ "${DIR}/${name}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  get_filename_component(extension "${name}" LAST_EXT)
  string(SUBSTRING "${extension}" 1 -1 extension)
  if(NOT DEFINED types_${extension})
    message(FATAL_ERROR "embed_ui.cmake: no Content-Type for ${name}")
  endif()
  string(APPEND arrays "const unsigned char kFile${index}[] = {${bytes}};\n")
  string(APPEND table "    {\"/${name}\", \"${types_${extension}}\", kFile${index}, sizeof kFile${index}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.new" "// Made by embed_ui.cmake from tools/meetpoint/ui; edit those files instead.
#include \"ui_files.h\"

namespace mp {
namespace {
${arrays}
const UiFile kFiles[] = {
${table}};
}  // namespace

const UiFile* FindUiFile(const std::string& path) {
  for (const UiFile& file : kFiles) {
    if (path == file.path) return &file;
  }
  return nullptr;
}

}  // namespace mp
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
