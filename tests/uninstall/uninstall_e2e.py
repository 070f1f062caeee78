"""The uninstaller, run the way Apps & Features runs it: the installed ZelvanUninstall.exe, which
restarts itself from a copy under the setup's data folder and waits for it; the copy does the work
and tells the launcher its result, which the launcher ends with. Judged from outside: after a
complete removal the machine equals its state before the install, but for the logs, the copy's own
folder and the restart-time deletes that remove that folder."""
import hashlib
import os
import re
import shutil
import subprocess

from harness import (BIN_DIR, LogFile, ScenarioTest, main, make_setup, screenshot, wait_for, x_keys, x_window,
                     start_running_zelvan, x_window_titles, private_screen)

SETUP = os.path.join(BIN_DIR, "examples", "zelvan", "ZelvanSetup.exe")
HELPER = os.path.join(BIN_DIR, "testing", "proc-helpers", "zs-proc-helper.exe")
PF = "C:\\Program Files\\Zelvan"
UNINSTALLER = PF + "\\ZelvanUninstall.exe"
OWN_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7}"
SESSION_MANAGER = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager"
ALL_TASKS = "/tasks=desktopicon,fileassoc,startfaster"


def copy_folder_entry(path):
    return re.match(r"^programdata/zelvansetup/un-[0-9a-f]{32}(/zelvanuninstall\.exe)?$", path) is not None


def users_own_data(path):
    """The folders and first-run files an install makes in the user's profile are the user's from then
    on: the uninstaller leaves projects and settings where they are."""
    return re.match(r"^users/[^/]+/(appdata/roaming|documents)/zelvan(/|$)", path) is not None


def without_copy_traces(state):
    """The state without the uninstaller copy's folder, the pending-rename value that removes it at
    the next restart (checked on its own, see assertOnlyCopyPending), and the user's own data."""
    state.files = {p: v for p, v in state.files.items() if not copy_folder_entry(p) and not users_own_data(p)}
    key = "64:" + SESSION_MANAGER.lower()
    if key in state.registry:
        state.registry[key] = {v for v in state.registry[key]
                               if not v.lower().startswith('"pendingfilerenameoperations"=')}
    return state


def uninstall_runs(prefix):
    """Every run in the uninstaller's logs, oldest first, each a list of lines."""
    runs = []
    for path in prefix.logs("Zelvan-Uninstall"):
        runs += LogFile(path).runs
    return runs


def log_marks(prefix):
    """How many runs each uninstaller log holds now."""
    return {path: len(LogFile(path).runs) for path in prefix.logs("Zelvan-Uninstall")}


def runs_since(prefix, marks):
    """The runs the uninstaller logs gained since the marks were taken. A run opens the log of its
    second, which an earlier run of that second may have begun, so new runs are found file by file,
    not by their place among all runs."""
    runs = []
    for path in prefix.logs("Zelvan-Uninstall"):
        runs += LogFile(path).runs[marks.get(path, 0):]
    return runs


def exit_code(run):
    codes = [int(m.group(1)) for m in (re.match(r"^Exit code (\d+)$", line) for line in run) if m]
    return codes[-1] if codes else None


def finished(runs):
    return [run for run in runs if exit_code(run) is not None]


def copy_pids(prefix):
    """The Linux ids of the prefix's running uninstaller copies (Wine names a process by its program)."""
    pids = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmd = f.read().lower()
            with open(f"/proc/{pid}/environ", "rb") as f:
                ours = b"WINEPREFIX=" + prefix.dir.encode() + b"\0" in f.read()
        except OSError:
            continue
        if ours and b"\\un-" in cmd and b"zelvanuninstall.exe" in cmd:
            pids.append(int(pid))
    return pids


def launcher_and_copy(runs):
    """The launcher's run and its copy's among the given ones (each log is a file of its own, and
    which of the two opened first is not fixed)."""
    launchers = [run for run in runs if "Restarted from a temp copy." in run]
    copies = [run for run in runs if "Restarted from a temp copy." not in run]
    return launchers, copies


# Windows here share titles with other tests' windows: each module gets a screen of its own.
setUpModule, tearDownModule = private_screen()


