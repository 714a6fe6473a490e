# The extension module `core` for the interpreter named by Python_EXECUTABLE,
# and nothing else: the headers must be those of the interpreter that will
# import the module. For Windows, where no interpreter runs here,
# module/windows.cmake.
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/windows.cmake)
  return()
endif()
set(Python_FIND_STRATEGY LOCATION)
find_package(Python REQUIRED COMPONENTS Interpreter Development.Module)
# FindPython does not compare the interpreter's word size with the
# compiler's: a 64-bit module for a 32-bit interpreter, or the reverse, would
# build and then fail to import ("wrong ELF class").
execute_process(COMMAND "${Python_EXECUTABLE}" -c "import struct; print(struct.calcsize('P'))"
                OUTPUT_VARIABLE CORE_PYTHON_POINTER_SIZE OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE CORE_PYTHON_STATUS)
if(NOT CORE_PYTHON_STATUS EQUAL 0 OR NOT CORE_PYTHON_POINTER_SIZE EQUAL CMAKE_SIZEOF_VOID_P)
  message(FATAL_ERROR "${Python_EXECUTABLE} has ${CORE_PYTHON_POINTER_SIZE}-byte pointers, the "
                      "compiler ${CMAKE_SIZEOF_VOID_P}-byte ones: for a 32-bit interpreter, "
                      "configure with -DCMAKE_TOOLCHAIN_FILE=cmake/i386-toolchain.cmake "
                      "(tools/build-module does)")
endif()

Python_add_library(core MODULE WITH_SOABI ${CORE_GLUE_SOURCES})
target_link_libraries(core PRIVATE core_algorithms)
target_compile_options(core PRIVATE ${CORE_WARNINGS})
set_target_properties(core core_algorithms PROPERTIES CXX_VISIBILITY_PRESET hidden)

# The init function is the module's only export, and the version script names
# exactly the one this interpreter's build defines. --no-undefined-version
# makes the link fail when the script names a symbol that is not defined, so
# a script written for another interpreter cannot pass unnoticed; GNU ld,
# gold and lld all honour it (lld 16 and later without being asked).
if(Python_VERSION_MAJOR EQUAL 2)
  set(CORE_INIT_FUNCTION initcore)
else()
  set(CORE_INIT_FUNCTION PyInit_core)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/exports.map.in ${CMAKE_CURRENT_BINARY_DIR}/exports.map
               @ONLY)
target_link_options(core PRIVATE -Wl,--version-script=${CMAKE_CURRENT_BINARY_DIR}/exports.map
                    -Wl,--no-undefined-version)
set_target_properties(core PROPERTIES LINK_DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/exports.map)

if(CORE_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # The interpreter is not instrumented: the module takes the sanitizer
  # runtime as a shared library, which the test run preloads.
  target_link_options(core PRIVATE -shared-libsan)
endif()

set(CORE_INSTALL_DIR ${Python_SITEARCH} CACHE PATH "Folder that receives the module")
install(TARGETS core LIBRARY DESTINATION ${CORE_INSTALL_DIR})
message(STATUS "core: module for Python ${Python_VERSION} (${Python_EXECUTABLE})")
