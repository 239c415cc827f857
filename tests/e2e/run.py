#!/usr/bin/env python3
"""Runs every end-to-end test; with --again, the ones that failed run once more.

32-bit Wine under qemu now and then loses a program or a message for reasons
of its own (see test.sh); there a test that fails and then passes is reported
as such, and only a test that fails twice fails the layer."""
import os
import sys
import unittest

here = os.path.dirname(os.path.abspath(__file__))
# The tests import each other by their own names, and some as tests.e2e.NAME
# from the repository's root, as `python3 -m unittest` from there allows.
sys.path[:0] = [here, os.path.dirname(os.path.dirname(here))]


def failed_ids(result):
    return [t.id() for t, _ in result.failures + result.errors + result.unexpectedSuccesses]


def main():
    again = "--again" in sys.argv[1:]
    runner = unittest.TextTestRunner(verbosity=2)
    first = runner.run(unittest.defaultTestLoader.discover(here, pattern="test_*.py", top_level_dir=here))
    failed = failed_ids(first)
    if first.wasSuccessful() or not again:
        return 0 if first.wasSuccessful() else 1
    print(f"== again, the {len(failed)} that failed: {' '.join(failed)}", flush=True)
    second = runner.run(unittest.defaultTestLoader.loadTestsFromNames(failed))
    still = failed_ids(second)
    passed = [t for t in failed if t not in still]
    print(f"-- failed once then passed: {' '.join(passed) or 'none'}; failed twice: {' '.join(still) or 'none'}",
          flush=True)
    return 0 if second.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
