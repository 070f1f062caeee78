"""Power cuts, quick form: the explorer (tools/crash) records a fresh install, an uninstall and a
person's cancel, checks that each record replayed is the machine the run left, and runs the crash
states of the points the mends are about under both persistence models (MODEL.md): the mild one's
corners, and the harsh one's corners and seeded samples (files kept and registry lost and the other
way, one hive kept and another lost, names kept and data lost, torn sectors, files shorter than their
writes). Every state must end as the machine before or after the run (an uninstall: fully removed
once the user runs what is left and the machine restarts; a cancel: as before). The fresh install's
states built with its registry flushes dropped (the setup before it flushed) must show the hole, so
that the check cannot pass vacuously. The states start lean (no session processes of Wine's own),
two side by side. The full sweep is `python3 tools/crash/explore.py --build build` (see
tools/crash/README.md)."""
import json
import os
import subprocess
import sys
import unittest

from harness import BIN_DIR, SOURCE_DIR, WORK_DIR

# Seeded samples per crash point beyond the corners, harsh and mild: with the corners and the fresh
# install's spread points, over 200 distinct states over the three runs.
SAMPLES = int(os.environ.get("ZS_POWERCUT_SAMPLES", "22"))
MILD_SAMPLES = 4


def explore(kind, models, points="named", limit=0):
    report = os.path.join(WORK_DIR, f"powercut-{kind}-{os.getpid()}.json")
    proc = subprocess.run([sys.executable, "-u", os.path.join(SOURCE_DIR, "tools", "crash", "explore.py"),
                           "--build", BIN_DIR, "--kinds", kind, "--points", points, "--limit", str(limit),
                           "--samples", str(SAMPLES),
                           "--mild-samples", str(MILD_SAMPLES),
                           "--persistence", "mild,harsh", "--models", models, "--jobs", "2", "--lean-starts",
                           "--work", os.path.join(WORK_DIR, f"powercut-{kind}"), "--report", report],
                          capture_output=True, text=True, timeout=1500)
    sys.stdout.write(proc.stdout)
    sys.stderr.write(proc.stderr[-4000:])
    with open(report) as f:
        return proc.returncode, json.load(f)[kind]


class PowerCutQuickForm(unittest.TestCase):
    def assertGood(self, result, at_least, why):
        """None of the states as built is bad, and there were enough of them under both models."""
        for label in ("mild as-built", "harsh as-built"):
            self.assertEqual(result[label]["bad"], [], f"{label}: {why}")
        run = result["mild as-built"]["run"] + result["harsh as-built"]["run"]
        self.assertGreaterEqual(run, at_least * SAMPLES // 22, "too few distinct states")

    def test_the_flushed_states_end_before_or_after_and_the_unflushed_ones_do_not(self):
        # Since the folder flushes, the named points alone leave few distinct states: eight more
        # points spread over the run, and a seeded sample of 60 states a model (the named ones first).
        returncode, result = explore("fresh", "as-built,without-flushes", points="8", limit=60)
        self.assertEqual(set(result["mild as-built"]["named"]), {"after COMMIT", "after the journal is deleted"},
                         "the record holds the points the flushes are about")
        self.assertGood(result, 80, "a power cut at these points leaves a half-installed PC")
        self.assertGreater(len(result["mild without-flushes"]["bad"]), 0,
                           "without the registry flushes these states must lose the install's registry half")
        self.assertEqual(returncode, 0)

    def test_an_uninstall_cut_in_its_last_steps_ends_fully_removed(self):
        returncode, result = explore("uninstall", "as-built")
        self.assertEqual(set(result["mild as-built"]["named"]),
                         {"while the entry is deleted", "after the installed uninstaller is deleted",
                          "after the record is deleted"})
        self.assertGood(result, 80, "a power cut here leaves what no uninstaller removes")
        self.assertEqual(returncode, 0)

    def test_a_cancelled_install_cut_after_its_rollback_ends_as_before(self):
        returncode, result = explore("cancel", "as-built")
        self.assertIn("after the rolled-back journal is deleted", result["mild as-built"]["named"])
        self.assertGood(result, 20, "a power cut after a cancel leaves part of the install behind")
        self.assertEqual(returncode, 0)


if __name__ == "__main__":
    unittest.main()
