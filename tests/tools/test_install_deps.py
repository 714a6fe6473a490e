"""tools/install-deps decides what to ask apt for, and what to make of its
answers. These tests run it with stand-ins for dpkg-query, apt-get, dpkg and
sudo first on PATH: dpkg-query reports the packages a test says are
installed, apt-get records every call and fails where the test says it does,
the way apt words such failures. Nothing here reaches the real apt.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, os.pardir, os.pardir, 'tools', 'install-deps')

# The stand-ins read their orders from the environment and log to CALLS.
DPKG_QUERY = r'''#!/bin/sh
package=$(eval echo "\${$#}")
for installed in $INSTALLED; do
  if [ "$installed" = "$package" ]; then printf 'ii '; exit 0; fi
done
echo "dpkg-query: no packages found matching $package" >&2
exit 1
'''

APT_GET = r'''#!/bin/sh
echo "apt-get $*" >>"$CALLS"
for word in "$@"; do
  case $word in
    update)
      if [ -n "$UPDATE_FAILS" ]; then
        echo "Hit:1 http://deb.debian.org/debian bookworm InRelease"
        echo "Err:2 http://deb.debian.org/debian-security bookworm-security/main i386 Packages"
        echo "  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 1.2.3.4 80]"
        echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 1.2.3.4 80]"
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
        exit 100
      fi
      exit 0 ;;
  esac
done
for word in "$@"; do
  if [ -n "$UNINSTALLABLE" ] && [ "$word" = "$UNINSTALLABLE" ]; then
    echo "Some packages could not be installed."
    echo "The following packages have unmet dependencies:"
    echo " $UNINSTALLABLE : Depends: libfoo1 (= 2.0-1) but 2.0-1+deb12u1 is to be installed"
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100
  fi
done
exit 0
'''

RECORDER = '''#!/bin/sh
echo "$(basename "$0") $*" >>"$CALLS"
[ "$(basename "$0")" = sudo ] && exec "$@"
exit 0
'''

BUILD_PACKAGES = ['g++', 'make', 'cmake', 'libdivsufsort-dev']


class InstallDepsTest(unittest.TestCase):

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix='install_deps_test')
        self.addCleanup(shutil.rmtree, self.folder, True)
        stand_ins = {'dpkg-query': DPKG_QUERY, 'apt-get': APT_GET, 'dpkg': RECORDER,
                     'sudo': RECORDER, 'add-apt-repository': RECORDER}
        for name, text in stand_ins.items():
            path = os.path.join(self.folder, name)
            with open(path, 'w') as handle:
                handle.write(text)
            os.chmod(path, 0o755)
        self.calls = os.path.join(self.folder, 'calls')

    def run_script(self, installed, *arguments, **orders):
        env = dict(os.environ)
        env['PATH'] = self.folder + os.pathsep + env['PATH']
        env['CALLS'] = self.calls
        env['INSTALLED'] = ' '.join(installed)
        env['UPDATE_FAILS'] = '1' if orders.get('update_fails') else ''
        env['UNINSTALLABLE'] = orders.get('uninstallable', '')
        process = subprocess.Popen(['bash', SCRIPT] + list(arguments), env=env,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = process.communicate()
        calls = []
        if os.path.exists(self.calls):
            with open(self.calls) as handle:
                calls = [line.split() for line in handle.read().splitlines()]
        return process.returncode, out.decode('utf-8', 'replace'), err.decode('utf-8', 'replace'), calls

    def installs(self, calls):
        """The package names of every apt-get install call, one list a call."""
        return [[word for word in call[call.index('install') + 1:] if not word.startswith('-')
                 and '=' not in word and not word.startswith('APT::')]
                for call in calls if call[0] == 'apt-get' and 'install' in call]

    def test_nothing_missing_calls_no_apt(self):
        status, out, err, calls = self.run_script(BUILD_PACKAGES, '--build')
        self.assertEqual((status, out, err, calls), (0, '', '', []))

    def test_fresh_machine_build_set(self):
        status, out, err, calls = self.run_script([], '--build')
        self.assertEqual(status, 0, err)
        self.assertEqual(calls[0][-1], 'update')
        self.assertEqual(self.installs(calls), [BUILD_PACKAGES])
        self.assertIn('installing ' + ' '.join(BUILD_PACKAGES), out)

    def test_only_missing_packages_are_asked_for(self):
        status, _, err, calls = self.run_script(['g++', 'cmake'], '--build')
        self.assertEqual(status, 0, err)
        self.assertEqual(self.installs(calls), [['make', 'libdivsufsort-dev']])

    def test_install_never_removes_nor_downgrades(self):
        _, _, _, calls = self.run_script([], '--build')
        install = [call for call in calls if 'install' in call][0]
        self.assertIn('--no-remove', install)
        self.assertIn('APT::Get::allow-downgrades=false', install)

    def test_update_failing_on_an_index_is_a_warning(self):
        status, _, err, calls = self.run_script([], '--build', update_fails=True)
        self.assertEqual(status, 0, err)
        self.assertIn('warning: apt-get update: E: Failed to fetch', err)
        self.assertIn('Mirror sync in progress?', err)
        self.assertEqual(self.installs(calls), [BUILD_PACKAGES])

    def test_uninstallable_package_is_named_with_apts_reason(self):
        status, _, err, calls = self.run_script([], '--build', uninstallable='cmake')
        self.assertNotEqual(status, 0)
        self.assertIn('cannot install cmake: cmake : Depends: libfoo1 (= 2.0-1)', err)
        self.assertIn('you have held broken packages', err)
        # The others were installed one by one, and only cmake is named.
        self.assertEqual(self.installs(calls)[1:], [[name] for name in BUILD_PACKAGES])
        self.assertEqual(err.count('cannot install'), 1)

    def test_machine_state_is_left_alone(self):
        # A fresh machine's full set, even with a failing update: no
        # architecture added, no source changed; apt-get only.
        _, _, _, calls = self.run_script([], update_fails=True)
        self.assertEqual(sorted(set(call[0] for call in calls)), ['apt-get'])
        for call in calls:
            self.assertTrue(set(call) & set(['update', 'install']), call)

    def test_sets_nest(self):
        _, _, _, build = self.run_script([], '--build')
        os.remove(self.calls)
        _, _, _, check = self.run_script([])
        os.remove(self.calls)
        _, _, _, bench = self.run_script([], '--bench')
        build, check, bench = [set(self.installs(calls)[0]) for calls in (build, check, bench)]
        self.assertTrue(build < check < bench, (build, check, bench))
        self.assertIn('g++-multilib', check)
        self.assertIn('xdelta3', bench)

    def test_unknown_option_is_refused(self):
        status, _, err, calls = self.run_script([], '--everything')
        self.assertEqual((status, calls), (2, []))
        self.assertIn('usage:', err)


if __name__ == '__main__':
    unittest.main()
