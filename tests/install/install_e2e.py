"""Silent installs of the sample product, judged from outside: files, registry, log, exit code.
After every refused or failed run the machine must be exactly as it was before."""
import os
import shutil
import struct
import subprocess
import time

from harness import (BIN_DIR, LogFile, ScenarioTest, main, make_setup, set_file_version, start_running_zelvan,
                     wait_for, x_keys, x_window, x_window_titles, private_screen)

SETUP = os.path.join(BIN_DIR, "examples", "zelvan", "ZelvanSetup.exe")
STANDINS = os.path.join(BIN_DIR, "testing", "zelvan-app")
HELPER = os.path.join(BIN_DIR, "testing", "proc-helpers", "zs-proc-helper.exe")
PF = "C:\\Program Files\\Zelvan"
SAMPLE_FILES = sorted([
    "Samples/Invoice approval.flow", "Samples/Welcome.zlvd", "Themes/Dark.zlth", "Themes/Light.zlth",
    "ThirdPartyNotices.txt", "Zelvan.exe", "Zelvan.exe.config", "ZelvanLauncher.exe",
    "ZelvanLauncher.exe.config", "ZelvanUninstall.exe", "de/Zelvan.UI.strings.txt", "zelvan-cli.exe",
    "zelvan-cli.exe.config"])
# What an install leaves in its folder: the program files and the uninstall record.
INSTALLED = sorted(SAMPLE_FILES + ["ZelvanUninstall.zsu"])
INNO_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7}_is1"
OWN_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7}"


def files_under(folder):
    out = []
    for dirpath, _, names in os.walk(folder):
        for n in names:
            out.append(os.path.relpath(os.path.join(dirpath, n), folder).replace(os.sep, "/"))
    return sorted(out)


def work_folders(folder):
    """Staging and backup folders left anywhere below folder."""
    found = []
    for dirpath, dirnames, _ in os.walk(folder):
        found += [os.path.join(dirpath, d) for d in dirnames if d.startswith(".zsnew") or d.startswith(".zsold")]
    return found


# Windows here share titles with other tests' windows: each module gets a screen of its own.
setUpModule, tearDownModule = private_screen()


