# What the two Windows toolchain files share; each sets CORE_MINGW_TRIPLET
# and CMAKE_SYSTEM_PROCESSOR, then includes this. Not a toolchain file of its
# own.
#
# Debian's mingw-w64 cross compilers, in their posix thread model: std::thread
# and std::mutex need it (the win32 model has neither in GCC 12), and its
# threads are winpthreads on Windows' own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${CORE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${CORE_MINGW_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${CORE_MINGW_TRIPLET}-dlltool)
set(CMAKE_OBJDUMP ${CORE_MINGW_TRIPLET}-objdump)

# Headers and libraries of the target only; programs (the compilers, dlltool)
# of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${CORE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libstdc++, libgcc and winpthread go into every program and DLL, so that
# core.pyd needs only what a stock Windows with Python 2.7 has, and a test
# program runs under wine without the compiler's DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)
