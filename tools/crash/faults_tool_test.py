"""The fault sweep's own parts, without Wine: reading a trace, naming what a call touched, choosing
the cases and judging an outcome."""
import os
import sys
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import faults  # noqa: E402

TRACE = "\r\n".join([
    "412\tstart\tC:\\zs\\ZelvanSetup.exe\tcount",
    "412\tcall\t1\tfolder-create.1.0a0b0c0d\t-\tC:\\Program Files\\Zelvan",
    "412\tcall\t2\tfile-write.1.11111111\tfail 112\tC:\\ProgramData\\ZelvanSetup\\install.zsj",
    "412\tcall\t3\tmove.1.22222222\t-\tC:\\Program Files\\Zelvan\\.zsnew-#\\a > C:\\Program Files\\Zelvan\\a",
    "9\tbad-plan\tnot a call number: x\tfail:x",
    "a line of something else",
    "412\tcall\t4\treg-set.2.33333333\tfail 5\tHKLM:32\\SOFTWARE\\Brightmoor\\Zelvan|Path",
    "",
])


class Trace(unittest.TestCase):
    def test_calls_programs_and_refused_plans(self):
        calls, programs, refused = faults.parse_trace(TRACE)
        self.assertEqual([c.index for c in calls], [1, 2, 3, 4])
        self.assertEqual([c.cls for c in calls], ["folder-create", "file-write", "move", "reg-set"])
        self.assertEqual([c.error for c in calls], [None, 112, None, 5])
        self.assertEqual(calls[2].key, "move.1.22222222")
        self.assertEqual(programs, {"412": "C:\\zs\\ZelvanSetup.exe"})
        self.assertEqual(refused, ["not a call number: x\tfail:x"])

    def test_paths_and_keys_a_call_touches(self):
        cases = [
            ("move", "C:\\P\\.zsnew-#\\a > C:\\P\\a", ["c:/P/.zsnew-#/a", "c:/P/a"], None),
            ("delete-file", "C:\\ProgramData\\x.log", ["c:/ProgramData/x.log"], None),
            ("restart-schedule", "add C:\\P\\.zsold-#\\b", ["c:/P/.zsold-#/b"], faults.SESSION_MANAGER),
            ("restart-schedule", "C:\\ProgramData\\ZelvanSetup\\un-#", ["c:/ProgramData/ZelvanSetup/un-#"],
             faults.SESSION_MANAGER),
            ("delete-file", "Z:\\tmp\\x", [], None),                 # only the C: drive is the run's
            ("file-write", "<handle>", [], None),
            ("reg-set", "HKLM:64\\SOFTWARE\\Brightmoor|v", [], "\\registry\\machine\\software\\brightmoor"),
            ("reg-set", "HKLM:32\\SOFTWARE\\Brightmoor|v", [],
             "\\registry\\machine\\software\\wow6432node\\brightmoor"),
            ("reg-delete", "HKCR:64\\.zlvd", [], "\\registry\\machine\\software\\classes\\.zlvd"),
            ("reg-flush", "HKCU:64\\Software\\Brightmoor", [], faults.USER_KEY + "\\software\\brightmoor"),
            ("reg-set", "HKLM:32\\SOFTWARE\\Classes\\x|", [], "\\registry\\machine\\software\\classes\\x"),
            ("reg-set", "not a key", [], None),
        ]
        for cls, path, files, key in cases:
            with self.subTest(cls=cls, path=path):
                call = faults.Call("1", 1, cls + ".1.00000000", "-", path)
                self.assertEqual(faults.drive_paths(call), files)
                self.assertEqual(faults.registry_key(call), key)

    def test_error_lines_match_the_number_not_a_prefix_of_it(self):
        lines = ["Couldn't write C:\\a: Windows error 112: There is not enough space on the disk.",
                 "Undo move C:\\b: Windows error 1121: x",
                 "In use, try 1 of 10: C:\\c",
                 "Writing UNDONE: Windows error 112: There is not enough space on the disk."]
        self.assertEqual(len(faults.error_lines(lines, 112)), 2)
        self.assertEqual(len(faults.error_lines(lines, 1121)), 1)
        self.assertEqual(faults.error_lines(lines, 11), [])