class Uninstall(ScenarioTest):
    def install(self, *args, exe=SETUP):
        result = self.prefix.run(exe, ["/silent", *args])
        self.assertEqual(result.code, 0, f"the install exited {result.code}")

    def uninstall(self, *args, exe=UNINSTALLER, expect_copy=True):
        """Runs the uninstaller as Apps & Features does and waits for its copy. Returns the copy's log
        lines and exit code."""
        marks = log_marks(self.prefix)
        launcher = self.prefix.run(exe, ["/silent", *args], cwd=self.prefix.drive_c)
        # The copy outlives the launcher: it deletes the launcher's file once the launcher has
        # ended, and its last log line says it has ended. (Other processes of the prefix, such as a
        # file's holder, may go on running.)
        wanted = 2 if expect_copy else 1
        wait_for(lambda: len(finished(runs_since(self.prefix, marks))) >= wanted, timeout=120)
        runs = runs_since(self.prefix, marks)
        self.assertTrue(runs, "the uninstaller wrote no log")
        if expect_copy:
            launchers, copies = launcher_and_copy(runs)
            self.assertEqual(len(launchers), 1, f"expected the launcher's and the copy's run, got {runs}")
            self.assertEqual(len(copies), 1, f"expected the launcher's and the copy's run, got {runs}")
            # Wine hands Linux only the exit code's low byte.
            self.assertEqual(exit_code(launchers[0]), exit_code(copies[0]), "the launcher ends with its copy's result")
            self.assertEqual(launcher.code, exit_code(launchers[0]) & 0xFF)
            return copies[0], exit_code(copies[0])
        return runs[-1], exit_code(runs[-1])

    def assertOnlyCopyPending(self):
        """Restart-time deletes name nothing but the copy, its folder and its launcher's lock."""
        value = self.prefix.reg_query(SESSION_MANAGER, "PendingFileRenameOperations")
        if value is None:
            return
        paths = [p for p in re.split(r"\\0", value[1]) if p]
        for path in paths:
            self.assertRegex(path.lower(),
                             r"^\\\?\?\\c:\\programdata\\zelvansetup\\un-[0-9a-f]{32}(\\zelvanuninstall\.exe|\.lock)?$")

    def assertRemovedCompletely(self, before):
        after = without_copy_traces(self.prefix.snapshot())
        self.assertEqual(without_copy_traces(before).differences(after), [], "the uninstall left traces")
        self.assertOnlyCopyPending()

    def rebind_record(self, data):
        """Puts a changed record in place and binds the entry to it, as only an administrator could."""
        record = os.path.join(self.prefix.host_path(PF), "ZelvanUninstall.zsu")
        os.remove(record)
        with open(record, "wb") as f:
            f.write(data)
        self.prefix.wine("reg", "add", OWN_KEY, "/v", "ZelvanSetup: ListSha", "/t", "REG_SZ", "/d",
                         hashlib.sha256(data).hexdigest(), "/f", "/reg:64")

    def newer_setup(self):
        def modify(folder):
            with open(os.path.join(folder, "app", "ThirdPartyNotices.txt"), "a") as f:
                f.write("1500\n")
        return make_setup(self.prefix, os.path.join(self.prefix.drive_c, "next.exe"),
                          defines=["FileVersion=2.5.0.1500"], modify=modify)

    # --- complete removals ---

    def test_removes_an_install_with_every_task(self):
        before = self.prefix.snapshot()
        self.install(ALL_TASKS)
        self.assertIsNotNone(self.prefix.reg_query(r"HKLM\SOFTWARE\Classes\.zlvd"))
        lines, code = self.uninstall()
        self.assertEqual(code, 0)
        self.assertEqual(lines[0], "Zelvan setup started. Switches: /silent", "the copy runs as silent as its launcher")
        self.assertInOrder(lines, [f"Uninstalling from {PF}", "Uninstall finished.", "Exit code 0"])
        self.assertRemovedCompletely(before)

    def test_removes_an_upgraded_and_a_repaired_install(self):
        newer = self.newer_setup()
        before = self.prefix.snapshot()
        self.install(ALL_TASKS)
        self.install(exe=newer)  # upgrade: the record carries the old one's keys
        self.install(exe=newer)  # repair
        lines, code = self.uninstall()
        self.assertEqual(code, 0, "\n".join(lines))
        self.assertRemovedCompletely(before)

    def test_a_users_file_keeps_the_folder(self):
        before = self.prefix.snapshot()
        self.install()
        mine = os.path.join(self.prefix.host_path(PF), "my notes.txt")
        with open(mine, "w") as f:
            f.write("mine")
        lines, code = self.uninstall()
        self.assertEqual(code, 0)
        self.assertIn(f"Left in place, it holds files that are not ours: {PF}", lines)
        self.assertEqual(os.listdir(self.prefix.host_path(PF)), ["my notes.txt"])
        os.remove(mine)
        os.rmdir(self.prefix.host_path(PF))
        self.assertRemovedCompletely(before)

    def test_staging_and_backup_folders_an_earlier_run_left_go_too(self):
        """A repair's cleanup that met a held file left its staging or backup folder; its journal is
        gone, so the uninstaller takes them by their names, and only those."""
        before = self.prefix.snapshot()
        self.install()
        left = [PF + "\\.zsnew-00112233aabbccdd\\Zelvan.exe", PF + "\\Themes\\.zsold-00112233aabbccdd\\Dark.zlth"]
        for path in left:
            os.makedirs(os.path.dirname(self.prefix.host_path(path)))
            with open(self.prefix.host_path(path), "wb") as f:
                f.write(b"left")
        lines, code = self.uninstall()
        self.assertEqual(code, 0, "\n".join(lines))
        for path in left:
            self.assertIn("Removing a staging or backup folder an earlier run left: " + path.rsplit("\\", 1)[0], lines)
        self.assertRemovedCompletely(before)

    def test_an_interrupted_install_is_put_back_before_the_removal(self):
        before = self.prefix.snapshot()
        self.install()
        # A journal of an upgrade that died right after it began: the new version's folder and
        # its staging folder exist, nothing else changed.
        staging = PF + "\\.zsnew-00112233aabbccdd"
        os.makedirs(self.prefix.host_path(staging))
        with open(os.path.join(self.prefix.host_path(staging), "Zelvan.exe"), "wb") as f:
            f.write(b"half")
        fields = ["2.5", "upgrade", PF, PF, "-00112233aabbccdd"]
        journal = b"ZSJ1\n" + ("BEGIN\t" + "\t".join(fields) + "\n").encode() + \
                  ("STAGE\t" + staging + "\n").encode()
        with open(os.path.join(self.prefix.setup_data(), "install.zsj"), "wb") as f:
            f.write(journal)
        lines, code = self.uninstall()
        self.assertEqual(code, 0, "\n".join(lines))
        self.assertInOrder(lines, ["An earlier run did not finish. Rolling back first.",
                                   "Rollback of the earlier run finished.", f"Uninstalling from {PF}", "Exit code 0"])
        self.assertRemovedCompletely(before)

    def test_the_installed_uninstaller_rolls_back_an_install_cut_before_its_entry(self):
        """An install cut after it placed the uninstaller but before its entry (or while it wrote the
        entry's values) and its record: the user runs that uninstaller. Its rollback must delete the
        very file it runs from, so it runs from a copy, and the copy leaves that file and its folder
        to a second rollback once the launcher has ended. (Before, every such start ended with exit
        10, or 9 with a half-written entry, and left everything.)"""
        entry_key = OWN_KEY.split("\\", 1)[1]
        for half_entry in (False, True):
            with self.subTest("a half-written entry" if half_entry else "no entry"):
                before = self.prefix.snapshot()
                uninstaller = self.prefix.host_path(UNINSTALLER)
                os.makedirs(os.path.dirname(uninstaller))
                shutil.copyfile(os.path.join(BIN_DIR, "src", "app", "ZelvanSetup.exe"), uninstaller)
                records = ["BEGIN\t2.5\tfresh\t" + PF + "\t\t-00112233aabbccdd", "DIRNEW\t" + PF,
                           "PUT\t" + UNINSTALLER]
                if half_entry:
                    records += ["KEYNEW\tHKLM\t64\t" + entry_key, "REGNEW\tHKLM\t64\t" + entry_key + "\tDisplayName"]
                    self.prefix.wine("reg", "add", OWN_KEY, "/v", "DisplayName", "/d", "Zelvan", "/f", "/reg:64")
                os.makedirs(self.prefix.setup_data(), exist_ok=True)
                with open(os.path.join(self.prefix.setup_data(), "install.zsj"), "wb") as f:
                    f.write(b"ZSJ1\n" + "".join(r + "\n" for r in records).encode())
                lines, code = self.uninstall()
                self.assertEqual(code, 1, "\n".join(lines))
                self.assertInOrder(lines, [f"Undo record 3 waits until the program that holds {UNINSTALLER} has ended: "
                                           f"PUT {UNINSTALLER}",
                                           "Nothing was removed: no Apps & Features entry.",
                                           "Told the uninstaller that started this copy: exit code 1.",
                                           "Rollback of the earlier run finished.", "Exit code 1"])
                self.assertFalse(os.path.exists(self.prefix.host_path(PF)))
                self.assertFalse(os.path.exists(os.path.join(self.prefix.setup_data(), "install.zsj")))
                self.assertRemovedCompletely(before)

    def test_the_launcher_returns_with_its_copys_result_once_the_removal_is_done(self):
        """Management tools run the quiet uninstall and wait for its exit code: it must be the
        removal's own, and come only once the removal is done. Once a launcher ended with 0 half a
        second after it started its copy, whose removal then failed."""
        self.install()
        record = os.path.join(self.prefix.host_path(PF), "ZelvanUninstall.zsu")
        with open(record, "rb") as f:
            good = f.read()
        program = self.prefix.host_path(PF + "\\Zelvan.exe")
        cases = [
            ("a record changed by hand: nothing is removed", good.replace(b"Zelvan.exe", b"Zelvan.exf", 1), 1, True),
            ("a complete removal", good, 0, False),
        ]
        for name, data, code, program_stays in cases:
            with self.subTest(name):
                with open(record, "wb") as f:
                    f.write(data)
                marks = log_marks(self.prefix)
                # Waited for as a tool waits: for the process, not for Wine's session.
                launcher = self.prefix.start(UNINSTALLER, ["/silent"])
                returned = launcher.wait(timeout=300)
                program_there = os.path.exists(program)
                self.assertTrue(wait_for(lambda: len(finished(runs_since(self.prefix, marks))) >= 2,
                                         timeout=120), "the copy did not end")
                launchers, copies = launcher_and_copy(runs_since(self.prefix, marks))
                self.assertEqual(len(copies), 1, copies)
                self.assertEqual(returned, code, "\n".join(launchers[0] + ["--- the copy:"] + copies[0]))
                self.assertEqual(program_there, program_stays,
                                 "the launcher returned before the removal was done" if program_there else
                                 "a removal that failed removed files")
                self.assertEqual(exit_code(copies[0]), code)
                self.assertInOrder(launchers[0], ["Restarted from a temp copy.", f"The copy's result: exit code {code}.",
                                                  f"Exit code {code}"])
                self.assertIn(f"Told the uninstaller that started this copy: exit code {code}.", copies[0])
        self.assertFalse(os.path.exists(self.prefix.host_path(UNINSTALLER)), "the launcher's file went after it")

    def test_a_copy_that_dies_leaves_its_launcher_a_code_that_says_so(self):
        if not os.environ.get("DISPLAY"):
            self.skipTest("the holder shows a window: needs an X display")
        self.install()
        # The copy tries a held file for about three seconds: it is killed while it does.
        holder = self.prefix.start(HELPER, ["hold", PF + "\\Zelvan.exe.config"])
        try:
            self.assertTrue(wait_for(lambda: "helper" in x_window_titles(), timeout=60))
            launcher = self.prefix.start(UNINSTALLER, ["/silent"])
            self.assertTrue(wait_for(lambda: copy_pids(self.prefix), timeout=120, interval=0.05), "no copy ran")
            for pid in copy_pids(self.prefix):
                os.kill(pid, 9)
            self.assertEqual(launcher.wait(timeout=120), 13, "a copy killed before its result is no success")
        finally:
            holder.kill()
            subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)
        launchers = [run for run in uninstall_runs(self.prefix) if "Restarted from a temp copy." in run]
        self.assertEqual(len(launchers), 1)
        self.assertTrue(any(line.startswith("The copy ended (exit code ") and "without telling its result" in line
                            for line in launchers[0]), "\n".join(launchers[0]))
        self.assertEqual(exit_code(launchers[0]), 13)

    # --- what stops or limits the removal ---

    def test_a_missing_or_damaged_record_removes_nothing(self):
        self.install()
        record = os.path.join(self.prefix.host_path(PF), "ZelvanUninstall.zsu")
        with open(record, "rb") as f:
            good = f.read()
        cases = [
            ("missing", None, "the record of this install can't be read"),
            ("one byte changed", good.replace(b"Zelvan.exe", b"Zelvan.exf", 1),
             "the record of this install does not match the entry's SHA-256"),
        ]
        for name, data, reason in cases:
            with self.subTest(name):
                if os.path.exists(record):
                    os.remove(record)
                if data is not None:
                    with open(record, "wb") as f:
                        f.write(data)
                before = self.prefix.snapshot()
                lines, code = self.uninstall()
                self.assertEqual(code, 1)
                self.assertIn(f"Nothing was removed: {reason}.", lines)
                self.assertEqual(without_copy_traces(before).differences(without_copy_traces(self.prefix.snapshot())), [])
        with open(record, "wb") as f:
            f.write(good)

    def test_a_forged_record_never_reaches_outside_the_install(self):
        """A record re-bound to its entry (as only an administrator could) that names things the
        install never made: each is refused as a whole, and the bait stays."""
        self.install()
        host = self.prefix.host_path(PF)
        record = os.path.join(host, "ZelvanUninstall.zsu")
        with open(record, "rb") as f:
            good = f.read()
        bait = self.prefix.host_path("C:\\bait.txt")
        with open(bait, "w") as f:
            f.write("not Zelvan's")
        self.prefix.wine("reg", "add", r"HKLM\SOFTWARE\Bait", "/f", "/reg:64")
        forged_lines = {
            "a shortcut outside both shortcut folders": "lnk\tC:\\bait.lnk\n",
            "a file line that climbs out": "file\t..\\..\\bait.txt\n",
            "a NUL in a shortcut path": "lnk\tC:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\a\x00"
                                        "\\..\\..\\..\\..\\..\\..\\bait.lnk\n",
            "an app path that is not its full form": None,
            "a key outside the allow-list": "key\tHKLM\t64\tSOFTWARE\\Bait\n",
        }
        for name, line in forged_lines.items():
            with self.subTest(name):
                if line is None:
                    data = good.replace(PF.encode(), (PF + "\\.").encode(), 1)
                else:
                    data = good + line.encode()
                self.rebind_record(data)
                lines, code = self.uninstall()
                self.assertEqual(code, 1, "\n".join(lines))
                self.assertTrue(any(l.startswith("Nothing was removed: the record") for l in lines), "\n".join(lines))
                self.assertTrue(os.path.exists(bait))
                self.assertEqual(self.prefix.wine("reg", "query", r"HKLM\SOFTWARE\Bait", "/reg:64", check=False).returncode, 0)
                self.assertTrue(os.path.exists(os.path.join(host, "Zelvan.exe")))

    def test_a_linked_folder_below_the_shortcuts_is_skipped(self):
        """A shortcut whose folder became a link is not deleted through it; the run ends with 1."""
        before = self.prefix.snapshot()
        self.install()
        host = self.prefix.host_path(PF)
        record = os.path.join(host, "ZelvanUninstall.zsu")
        programs = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs"
        outside = self.prefix.host_path("C:\\outside")
        os.makedirs(outside)
        with open(os.path.join(outside, "Victim.lnk"), "w") as f:
            f.write("someone else's")
        os.symlink(outside, os.path.join(self.prefix.host_path(programs), "Linked"))
        with open(record, "rb") as f:
            data = f.read().replace(b"\nreg\t", ("\nlnk\t" + programs + "\\Linked\\Victim.lnk\nreg\t").encode(), 1)
        self.rebind_record(data)
        lines, code = self.uninstall()
        self.assertEqual(code, 1, "\n".join(lines))
        self.assertIn(f"A link is in the path, skipped: {programs}\\Linked\\Victim.lnk", lines)
        self.assertIn("Uninstall finished, some files go at the next restart.", lines)
        self.assertTrue(os.path.exists(os.path.join(outside, "Victim.lnk")))
        os.remove(os.path.join(self.prefix.host_path(programs), "Linked"))
        shutil.rmtree(outside)
        self.assertRemovedCompletely(before)

    def test_a_file_in_use_goes_at_the_next_restart(self):
        """A file of Zelvan's that another program holds goes at the restart, and the folders it kept
        from going go with it, after it, the deepest first. /restartexitcode= tells a script that
        only the restart is missing."""
        if not os.environ.get("DISPLAY"):
            self.skipTest("the holder shows a window: needs an X display")
        before = self.prefix.snapshot()
        cases = [
            ("in the install folder", PF + "\\Zelvan.exe.config", [], 1, [PF]),
            ("in a folder below it, with a restart code", PF + "\\de\\Zelvan.UI.strings.txt",
             ["/restartexitcode=3010"], 3010, [PF + "\\de", PF]),
        ]
        for name, held, args, expected, folders in cases:
            with self.subTest(name):
                self.install()
                holder = self.prefix.start(HELPER, ["hold", held])
                try:
                    self.assertTrue(wait_for(lambda: "helper" in x_window_titles(), timeout=60))
                    lines, code = self.uninstall(*args)
                    # Asked while the holder keeps this session alive: a new session is a restart to
                    # Wine, and its start carries out the pending deletes.
                    pending = self.prefix.reg_query(SESSION_MANAGER, "PendingFileRenameOperations")
                finally:
                    holder.kill()
                    subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)
                self.assertEqual(code, expected)
                self.assertIn(f"It goes at the next restart: {held}", lines)
                self.assertTrue(any(l.startswith(f"Couldn't delete {held}") for l in lines), "\n".join(lines))
                self.assertIn("Uninstall finished, some files go at the next restart.", lines)
                self.assertNotIn(f"Left in place, it holds files that are not ours: {PF}", lines,
                                 "the held file is Zelvan's own")
                self.assertIn(f"It goes at the next restart, once emptied: {PF}", lines)
                for folder in folders[:-1]:
                    self.assertIn(f"It goes at the next restart: {folder}", lines)
                self.assertIsNotNone(pending)
                # Each folder after its files and after the folders below it.
                order = [p.lower() for p in re.split(r"\\0", pending[1]) if p]
                at = [next((i for i, p in enumerate(order) if p.endswith(path.lower())), None)
                      for path in [held] + folders]
                self.assertNotIn(None, at, f"not all on the restart list: {order}")
                self.assertEqual(at, sorted(at), f"restart list out of order: {order}")

                self.prefix.wine("cmd", "/c", "exit")  # the restart
                self.assertFalse(os.path.exists(self.prefix.host_path(held)), "the file did not go at the restart")
                for folder in folders:
                    self.assertFalse(os.path.exists(self.prefix.host_path(folder)),
                                     f"{folder} stayed after the restart")
                self.assertEqual([n for n in os.listdir(self.prefix.setup_data()) if n.startswith("un-")], [],
                                 "the uninstaller's copy did not go at the restart")
                self.assertRemovedCompletely(before)

    def test_a_delete_that_reports_success_but_leaves_the_file_is_a_failure(self):
        """Under Wine a delete on a read-only drive reports success and the file stays. The uninstall
        must not believe it: it names each file it could not delete, puts it on the restart list as
        it does a file in use, and does not end with success; once the drive is writable again the
        restart removes what is left."""
        before = self.prefix.snapshot()
        self.install()
        # One folder only: each file that will not go is retried for a few seconds first.
        folder = self.prefix.host_path(PF + "\\Themes")
        if subprocess.run(["mount", "--bind", folder, folder], capture_output=True).returncode != 0:
            self.skipTest("needs a bind mount (root): nothing else makes a drive that Wine misreports")
        try:
            subprocess.run(["mount", "-o", "remount,bind,ro", folder, folder], check=True)
            lines, code = self.uninstall()
            left = sorted(os.listdir(folder))
        finally:
            subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)
            subprocess.run(["umount", folder], check=True)
        self.assertEqual(code, 1, "\n".join(lines))
        self.assertNotIn("Uninstall finished.", lines)
        for name in ("Dark.zlth", "Light.zlth"):
            self.assertIn(f"Couldn't delete {PF}\\Themes\\{name}: Windows error 5: Access denied.", lines)
            self.assertIn(f"It goes at the next restart: {PF}\\Themes\\{name}", lines)
        self.assertEqual(left, ["Dark.zlth", "Light.zlth"])
        self.prefix.wine("cmd", "/c", "exit")  # the restart, with the drive writable again
        self.assertRemovedCompletely(before)

    def test_a_running_zelvan_is_closed_only_with_closeapps(self):
        if not os.environ.get("DISPLAY"):
            self.skipTest("the stand-in shows a window: needs an X display")
        before_install = self.prefix.snapshot()
        self.install()
        app = start_running_zelvan(self.prefix, PF + "\\Zelvan.exe")
        self.assertIsNotNone(app, "Zelvan did not start")
        try:
            before = self.prefix.snapshot()
            lines, code = self.uninstall()
            self.assertEqual(code, 7)
            self.assertIn("Zelvan is running and /closeapps was not given.", lines)
            self.assertEqual(without_copy_traces(before).differences(without_copy_traces(self.prefix.snapshot())), [])
            self.assertIsNone(app.poll(), "Zelvan was closed without /closeapps")

            lines, code = self.uninstall("/closeapps")
            self.assertEqual(code, 0, "\n".join(lines))
            self.assertTrue(wait_for(lambda: app.poll() is not None, timeout=60), "Zelvan was not closed")
        finally:
            app.kill()
            subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)
        self.assertRemovedCompletely(before_install)

    def test_a_second_uninstaller_while_one_asks(self):
        if not os.environ.get("DISPLAY"):
            self.skipTest("the first uninstaller asks in a message box: needs an X display")
        self.install()
        first = self.prefix.start(UNINSTALLER)
        try:
            self.assertTrue(wait_for(lambda: "Uninstall Zelvan" in x_window_titles(), timeout=60))
            # The copy holds the one-instance mutex while it asks; a second copy must not run.
            marks = log_marks(self.prefix)
            second = self.prefix.run(UNINSTALLER, ["/silent"])
            self.assertEqual(second.code, 12, "the launcher ends with its copy's result")
            self.assertTrue(wait_for(lambda: len(finished(runs_since(self.prefix, marks))) >= 2, timeout=60))
            launchers, copies = launcher_and_copy(runs_since(self.prefix, marks))
            self.assertEqual(exit_code(copies[-1]), 12)
            self.assertIn("Another setup is running.", copies[-1])
            self.assertTrue(os.path.exists(self.prefix.host_path(PF + "\\Zelvan.exe")))
        finally:
            first.kill()
            subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)

    def test_an_interactive_uninstall_asks_and_tells(self):
        """A person double-clicks the uninstaller: it asks first, a Cancel changes nothing, and an OK
        removes Zelvan and says so."""
        if not os.environ.get("DISPLAY"):
            self.skipTest("message boxes need an X display")
        # Wine then draws the boxes' own frames, so their pictures show the captions too.
        self.prefix.wine("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")
        # Without Direct2D the uninstaller's window cannot exist: it asks and tells in message boxes.
        self.prefix.overrides = "d2d1="
        before = self.prefix.snapshot()
        self.install()
        installed = self.prefix.snapshot()

        person = self.prefix.start(UNINSTALLER)
        box = x_window("Uninstall Zelvan")
        self.assertIsNotNone(box, "no confirmation was shown")
        screenshot("uninstall-plain-confirm", box)
        x_keys(box, "Escape")
        subprocess.run(["wineserver", "-w"], env=self.prefix.env(), check=False, timeout=180)
        person.wait()
        self.assertEqual(without_copy_traces(installed).differences(without_copy_traces(self.prefix.snapshot())), [])

        person = self.prefix.start(UNINSTALLER)
        # A second Wine session starts here (it also runs the first copy's deletes at restart); on
        # a loaded two-core runner that has once taken over a minute.
        box = x_window("Uninstall Zelvan", timeout=150)
        self.assertIsNotNone(box, "no confirmation was shown the second time; windows: "
                             f"{x_window_titles()}; logs: {uninstall_runs(self.prefix)}")
        x_keys(box, "Return")
        done = x_window("Zelvan is removed")
        self.assertIsNotNone(done, "no end message was shown")
        screenshot("uninstall-plain-removed", done)
        x_keys(done, "Return")
        subprocess.run(["wineserver", "-w"], env=self.prefix.env(), check=False, timeout=180)
        person.wait()
        run = uninstall_runs(self.prefix)[-1]
        self.assertEqual(exit_code(run), 0, "\n".join(run))
        self.assertIn("The window could not start: d2d1.dll or dwrite.dll is missing. Plain mode.", run)
        self.assertRemovedCompletely(before)


if __name__ == "__main__":
    main()
