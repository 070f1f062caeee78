"""The power-cut explorer's own parts, without Wine: the persistence model's bounds, the replay of a
record on files and on Wine's registry files, and the reading of a trace."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import machine  # noqa: E402
import model  # noqa: E402
import trace  # noqa: E402

SW = "\\Registry\\Machine\\Software\\Zelvan"
SYS = "\\Registry\\Machine\\System\\Session Manager"

RECORD = [
    ("create", "d/journal"),                 # 0
    ("write", "d/journal", 0, b"A" * 5000),  # 1
    ("fsync", "d/journal"),                  # 2  barrier: 0, 1 durable
    ("regset", SW, "v", 1, b"x\0"),          # 3
    ("create", "d/f"),                       # 4
    ("write", "d/f", 0, b"B" * 100),         # 5
    ("regflush", SW),                        # 6  the software hive up to 3 durable
    ("regset", SYS, "p", 7, b"\0\0"),        # 7
    ("rename", "d/f", "d/g"),                # 8  write-through: 4 and 8 durable
    ("unlink", "d/journal"),                 # 9
]


class PersistenceModel(unittest.TestCase):
    def test_bounds_per_crash_point(self):
        rec = model.Record(RECORD)
        # point: (meta must, meta may), {hive: (must, may)}, unflushed write indexes
        cases = {
            0: ((0, 0), {}, []),
            2: ((0, 1), {}, [1]),
            3: ((1, 1), {}, []),
            6: ((1, 2), {"machine\\software": (0, 1)}, [5]),
            7: ((1, 2), {"machine\\software": (1, 1)}, [5]),
            9: ((3, 3), {"machine\\software": (1, 1), "machine\\system": (0, 1)}, [5]),
            10: ((3, 4), {"machine\\software": (1, 1), "machine\\system": (0, 1)}, [5]),
        }
        for point, (meta, hives, unflushed) in cases.items():
            got_meta, got_hives, got_lost = rec.bounds(point)
            self.assertEqual(got_meta, meta, f"point {point}")
            self.assertEqual({h: v for h, v in got_hives.items() if v[1]}, hives, f"point {point}")
            self.assertEqual(sorted({i for i, _ in got_lost}), unflushed, f"point {point}")

    def test_extremes_and_dropped_flushes(self):
        rec = model.Record(RECORD)
        lost, kept, ahead, behind = list(rec.states(10, 0, None))
        files = machine.apply_file_ops({"d": None}, rec.kept_ops(lost))
        self.assertEqual(files["d/g"], bytes(100), "unflushed data reads back as zeros")
        self.assertIn("d/journal", files, "its delete came after the last barrier and may be lost")
        files = machine.apply_file_ops({"d": None}, rec.kept_ops(kept))
        self.assertEqual(sorted(files), ["d", "d/g"])
        self.assertEqual(files["d/g"], b"B" * 100)
        # Unflushed data may reach the disk before the metadata and registry changes made before it
        # (a marker of a delete written before the delete is), and the other way round.
        files = machine.apply_file_ops({"d": None}, rec.kept_ops(ahead))
        self.assertEqual((files["d/g"], "d/journal" in files), (b"B" * 100, True))
        self.assertEqual([op for op in rec.kept_ops(ahead) if op[0] in model.REG], [RECORD[3]])
        files = machine.apply_file_ops({"d": None}, rec.kept_ops(behind))
        self.assertEqual((files["d/g"], "d/journal" in files), (bytes(100), False))
        self.assertEqual(len(list(rec.states(10, 3, __import__("random").Random(1)))), 7)
        unflushed = model.Record(RECORD, drop_flushes=True)
        self.assertEqual(unflushed.bounds(7)[1]["machine\\software"], (0, 1))

    def test_wines_own_start_up_writes_are_not_the_setups(self):
        own = ("regset", "\\Registry\\Machine\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
               "Common AppData", 1, b"")
        entry = ("regset", "\\Registry\\Machine\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{x}",
                 "DisplayName", 1, b"")
        self.assertTrue(model.is_wines_own(own))
        self.assertFalse(model.is_wines_own(entry))


def write_registry(folder, sections):
    """Both of Wine's registry files in `folder`, holding the same sections."""
    for name, _ in machine.REG_FILES:
        with open(os.path.join(folder, name), "w") as f:
            f.write("WINE REGISTRY Version 2\n\n" + sections)


