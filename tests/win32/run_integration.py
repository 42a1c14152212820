"""Runs the integration suite against the Windows programs under Wine.

    python3 run_integration.py          (TORVA_WINE and TORVA_BIN set)

Every module of tests/integration runs with the harness in its Wine mode,
except the cases below, each left out for the reason given: they test this
system's own ways (POSIX signals and accounts, paths written the POSIX way in
the expected text) rather than the server's behaviour on Windows.
"""
import fnmatch
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "integration"))

MODULES = ["test_login", "test_server_core", "test_data_transfer", "test_listing",
           "test_operations", "test_paths", "test_tls", "test_tls_interop", "test_info",
           "test_bans", "test_attacks"]

# Test id patterns (module.Class.test) that do not run under Wine, and why.
EXCLUDED = {
    "test_login.MailModeTest.test_refusals_end_the_session":
        "expects the POSIX spelling of a path in the log line",
}


def excluded(test_id):
    return any(fnmatch.fnmatch(test_id, pattern) for pattern in EXCLUDED)


def flatten(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from flatten(item)
        else:
            yield item


def main():
    if not os.environ.get("TORVA_WINE"):
        sys.exit("run_integration.py: TORVA_WINE (the Wine runner) is not set")
    loader = unittest.TestLoader()
    suite = unittest.TestSuite()
    left_out = 0
    for name in MODULES:
        for test in flatten(loader.loadTestsFromName(name)):
            if excluded(test.id()):
                left_out += 1
            else:
                suite.addTest(test)
    print(f"run_integration: {suite.countTestCases()} cases, {left_out} left out under Wine",
          flush=True)
    result = unittest.TextTestRunner(verbosity=1).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
