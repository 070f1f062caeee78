"""Power cuts, quick form: the explorer (tools/crash) records one fresh install and runs the crash
states the registry and shortcut flushes are about (just after COMMIT is durable, and just after the
journal is deleted), each at both extremes of the persistence model. Every one must end as the
machine before or after the install. The same states built from the record with its registry
flushes dropped (the setup before it flushed) must show the hole, so that the check cannot pass
vacuously. The full sweep is `python3 tools/crash/explore.py --build build` (see README)."""
import json
import os
import subprocess
import sys
import unittest

from harness import BIN_DIR, SOURCE_DIR, WORK_DIR


class PowerCutQuickForm(unittest.TestCase):
    def test_the_flushed_states_end_before_or_after_and_the_unflushed_ones_do_not(self):
        report = os.path.join(WORK_DIR, f"powercut-{os.getpid()}.json")
        proc = subprocess.run([sys.executable, "-u", os.path.join(SOURCE_DIR, "tools", "crash", "explore.py"),
                               "--build", BIN_DIR, "--kinds", "fresh", "--points", "named", "--samples", "0",
                               "--models", "as-built,without-flushes", "--work", os.path.join(WORK_DIR, "powercut"),
                               "--report", report], capture_output=True, text=True, timeout=1500)
        sys.stdout.write(proc.stdout)
        sys.stderr.write(proc.stderr[-4000:])
        with open(report) as f:
            result = json.load(f)["fresh"]
        built, unflushed = result["as-built"], result["without-flushes"]
        self.assertEqual(set(built["named"]), {"after COMMIT", "after the journal is deleted"},
                         "the record holds the points the flushes are about")
        self.assertGreaterEqual(built["run"], 2)
        self.assertEqual(built["bad"], [], "a power cut at these points leaves a half-installed PC")
        self.assertGreater(len(unflushed["bad"]), 0,
                           "without the registry flushes these states must lose the install's registry half")
        self.assertEqual(proc.returncode, 0)


if __name__ == "__main__":
    unittest.main()
