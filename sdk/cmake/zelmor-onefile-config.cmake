# The Zelmor onefile SDK for CMake projects. After `cmake --install` of
# Zelmor onefile into PREFIX, a project finds it with
#   find_package(zelmor-onefile REQUIRED)   # and -DCMAKE_PREFIX_PATH=PREFIX
# (this file lies in PREFIX/share/zelmor-onefile/cmake, the SDK folder of the
# sources in sdk/cmake). It gives:
#   zelmor::onefile            the SDK header: target_link_libraries(app PRIVATE zelmor::onefile)
#   ZELMOR_ONEFILE_PACK        the packer, found beside the SDK (PREFIX/bin) or on the PATH,
#                              for a custom command that packs the application
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
  HINTS "${ZELMOR_ONEFILE_SDK_DIR}/../../bin"
  NO_CMAKE_FIND_ROOT_PATH)

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
