# 64-bit Windows (LLP64: long stays 32 bits beside 64-bit pointers): the C++
# tests, the fuzz seed replay and the Delta comparison, run under wine64.
#   cmake -S . -B build/x -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/mingw-x86_64.cmake
set(CORE_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
