# format/, the header-only layer that the launcher and the packer share, with
# the version header generated from the project version into the build
# directory: the one place the version is written is project() in
# CMakeLists.txt.
configure_file("${CMAKE_CURRENT_LIST_DIR}/../format/version.h.in" "${CMAKE_BINARY_DIR}/generated/format/version.h"
  @ONLY)
add_library(zelmor_format INTERFACE)
target_include_directories(zelmor_format INTERFACE "${CMAKE_CURRENT_LIST_DIR}/.." "${CMAKE_BINARY_DIR}/generated")
