"""Power cuts, quick form: the explorer (tools/crash) records one fresh install and runs the crash
states the registry and shortcut flushes are about (just after COMMIT is durable, and just after the
journal is deleted), each at both extremes of the persistence model. Every one must end as the
machine before or after the install. The same states built from the record with its registry
flushes dropped (the setup before it flushed) must show the hole, so that the check cannot pass
vacuously. An uninstall is recorded too, and cut while its entry is deleted, just after the installed
uninstaller is deleted and just after its record is: each must end fully removed once the user runs
what is left and the machine restarts. A person's cancel in the window is recorded as well, and cut
just after its rolled-back journal is deleted: it must end as the machine before. The full sweep is `python3 tools/crash/explore.py --build build` (see README)."""
import json
import os
import subprocess
import sys
import unittest

from harness import BIN_DIR, SOURCE_DIR, WORK_DIR


def explore(kind, models):
    report = os.path.join(WORK_DIR, f"powercut-{kind}-{os.getpid()}.json")
    proc = subprocess.run([sys.executable, "-u", os.path.join(SOURCE_DIR, "tools", "crash", "explore.py"),
                           "--build", BIN_DIR, "--kinds", kind, "--points", "named", "--samples", "0",
                           "--models", models, "--work", os.path.join(WORK_DIR, f"powercut-{kind}"),
                           "--report", report], capture_output=True, text=True, timeout=1500)
    sys.stdout.write(proc.stdout)
    sys.stderr.write(proc.stderr[-4000:])
    with open(report) as f:
        return proc.returncode, json.load(f)[kind]


class PowerCutQuickForm(unittest.TestCase):
    def test_the_flushed_states_end_before_or_after_and_the_unflushed_ones_do_not(self):
        returncode, result = explore("fresh", "as-built,without-flushes")
        built, unflushed = result["as-built"], result["without-flushes"]
        self.assertEqual(set(built["named"]), {"after COMMIT", "after the journal is deleted"},
                         "the record holds the points the flushes are about")
        self.assertGreaterEqual(built["run"], 2)
        self.assertEqual(built["bad"], [], "a power cut at these points leaves a half-installed PC")
        self.assertGreater(len(unflushed["bad"]), 0,
                           "without the registry flushes these states must lose the install's registry half")
        self.assertEqual(returncode, 0)

    def test_an_uninstall_cut_in_its_last_steps_ends_fully_removed(self):
        returncode, result = explore("uninstall", "as-built")
        built = result["as-built"]
        self.assertEqual(set(built["named"]), {"while the entry is deleted", "after the installed uninstaller is deleted",
                                               "after the record is deleted"})
        self.assertGreaterEqual(built["run"], 3)
        self.assertEqual(built["bad"], [], "a power cut here leaves what no uninstaller removes")
        self.assertEqual(returncode, 0)

    def test_a_cancelled_install_cut_after_its_rollback_ends_as_before(self):
        returncode, result = explore("cancel", "as-built")
        built = result["as-built"]
        self.assertIn("after the rolled-back journal is deleted", built["named"])
        self.assertGreaterEqual(built["run"], 2)
        self.assertEqual(built["bad"], [], "a power cut after a cancel leaves part of the install behind")
        self.assertEqual(returncode, 0)


if __name__ == "__main__":
    unittest.main()
