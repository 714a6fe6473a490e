# 32-bit x86 on an x86-64 Debian: the host's compilers with -m32 (the
# multilib packages, amd64 ones: no foreign architecture). tools/build-module
# takes it for a 32-bit interpreter; tools/run-tests for the 32-bit C++ tests.
#   cmake -S . -B build/x -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/i386-toolchain.cmake
# No CMAKE_SYSTEM_NAME: the build stays a native one, so that the tests it
# builds run and FindPython may run the 32-bit interpreter.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
# Libraries and packages are looked up under lib/i386-linux-gnu, never in
# the amd64 folders.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
