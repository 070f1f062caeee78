"""An uninstall cut short at any moment is finished by running it again. The uninstaller's copy is
killed (every process of the prefix with it, as a power cut would) at points spread over its three
steps, while it is held up deleting a file that another process keeps open; then the user runs the
uninstaller again as they would: the installed one if it is still there (also when the run was
killed after the Apps & Features entry went), else the copy left under the setup's data folder,
else the setup and then the uninstaller. Every time, Zelvan must end up fully removed and nothing
else touched, and after a restart no copy's folder is left under the setup's data folder.

ZS_UNINSTALL_CRASH_ALL=1 tries every file of the record instead of a spread of them."""
import os
import re
import subprocess
import time

from harness import ARTIFACTS, Prefix, ScenarioTest, main, wait_for, x_window_titles, private_screen
from uninstall_e2e import (ALL_TASKS, HELPER, PF, SETUP, UNINSTALLER, exit_code, finished, uninstall_runs,
                           without_copy_traces)


def record_lines(prefix, kind):
    with open(os.path.join(prefix.host_path(PF), "ZelvanUninstall.zsu"), "rb") as f:
        text = f.read().decode("utf-8")
    return [line.split("\t", 1)[1] for line in text.split("\n") if line.startswith(kind + "\t")]


# Windows here share titles with other tests' windows: each module gets a screen of its own.
setUpModule, tearDownModule = private_screen()


