# 32-bit Windows, the module's home platform: core.pyd for Python 2.7, and
# the tests run under wine where 32-bit wine is installed.
#   cmake -S . -B build/x -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/mingw-i686.cmake
set(CORE_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
