# Run at build time (cmake -P) over every source and header of src/: an
# #include "..." whose path climbs (..) or starts at the root reaches a folder
# past the include roots, so it is refused, naming the file and the line.
file(GLOB_RECURSE sources ${SOURCE_DIR}/*.cpp ${SOURCE_DIR}/*.hpp)
set(refused "")
foreach(source IN LISTS sources)
  file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"(\\.\\.|/|[^\"]*/\\.\\./)")
  foreach(line IN LISTS lines)
    file(RELATIVE_PATH relative ${SOURCE_DIR} ${source})
    string(APPEND refused "\n  src/${relative}: ${line}")
  endforeach()
endforeach()
if(refused)
  message(FATAL_ERROR "An #include must name a folder below the include root "
                      "(\"io/format.hpp\"), not a relative path:${refused}")
endif()
file(TOUCH ${STAMP})