class UninstallCrash(ScenarioTest):
    @classmethod
    def setUpClass(cls):
        cls.report = []

    @classmethod
    def tearDownClass(cls):
        text = f"Uninstall kill points tried: {len(cls.report)}\n" + "".join(f"  {line}\n" for line in cls.report)
        print("\n" + text)
        # Kept beside the screenshots, so that a passing run's report can be read too.
        os.makedirs(os.path.dirname(ARTIFACTS), exist_ok=True)
        with open(os.path.join(os.path.dirname(ARTIFACTS), "uninstall-kill-points.txt"), "w") as f:
            f.write(text)

    def setUp(self):
        if not os.environ.get("DISPLAY"):
            self.skipTest("the file holder shows a window: needs an X display")
        super().setUp()

    def kill_all(self, prefix):
        subprocess.run(["wineserver", "-k"], env=prefix.env(), check=False)

    def run_uninstaller(self, prefix, exe):
        before = len(uninstall_runs(prefix))
        launcher = prefix.run(exe, ["/silent"])
        self.assertTrue(wait_for(lambda: len(finished(uninstall_runs(prefix)[before:])) >= 1 and
                                 exit_code(uninstall_runs(prefix)[-1]) is not None and
                                 "Restarted from a temp copy." not in uninstall_runs(prefix)[-1], timeout=120),
                        f"the uninstaller run did not end (launcher exited {launcher.code})")
        return exit_code(uninstall_runs(prefix)[-1])

    def rerun_as_a_user_would(self, prefix):
        # After a power cut the machine starts again first: a new Wine session carries out the
        # restart-time deletes, as a restart would.
        prefix.wine("cmd", "/c", "exit")
        if os.path.exists(prefix.host_path(UNINSTALLER)):
            code = self.run_uninstaller(prefix, UNINSTALLER)
            # Killed after the entry went, too: the installed uninstaller finishes what is left.
            self.assertFalse(any(l.startswith("Nothing was removed") for l in uninstall_runs(prefix)[-1]),
                             "\n".join(uninstall_runs(prefix)[-1]))
            return "installed uninstaller", code
        data = prefix.setup_data()
        copies = sorted((os.path.getmtime(os.path.join(data, n)), n) for n in os.listdir(data)
                        if re.match(r"^un-[0-9a-f]{32}$", n) and
                        os.path.exists(os.path.join(data, n, "ZelvanUninstall.exe")))
        if copies:
            copy = "C:\\ProgramData\\ZelvanSetup\\" + copies[-1][1] + "\\ZelvanUninstall.exe"
            return "copy under the data folder", self.run_uninstaller(prefix, copy)
        self.assertEqual(prefix.run(SETUP, ["/silent"]).code, 0)
        return "setup, then uninstaller", self.run_uninstaller(prefix, UNINSTALLER)

    def crash_point(self, name, held, shared, ready):
        """Holds `held` (None: nothing), starts the uninstall, waits until ready(prefix) says the copy
        is at the point, kills everything, runs again and compares."""
        prefix = Prefix(f"uc-{len(self.report)}")
        self.addCleanup(prefix.remove)
        before = without_copy_traces(prefix.snapshot())
        self.assertEqual(prefix.run(SETUP, ["/silent", ALL_TASKS]).code, 0)
        holder = None
        if held is not None:
            holder = prefix.start(HELPER, ["holdread" if shared else "hold", held])
            # Its window shows that it holds the file; a helper that could not open it ends at once.
            shown = wait_for(lambda: holder.poll() is not None or "helper" in x_window_titles(), timeout=120)
            self.assertIsNone(holder.poll(), f"{name}: the helper could not hold {held} (exit {holder.returncode})")
            self.assertTrue(shown, f"{name}: the helper's window did not show within two minutes")
        launcher = prefix.start(UNINSTALLER, ["/silent"])
        reached = wait_for(lambda: ready(prefix), timeout=60, interval=0.02)
        self.kill_all(prefix)
        launcher.wait()
        if holder is not None:
            holder.wait()
        how, code = self.rerun_as_a_user_would(prefix)
        diff = before.differences(without_copy_traces(prefix.snapshot()))
        # A new Wine session carries out the restart-time deletes, as a restart would.
        self.kill_all(prefix)
        prefix.wine("cmd", "/c", "exit")
        copies = [n for n in os.listdir(prefix.setup_data()) if n.startswith("un-")]
        self.report.append(f"{name}: reached={reached}, then {how} -> exit {code}, "
                           f"{'fully removed' if not diff else f'{len(diff)} differences'}, "
                           f"{len(copies)} copy folders after a restart")
        self.assertTrue(reached, f"{name}: the kill point was never reached")
        self.assertEqual(code, 0, f"{name}: the second run did not finish")
        self.assertEqual(diff, [], f"{name}: not fully removed after a kill and a second run")
        self.assertEqual(copies, [], f"{name}: copies' folders outlived a second run and a restart")

    def test_kill_points(self):
        reference = Prefix("uc-reference")
        try:
            self.assertEqual(reference.run(SETUP, ["/silent", ALL_TASKS]).code, 0)
            links = record_lines(reference, "lnk")
            files = [PF + "\\" + f for f in record_lines(reference, "file")]
        finally:
            reference.remove()
        if os.environ.get("ZS_UNINSTALL_CRASH_ALL") != "1":
            files = files[::3] + ([files[-1]] if (len(files) - 1) % 3 else [])

        def gone(path):
            return lambda p: not os.path.exists(p.host_path(path))

        def started(p):
            return any(n.startswith("un-") for n in os.listdir(p.setup_data()))

        def uninstalling(p):
            return any(any(l.startswith("Uninstalling from") for l in run) for run in uninstall_runs(p))

        def settled(condition):
            """The condition, and then a moment for the copy to reach its tries on the held file."""
            def check(p):
                if not condition(p):
                    return False
                time.sleep(0.4)
                return True
            return check

        points = [("as the copy starts", None, False, started)]
        order = links + files
        for i, path in enumerate(order):
            before_it = settled(uninstalling) if i == 0 else settled(gone(order[i - 1]))
            step = "shortcuts" if path in links else "files"
            points.append((f"{step}: held {path}", path, False, before_it))
        last = files[-1]
        points.append(("installed uninstaller, after the entry went", UNINSTALLER, True, settled(gone(last))))
        points.append(("record, after the uninstaller went", PF + "\\ZelvanUninstall.zsu", True,
                       settled(gone(UNINSTALLER))))
        for name, held, shared, ready in points:
            with self.subTest(name):
                self.crash_point(name, held, shared, ready)


if __name__ == "__main__":
    main()
