# The Windows half: the launcher, its test build and the Windows-side tests.
enable_language(RC)
include(cmake/zstd-windows.cmake)

# Launcher code: warnings are errors, no exceptions, no RTTI, and a static
# runtime so that the executable imports nothing but system DLLs.
set(LAUNCHER_COMPILE_OPTIONS -Wall -Wextra -Werror -fno-exceptions -fno-rtti -municode)
set(LAUNCHER_LINK_OPTIONS -static -static-libgcc -static-libstdc++ -municode)

set(LAUNCHER_CORE_SOURCES
  base/bounded_text.cpp
  base/failure.cpp
  base/launcher_state.cpp
  child/child_launch.cpp
  child/cleanup.cpp
  child/command_line.cpp
  child/library_mode.cpp
  child/role_decision.cpp
  child/tree_removal.cpp
  launcher/run_sequence.cpp
  paths/canonical_path.cpp
  paths/environment.cpp
  paths/parent_id.cpp
  paths/path_root.cpp
  paths/path_spec.cpp
  paths/system_values.cpp
  payload/extraction.cpp
  payload/file_output.cpp
  payload/payload_reader.cpp
  payload/payload_resource.cpp
  payload/private_descriptor.cpp
  payload/private_directory.cpp
  payload/target_directory.cpp
)

# The release core and a test build of the same sources whose system calls can
# be made to fail on demand (base/test_seam.h); release code has no seam.
foreach(variant release seams)
  add_library(launcher_core_${variant} STATIC ${LAUNCHER_CORE_SOURCES})
  target_include_directories(launcher_core_${variant} PUBLIC "${PROJECT_SOURCE_DIR}")
  target_compile_options(launcher_core_${variant} PRIVATE ${LAUNCHER_COMPILE_OPTIONS})
  target_link_libraries(launcher_core_${variant} PUBLIC zelmor_format zstd_static shell32 advapi32)
endforeach()
target_compile_definitions(launcher_core_seams PUBLIC ZELMOR_TEST_SEAMS=1)
target_sources(launcher_core_seams PRIVATE base/test_seam.cpp)

function(add_launcher_executable name variant)
  add_executable(${name} WIN32 launcher/main.cpp resources/launcher.rc)
  target_compile_options(${name} PRIVATE ${LAUNCHER_COMPILE_OPTIONS})
  target_link_options(${name} PRIVATE ${LAUNCHER_LINK_OPTIONS} -s)
  target_link_libraries(${name} PRIVATE launcher_core_${variant})
endfunction()
# The version resource reads the generated version header.
set_source_files_properties(resources/launcher.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_BINARY_DIR}/generated/format/version.h")
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
