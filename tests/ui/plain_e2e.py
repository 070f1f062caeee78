"""Interactive installs in plain mode, driven from outside as a person would: keystrokes into the
real ZelvanSetup.exe under a private Xvfb, judged by files, log lines, exit code and, after a
cancel, an exact comparison with the machine as it was before. Every window state is kept as a
screenshot under build/artifacts/screenshots."""
import os
import subprocess
import time

from harness import (BIN_DIR, hold_foreign_config, LogFile, ScenarioTest, main, screenshot, wait_for, x_keys, x_type, x_window,
                     start_running_zelvan, x_window_titles, x_windows, private_screen)

SETUP = os.path.join(BIN_DIR, "examples", "zelvan", "ZelvanSetup.exe")
STANDINS = os.path.join(BIN_DIR, "testing", "zelvan-app")
PF = "C:\\Program Files\\Zelvan"
MAIN = "Install Zelvan"

setUpModule, tearDownModule = private_screen()


class PlainInstall(ScenarioTest):
    def setUp(self):
        super().setUp()
        # Without a window manager Wine waits for every destroyed window; this prefix needs none.
        self.prefix.wine("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")
        # Without Direct2D the drawn window cannot exist, and plain mode takes over.
        self.prefix.overrides = "d2d1="

    def start(self, *args):
        proc = self.prefix.start(SETUP, list(args))
        self.addCleanup(lambda: (proc.poll() is None and proc.kill(),
                                 subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)))
        window = x_window(MAIN)
        self.assertIsNotNone(window, "the plain window did not come up")
        return proc, window

    def box(self, title, shot, timeout=60):
        """Waits for a message box with this caption, keeps a picture of it and returns its id."""
        window = x_window(title, timeout=timeout)
        self.assertIsNotNone(window, f"no {title!r} message")
        time.sleep(0.5)  # let it paint
        screenshot(f"{self.id().split('.')[-1]}-{shot}", window)
        return window

    def finish(self, proc, timeout=120):
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            screenshot(f"{self.id().split('.')[-1]}-stuck")
            raise

    def log(self):
        logs = self.prefix.logs("Zelvan-Setup")
        self.assertTrue(logs, "no setup log")
        return LogFile(logs[-1])

    def shot(self, name, window=None):
        time.sleep(0.5)
        screenshot(f"{self.id().split('.')[-1]}-{name}", window)

    def hold_foreign_config(self):
        return hold_foreign_config(self, PF)

    def test_licence_folder_and_task_chosen_then_installed(self):
        proc, window = self.start()
        self.shot("1-welcome", window)
        # The accept box has the focus; the folder box is next in the Tab order, its text selected.
        x_keys(window, "space", "Tab")
        x_type(window, "C:\\Apps\\Zelvan")
        # Browse, then the first task (desktop shortcut, on by default): off.
        x_keys(window, "Tab", "Tab", "space")
        self.shot("2-options", window)
        x_keys(window, "Return")
        ready = self.box("Zelvan is ready", "3-ready")
        x_keys(ready, "Return")  # Yes: open Zelvan
        # Whether Wine's desktop shell starts the launcher depends on the prefix; when it does not,
        # setup says so and points to the Start menu.
        refused = False
        deadline = time.monotonic() + 30
        while proc.poll() is None and time.monotonic() < deadline:
            found = x_windows("Couldn't open that")
            if found:
                refused = True
                self.shot("4-could-not-open", found[0])
                x_keys(found[0], "Return")
                break
            time.sleep(0.2)
        self.assertEqual(self.finish(proc), 0)
        started = not any(l.startswith("Couldn't start ") and l.endswith("ZelvanLauncher.exe as the signed-in user.")
                          for l in self.log().lines)
        self.assertEqual(started, not refused, "the message and the log disagree about opening Zelvan")

        host = self.prefix.host_path("C:\\Apps\\Zelvan")
        self.assertTrue(os.path.isfile(os.path.join(host, "Zelvan.exe")))
        self.assertFalse(os.path.exists(self.prefix.host_path(PF)))
        lines = self.log().lines
        self.assertInOrder(lines, ["Plain mode: d2d1.dll or dwrite.dll is missing.", "Plain mode is up.",
                                   "Task on: fileassoc", "COMMIT.", "Exit code 0"])
        self.assertNotIn("Task on: desktopicon", lines)
        self.assertTrue(any(l.startswith("Mode fresh. Folder C:\\Apps\\Zelvan.") for l in lines), lines)

    def test_cancel_while_copying_puts_everything_back(self):
        # A file of another program at a target stays in use while setup tries to move it aside:
        # that holds the install in its copying step long enough to cancel it.
        holder = self.hold_foreign_config()
        before = self.prefix.snapshot()

        proc, window = self.start("/norun")
        x_keys(window, "space", "Return")

        def copying():
            logs = self.prefix.logs("Zelvan-Setup")
            return bool(logs) and any(l.startswith("In use, try ") for l in LogFile(logs[-1]).lines)

        self.assertTrue(wait_for(copying, timeout=60), "the install never reached the file in use")
        self.shot("1-copying", window)
        x_keys(window, "Escape")
        stop = self.box("Stop installing?", "2-stop")
        x_keys(stop, "Return")
        stopped = self.box("Installation stopped", "3-stopped")
        x_keys(stopped, "Return")
        self.assertEqual(self.finish(proc), 2)

        lines = self.log().lines
        self.assertInOrder(lines, ["Plain mode is up.", "Cancel was asked for.", "Exit code 2"])
        self.assertNotIn("COMMIT.", lines)
        holder.kill()
        subprocess.run(["wineserver", "-w"], env=self.prefix.env(), check=False, timeout=60)
        self.assertEqual(before.differences(self.prefix.snapshot()), [], "a cancelled install changed the machine")

    def test_a_refused_folder_then_one_from_the_picker(self):
        os.makedirs(os.path.join(self.prefix.drive_c, "Picked"))
        proc, window = self.start("/norun")
        x_keys(window, "space", "Tab")
        x_type(window, "Zelvan")
        x_keys(window, "Return")
        self.assertTrue(wait_for(lambda: len(x_windows(MAIN)) == 2, timeout=30), "no refusal shown")
        refusal = [w for w in x_windows(MAIN) if w != window][0]
        self.shot("1-refused", refusal)
        x_keys(refusal, "Return")
        self.assertTrue(wait_for(lambda: x_windows(MAIN) == [window], timeout=30))
        # The folder box has the focus again; Browse is next.
        x_keys(window, "Tab", "space")
        picker = self.box("Select Folder", "2-picker")
        x_type(picker, "C:\\Picked")
        x_keys(picker, "Return")
        self.assertTrue(wait_for(lambda: not x_windows("Select Folder"), timeout=30), "the picker stayed")
        self.shot("3-picked", window)
        # From Browse past the three task boxes and Cancel to Install.
        x_keys(window, "Tab", "Tab", "Tab", "Tab", "Tab", "Return")
        ready = self.box("Zelvan is ready", "4-ready")
        x_keys(ready, "Return")
        self.assertEqual(self.finish(proc), 0)
        lines = self.log().lines
        self.assertInOrder(lines, ["Plain mode is up.", "Folder refused: F2", "Exit code 0"])
        self.assertTrue(any(l.startswith("Mode fresh. Folder C:\\Picked.") for l in lines), lines)
        self.assertTrue(os.path.isfile(os.path.join(self.prefix.host_path("C:\\Picked"), "Zelvan.exe")))

    def test_a_file_in_use_is_tried_again_when_asked(self):
        holder = self.hold_foreign_config()
        host = self.prefix.host_path(PF)

        proc, window = self.start("/norun")
        x_keys(window, "space", "Return")
        in_use = self.box("A file is in use", "1-in-use", timeout=90)
        holder.kill()
        self.assertTrue(wait_for(lambda: "helper" not in x_window_titles(), timeout=30))
        x_keys(in_use, "Return")  # Retry
        ready = self.box("Zelvan is ready", "2-ready")
        x_keys(ready, "Return")
        self.assertEqual(self.finish(proc), 0)
        lines = self.log().lines
        self.assertIn(f"In use, try 10 of 10: {PF}\\Zelvan.exe.config", lines)
        self.assertInOrder(lines, ["COMMIT.", "Exit code 0"])
        with open(os.path.join(host, "Zelvan.exe.config"), "rb") as f:
            self.assertNotEqual(f.read(), b"<configuration/>\n")

    def test_a_running_zelvan_is_closed_when_the_user_says_so(self):
        self.assertEqual(self.prefix.run(SETUP, ["/silent"]).code, 0)
        app = start_running_zelvan(self.prefix, PF + "\\Zelvan.exe")
        self.assertIsNotNone(app, "Zelvan did not start")
        self.addCleanup(app.kill)

        proc, window = self.start("/norun")
        x_keys(window, "space", "Return")
        ask = self.box("Zelvan is open", "1-zelvan-open")
        x_keys(ask, "Return")  # OK: close it
        self.assertTrue(wait_for(lambda: app.poll() is not None, timeout=30), "Zelvan was not closed")
        ready = self.box("Zelvan is ready", "2-ready")
        x_keys(ready, "Return")
        self.assertEqual(self.finish(proc), 0)
        with open(os.path.join(STANDINS, "Zelvan.exe"), "rb") as a, \
                open(self.prefix.host_path(PF + "\\Zelvan.exe"), "rb") as b:
            self.assertEqual(a.read(), b.read(), "the running copy was not replaced")

    def test_the_window_scales_with_the_screens_dpi(self):
        self.prefix.wine("reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                         "/d", "144", "/f")
        proc, window = self.start()
        self.shot("1-144-dpi", window)
        geometry = subprocess.run(["xdotool", "getwindowgeometry", window], capture_output=True, text=True,
                                  timeout=20).stdout
        self.assertIn("Geometry: 960x840", geometry)
        x_keys(window, "Escape")
        self.assertEqual(self.finish(proc), 2)

    def test_a_second_setup_ends_while_the_window_is_up(self):
        proc, window = self.start()
        second = self.prefix.run(SETUP, timeout=60)
        self.assertEqual(second.code, 12)
        self.assertEqual(x_windows(MAIN), [window], "the second setup showed a window of its own")
        x_keys(window, "Escape")
        self.assertEqual(self.finish(proc), 2)

    def test_closing_before_the_install_changes_nothing(self):
        before = self.prefix.snapshot()
        proc, window = self.start()
        x_keys(window, "Escape")
        self.assertEqual(self.finish(proc), 2)
        self.assertEqual(before.differences(self.prefix.snapshot()), [])


if __name__ == "__main__":
    main()
