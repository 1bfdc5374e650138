# Common compile settings shared by every target.
add_library(salvitra_common INTERFACE)
target_compile_features(salvitra_common INTERFACE cxx_std_17)
target_compile_options(salvitra_common INTERFACE
  -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)
target_compile_definitions(salvitra_common INTERFACE _FILE_OFFSET_BITS=64 _GNU_SOURCE)

if(SALVITRA_SANITIZE)
  set(SV_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_compile_options(${SV_SAN_FLAGS})
  add_link_options(${SV_SAN_FLAGS})
endif()

if(SALVITRA_TSAN)
  if(SALVITRA_SANITIZE)
    message(FATAL_ERROR "SALVITRA_TSAN and SALVITRA_SANITIZE exclude each other")
  endif()
  set(SV_TSAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
  add_compile_options(${SV_TSAN_FLAGS})
  add_link_options(${SV_TSAN_FLAGS})
endif()

if(SALVITRA_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "SALVITRA_FUZZ needs clang (configure with CXX=clang++ CC=clang)")
endif()
if(SALVITRA_FUZZ)
  # Instrument library code for coverage; the harness executables add the fuzzer main.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# salvitra_library(name SOURCES ... EXPORTS file): a shared library with
# hidden symbols, an export header <name>_export.h and the common settings.
# EXPORTS names a text file with one exported symbol per line; a version
# script makes sure nothing else (not even template instantiations) leaks.
function(salvitra_library name)
  cmake_parse_arguments(SL "" "EXPORTS" "SOURCES;LINKS;INCLUDES" ${ARGN})
  add_library(${name} SHARED ${SL_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "lib" OUTPUT_NAME ${name})
  if(NOT SALVITRA_SANITIZE AND NOT SALVITRA_FUZZ AND NOT SALVITRA_TSAN)
    # Sanitizer runtimes are resolved by the executable, not the library.
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
  if(SL_EXPORTS)
    file(STRINGS ${SL_EXPORTS} _syms REGEX "^[A-Za-z_][A-Za-z0-9_]*$")
    list(JOIN _syms ";\n    " _body)
    set(_map ${CMAKE_BINARY_DIR}/exports/${name}.map)
    file(WRITE ${_map}.in "{\n  global:\n    ${_body};\n  local: *;\n};\n")
    configure_file(${_map}.in ${_map} COPYONLY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${SL_EXPORTS})
    target_link_options(${name} PRIVATE -Wl,--version-script=${_map})
    set_target_properties(${name} PROPERTIES LINK_DEPENDS ${_map}
                          SALVITRA_EXPORTS_FILE ${SL_EXPORTS})
    # The export check of the test suite walks this list.
    set_property(GLOBAL APPEND PROPERTY SALVITRA_EXPORTING_LIBRARIES ${name})
  endif()
  generate_export_header(${name} BASE_NAME ${name}
                         EXPORT_FILE_NAME ${CMAKE_BINARY_DIR}/include/${name}_export.h)
  target_include_directories(${name} PUBLIC ${CMAKE_BINARY_DIR}/include ${SL_INCLUDES})
  target_link_libraries(${name} PRIVATE salvitra_common PUBLIC ${SL_LINKS})
endfunction()
