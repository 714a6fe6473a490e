# The extension module for Python 2.7 on Windows, built with mingw-w64 (here
# cross-built with cmake/mingw-i686.cmake): core.pyd, which exports initcore
# and nothing else.
#
# No Windows interpreter runs here to be asked for its headers and library,
# so the build takes them from elsewhere: the headers from CORE_PYTHON27_DIR,
# either CPython 2.7's source tree (Include/ and PC/pyconfig.h;
# tools/python27-source prints the tree) or a Windows installation of Python
# 2.7 (include/, which holds both), and the import library of python27.dll
# is made by dlltool from a definition file written below. That file names
# exactly the interpreter's functions and data the module uses: one it
# leaves out fails the link ("undefined reference to `_imp__...'"), and
# tests/platforms/check_pyd.sh checks that every one it names is imported,
# so the lists stay exact.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  # 2.7 names its init call differently where Py_ssize_t is wider than int
  # (Py_InitModule4_64), and nothing here checks a 64-bit module.
  message(FATAL_ERROR "The Windows module is built for 32-bit Windows: "
                      "-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake")
endif()
set(CORE_PYTHON27_DIR "" CACHE PATH
    "CPython 2.7's source tree (tools/python27-source prints it) or a Windows Python 2.7")
if(EXISTS ${CORE_PYTHON27_DIR}/PC/pyconfig.h AND EXISTS ${CORE_PYTHON27_DIR}/Include/Python.h)
  # Windows' pyconfig.h lives in PC/, beside sources whose names must not
  # shadow anything: it alone is copied into a folder of its own.
  set(CORE_PYTHON27_INCLUDE ${CORE_PYTHON27_DIR}/Include)
  set(CORE_PYTHON27_CONFIG_DIR ${CMAKE_CURRENT_BINARY_DIR}/python27-windows)
  configure_file(${CORE_PYTHON27_DIR}/PC/pyconfig.h ${CORE_PYTHON27_CONFIG_DIR}/pyconfig.h
                 COPYONLY)
elseif(EXISTS ${CORE_PYTHON27_DIR}/include/pyconfig.h AND
       EXISTS ${CORE_PYTHON27_DIR}/include/Python.h)
  set(CORE_PYTHON27_INCLUDE ${CORE_PYTHON27_DIR}/include)
  set(CORE_PYTHON27_CONFIG_DIR ${CORE_PYTHON27_INCLUDE})
else()
  message(FATAL_ERROR "The Windows module takes Python 2.7's headers from its source tree or a "
                      "Windows installation: configure with "
                      "-DCORE_PYTHON27_DIR=$(tools/python27-source), or C:/Python27 on Windows")
endif()
file(STRINGS ${CORE_PYTHON27_INCLUDE}/patchlevel.h CORE_PYTHON27_VERSION
     REGEX "^#define PY_VERSION[ \t]+\"2\\.7\\.[0-9]+\"")
if(NOT CORE_PYTHON27_VERSION)
  message(FATAL_ERROR "${CORE_PYTHON27_DIR} has no Python 2.7 headers")
endif()
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" CORE_PYTHON27_VERSION "${CORE_PYTHON27_VERSION}")
# Natively on Windows no toolchain file names it.
if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES dlltool REQUIRED)
endif()

# What the glue takes from python27.dll. Data must be marked as data, so
# that the import library gives only its address (_imp__name) and no code
# stub that would be called in its place.
set(CORE_PYTHON27_FUNCTIONS
  PyArg_Parse
  PyArg_ParseTuple
  PyErr_NoMemory
  PyErr_Occurred
  PyErr_SetString
  PyEval_RestoreThread
  PyEval_SaveThread
  PyList_New
  PyLong_AsLong
  PyLong_FromLong
  PyLong_FromLongLong
  PyObject_AsReadBuffer
  PyString_FromStringAndSize
  PyTuple_New
  Py_InitModule4)
set(CORE_PYTHON27_DATA
  PyExc_OverflowError
  PyExc_TypeError
  PyExc_ValueError
  PyList_Type)
set(CORE_PYTHON27_DEFINITION "LIBRARY python27.dll\nEXPORTS\n")
foreach(symbol ${CORE_PYTHON27_FUNCTIONS})
  string(APPEND CORE_PYTHON27_DEFINITION "  ${symbol}\n")
endforeach()
foreach(symbol ${CORE_PYTHON27_DATA})
  string(APPEND CORE_PYTHON27_DEFINITION "  ${symbol} DATA\n")
endforeach()
set(CORE_PYTHON27_DEF ${CMAKE_CURRENT_BINARY_DIR}/python27.def)
file(GENERATE OUTPUT ${CORE_PYTHON27_DEF} CONTENT "${CORE_PYTHON27_DEFINITION}")
set(CORE_PYTHON27_IMPORT_LIBRARY ${CMAKE_CURRENT_BINARY_DIR}/libpython27.a)
add_custom_command(OUTPUT ${CORE_PYTHON27_IMPORT_LIBRARY}
                   COMMAND ${CMAKE_DLLTOOL} --input-def ${CORE_PYTHON27_DEF} --dllname python27.dll
                           --output-lib ${CORE_PYTHON27_IMPORT_LIBRARY}
                   DEPENDS ${CORE_PYTHON27_DEF}
                   COMMENT "Making the import library of python27.dll")
add_custom_target(python27_import_library DEPENDS ${CORE_PYTHON27_IMPORT_LIBRARY})

# The module's one export, by a definition file as the version script does
# on Linux: ld refuses to export a name that is not defined, and exports
# nothing else once a definition file names exports.
set(CORE_EXPORTS_DEF ${CMAKE_CURRENT_BINARY_DIR}/core.def)
file(GENERATE OUTPUT ${CORE_EXPORTS_DEF} CONTENT "LIBRARY core.pyd\nEXPORTS\n  initcore\n")

add_library(core MODULE ${CORE_GLUE_SOURCES} ${CORE_EXPORTS_DEF})
set_target_properties(core PROPERTIES PREFIX "" SUFFIX ".pyd" LINK_DEPENDS
                      ${CORE_PYTHON27_IMPORT_LIBRARY})
add_dependencies(core python27_import_library)
target_include_directories(core PRIVATE ${CORE_PYTHON27_INCLUDE} ${CORE_PYTHON27_CONFIG_DIR})
target_link_libraries(core PRIVATE core_algorithms ${CORE_PYTHON27_IMPORT_LIBRARY})
target_compile_options(core PRIVATE ${CORE_WARNINGS})

set(CORE_INSTALL_DIR ${CMAKE_INSTALL_PREFIX} CACHE PATH "Folder that receives the module")
install(TARGETS core LIBRARY DESTINATION ${CORE_INSTALL_DIR})
message(STATUS "core: module core.pyd for Python ${CORE_PYTHON27_VERSION} on Windows "
               "(${CMAKE_SYSTEM_PROCESSOR}, headers from ${CORE_PYTHON27_DIR})")
