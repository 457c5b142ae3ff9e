# format/, the header-only layer that the launcher and the packer share.
add_library(zelmor_format INTERFACE)
target_include_directories(zelmor_format INTERFACE "${CMAKE_CURRENT_LIST_DIR}/..")
