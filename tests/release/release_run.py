"""What the release test scripts share: where the tree, the build folder (PARVOLET_BUILD_DIR moves
build/) and the release are, and a run that ends with the line run-tests.sh counts."""
import os
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("PARVOLET_BUILD_DIR") or os.path.join(ROOT, "build")
RELEASE = os.path.join(BUILD, "release")
TOOLS = os.path.join(ROOT, "tools", "release")


def run_counted(name):
    """Runs the script's tests; its last line is `NAME: N passed, M failed` (a skipped case is
    neither). The exit status: 1 when any failed or none ran."""
    outcome = unittest.main(module="__main__", exit=False, verbosity=2).result
    failed = len(outcome.failures) + len(outcome.errors)
    print("%s: %d passed, %d failed" % (name, max(outcome.testsRun - failed - len(outcome.skipped), 0), failed))
    return 1 if failed or not outcome.testsRun else 0
