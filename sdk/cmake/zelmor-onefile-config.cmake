# The Zelmor onefile SDK for CMake projects. After `cmake --install` of
# Zelmor onefile into PREFIX, a project finds it with
#   find_package(zelmor-onefile REQUIRED)   # and -DCMAKE_PREFIX_PATH=PREFIX
# (this file lies in PREFIX/share/zelmor-onefile/cmake, the SDK folder of the
# sources in sdk/cmake). It gives:
#   zelmor::onefile            the SDK header: target_link_libraries(app PRIVATE zelmor::onefile)
#   ZELMOR_ONEFILE_PACK        the packer, found beside the SDK (PREFIX/bin, or windows/ in
#                              the SDK folder) or on the PATH
#   zelmor_add_onefile(TARGET [OUTPUT NAME.exe] [DATA DIR] [OPTIONS ...])
#       packs TARGET into one executable whenever it is built (with `all`): a
#       DLL that exports run_code, or a program (packed with --run); the
#       files of DIR go beside it, and OPTIONS are more options of zelmor-pack
#       (--console, --product-name "My App", ...). OUTPUT is relative to the
#       current binary directory; by default onefile/TARGET.exe there. The
#       target TARGET-onefile does the packing.
#   zelmor_onefile_add_host(TARGET [DATA DIR])
#       builds TARGET-host.exe beside TARGET's DLL: it runs the DLL in its own
#       process, as the packed executable would (start it under a debugger),
#       and the files of DIR are copied beside the DLL, where extraction puts them
get_filename_component(ZELMOR_ONEFILE_SDK_DIR "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

if(NOT TARGET zelmor::onefile)
  add_library(zelmor::onefile INTERFACE IMPORTED)
  set_target_properties(zelmor::onefile PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${ZELMOR_ONEFILE_SDK_DIR}/include")
endif()

# A program of the build machine, also when cross-compiling.
find_program(ZELMOR_ONEFILE_PACK zelmor-pack
  HINTS "${ZELMOR_ONEFILE_SDK_DIR}/../../bin" "${ZELMOR_ONEFILE_SDK_DIR}/windows"
  NO_CMAKE_FIND_ROOT_PATH)

function(zelmor_add_onefile target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUTPUT;DATA" "OPTIONS")
  if(NOT ZELMOR_ONEFILE_PACK)
    message(FATAL_ERROR "zelmor_add_onefile: zelmor-pack was not found; set ZELMOR_ONEFILE_PACK to its path")
  endif()
  if(NOT arg_OUTPUT)
    set(arg_OUTPUT "onefile/${target}.exe")
  endif()
  get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  get_filename_component(output_dir "${output}" DIRECTORY)
  set(inputs "")
  set(depends ${target} "${ZELMOR_ONEFILE_PACK}")
  if(arg_DATA)
    get_filename_component(data "${arg_DATA}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    file(GLOB_RECURSE data_files CONFIGURE_DEPENDS "${data}/*")
    list(APPEND inputs --dir "${data}")
    list(APPEND depends ${data_files})
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(name "$<TARGET_FILE_NAME:${target}>")
    list(APPEND inputs --file "${name}=$<TARGET_FILE:${target}>" --run "${name}")
  elseif(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
    list(APPEND inputs "$<TARGET_FILE:${target}>")
  else()
    message(FATAL_ERROR "zelmor_add_onefile: ${target} is neither a DLL nor a program")
  endif()
  add_custom_command(OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${output_dir}"
    COMMAND "${ZELMOR_ONEFILE_PACK}" ${arg_OPTIONS} ${inputs} "${output}"
    DEPENDS ${depends}
    COMMENT "Packing ${target} into ${arg_OUTPUT}"
    VERBATIM)
  add_custom_target(${target}-onefile ALL DEPENDS "${output}")
endfunction()

function(zelmor_onefile_add_host target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DATA" "")
  set(host "${target}-host")
  add_executable(${host} "${ZELMOR_ONEFILE_SDK_DIR}/host/zelmor_onefile_host.cpp")
  target_compile_definitions(${host} PRIVATE
    "ZELMOR_ONEFILE_HOST_APPLICATION=L\"$<TARGET_FILE_NAME:${target}>\"" UNICODE _UNICODE)
  set_target_properties(${host} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "$<TARGET_FILE_DIR:${target}>")
  if(MINGW)
    target_compile_options(${host} PRIVATE -municode)
    target_link_options(${host} PRIVATE -municode -static)
  endif()
  add_dependencies(${host} ${target})
  if(arg_DATA)
    add_custom_command(TARGET ${host} POST_BUILD
      COMMAND "${CMAKE_COMMAND}" -E copy_directory "${arg_DATA}" "$<TARGET_FILE_DIR:${target}>"
      VERBATIM)
  endif()
endfunction()
