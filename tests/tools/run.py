"""run.py MODULE...: the tools' unittest modules here, with unittest's own runner; under CI a skipped
test, which means a missing tool, fails the run."""

import os
import sys
import unittest


def main(modules):
    suite = unittest.defaultTestLoader.loadTestsFromNames(modules)
    result = unittest.TextTestRunner(verbosity=1).run(suite)
    if os.environ.get("CI") and result.skipped:
        print(f"FAILED under CI: {len(result.skipped)} test(s) skipped for a missing tool", file=sys.stderr)
        return 1
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.exit(main(sys.argv[1:]))
