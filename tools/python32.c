/* The whole of an interpreter's main(). Debian's i386 interpreter package
   cannot be installed beside the amd64 one, but its i386 libpython can:
   tools/build-python32 links this with -m32 against that library. */
#include <Python.h>

int main(int argc, char** argv) { return Py_BytesMain(argc, argv); }
