# One way to turn the link schemas (src/app/links/proto/*.proto) into a library of generated
# code, for both of their users:
#   KIND nanopb - the application's static C records and descriptors (nanopb's generator,
#                 bounds from the .options file beside each schema);
#   KIND cpp    - the peers' reference protobuf library classes (protoc).
# Generated headers are included as "<INCLUDE_PREFIX>/<schema>.pb.h".
#
# camera_protobuf_library(<target> KIND nanopb|cpp INCLUDE_PREFIX <dir> SCHEMAS <names...>)
set(CAMERA_PROTO_DIR ${PROJECT_SOURCE_DIR}/src/app/links/proto)

function(camera_protobuf_library target)
  cmake_parse_arguments(arg "" "KIND;INCLUDE_PREFIX" "SCHEMAS" ${ARGN})
  set(gen_root ${CMAKE_CURRENT_BINARY_DIR}/generated)
  set(gen_dir ${gen_root}/${arg_INCLUDE_PREFIX})
  # Every schema imports the shared sub-messages of mcu_messages.proto.
  set(depends ${CAMERA_PROTO_DIR}/mcu_messages.proto)
  set(sources)
  if(arg_KIND STREQUAL "nanopb")
    camera_find_nanopb()
  endif()
  foreach(schema ${arg_SCHEMAS})
    set(proto ${CAMERA_PROTO_DIR}/${schema}.proto)
    if(arg_KIND STREQUAL "nanopb")
      set(outputs ${gen_dir}/${schema}.pb.c ${gen_dir}/${schema}.pb.h)
      set(command ${NANOPB_GENERATOR} --quiet --error-on-unmatched -I ${CAMERA_PROTO_DIR}
                  -D ${gen_dir} ${proto})
      list(APPEND depends ${CAMERA_PROTO_DIR}/${schema}.options)
    else()
      set(outputs ${gen_dir}/${schema}.pb.cc ${gen_dir}/${schema}.pb.h)
      set(command protobuf::protoc --proto_path=${CAMERA_PROTO_DIR} --cpp_out=${gen_dir} ${proto})
    endif()
    list(GET outputs 0 source)
    list(APPEND sources ${source})
    add_custom_command(
      OUTPUT ${outputs}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${gen_dir}
      COMMAND ${command}
      DEPENDS ${proto} ${depends}
      COMMENT "${arg_KIND}: ${schema}.proto"
      VERBATIM)
  endforeach()

  add_library(${target} STATIC ${sources})
  target_include_directories(${target} SYSTEM PUBLIC ${gen_root})
  if(arg_KIND STREQUAL "nanopb")
    target_link_libraries(${target} PUBLIC camera_nanopb)
  else()
    find_package(Protobuf REQUIRED)
    target_link_libraries(${target} PUBLIC protobuf::libprotobuf)
  endif()
  camera_relax_generated_warnings(${target})
endfunction()

# The nanopb runtime as the target `camera_nanopb`. Debian ships it per architecture
# (libnanopb-dev, libnanopb-dev:mipsel for the camera); its CMake package names /usr/include,
# which a cross build must not search (the host's C library headers live there), so the
# cross build gets the library with a copy of nanopb's four headers instead.
macro(camera_find_nanopb)
  if(NOT TARGET camera_nanopb)
    find_program(NANOPB_GENERATOR nanopb_generator.py REQUIRED)
    add_library(camera_nanopb INTERFACE)
    if(CMAKE_CROSSCOMPILING)
      find_library(CAMERA_NANOPB_LIBRARY protobuf-nanopb REQUIRED
                   PATHS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE} NO_DEFAULT_PATH)
      set(_nanopb_headers ${PROJECT_BINARY_DIR}/nanopb-headers)
      foreach(header pb.h pb_common.h pb_decode.h pb_encode.h)
        configure_file(/usr/include/${header} ${_nanopb_headers}/${header} COPYONLY)
      endforeach()
      target_include_directories(camera_nanopb SYSTEM INTERFACE ${_nanopb_headers})
      target_link_libraries(camera_nanopb INTERFACE ${CAMERA_NANOPB_LIBRARY})
    else()
      find_package(nanopb REQUIRED CONFIG)
      target_link_libraries(camera_nanopb INTERFACE nanopb::protobuf-nanopb-static)
    endif()
  endif()
endmacro()
