"""The start-up sequence seen from outside: switches, the log file, the refusals and their exit codes."""
import os
import re
import shutil
import subprocess
import time

from harness import BIN_DIR, LogFile, ScenarioTest, main, screenshot, wait_for, x_window, x_window_titles, private_screen

STUB = os.path.join(BIN_DIR, "src", "app", "ZelvanSetup.exe")
# The same program with a payload resource that no reader accepts: a setup whose file is damaged.
DAMAGED = os.path.join(BIN_DIR, "tests", "app", "damaged", "ZelvanSetup.exe")
A11Y_CLIENT = os.path.join(BIN_DIR, "testing", "a11y-client", "zs-a11y-client.exe")
SETUP_LOG_NAME = re.compile(r"^Zelvan-Setup-\d{8}-\d{6}\.log$")
UNINSTALL_LOG_NAME = re.compile(r"^Zelvan-Uninstall-\d{8}-\d{6}\.log$")
# The harness runs Wine in the C locale, whose display language is en-US.
ENGLISH_FROM_WINDOWS = "Language: en (from Windows, en-US)"


# Windows here share titles with other tests' windows: each module gets a screen of its own.
setUpModule, tearDownModule = private_screen()


class Startup(ScenarioTest):
    def place(self, exe, win_folder, name):
        folder = self.prefix.host_path(win_folder)
        os.makedirs(folder, exist_ok=True)
        shutil.copy(exe, os.path.join(folder, name))
        return os.path.join(folder, name)

    def test_bad_switch_in_a_silent_setup_run(self):
        result = self.prefix.run(DAMAGED, ["/silent", "/bogus"])
        self.assertEqual(result.code, 6)
        log = self.only_log()
        self.assertRegex(os.path.basename(log.path), SETUP_LOG_NAME)
        self.assertEqual(log.runs, [["Zelvan setup started. Switches: /silent /bogus", ENGLISH_FROM_WINDOWS,
                                     "Bad switch: /bogus", "Exit code 6"]])

    def test_bad_switch_without_payload_is_named_as_the_uninstaller(self):
        exe = self.place(STUB, "C:\\Tools", "Whatever.exe")
        result = self.prefix.run(exe, ["/SILENT", "/x", "/y", "/dir=C:\\My Apps\\"])
        self.assertEqual(result.code, 6)
        log = self.only_log()
        self.assertRegex(os.path.basename(log.path), UNINSTALL_LOG_NAME)
        self.assertEqual(log.lines, ['Zelvan setup started. Switches: /SILENT /x /y "/dir=C:\\My Apps\\\\"',
                                     ENGLISH_FROM_WINDOWS, "Bad switch: /x", "Exit code 6"])

    def test_an_unknown_language_is_a_bad_switch(self):
        for tag in ["xx", "de_DE", ""]:
            with self.subTest(tag):
                for log in self.prefix.logs():
                    os.remove(log)
                result = self.prefix.run(DAMAGED, ["/silent", f"/lang={tag}"])
                self.assertEqual(result.code, 6)
                self.assertEqual(self.only_log().lines, [
                    f"Zelvan setup started. Switches: /silent /lang={tag}", ENGLISH_FROM_WINDOWS,
                    f"Bad switch: /lang={tag} (this setup has no such language; it has de, en, qps-ploc)",
                    "Exit code 6"])

    def test_the_language_comes_from_the_switch_else_from_windows(self):
        cases = [
            # (the locale Wine starts in, the switches, the log's line)
            ("C.UTF-8", ["/lang=de"], "Language: de (from /lang=)"),
            ("C.UTF-8", ["/LANG=de-DE"], "Language: de (from /lang=de-DE)"),
            ("C.UTF-8", ["/lang=qps-ploc"], "Language: qps-ploc (from /lang=)"),
            ("de_AT.UTF-8", [], "Language: de (from Windows, de-AT)"),
            ("de_DE.UTF-8", ["/lang=en"], "Language: en (from /lang=)"),
            ("fr_FR.UTF-8", [], "Language: en (Windows' fr-FR has no table)"),
        ]
        for locale, switches, line in cases:
            with self.subTest(locale=locale, switches=switches):
                for log in self.prefix.logs():
                    os.remove(log)
                # Wine reads the locale when the prefix's server starts.
                subprocess.run(["wineserver", "-k"], env=self.prefix.env(), capture_output=True)
                subprocess.run(["wineserver", "-w"], env=self.prefix.env(), capture_output=True)
                self.prefix.extra_env["LC_ALL"] = locale
                result = self.prefix.run(DAMAGED, ["/silent", *switches])
                self.assertEqual(result.code, 9, "the damaged payload, after the language")
                lines = self.only_log().lines
                self.assertEqual(lines[1], line, lines)
                self.assertEqual(lines[-1], "Exit code 9")

    def test_the_uninstaller_takes_the_language_switch(self):
        exe = self.place(STUB, "C:\\Program Files\\Zelvan", "ZelvanUninstall.exe")
        result = self.prefix.run(exe, ["/silent", "/lang=de"])
        self.assertEqual(result.code, 1, "nothing installed, nothing removed; but no bad switch")
        self.assertIn("Language: de (from /lang=)", self.only_log("Zelvan-Uninstall").lines)

    def test_relative_log_path_is_taken_from_the_start_folder(self):
        start = self.prefix.host_path("C:\\StartHere")
        os.makedirs(start)
        result = self.prefix.run(DAMAGED, ["/silent", "/run=77", "/log=run.log"], cwd=start)
        self.assertEqual(result.code, 9)
        log = LogFile(os.path.join(start, "run.log"))
        self.assertEqual(log.lines[0], "Zelvan setup started. Switches: /silent /log=run.log")
        self.assertEqual(log.lines[-1], "Exit code 9")
        self.assertEqual(self.prefix.logs(), [], "with /log= nothing goes to the data folder")

    def test_log_switch_appends_to_an_existing_file(self):
        path = self.prefix.host_path("C:\\run.log")
        with open(path, "wb") as f:
            f.write(b"\xef\xbb\xbf10:00:00.000  an earlier run\r\n")
        self.prefix.run(DAMAGED, ["/silent", "/log=C:\\run.log", "/oops"])
        log = LogFile(path)
        self.assertEqual(len(log.runs), 2)
        self.assertEqual(log.runs[0], ["an earlier run"])
        self.assertEqual(log.runs[1][-2:], ["Bad switch: /oops", "Exit code 6"])

    def test_log_in_a_missing_folder_does_not_stop_the_run(self):
        result = self.prefix.run(DAMAGED, ["/silent", "/log=C:\\nowhere\\run.log", "/bogus"])
        self.assertEqual(result.code, 6)
        self.assertFalse(os.path.exists(self.prefix.host_path("C:\\nowhere")))
        # The run still leaves its log, in the default place, and says why it is there.
        lines = self.only_log().lines
        self.assertTrue(lines[0].startswith("Could not open the log at C:\\nowhere\\run.log: Windows error 3: "),
                        lines)
        self.assertEqual(lines[1], "The log is in the default place instead.")
        self.assertEqual(lines[-1], "Exit code 6")

    def test_uninstaller_refuses_install_switches(self):
        exe = self.place(STUB, "C:\\Program Files\\Zelvan", "ZelvanUninstall.exe")
        result = self.prefix.run(exe, ["/silent", "/tasks=desktopicon"])
        self.assertEqual(result.code, 6)
        log = self.only_log("Zelvan-Uninstall")
        self.assertEqual(log.lines[-2:], ["The uninstaller takes /silent, /log= and /closeapps.", "Exit code 6"])
        self.assertEqual(self.prefix.run(exe, ["/silent", "/norun"]).code, 6)
        self.assertEqual(self.prefix.run(exe, ["/silent", "/dir=C:\\X"]).code, 6)

    def test_a_stub_that_is_not_the_uninstaller_ends_as_a_damaged_setup(self):
        exe = self.place(STUB, "C:\\Downloads", "ZelvanSetup.exe")
        result = self.prefix.run(exe, ["/silent"])
        self.assertEqual(result.code, 9)
        log = self.only_log()
        self.assertInOrder(log.lines, ["Zelvan setup started. Switches: /silent",
                                       "There is no payload, and this exe isn't the uninstaller.", "Exit code 9"])

    def test_missing_system_library(self):
        result = self.prefix.run(DAMAGED, ["/silent"], dll_overrides="cabinet=d")
        self.assertEqual(result.code, 1)
        log = self.only_log()
        self.assertEqual(log.lines, ["Zelvan setup started. Switches: /silent",
                                     "bcrypt.dll or cabinet.dll is missing. Nothing was written.", "Exit code 1"])

    def test_windows_too_old(self):
        self.prefix.set_windows_version("win7")
        result = self.prefix.run(DAMAGED, ["/silent"])
        self.assertEqual(result.code, 4)
        self.assertInOrder(self.only_log().lines, ["Windows 6.1", "Windows is too old.", "Exit code 4"])

    def test_second_setup_while_the_first_shows_a_window(self):
        if not os.environ.get("DISPLAY"):
            self.skipTest("needs an X display")
        first = self.prefix.start(DAMAGED)  # interactive: holds the mutex while its error page is up
        try:
            self.assertTrue(wait_for(lambda: "Install Zelvan" in x_window_titles(), timeout=60),
                            "the first setup's damaged-file page did not appear")
            result = self.prefix.run(DAMAGED, ["/silent"])
            self.assertEqual(result.code, 12)
            self.assertInOrder(self.only_log().lines, ["Another setup is running.", "Exit code 12"])
        finally:
            first.kill()
            subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)

    def test_both_roles_stop_when_the_single_instance_lock_cannot_be_taken(self):
        # An event that holds the lock's name makes creating the mutex fail with error 6.
        ready = self.prefix.host_path("C:\\squat-ready")
        helper = os.path.join(BIN_DIR, "testing", "proc-helpers", "zs-proc-helper.exe")
        holder = self.prefix.start(helper, ["squat", "Global\\ZelvanSetup-3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7",
                                            "C:\\squat-ready"])
        uninstaller = self.place(STUB, "C:\\Tools", "ZelvanUninstall.exe")
        try:
            self.assertTrue(wait_for(lambda: os.path.exists(ready), timeout=60), "the name was not taken")
            for exe, prefix in ((DAMAGED, "Zelvan-Setup"), (uninstaller, "Zelvan-Uninstall")):
                result = self.prefix.run(exe, ["/silent"])
                self.assertEqual(result.code, 12, exe)
                lines = self.only_log(prefix).lines
                self.assertTrue(lines[-2].startswith("Could not take the lock that keeps a second setup from "
                                                     "running: Windows error 6: "), lines)
                self.assertEqual(lines[-1], "Exit code 12")
        finally:
            holder.kill()
            subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)

    def test_bad_switch_in_an_interactive_run_shows_a_page_and_writes_no_log(self):
        if not os.environ.get("DISPLAY"):
            self.skipTest("needs an X display")
        proc = self.prefix.start(DAMAGED, ["/bogus"])
        try:
            window = x_window("Install Zelvan")
            self.assertIsNotNone(window, "no error page")
            time.sleep(1.0)
            screenshot("startup-bad-switch", window)
        finally:
            proc.kill()
            subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)
        self.assertEqual(self.prefix.logs(), [])

    def test_an_unknown_language_in_an_interactive_run_names_the_switch_on_its_page(self):
        if not os.environ.get("DISPLAY"):
            self.skipTest("needs an X display")
        proc = self.prefix.start(DAMAGED, ["/lang=xx"])
        try:
            self.assertIsNotNone(x_window("Install Zelvan"), "no error page")
            shown = []

            def read():
                r = self.prefix.run(A11Y_CLIENT, ["tree", "Install Zelvan"], timeout=60)
                shown[:] = [r.stdout.decode("utf-8", errors="replace")]
                return "Setup doesn't recognise this switch: /lang=xx" in shown[0]

            self.assertTrue(wait_for(read, timeout=60, interval=0.5), shown)
            screenshot("startup-unknown-language", x_window("Install Zelvan"))
        finally:
            proc.kill()
            subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)
        self.assertEqual(self.prefix.logs(), [])


if __name__ == "__main__":
    main()
