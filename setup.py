"""Builds the extension module `core` for the interpreter that runs this script
(pip, or `setup.py build_ext`), through the project's one CMake build."""
import base64
import hashlib
import os
import shutil
import subprocess
import sys
import sysconfig
import zipfile

from setuptools import Command, Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


class BuildWithCMake(build_ext):
    """Builds the module with the project's CMake build (CMakeLists.txt), for
    the interpreter that runs this script: the sources and flags live there
    alone, and every other build reads them from there too."""

    def build_extension(self, ext):
        build_dir = os.path.abspath(os.path.join(self.build_temp, 'cmake'))
        if not os.path.isdir(build_dir):
            os.makedirs(build_dir)
        configure = ['cmake', '-S', HERE, '-B', build_dir, '-DCORE_MODULE=ON',
                     '-DCORE_TESTS=OFF', '-DPython_EXECUTABLE=' + sys.executable,
                     '-DCORE_INSTALL_DIR=' + os.path.abspath(os.path.dirname(
                         self.get_ext_fullpath(ext.name)))]
        run_quietly(configure)
        run_quietly(['cmake', '--build', build_dir, '--target', 'core', '-j2'])
        run_quietly(['cmake', '--install', build_dir])
        # CMake names the module with the interpreter's own suffix, as
        # distutils does.
        if not os.path.exists(self.get_ext_fullpath(ext.name)):
            raise RuntimeError('the CMake build did not produce %s'
                               % self.get_ext_fullpath(ext.name))


def run_quietly(command):
    """Runs a build step; its output is shown only when it fails."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    output = process.communicate()[0]
    if process.returncode != 0:
        sys.stderr.write(output.decode('utf-8', 'replace'))
        raise RuntimeError('%s failed with status %d' % (' '.join(command), process.returncode))


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


# Sources and flags are CMake's (CMakeLists.txt); the list here stays empty.
core = Extension('core', sources=[])

COMMANDS = {'build_ext': BuildWithCMake}
try:
    import wheel  # noqa: F401 (its bdist_wheel does the real thing)
except ImportError:
    COMMANDS['bdist_wheel'] = BuildWheel

setup(
    name='core',
    version='0.1.0',
    description='Binary deltas between byte strings',
    license='MIT',
    classifiers=['License :: OSI Approved :: MIT License'],
    ext_modules=[core],
    cmdclass=COMMANDS,
    zip_safe=False,
)
