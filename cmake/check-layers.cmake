# Fails when a file of the library includes a header from a layer above its own, or from a
# neighbour on its own level. The layers, lowest first:
#
#   platform  <  log, tcplibrary  <  session  <  msgthread  <  exports
#
# rallylink.h, the public header, only declares the interface's types and functions, so every
# layer may include it. Run as: cmake -DSOURCE_DIR=<tree> -P check-layers.cmake
set(layers platform log tcplibrary session msgthread exports)
set(rank_platform 0)
set(rank_log 1)
set(rank_tcplibrary 1)
set(rank_session 2)
set(rank_msgthread 3)
set(rank_exports 4)

set(breaches 0)
foreach(layer IN LISTS layers)
  file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR}
       ${SOURCE_DIR}/${layer}/*.h ${SOURCE_DIR}/${layer}/*.cpp)
  foreach(file IN LISTS files)
    file(STRINGS ${SOURCE_DIR}/${file} includes REGEX "^#include \"[a-z]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"([a-z]+)/.*" "\\1" target "${line}")
      if(NOT DEFINED rank_${target} OR target STREQUAL layer)
        continue()
      endif()
      if(rank_${target} GREATER_EQUAL rank_${layer})
        message(SEND_ERROR "${file} (${layer}) includes ${target}/, a layer not below it: ${line}")
        math(EXPR breaches "${breaches} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()
if(breaches EQUAL 0)
  message(STATUS "every include goes down the layers")
endif()