class Replay(unittest.TestCase):
    def test_renames_move_folders_and_appends_land_at_the_end(self):
        files = {"a": None, "a/x": b"1", "log": b"abc"}
        ops = machine.resolve_appends(files, [("write", "log", trace.APPEND, b"de"), ("rename", "a", "b"),
                                              ("mkdir", "c"), ("rename", "b/x", "c/x")])
        self.assertEqual(ops[0], ("write", "log", 3, b"de"))
        out = machine.apply_file_ops(files, ops)
        self.assertEqual(out, {"b": None, "c": None, "c/x": b"1", "log": b"abcde"})

    def test_registry_file_round_trip(self):
        with tempfile.TemporaryDirectory() as d:
            write_registry(d, "[Software\\\\Old] 1\n\"s\"=\"text\"\n"
                           "\"m\"=hex(7):41,00,00,\\\n  00,00,00\n\"d\"=dword:00000007\n")
            reg = machine.Registry(d)
            reg.apply([("regcreate", SW), ("regset", SW, "v", 1, "new".encode("utf-16-le") + b"\0\0"),
                       ("regdelval", "\\Registry\\Machine\\Software\\Old", "d")])
            reg.save()
            got = machine.Registry(d).digest([SW, "\\Registry\\Machine\\Software\\Old"])
            self.assertEqual(got["\\registry\\machine\\software\\zelvan"],
                             (("v", (1, "new".encode("utf-16-le") + b"\0\0")),))
            self.assertEqual(got["\\registry\\machine\\software\\old"],
                             (("m", (7, b"A\0\0\0\0\0")), ("s", (1, "text".encode("utf-16-le") + b"\0\0"))))

    def test_a_deleted_keys_parent_stays_though_wine_wrote_no_section_for_it(self):
        with tempfile.TemporaryDirectory() as d:
            write_registry(d, "[Software\\\\Uninstall\\\\{A}] 1\n\"v\"=\"1\"\n"
                           "[Software\\\\Two\\\\{A}] 1\n[Software\\\\Two\\\\{B}] 1\n")
            reg = machine.Registry(d)
            reg.apply([("regdelkey", "\\Registry\\Machine\\Software\\Uninstall\\{A}"),
                       ("regdelkey", "\\Registry\\Machine\\Software\\Two\\{A}")])
            reg.save()
            sections = machine.Registry(d).files[0].sections
            self.assertIn("software\\uninstall", sections)
            self.assertNotIn("software\\uninstall\\{a}", sections)
            # A parent another subkey still implies gets no section of its own.
            self.assertNotIn("software\\two", sections)
            self.assertIn("software\\two\\{b}", sections)

    def test_outside_the_run_only_real_changes_count(self):
        """What lies outside the run's folders and keys: its files' sizes and times, folders as being
        there, keys as their values without times; the run's own and Wine's own are left out."""
        with tempfile.TemporaryDirectory() as d:
            drive = os.path.join(d, "drive_c")
            for folder in ("ProgramData/ZelvanSetup", "Program Files/Zelvan", "users/root/Temp"):
                os.makedirs(os.path.join(drive, folder))
            with open(os.path.join(drive, "users/root/Temp/a.txt"), "w") as f:
                f.write("a")
            write_registry(d, "[Software\\\\Zelvan] 1\n\"s\"=\"x\"\n"
                           "[Software\\\\Other] 1\n#time=1\n\"s\"=\"x\"\n[Software\\\\Wine\\\\Fonts] 1\n\"f\"=\"1\"\n")
            roots = ["ProgramData/ZelvanSetup", "Program Files/Zelvan"]
            wine = model.WINE_OWN

            def look():
                return (machine.outside_files(drive, roots),
                        machine.outside_keys(machine.Registry(d), [SW], wine))

            before = look()
            self.assertIn("users/root/Temp/a.txt", before[0])
            self.assertNotIn("Program Files/Zelvan", before[0])
            self.assertIn("\\registry\\machine\\software\\other", before[1])
            self.assertNotIn("\\registry\\machine\\software\\zelvan", before[1])
            # Inside the run's folders and keys, in Wine's own keys and in the times: nothing counts.
            with open(os.path.join(drive, "Program Files/Zelvan/new.dll"), "w") as f:
                f.write("new")
            text = open(os.path.join(d, "system.reg")).read()
            with open(os.path.join(d, "system.reg"), "w") as f:
                f.write(text.replace('"s"="x"', '"s"="y"', 1).replace("#time=1", "#time=2").replace('"f"="1"', '"f"="2"'))
            self.assertEqual(look(), before)
            # Outside them every change counts.
            def append(path, text):
                with open(path, "a") as f:
                    f.write(text)

            for change in (lambda: append(os.path.join(drive, "users/root/Temp/b.txt"), ""),
                           lambda: append(os.path.join(d, "user.reg"), '[Software\\\\Brand] 1\n"t"="new"\n')):
                change()
                self.assertNotEqual(look(), before)
                before = look()


class Trace(unittest.TestCase):
    def test_server_log_gives_key_paths_per_process_in_the_32_bit_view(self):
        log = trace.ServerLog()  # the program run counts as one of the setup's
        lines = [
            '0024: init_first_thread() = 0 { pid=0020, tid=0024, info_size=0 }',
            '0024: open_key( parent=0000, access=02000000, attributes=0, name=L"\\\\Registry\\\\Machine" )',
            '0024: open_key() = 0 { hkey=0010 }',
            '0024: create_key( access=0002021f, options=0, objattr={rootdir=0010,attributes=0,sd={},name=L"Software\\\\Zelvan"}, class=L"" )',
            '0024: create_key() = 0 { hkey=0014 }',
            '0024: set_key_value( hkey=0014, type=4, namelen=2, name=L"v", data={07,00,00,00} )',
            '0024: set_key_value() = 0',
            '0024: flush_key( hkey=0014 )',
            '0024: flush_key() = 0',
        ]
        ops = [op for line in lines for op in log.line(line)]
        key = "\\Registry\\Machine\\Software\\Wow6432Node\\Zelvan"
        self.assertEqual(ops, [("regcreate", key), ("regset", key, "v", 4, b"\x07\0\0\0"), ("regflush", key)])


if __name__ == "__main__":
    unittest.main()
