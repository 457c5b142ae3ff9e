# The host half: the payload tools, the host tests, and the drivers that run
# the Windows half under Wine. The Windows half is built as an external project.
include(ExternalProject)
find_package(PkgConfig REQUIRED)
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
find_package(GTest REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(WINDOWS_BUILD_DIR "${CMAKE_BINARY_DIR}/windows")
set(WINDOWS_BIN_DIR "${WINDOWS_BUILD_DIR}/bin")
ExternalProject_Add(windows
  SOURCE_DIR "${PROJECT_SOURCE_DIR}"
  BINARY_DIR "${WINDOWS_BUILD_DIR}"
  CMAKE_ARGS
    "-DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake"
    "-DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}"
    "-DZSTD_SOURCE_DIR=${CMAKE_BINARY_DIR}/zstd-source"
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD ON)

# Every test that starts a Windows program goes through this wrapper, in a
# Wine prefix private to this build directory and to the Wine it runs.
set(WINE_RUN "${PROJECT_SOURCE_DIR}/testing/wine-run.sh")
set(ZELMOR_TEST_ENVIRONMENT
  "ZELMOR_WINE_RUN=${WINE_RUN}"
  "ZELMOR_WINDOWS_BIN=${WINDOWS_BIN_DIR}"
  "ZELMOR_HOST_BIN=${CMAKE_BINARY_DIR}/bin"
  "ZELMOR_VERSION=${PROJECT_VERSION}"
  "PYTHONPATH=${PROJECT_SOURCE_DIR}/testing"
  "PYTHONDONTWRITEBYTECODE=1")
# Two test beds run the same Windows tests: the system's Wine 8 and the
# Wine 10 of a Debian 13 root that scripts/make-wine10-root.sh makes (the
# test command makes it first).
set(ZELMOR_WINE10_ROOT "/var/cache/zelmor/wine10-trixie" CACHE PATH
  "The Debian 13 root with Wine 10 in which the second test bed runs")
set(ZELMOR_WINE8_ENVIRONMENT "ZELMOR_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix" ${ZELMOR_TEST_ENVIRONMENT})
set(ZELMOR_WINE10_ENVIRONMENT "ZELMOR_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-wine10"
  "ZELMOR_WINE_ROOT=${ZELMOR_WINE10_ROOT}" "ZELMOR_WINE_BINDS=${CMAKE_BINARY_DIR}" ${ZELMOR_TEST_ENVIRONMENT})

# Adds the test `name` (label wine8) and `name`_wine10 (label wine10): the
# command (ARGN) run from `directory` on each test bed, with `timeout` seconds.
function(add_wine_tests name directory timeout)
  add_test(NAME ${name} COMMAND ${ARGN} WORKING_DIRECTORY "${directory}")
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${ZELMOR_WINE8_ENVIRONMENT}" LABELS wine8 TIMEOUT ${timeout})
  add_test(NAME ${name}_wine10 COMMAND ${ARGN} WORKING_DIRECTORY "${directory}")
  set_tests_properties(${name}_wine10 PROPERTIES ENVIRONMENT "${ZELMOR_WINE10_ENVIRONMENT}" LABELS wine10
    TIMEOUT ${timeout})
endfunction()
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")

set(PACKER_ZSTD PkgConfig::ZSTD)
add_subdirectory(packer)
# cmake --install also puts the SDK beside the stub (its CMake package is
# found there), and the Windows build of the packer with a stub beside it,
# to copy to a Windows machine.
install(DIRECTORY sdk/ DESTINATION share/zelmor-onefile)
install(FILES "${WINDOWS_BIN_DIR}/zelmor-pack.exe" "${WINDOWS_BIN_DIR}/zelmor-launcher.exe"
  DESTINATION share/zelmor-onefile/windows)
add_subdirectory(tests/host)
add_subdirectory(tests/e2e)
add_subdirectory(tests/windows/run)
add_subdirectory(tests/fuzz)
add_subdirectory(tests/layering)
