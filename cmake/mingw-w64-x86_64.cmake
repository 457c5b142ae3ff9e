# The project builds its Windows half with the toolchain the SDK gives
# applications (GoogleTest, like any program using std::mutex, needs its
# posix thread model).
include("${CMAKE_CURRENT_LIST_DIR}/../sdk/cmake/mingw-w64-x86_64.cmake")
