# zstd for the Windows target, compiled from Debian's source package with the
# library's defaults. The assembly decoder loop is ELF-only, so it is left out.
set(ZSTD_SOURCE_DIR "${CMAKE_BINARY_DIR}/zstd-source" CACHE PATH "Unpacked libzstd source package")
if(NOT EXISTS "${ZSTD_SOURCE_DIR}/lib/zstd.h")
  execute_process(
    COMMAND "${PROJECT_SOURCE_DIR}/scripts/fetch-zstd-source.sh" "${ZSTD_SOURCE_DIR}"
    RESULT_VARIABLE fetch_result)
  if(NOT fetch_result EQUAL 0)
    message(FATAL_ERROR "Could not unpack Debian's libzstd source into ${ZSTD_SOURCE_DIR}")
  endif()
endif()
file(GLOB zstd_sources
  "${ZSTD_SOURCE_DIR}/lib/common/*.c"
  "${ZSTD_SOURCE_DIR}/lib/compress/*.c"
  "${ZSTD_SOURCE_DIR}/lib/decompress/*.c")
add_library(zstd_static STATIC ${zstd_sources})
target_include_directories(zstd_static SYSTEM PUBLIC "${ZSTD_SOURCE_DIR}/lib")
target_compile_definitions(zstd_static PRIVATE ZSTD_DISABLE_ASM)
target_compile_options(zstd_static PRIVATE -O2)
