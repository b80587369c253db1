# Fails when a file of src/app includes a header of a higher layer than its own.
#
#   cmake -DAPP_DIR=<dir that holds app/> -P CheckLayers.cmake
#
# Each folder's layer is in Layers.cmake beside this script; a file takes the layer of the
# deepest folder (or file name) listed there that holds it. Includes outside app/ (the platform
# layer, generated headers, system headers) are not checked.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/Layers.cmake)

if(NOT APP_DIR)
  message(FATAL_ERROR "CheckLayers: give -DAPP_DIR=<the folder that holds app/>")
endif()

# Sets `out_var` to the layer of `path` (relative to app/), or to -1 when no entry holds it.
function(layer_of path out_var)
  set(best_length -1)
  set(best_layer -1)
  foreach(entry IN LISTS CAMERA_APP_LAYERS)
    string(REPLACE ":" ";" pair "${entry}")
    list(GET pair 0 prefix)
    list(GET pair 1 layer)
    string(LENGTH "${prefix}" length)
    string(FIND "${path}" "${prefix}/" at)
    if(NOT at EQUAL 0)
      string(FIND "${path}" "${prefix}." at)  # a file listed by name, e.g. AV-Common
    endif()
    if(at EQUAL 0 AND length GREATER best_length)
      set(best_length ${length})
      set(best_layer ${layer})
    endif()
  endforeach()
  set(${out_var} ${best_layer} PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE sources RELATIVE ${APP_DIR}/app ${APP_DIR}/app/*.h ${APP_DIR}/app/*.cc)
set(violations "")
foreach(source IN LISTS sources)
  layer_of(${source} own)
  if(own EQUAL -1)
    string(APPEND violations "\n  app/${source}: in no layer of Layers.cmake")
    continue()
  endif()
  file(STRINGS ${APP_DIR}/app/${source} includes REGEX "^#include \"app/")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^#include \"app/([^\"]+)\".*" "\\1" header "${line}")
    layer_of(${header} theirs)
    if(theirs GREATER own)
      string(APPEND violations
             "\n  app/${source} (layer ${own}) includes app/${header} (layer ${theirs})")
    endif()
  endforeach()
endforeach()

if(violations)
  message(FATAL_ERROR "Includes of a higher layer from a lower one:${violations}")
endif()
