# Fails when a product file includes a header of a layer above its own.
# Run as: cmake -DSOURCE_DIR=<root> [-DSTAMP=<file>] -P cmake/Check_Layers.cmake
#
# The layers, lowest first; a file may include headers of its own layer and of those below.
# The three lower folders of rt_serial do not use one another; the session uses all three.
set(layers utility rt_serial/datalink rt_serial/protocol rt_serial/driver rt_serial/control
           services server cmd_line app)

# The index of the layer `path` lies in, or -1 for a file outside them (a system or generated header).
function(layer_of path out)
  set(found -1)
  set(index 0)
  foreach(layer IN LISTS layers)
    if(path MATCHES "^${layer}/")
      set(found ${index})
    endif()
    math(EXPR index "${index} + 1")
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

set(violations "")
foreach(layer IN LISTS layers)
  file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${layer}/*.cpp ${SOURCE_DIR}/${layer}/*.hpp)
  foreach(file IN LISTS files)
    layer_of(${file} own)
    file(STRINGS ${SOURCE_DIR}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" included "${line}")
      layer_of(${included} theirs)
      if(theirs GREATER own)
        list(GET layers ${own} own_name)
        list(GET layers ${theirs} their_name)
        string(APPEND violations "\n  ${file} includes ${included}: ${own_name} may not use ${their_name}, a layer above it")
      endif()
    endforeach()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES violations)

if(violations)
  message(FATAL_ERROR "Includes against the layers (see docs/architecture.md):${violations}")
endif()
if(STAMP)
  file(WRITE ${STAMP} "layers kept\n")
endif()
