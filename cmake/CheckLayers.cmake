# Fails when a file of src/app includes a header of a higher layer than its own, when a file
# of the simulated board includes one of the camera's (the board reads and writes what the
# camera leaves, its files and its lines, with code of its own), or when a file of the board
# library (sim/board) includes a header of one of its parts: the parts sit above the board.
#
#   cmake -DAPP_DIR=<dir that holds app/> [-DSIM_DIR=<the board's sim/>] -P CheckLayers.cmake
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

if(SIM_DIR)
  file(GLOB_RECURSE sim_sources RELATIVE ${SIM_DIR} ${SIM_DIR}/*.h ${SIM_DIR}/*.cc)
  foreach(source IN LISTS sim_sources)
    file(STRINGS ${SIM_DIR}/${source} includes REGEX "^#include \"app/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"(app/[^\"]+)\".*" "\\1" header "${line}")
      string(APPEND violations "\n  sim/${source} (the board) includes ${header} (the camera)")
    endforeach()
    string(FIND "${source}" "board/" in_board)
    if(NOT in_board EQUAL 0)
      continue()
    endif()
    file(STRINGS ${SIM_DIR}/${source} includes REGEX "^#include \"sim/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"sim/([^\"]+)\".*" "\\1" header "${line}")
      set(below FALSE)
      foreach(allowed IN ITEMS board/ ${SIM_BOARD_BELOW})
        string(FIND "${header}" "${allowed}" at)
        if(at EQUAL 0)
          set(below TRUE)
        endif()
      endforeach()
      if(NOT below)
        string(APPEND violations
               "\n  sim/${source} (the board library) includes sim/${header} (a part; parts are "
               "put together above the board, in sim/assembly)")
      endif()
    endforeach()
  endforeach()
endif()

if(violations)
  message(FATAL_ERROR "Includes that break the layering:${violations}")
endif()