class Install(ScenarioTest):
    def install(self, *args, exe=SETUP):
        return self.prefix.run(exe, ["/silent", *args])

    def last_log(self):
        logs = self.prefix.logs("Zelvan-Setup")
        self.assertTrue(logs, "no setup log")
        return LogFile(logs[-1])

    def assertUnchangedBy(self, before, what):
        diff = before.differences(self.prefix.snapshot())
        self.assertEqual(diff, [], f"{what} changed the machine")

    def assertCleanInstall(self, folder=PF):
        host = self.prefix.host_path(folder)
        self.assertEqual(files_under(host), INSTALLED)
        self.assertEqual(work_folders(host), [])
        self.assertFalse(os.path.exists(os.path.join(self.prefix.setup_data(), "install.zsj")))
        for name in SAMPLE_FILES:
            self.assertTrue(os.path.getsize(os.path.join(host, name)) > 0 or name.endswith(".txt"), name)

    # --- installs that go through ---

    def test_fresh_install(self):
        result = self.install()
        self.assertEqual(result.code, 0)
        self.assertCleanInstall()
        log = self.last_log()
        self.assertRegex(os.path.basename(log.path), r"^Zelvan-Setup-2\.5-\d{8}-\d{6}\.log$")
        self.assertInOrder(log.lines, [
            "Zelvan setup started. Switches: /silent", "Windows 10.0", "Existing install: none",
            ".NET Framework Release: 528040", "Task on: desktopicon", "Task on: fileassoc",
            f"Mode fresh. Folder {PF}. Old folder (none).", "Step: Copying files", "Staged 13 program files.",
            "Step: Setting up shortcuts and file types", "Step: Optimizing for instant start",
            "Step: Checking the result", "Step: Warming up Zelvan", "COMMIT.", "Installed. Start-up: Not optimized.",
            "Exit code 0"])
        self.assertNotIn("Payload refused", "\n".join(log.lines))
        # The prefix's user folders are real, as on Windows: the first-run files are there, and no
        # part of the user's folders was skipped as a link.
        self.assertFalse([l for l in log.lines if l.startswith("A link is in the path")], log.lines)
        users = os.path.join(self.prefix.drive_c, "users")
        made = [os.path.relpath(os.path.join(d, n), users).replace(os.sep, "/")
                for d, _, names in os.walk(users) for n in names if n in ("ZelvanConfig.zlcx", "settings.ini")]
        self.assertEqual(sorted(m.split("/", 1)[1] for m in made),
                         ["AppData/Roaming/Zelvan/settings.ini", "Documents/Zelvan/2.5/ZelvanConfig.zlcx"], made)
        with open(os.path.join(STANDINS, "Zelvan.exe"), "rb") as a, \
                open(self.prefix.host_path(PF + "\\Zelvan.exe"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_install_into_a_chosen_folder_with_chosen_tasks(self):
        result = self.install("/dir=  C:\\Apps\\Zelvan\\  ", "/tasks=startfaster")
        self.assertEqual(result.code, 0)
        self.assertCleanInstall("C:\\Apps\\Zelvan")
        self.assertInOrder(self.last_log().lines,
                           ["Task on: startfaster", "Mode fresh. Folder C:\\Apps\\Zelvan. Old folder (none)."])

    def test_upgrade_over_a_legacy_install(self):
        old = self.prefix.host_path("C:\\Program Files (x86)")
        legacy = os.path.join(old, "Zelvan")
        os.makedirs(os.path.join(legacy, "Plugins", "Obsolete"))
        shutil.copy(os.path.join(STANDINS, "Zelvan.exe"), os.path.join(legacy, "Zelvan.exe"))
        set_file_version(os.path.join(legacy, "Zelvan.exe"), "2.4.0.0")
        for name in ("unins000.exe", "unins000.dat"):
            with open(os.path.join(legacy, name), "w") as f:
                f.write("old " + name)
        self.prefix.wine("reg", "add", INNO_KEY, "/v", "InstallLocation", "/d", "C:\\Program Files (x86)\\Zelvan\\",
                         "/f", "/reg:32")
        self.prefix.wine("reg", "add", INNO_KEY, "/v", "Inno Setup: Selected Tasks", "/d", "fileassoc", "/f", "/reg:32")

        result = self.install()
        self.assertEqual(result.code, 0)
        log = self.last_log()
        self.assertInOrder(log.lines, [
            "Existing install: Inno", "Task on: fileassoc", "Task on: startfaster",
            "Mode upgrade. Folder C:\\Program Files (x86)\\Zelvan. Old folder C:\\Program Files (x86)\\Zelvan.",
            "COMMIT.", "Removed the empty folder C:\\Program Files (x86)\\Zelvan\\Plugins\\Obsolete"])
        self.assertNotIn("Task on: desktopicon", log.lines, "the old install had no desktop icon")
        self.assertCleanInstall("C:\\Program Files (x86)\\Zelvan")
        self.assertIsNone(self.prefix.reg_query(INNO_KEY, "InstallLocation", view=32), "the old entry is gone")

    def test_repair_of_the_same_version_places_nothing(self):
        self.assertEqual(self.install().code, 0)
        self.assertEqual(self.install().code, 0)
        log = self.last_log()
        self.assertInOrder(log.lines, [
            "Existing install: own", f"Mode repair. Folder {PF}. Old folder {PF}.", "Staged 13 program files."])
        for name in SAMPLE_FILES:
            self.assertIn("Unchanged, left in place: " + name.replace("/", "\\"), log.lines)
        self.assertCleanInstall()
        self.assertEqual(self.prefix.reg_query(OWN_KEY, "InstallLocation"), ("REG_SZ", PF))

    def upgrade_setup(self):
        """The sample as version 2.5.0.1500, with one program file changed, one added and one gone."""
        def change(d):
            with open(os.path.join(d, "app", "ThirdPartyNotices.txt"), "a") as f:
                f.write("A notice added in 1500.\r\n")
            with open(os.path.join(d, "app", "Themes", "Contrast.zlth"), "w") as f:
                f.write("contrast theme\r\n")
            os.remove(os.path.join(d, "app", "Samples", "Welcome.zlvd"))
        return make_setup(self.prefix, os.path.join(self.prefix.drive_c, "next.exe"),
                          defines=["FileVersion=2.5.0.1500"], modify=change)

    def upgraded_files(self):
        return sorted([n for n in INSTALLED if n != "Samples/Welcome.zlvd"] + ["Themes/Contrast.zlth"])

    def test_upgrade_into_the_same_folder(self):
        self.assertEqual(self.install().code, 0)
        newer = self.upgrade_setup()
        self.assertEqual(self.install(exe=newer).code, 0)
        log = self.last_log()
        self.assertInOrder(log.lines, ["Existing install: own", f"Mode upgrade. Folder {PF}. Old folder {PF}.", "COMMIT."])
        self.assertIn("Unchanged, left in place: Zelvan.exe", log.lines)
        self.assertNotIn("Unchanged, left in place: ThirdPartyNotices.txt", log.lines)
        host = self.prefix.host_path(PF)
        self.assertEqual(files_under(host), self.upgraded_files())
        self.assertEqual(work_folders(host), [], "the backup folders went with the cleanup")
        with open(os.path.join(host, "ThirdPartyNotices.txt")) as f:
            self.assertIn("A notice added in 1500.", f.read())
        self.assertEqual(self.prefix.reg_query(OWN_KEY, "ZelvanSetup: FileVersion"), ("REG_SZ", "2.5.0.1500"))

    def test_upgrade_into_another_folder(self):
        self.assertEqual(self.install().code, 0)
        newer = self.upgrade_setup()
        self.assertEqual(self.install("/dir=C:\\Apps\\Zelvan", exe=newer).code, 0)
        self.assertInOrder(self.last_log().lines,
                           ["Existing install: own", f"Mode upgrade. Folder C:\\Apps\\Zelvan. Old folder {PF}.", "COMMIT."])
        self.assertEqual(files_under(self.prefix.host_path("C:\\Apps\\Zelvan")), self.upgraded_files())
        self.assertFalse(os.path.exists(self.prefix.host_path(PF)), "the emptied old folder is gone")
        self.assertEqual(self.prefix.reg_query(OWN_KEY, "InstallLocation"), ("REG_SZ", "C:\\Apps\\Zelvan"))

    # --- refusals before anything changes ---

    def test_refusals_change_nothing(self):
        cases = [
            (["/tasks=desktopicon,bogus"], 6, ["Unknown task: bogus"]),
            (["/dir=C:\\Windows\\Zelvan"], 8, ["Folder refused, F5: Zelvan can't be installed there. Choose another folder."]),
            (["/dir=Zelvan"], 8, ["Folder refused, F2: Enter a full folder path, such as C:\\Program Files\\Zelvan."]),
        ]
        before = self.prefix.snapshot()
        for args, code, lines in cases:
            with self.subTest(args=args):
                result = self.install(*args)
                self.assertEqual(result.code, code)
                self.assertInOrder(self.last_log().lines, lines + [f"Exit code {code}"])
                self.assertUnchangedBy(before, args)

    def test_no_dotnet(self):
        self.prefix.wine("reg", "delete", r"HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Full", "/v", "Release",
                         "/f", "/reg:64")
        before = self.prefix.snapshot()
        self.assertEqual(self.install().code, 3)
        self.assertInOrder(self.last_log().lines, [".NET Framework Release: 0 (no key)", "Exit code 3"])
        self.assertUnchangedBy(before, "a run without .NET")

    def test_no_dotnet_in_an_interactive_run_opens_the_download_page_from_its_link(self):
        if not os.environ.get("DISPLAY"):
            self.skipTest("the page needs an X display")
        self.prefix.wine("reg", "delete", r"HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Full", "/v", "Release",
                         "/f", "/reg:64")
        # Wine's desktop shell hands a web address to the first of these programs: one that only
        # writes down what it was given, so that no real browser is started.
        opened = os.path.join(self.prefix.dir, "opened.txt")
        browser = os.path.join(self.prefix.dir, "browser.sh")
        with open(browser, "w") as f:
            f.write(f'#!/bin/sh\necho "$@" > "{opened}"\n')
        os.chmod(browser, 0o755)
        self.prefix.wine("reg", "add", r"HKCU\Software\Wine\WineBrowser", "/v", "Browsers", "/d", browser, "/f")
        url = "https://dotnet.microsoft.com/download/dotnet-framework/net48"
        setup = self.prefix.start(SETUP, ["/log=C:\\dotnet.log"])  # an interactive refusal keeps no log otherwise
        try:
            window = x_window("Install Zelvan")
            self.assertIsNotNone(window, "the .NET page did not come")
            time.sleep(1.0)
            # The link comes first in the Tab order; Enter follows it and the page stays; Escape closes.
            x_keys(window, "Tab", "Return")
            time.sleep(1.0)
            x_keys(window, "Escape")
            self.assertEqual(setup.wait(timeout=120), 3)
            lines = LogFile(self.prefix.host_path("C:\\dotnet.log")).lines
            self.assertInOrder(lines, [".NET Framework Release: 0 (no key)", "Exit code 3"])
            # Opened through the desktop shell, as the signed-in user (the shell passes it on after
            # the setup has ended); where no desktop shell runs, the attempt is logged instead, and
            # the page is never opened some other (elevated) way.
            if f"Couldn't start {url} as the signed-in user." not in lines:
                self.assertTrue(wait_for(lambda: os.path.exists(opened), timeout=60), "the download page was not opened")
                with open(opened) as f:
                    self.assertEqual(f.read().strip(), url)
        finally:
            setup.kill()
            subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)

    def test_windows_7(self):
        self.prefix.set_windows_version("win7")
        before = self.prefix.snapshot()
        self.assertEqual(self.install().code, 4)
        self.assertInOrder(self.last_log().lines, ["Windows 6.1", "Windows is too old.", "Exit code 4"])
        self.assertUnchangedBy(before, "a run on Windows 7")

    def test_newer_version_installed(self):
        folder = self.prefix.host_path(PF)
        os.makedirs(folder)
        shutil.copy(os.path.join(STANDINS, "Zelvan.exe"), os.path.join(folder, "Zelvan.exe"))
        set_file_version(os.path.join(folder, "Zelvan.exe"), "3.0.0.0")
        self.prefix.wine("reg", "add", OWN_KEY, "/v", "InstallLocation", "/d", PF, "/f", "/reg:64")
        before = self.prefix.snapshot()
        self.assertEqual(self.install().code, 5)
        self.assertInOrder(self.last_log().lines,
                           ["Existing install: own", "Installed 3.0.0.0 is newer than 2.5.0.1412.", "Exit code 5"])
        self.assertUnchangedBy(before, "a run over a newer version")

    def test_damaged_payload(self):
        damaged = os.path.join(self.prefix.drive_c, "ZelvanSetup.exe")
        shutil.copy(SETUP, damaged)
        with open(damaged, "r+b") as f:
            data = bytearray(f.read())
            # The resource's header: the magic, header size 96, format and layout version 1 (the
            # magic alone also stands in the setup's code).
            at = data.find(b"ZSP1" + struct.pack("<III", 96, 1, 1))
            self.assertGreater(at, 0)
            data[len(data) - (len(data) - at) // 2] ^= 0x01  # somewhere inside the payload resource
            f.seek(0)
            f.write(data)
        before = self.prefix.snapshot()
        self.assertEqual(self.install(exe=damaged).code, 9)
        self.assertIn("Payload refused: SHA-256 differs", self.last_log().lines)
        self.assertUnchangedBy(before, "a damaged setup")

    def test_an_install_folder_that_is_a_link_is_refused(self):
        target = self.prefix.host_path("C:\\Elsewhere")
        os.makedirs(target)
        os.symlink(target, os.path.join(self.prefix.host_path("C:\\Program Files"), "Zelvan"))
        before = self.prefix.snapshot()
        self.assertEqual(self.install().code, 8)
        self.assertInOrder(self.last_log().lines, ["Folder refused, F5: Zelvan can't be installed there. Choose another folder."])
        self.assertEqual(os.listdir(target), [], "nothing was created through the link")
        self.assertUnchangedBy(before, "a linked install folder")

    # --- failures inside the transaction, rolled back ---

    def test_a_target_that_cannot_be_written_rolls_back(self):
        folder = self.prefix.host_path(PF)
        os.makedirs(folder)
        with open(os.path.join(folder, "de"), "w") as f:  # a file where a folder must go
            f.write("in the way")
        before = self.prefix.snapshot()
        self.assertEqual(self.install().code, 1)
        lines = self.last_log().lines
        self.assertIn(f"Stopped: Couldn't write to {PF}\\de\\Zelvan.UI.strings.txt.", lines)
        self.assertInOrder(lines, ["Putting things back.", "Exit code 1"])
        self.assertUnchangedBy(before, "a failed install")

    def test_a_file_held_open_during_placing_rolls_back(self):
        if not os.environ.get("DISPLAY"):
            self.skipTest("the holder shows a window: needs an X display")
        self.assertEqual(self.install().code, 0)
        newer = make_setup(self.prefix, os.path.join(self.prefix.drive_c, "next.exe"),
                           defines=["FileVersion=2.5.0.1500"],
                           modify=lambda d: open(os.path.join(d, "app", "Zelvan.exe.config"), "a").write("<!-- 1500 -->\n"))
        config = PF + "\\Zelvan.exe.config"
        holder = self.prefix.start(HELPER, ["hold", config])
        try:
            self.assertTrue(wait_for(lambda: "helper" in x_window_titles(), timeout=60))
            before = self.prefix.snapshot()
            result = self.install(exe=newer)
            self.assertEqual(result.code, 1)
            lines = self.last_log().lines
            for i in range(1, 11):
                self.assertIn(f"In use, try {i} of 10: {config}", lines)
            self.assertIn("Stopped: A file is in use: Zelvan.exe.config.", lines)
            self.assertUnchangedBy(before, "a failed upgrade")
        finally:
            holder.kill()
            subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)

    # --- a running Zelvan ---

    def test_a_running_zelvan_is_closed_only_with_closeapps(self):
        if not os.environ.get("DISPLAY"):
            self.skipTest("the stand-in shows a window: needs an X display")
        self.assertEqual(self.install().code, 0)
        app = start_running_zelvan(self.prefix, PF + "\\Zelvan.exe")
        self.assertIsNotNone(app, "Zelvan did not start")
        try:
            before = self.prefix.snapshot()
            self.assertEqual(self.install().code, 7)
            self.assertInOrder(self.last_log().lines, ["Zelvan is running and /closeapps was not given.", "Exit code 7"])
            self.assertUnchangedBy(before, "a refused run with Zelvan open")
            self.assertIsNone(app.poll(), "Zelvan was left running")

            self.assertEqual(self.install("/closeapps").code, 0)
            self.assertTrue(wait_for(lambda: app.poll() is not None, timeout=30), "Zelvan was not closed")
            self.assertCleanInstall()
        finally:
            app.kill()
            subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)


if __name__ == "__main__":
    main()
