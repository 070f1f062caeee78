"""/restartexitcode= in the setup: a run that did its work but left a file in use to the next restart
ends with the number given; without the switch, or with nothing left for the restart, the codes stay
as they are. (The uninstaller's side is in tests/uninstall/uninstall_e2e.py.)"""
import os
import subprocess

from harness import BIN_DIR, LogFile, ScenarioTest, main, private_screen, wait_for, x_window_titles

SETUP = os.path.join(BIN_DIR, "examples", "zelvan", "ZelvanSetup.exe")
HELPER = os.path.join(BIN_DIR, "testing", "proc-helpers", "zs-proc-helper.exe")
SESSION_MANAGER = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager"
# Shortcut backups wait here until the cleanup after the commit deletes the folder; this one another
# program holds, so the cleanup can only leave it to the restart.
HELD = "C:\\ProgramData\\ZelvanSetup\\bak\\Zelvan.lnk"

# Windows here share titles with other tests' windows: each module gets a screen of its own.
setUpModule, tearDownModule = private_screen()


class RestartExitCode(ScenarioTest):
    def test_the_setup_ends_with_the_restart_code_only_when_the_restart_finishes_its_work(self):
        if not os.environ.get("DISPLAY"):
            self.skipTest("the holder shows a window: needs an X display")
        # (name, a held file for the cleanup, extra switches, expected exit code)
        cases = [
            ("a fresh install, nothing left for the restart", False, ["/restartexitcode=194"], 0),
            ("a repair that leaves a held file, without the switch", True, [], 0),
            ("a repair that leaves a held file, with the switch", True, ["/restartexitcode=194"], 194),
        ]
        for name, held, args, expected in cases:
            with self.subTest(name):
                holder = None
                if held:
                    host = self.prefix.host_path(HELD)
                    os.makedirs(os.path.dirname(host), exist_ok=True)
                    with open(host, "wb") as f:
                        f.write(b"an earlier run's shortcut backup")
                    holder = self.prefix.start(HELPER, ["hold", HELD])
                try:
                    if holder is not None:
                        self.assertTrue(wait_for(lambda: "helper" in x_window_titles(), timeout=60))
                    before = len(self.prefix.logs("Zelvan-Setup"))
                    result = self.prefix.run(SETUP, ["/silent", *args])
                    pending = self.prefix.reg_query(SESSION_MANAGER, "PendingFileRenameOperations")
                finally:
                    if holder is not None:
                        holder.kill()
                        subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)
                logs = self.prefix.logs("Zelvan-Setup")
                self.assertEqual(len(logs), before + 1)
                lines = LogFile(logs[-1]).lines
                self.assertEqual(result.code, expected, "\n".join(lines))
                self.assertEqual(lines[-1], f"Exit code {expected}")
                if held:
                    self.assertTrue(any(l.startswith(f"Delete {HELD}: Windows error 32: ") for l in lines),
                                    "\n".join(lines))
                    self.assertIsNotNone(pending)
                    self.assertIn(HELD.lower(), pending[1].lower())
                    self.prefix.wine("cmd", "/c", "exit")  # the restart
                    self.assertFalse(os.path.exists(self.prefix.host_path(HELD)), "the file did not go at the restart")


if __name__ == "__main__":
    main()
