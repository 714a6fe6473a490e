"""Builds the extension module `core` the way the interpreter builds its own."""
import os

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))

SOURCES = [
    'module/core_module.cpp',
    'module/held_bytes.cpp',
    'delta/suffix_array.cpp',
    'delta/match_search.cpp',
    'delta/delta_scan.cpp',
    'delta/diff_operation.cpp',
    'patch/patch_apply.cpp',
    'patch/patch_operation.cpp',
    'codec/int64_codec.cpp',
    'codec/codec_operations.cpp',
]


class BuildCpp(build_ext):
    """Drops the interpreter's C-only warning flag, which C++ compilers reject."""

    def build_extensions(self):
        compiler_so = self.compiler.compiler_so
        if '-Wstrict-prototypes' in compiler_so:
            compiler_so.remove('-Wstrict-prototypes')
        build_ext.build_extensions(self)


core = Extension(
    'core',
    sources=SOURCES,
    include_dirs=[HERE],
    language='c++',
    extra_compile_args=['-std=c++17', '-fvisibility=hidden', '-Wno-register',
                        '-Wall', '-Wextra'] + os.environ.get('CORE_EXTRA_CFLAGS', '').split(),
    # initcore is the only symbol the library exports.
    extra_link_args=['-Wl,--version-script=' + os.path.join(HERE, 'module', 'exports.map')]
    + os.environ.get('CORE_EXTRA_LDFLAGS', '').split(),
)

setup(
    name='core',
    version='0.1.0',
    description='Binary deltas between byte strings',
    ext_modules=[core],
    cmdclass={'build_ext': BuildCpp},
    zip_safe=False,
)
