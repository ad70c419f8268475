# Writes OUTPUT: a C++ source that holds the files FILES (names under DIR) as bytes, and the
# function FIND, declared in HEADER inside NAMESPACE, that gives the file served at "/NAME" as
# a TYPE {path, type, data, size}, or null. The build runs it whenever one of the files
# changes, so that a program serves its pages with no folder of its own and nothing from
# elsewhere.
#   cmake -DDIR=ui "-DFILES=index.html;page.js" -DOUTPUT=ui_files.cpp -DHEADER=ui_files.h
#         -DNAMESPACE=mp -DTYPE=UiFile -DFIND=FindUiFile -P embed-files.cmake
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
    message(FATAL_ERROR "embed-files.cmake: no Content-Type for ${name}")
  endif()
  string(APPEND arrays "const unsigned char kFile${index}[] = {${bytes}};\n")
  string(APPEND table
         "    {\"/${name}\", \"${types_${extension}}\", kFile${index}, sizeof kFile${index}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.new" "// Made by cmake/embed-files.cmake from ${DIR}; edit those files instead.
#include \"${HEADER}\"

namespace ${NAMESPACE} {
namespace {
${arrays}
const ${TYPE} kFiles[] = {
${table}};
}  // namespace

const ${TYPE}* ${FIND}(const std::string& path) {
  for (const ${TYPE}& file : kFiles) {
    if (path == file.path) return &file;
  }
  return nullptr;
}

}  // namespace ${NAMESPACE}
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