class Choosing(unittest.TestCase):
    def test_sample_is_seeded_ordered_and_bounded(self):
        keys = list(range(100))
        a = faults.sample(keys, 10, 7)
        self.assertEqual(a, faults.sample(keys, 10, 7))
        self.assertEqual(len(a), 10)
        self.assertEqual(a, sorted(a))
        self.assertNotEqual(a, faults.sample(keys, 10, 8))
        self.assertEqual(faults.sample(keys, 0, 7), keys)
        self.assertEqual(faults.sample(keys[:5], 10, 7), keys[:5])

    def test_uninstaller_code_is_the_copys(self):
        cases = [
            (0, ["Restarted from a temp copy.", "Exit code 0", "Uninstall finished.", "Exit code 1"], 1),
            (0, ["Exit code 0", "Restarted from a temp copy.", "Exit code 0"], 0),
            (0, ["Could not start from a temp copy, so running in place.", "Exit code 0"], 0),
            (1, ["Nothing was removed: x.", "Exit code 1"], 1),
            (0, ["Restarted from a temp copy.", "Exit code 0"], -1),  # the copy never ended
        ]
        for launcher, lines, want in cases:
            with self.subTest(lines=lines):
                self.assertEqual(faults.uninstall_code(launcher, lines), want)

    def test_default_errors_are_those_of_the_hooks(self):
        path = os.path.join(faults.SOURCE, "src", "platform", "fault_spec.cpp")
        with open(path, encoding="utf-8") as f:
            text = f.read()
        import re
        table = dict((m.group(1), int(m.group(2))) for m in re.finditer(r'\{FaultClass::\w+, "([a-z-]+)", (\d+)\}', text))
        self.assertEqual(len(table), 11)
        for cls, error in table.items():
            self.assertEqual(faults.default_error(cls), error, cls)


