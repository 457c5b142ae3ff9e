# The Windows half: the launcher, its test build and the Windows-side tests.
enable_language(RC)
include(cmake/zstd-windows.cmake)

# Launcher code: warnings are errors, no exceptions, no RTTI, and a static
# runtime so that the executable imports nothing but system DLLs.
set(LAUNCHER_COMPILE_OPTIONS -Wall -Wextra -Werror -fno-exceptions -fno-rtti -municode)
set(LAUNCHER_LINK_OPTIONS -static -static-libgcc -static-libstdc++ -municode)

# Each folder of the launcher is a layer (ARCHITECTURE.md), built as a static
# library that links only the layers it may use. Each comes in two variants:
# release, and seams, the same sources compiled with ZELMOR_TEST_SEAMS=1 so
# that a test build can make system calls fail on demand (base/test_seam.h);
# release code has no seam.
function(add_launcher_layer layer)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;USES;SYSTEM")
  foreach(variant release seams)
    set(target zelmor_${layer}_${variant})
    add_library(${target} STATIC ${arg_SOURCES})
    target_compile_options(${target} PRIVATE ${LAUNCHER_COMPILE_OPTIONS})
    list(TRANSFORM arg_USES REPLACE "(.+)" "zelmor_\\1_${variant}" OUTPUT_VARIABLE uses)
    target_link_libraries(${target} PUBLIC zelmor_format ${uses} ${arg_SYSTEM})
  endforeach()
  target_compile_definitions(zelmor_${layer}_seams PUBLIC ZELMOR_TEST_SEAMS=1)
endfunction()

add_launcher_layer(base
  SOURCES base/bounded_text.cpp base/error_dialog.cpp base/failure.cpp base/launcher_settings.cpp base/native_calls.cpp
    base/own_module_path.cpp base/system_library.cpp)
target_sources(zelmor_base_seams PRIVATE base/test_seam.cpp base/stage_stamps.cpp)
add_launcher_layer(paths
  SOURCES paths/canonical_path.cpp paths/environment.cpp paths/long_path.cpp paths/own_module.cpp paths/parent_id.cpp
    paths/path_root.cpp paths/path_template.cpp paths/system_values.cpp
  USES base)
add_launcher_layer(run_directory
  SOURCES run_directory/access_list.cpp run_directory/directory_creation.cpp run_directory/directory_holder.cpp
    run_directory/directory_sweep.cpp run_directory/private_directory.cpp run_directory/run_directory_names.cpp
    run_directory/tree_removal.cpp
  USES base paths)
add_launcher_layer(extraction
  SOURCES extraction/extraction.cpp extraction/file_output.cpp extraction/parent_directories.cpp
    extraction/payload_reader.cpp extraction/payload_resource.cpp
  USES base paths run_directory
  SYSTEM zstd_static)
add_launcher_layer(processes
  SOURCES processes/application_load.cpp processes/argument_split.cpp processes/child_launch.cpp processes/cleanup.cpp
    processes/command_line.cpp processes/role_decision.cpp
  USES base paths run_directory)
add_launcher_layer(cache
  SOURCES cache/cache_location.cpp cache/cache_ownership.cpp cache/cache_start.cpp cache/cold_start.cpp
    cache/version_collection.cpp cache/version_state.cpp
  USES base paths run_directory extraction processes)
add_launcher_layer(launcher
  SOURCES launcher/console_control.cpp launcher/launcher_state.cpp launcher/run_sequence.cpp
  USES base paths run_directory extraction processes cache)

# Sections start on page boundaries in the file too (the packer keeps the
# stub's alignment for the payload), so a loader can map them straight from
# the file: Wine reads a section that is not page-aligned whole into memory at
# every process start, the whole payload in parent and child alike, though
# the child reads only the first name.
function(add_launcher_executable name variant)
  add_executable(${name} WIN32 launcher/main.cpp resources/launcher.rc)
  target_compile_options(${name} PRIVATE ${LAUNCHER_COMPILE_OPTIONS})
  target_link_options(${name} PRIVATE ${LAUNCHER_LINK_OPTIONS} -s -Wl,--file-alignment,0x1000)
  target_link_libraries(${name} PRIVATE zelmor_launcher_${variant})
endfunction()
# The version resource reads the generated version header, and the manifest
# is generated beside it with the same version: project() in CMakeLists.txt
# states it once. The resource compiler finds it through the generated
# directory, which the launcher's include path holds.
configure_file(resources/launcher.manifest.in "${CMAKE_BINARY_DIR}/generated/resources/launcher.manifest" @ONLY)
set_source_files_properties(resources/launcher.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_BINARY_DIR}/generated/format/version.h;${CMAKE_BINARY_DIR}/generated/resources/launcher.manifest")
add_launcher_executable(zelmor-launcher release)
add_launcher_executable(zelmor-launcher-seams seams)
set_target_properties(zelmor-launcher zelmor-launcher-seams PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")

# The packer builds for Windows too, with its own multithreaded zstd.
add_library(zstd_static_mt STATIC ${zstd_sources})
target_include_directories(zstd_static_mt SYSTEM PUBLIC "${ZSTD_SOURCE_DIR}/lib")
target_compile_definitions(zstd_static_mt PRIVATE ZSTD_DISABLE_ASM ZSTD_MULTITHREAD)
target_compile_options(zstd_static_mt PRIVATE -O2)
set(PACKER_ZSTD zstd_static_mt)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
add_link_options(-static)
add_subdirectory(packer)

add_subdirectory(testing/windows)
add_subdirectory(tests/windows)
add_subdirectory(tests/apps)
add_subdirectory(demo)
add_subdirectory(bench/windows)
