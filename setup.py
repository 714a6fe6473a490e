"""Builds the extension module `core` the way the interpreter builds its own."""
import base64
import hashlib
import os
import shutil
import sys
import sysconfig
import zipfile

from setuptools import Command, Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))

SOURCES = [
    'module/core_module.cpp',
    'module/held_bytes.cpp',
    'delta/suffix_array.cpp',
    'delta/match_search.cpp',
    'delta/periodic.cpp',
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


class BuildWheel(Command):
    """A wheel of the module alone, for a pip that builds wheels (pip 23.1 and
    later) where the `wheel` package is missing and cannot be downloaded.
    Used only when `wheel` is not installed."""

    description = 'build a wheel of the extension module'
    user_options = [('dist-dir=', 'd', 'folder that receives the wheel')]

    def initialize_options(self):
        self.dist_dir = None

    def finalize_options(self):
        self.dist_dir = self.dist_dir or 'dist'

    def egg2dist(self, egg_info, dist_info):
        """What setuptools' dist_info asks of a wheel builder: the metadata."""
        if os.path.isdir(dist_info):
            shutil.rmtree(dist_info)
        os.makedirs(dist_info)
        shutil.copy(os.path.join(egg_info, 'PKG-INFO'), os.path.join(dist_info, 'METADATA'))
        shutil.rmtree(egg_info)

    def run(self):
        build = self.reinitialize_command('build_ext')
        build.inplace = False
        self.run_command('build_ext')
        name = '%s-%s' % (self.distribution.get_name(), self.distribution.get_version())
        # cpython-311-x86_64-linux-gnu gives cp311; cpython-36m-... gives cp36m.
        abi = 'cp' + sysconfig.get_config_var('SOABI').split('-')[1]
        python = 'cp%d%d' % sys.version_info[:2]
        platform = sysconfig.get_platform().replace('-', '_').replace('.', '_')
        wheel_info = ('Wheel-Version: 1.0\nGenerator: core setup.py\nRoot-Is-Purelib: false\n'
                      'Tag: %s-%s-%s\n' % (python, abi, platform))
        self.run_command('egg_info')
        egg_info = self.get_finalized_command('egg_info').egg_info
        with open(os.path.join(egg_info, 'PKG-INFO'), 'rb') as source:
            metadata = source.read()
        module = build.get_ext_fullpath('core')
        with open(module, 'rb') as source:
            files = [(os.path.basename(module), source.read()),
                     (name + '.dist-info/METADATA', metadata),
                     (name + '.dist-info/WHEEL', wheel_info.encode('ascii'))]
        record = []
        for path, data in files:
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=')
            record.append('%s,sha256=%s,%d' % (path, digest.decode('ascii'), len(data)))
        record.append(name + '.dist-info/RECORD,,')
        files.append((name + '.dist-info/RECORD', ('\n'.join(record) + '\n').encode('ascii')))
        if not os.path.isdir(self.dist_dir):
            os.makedirs(self.dist_dir)
        wheel = os.path.join(self.dist_dir, '%s-%s-%s-%s.whl' % (name, python, abi, platform))
        with zipfile.ZipFile(wheel, 'w', zipfile.ZIP_DEFLATED) as archive:
            for path, data in files:
                archive.writestr(path, data)


core = Extension(
    'core',
    sources=SOURCES,
    include_dirs=[HERE],
    language='c++',
    extra_compile_args=['-std=c++17', '-fvisibility=hidden', '-Wno-register',
                        '-Wall', '-Wextra'] + os.environ.get('CORE_EXTRA_CFLAGS', '').split(),
    # The init function (initcore, PyInit_core) is the only symbol exported.
    extra_link_args=['-Wl,--version-script=' + os.path.join(HERE, 'module', 'exports.map')]
    + os.environ.get('CORE_EXTRA_LDFLAGS', '').split(),
)

COMMANDS = {'build_ext': BuildCpp}
try:
    import wheel  # noqa: F401 (its bdist_wheel does the real thing)
except ImportError:
    COMMANDS['bdist_wheel'] = BuildWheel

setup(
    name='core',
    version='0.1.0',
    description='Binary deltas between byte strings',
    ext_modules=[core],
    cmdclass=COMMANDS,
    zip_safe=False,
)