class Judgement(unittest.TestCase):
    def test_differences_name_files_and_keys(self):
        a = ({"x": "1", "y": "folder"}, {"k": (), "l": ()})
        b = ({"x": "2", "z": "3", "y": "folder"}, {"k": ()})
        self.assertEqual(faults.differences(a, b), ["x", "z", "l"])
        self.assertEqual(faults.differences(a, a), [])

    def test_first_run_files_may_be_left_out_and_nothing_else(self):
        after = ({"c:/program files/zelvan": "folder", "c:/program files/zelvan/a": "1",
                  "c:/users/root/documents/zelvan": "folder", "c:/users/root/documents/zelvan/c.zlcx": "2",
                  "c:/users/public/desktop/zelvan.lnk": "shell link"}, {"k": (("v", (1, b"x")),)})
        files, keys = after

        def without(*paths, extra=None, changed=None, regs=None):
            f = {p: d for p, d in files.items() if p not in paths}
            f.update(extra or {})
            f.update(changed or {})
            return f, regs if regs is not None else keys
        cases = [
            (without("c:/users/root/documents/zelvan/c.zlcx"), True),
            (without("c:/users/root/documents/zelvan/c.zlcx", "c:/users/root/documents/zelvan"), True),
            (without(), False),                                               # the state after itself
            (without("c:/program files/zelvan/a"), False),
            (without("c:/users/public/desktop/zelvan.lnk"), False),              # a shortcut is no first-run file
            (without("c:/users/root/documents/zelvan/c.zlcx",
                     extra={"c:/users/root/documents/zelvan/c.zlcx.zsseed-#": "2"}), False),  # a side file left
            (without("c:/users/root/documents/zelvan/c.zlcx", changed={"c:/program files/zelvan/a": "9"}), False),
            (without("c:/users/root/documents/zelvan/c.zlcx", regs={}), False),
        ]
        for state, want in cases:
            with self.subTest(state=sorted(state[0])):
                self.assertEqual(faults.without_first_run_files(state, after), want)

    def test_outcomes(self):
        one = ([112], {112: 1})
        cases = [
            # kind, code, first, settled, again same, (injected, logged), outside -> bad reasons (substrings)
            ("fresh", 1, "before", None, True, one, "", []),
            ("repair", 0, "both", None, True, one, "", []),    # a repair's before is its after
            ("repair", 1, "both", None, True, one, "", []),
            ("repair", 10, None, "both", True, one, "", []),
            ("fresh", 0, "after", None, True, ([32], {32: 0}), "", []),   # a retry got over it
            ("fresh", 0, "after", None, True, ([32], {32: 1}), "", []),
            ("fresh", 0, "after", None, True, ([32], {32: 2}), "", ["logged 2 times for 1"]),
            ("fresh", 1, "before", None, True, ([112], {112: 0}), "", ["logged 0 times"]),
            ("fresh", 1, "before", None, True, ([112], {112: 2}), "", ["logged 2 times"]),
            ("fresh", 1, "after", None, True, one, "", ["exit 1 but the machine is after"]),
            ("fresh", 0, "before", None, True, one, "", ["exit 0 but the machine is before"]),
            ("fresh", 1, None, None, True, one, "", ["neither before nor after"]),
            ("fresh", 10, None, "before", True, one, "", []),
            ("fresh", 10, None, None, True, one, "", ["exit 10 and the next start left"]),
            ("fresh", 10, None, "after", True, one, "", ["exit 10 and the next start left the machine after"]),
            ("fresh", 6, "before", None, True, one, "", ["exit code 6"]),
            ("fresh", 1, "before", None, False, one, "", ["one more start changed"]),
            ("fresh", 1, "before", None, True, one, "file windows/x", ["outside"]),
            # Pairs: the first failure decides a 1; the second, in the rollback, may go unsaid.
            ("rollback", 1, "before", None, True, ([112, 5], {112: 1, 5: 1}), "", []),
            ("rollback", 1, "before", None, True, ([112, 32], {112: 1, 32: 0}), "", []),
            ("rollback", 1, "before", None, True, ([112, 32], {112: 0, 32: 1}), "", ["'Windows error 112' logged 0"]),
            ("rollback", 10, "after", "before", True, ([112, 5], {112: 1, 5: 0}), "", ["'Windows error 5' logged 0"]),
            ("rollback", 10, None, "before", True, ([112, 112], {112: 2}), "", []),   # the same error twice
            ("rollback", 10, None, "before", True, ([112, 112], {112: 1}), "", ["logged 1 times for 2"]),
            ("rollback", 1, "before", None, True, ([112, 112], {112: 1}), "", []),
            ("uninstall", 0, "after", None, True, ([], {}), "", []),
            ("uninstall", 0, "before", None, True, ([], {}), "", ["exit 0 but"]),
            ("uninstall", 1, None, "after", True, ([5], {5: 1}), "", []),   # finished by the next uninstall
            ("uninstall", 1, "after", None, True, ([5], {5: 1}), "", []),
            ("uninstall", 1, None, None, True, ([5], {5: 1}), "", ["even once the uninstaller ran again"]),
            ("uninstall", 1, "after", None, True, ([32], {32: 0}), "", ["logged 0 times"]),
            ("uninstall", 0, "after", None, True, ([5], {5: 0}), "", []),
            ("uninstall", 0, "after", None, True, ([5], {5: 3}), "", ["logged 3 times"]),
        ]
        # The ended journal a 0 could not delete: the next start must take it, and nothing else.
        for settled, again, want in [("after", True, []), ("after", False, ["one more start"]), (None, True, ["exit 0 but"]),
                                     ("before", True, ["exit 0 but"])]:
            with self.subTest(ended_journal_left=settled):
                why = faults.judge("fresh", 0, None, settled, again, [32], {32: 1}, "", ended_journal_left=True)
                self.assertEqual(len(why), len(want), why)
        for settled, want in [("before", []), ("after", ["exit 1 but"]), (None, ["exit 1 but"])]:
            with self.subTest(rolled_back_journal_left=settled):
                why = faults.judge("rollback", 1, None, settled, True, [32], {32: 0}, "", decided_elsewhere=True,
                                   ended_journal_left=True)
                self.assertEqual(len(why), len(want), why)
        for kind, code, first, settled, again, (injected, logged), outside, want in cases:
            with self.subTest(kind=kind, code=code, first=first, settled=settled, logged=logged):
                why = faults.judge(kind, code, first, settled, again, injected, logged, outside)
                self.assertEqual(len(why), len(want), why)
                for w, text in zip(want, why):
                    self.assertIn(w, text)

    def test_a_run_that_fails_on_its_own_decides_its_1_itself(self):
        # The rollback kind: its own failure is in the log, so an injected one it got over may go
        # unsaid; it must still not be said twice, and a 10 must say it.
        cases = [
            (1, {32: 0}, []),
            (1, {32: 1}, []),
            (1, {32: 2}, ["logged 2 times"]),
            (10, {32: 0}, ["logged 0 times"]),
        ]
        for code, logged, want in cases:
            with self.subTest(code=code, logged=logged):
                settled = "before" if code == 10 else None
                why = faults.judge("rollback", code, "before", settled, True, [32], logged, "", decided_elsewhere=True)
                self.assertEqual(len(why), len(want), why)
                for w, text in zip(want, why):
                    self.assertIn(w, text)
        self.assertTrue(faults.judge("rollback", 1, "before", None, True, [32], {32: 0}, ""))
        # A pair whose first failure a retry got over and whose second left the rollback incomplete.
        self.assertEqual(faults.judge("rollback", 10, None, "before", True, [32, 1117], {32: 0, 1117: 1}, "",
                                      decided_elsewhere=True), [])
        self.assertTrue(faults.judge("rollback", 10, None, "before", True, [32, 1117], {32: 0, 1117: 0}, "",
                                     decided_elsewhere=True))


