"""Runs every test in this folder under the interpreter that runs this script
and ends with the line that every suite of the project ends with:
"N passed, M failed". Skipped tests count as neither; unittest's own report
above the line gives their number.

Usage: PYTHONPATH=<folder holding the module> python tests/python/run_all.py
       python tests/python/run_all.py tests/tools   # another folder's tests
"""
import os
import sys
import unittest


class CountingResult(unittest.TextTestResult):
    """Counts the tests that passed as they pass: what testsRun holds for a
    skipped test differs between interpreter versions."""

    passed = 0

    def addSuccess(self, test):
        self.passed += 1
        super(CountingResult, self).addSuccess(test)

    def addExpectedFailure(self, test, error):
        self.passed += 1
        super(CountingResult, self).addExpectedFailure(test, error)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    if len(sys.argv) > 1:
        here = os.path.abspath(sys.argv[1])
    sys.path.insert(0, here)
    suite = unittest.defaultTestLoader.discover(here, pattern='test_*.py', top_level_dir=here)
    result = unittest.TextTestRunner(verbosity=1, resultclass=CountingResult).run(suite)
    failed = (len(result.failures) + len(result.errors) +
              len(getattr(result, 'unexpectedSuccesses', ())))
    passed = result.passed
    # unittest reports on stderr: the summary must come after all of it.
    sys.stderr.flush()
    sys.stdout.flush()
    print('%d passed, %d failed' % (passed, failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