class OnAPrefix(unittest.TestCase):
    """The sweep's use of the machine module on a prefix's folders, without Wine: drive paths spelled
    as on disk, the run's roots, and a state that holds what is at or below them and nothing else."""

    def setUp(self):
        import tempfile
        self.dir = tempfile.mkdtemp(prefix="faults-tool-")
        self.addCleanup(__import__("shutil").rmtree, self.dir)
        os.makedirs(os.path.join(self.dir, "dosdevices"))
        os.symlink("../drive_c", os.path.join(self.dir, "dosdevices", "c:"))
        os.symlink("/", os.path.join(self.dir, "dosdevices", "z:"))
        for rel, data in [("Program Files/Zelvan/App.dll", b"app"),
                          ("ProgramData/ZelvanSetup/zelvan-setup-1.log", b"log"),
                          ("ProgramData/ZelvanSetup/install.zsj", b"journal"), ("top.txt", b"top")]:
            os.makedirs(os.path.join(self.dir, "drive_c", os.path.dirname(rel)), exist_ok=True)
            with open(os.path.join(self.dir, "drive_c", rel), "wb") as f:
                f.write(data)
        for name in ("system.reg", "user.reg"):
            with open(os.path.join(self.dir, name), "w") as f:
                f.write("WINE REGISTRY Version 2\n")
        self.m = faults.Machine(self.dir, None)

    def test_drives_and_host_paths(self):
        drive_c = os.path.realpath(os.path.join(self.dir, "drive_c"))
        self.assertEqual(self.m.drives, {"c": drive_c})   # z: lies outside the prefix
        self.assertEqual(self.m.host("C:\\program files\\ZELVAN\\app.dll"),
                         os.path.join(drive_c, "Program Files", "Zelvan", "App.dll"))
        self.assertEqual(faults.resolve_case(self.m.drives, "c:/programdata/zelvansetup/new.zsj"),
                         "c:/ProgramData/ZelvanSetup/new.zsj")

    def test_roots_of_a_run(self):
        paths = ["c:/program files/zelvan/de/x.dll", "c:/PROGRAMDATA/ZelvanSetup/install.zsj", "c:/top.txt",
                 "c:/programdata/zelvansetup/zelvan-setup-1.log", "c:/Program Files/Zelvan/App.dll"]
        self.assertEqual(sorted(faults.run_roots(self.m.drives, paths)),
                         ["c:/Program Files/Zelvan", "c:/ProgramData/ZelvanSetup"])
        self.assertEqual(faults.run_roots(self.m.drives, ["c:/top.txt"]), [])

    def test_state_outside_and_restore(self):
        sweep = faults.Sweep.__new__(faults.Sweep)
        sweep.roots, sweep.keys = ["c:/Program Files/Zelvan", "c:/ProgramData/ZelvanSetup"], []
        files, keys = sweep.state_of(self.m.drives, self.dir)
        # The log and the folders above the roots are no part of a state.
        self.assertEqual(sorted(files), ["c:/program files/zelvan", "c:/program files/zelvan/app.dll",
                                         "c:/programdata/zelvansetup/install.zsj"])
        self.assertEqual(keys, {})
        outside_files, _ = sweep.outside_of(self.m.drives, faults.machine.Registry(self.dir))
        self.assertIn("c:/top.txt", outside_files)
        self.assertFalse([p for p in outside_files if p.lower().startswith("c:/program files/zelvan")])
        sweep.pre_reg = {}
        for name, _ in faults.machine.REG_FILES:
            with open(os.path.join(self.dir, name), "rb") as f:
                sweep.pre_reg[name] = f.read()
        sweep.pre_files = faults.machine.within_only(faults.machine.read_files(self.m.drives, sweep.roots), sweep.roots)
        before = sweep.state_of(self.m.drives, self.dir)
        os.remove(self.m.host("C:\\Program Files\\Zelvan\\App.dll"))
        os.makedirs(self.m.host("C:\\Program Files\\Zelvan\\de"))
        self.assertNotEqual(sweep.state_of(self.m.drives, self.dir), before)
        with mock.patch.object(faults, "stop"):   # no server runs for these folders
            sweep.restore(self.m)
        self.assertEqual(sweep.state_of(self.m.drives, self.dir), before)


if __name__ == "__main__":
    unittest.main()
