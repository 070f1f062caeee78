"""The power-cut explorer's own parts, without Wine: the reading of a trace, the replay of a record
by file identity, the check that a record is the machine the run left, the persistence models, and
the replay onto Wine's registry files."""
import os
import random
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import machine  # noqa: E402
import model  # noqa: E402
import replay  # noqa: E402
import trace  # noqa: E402
from ops import (APPEND, Create, Fsync, Mkdir, RegCreate, RegDelKey, RegFlush, RegSet, Rename, Rmdir,  # noqa: E402
                 Trunc, Unlink, Write, WINES_OWN)

PREFIX = "/p"
DRIVES = {"c": "/p/drive_c", "d": "/p/drive_d"}


def hexed(text):
    return "".join("\\x%02x" % b for b in text.encode())


def fd(n, path):
    """A descriptor as strace -yy -xx shows it."""
    return f"{n}<{hexed(path)}>"


def s(text):
    return '"' + hexed(text) + '"'


F = "/p/drive_c/zs/f.txt"
J = "/p/drive_c/ProgramData/ZelvanSetup/install.zsj"


def record(lines):
    r = trace.Recorder(PREFIX, drives=DRIVES)
    return r.parse_lines([line + "\n" for line in lines])


class RecorderReadsTheTrace(unittest.TestCase):
    """Each case: strace lines of one run (pid first), and the operations they must give."""

    CASES = {
        "a 32-bit program's _llseek and ftruncate64: the file holds what it was cut to": (
            [f"10 openat(AT_FDCWD, {s(F)}, O_RDWR|O_CREAT|O_LARGEFILE, 0666) = {fd(5, F)}",
             f"10 write({fd(5, F)}, {s('hello world' + chr(10))}, 12) = 12",
             f"10 _llseek({fd(5, F)}, 0, [0], SEEK_SET) = 0",
             f"10 write({fd(5, F)}, {s('hello')}, 5) = 5",
             f"10 ftruncate64({fd(5, F)}, 5) = 0"],
            [Create("c:/zs/f.txt"), Write("c:/zs/f.txt", 0, b"hello world\n"), Write("c:/zs/f.txt", 0, b"hello"),
             Trunc("c:/zs/f.txt", 5)]),
        "a reopened journal on another descriptor: positions per open file description": (
            [f"10 openat(AT_FDCWD, {s(J)}, O_RDWR|O_CREAT, 0666) = {fd(7, J)}",
             f"10 write({fd(7, J)}, {s('ZSJ1' + chr(10))}, 5) = 5",
             f"10 openat(AT_FDCWD, {s(F)}, O_RDWR|O_CREAT, 0666) = {fd(8, F)}",
             f"10 close({fd(7, J)}) = 0",
             f"10 openat(AT_FDCWD, {s(J)}, O_RDWR) = {fd(9, J)}",
             f"10 lseek({fd(9, J)}, 5, SEEK_SET) = 5",
             f"10 write({fd(9, J)}, {s('END' + chr(10))}, 4) = 4",
             f"10 write({fd(8, F)}, {s('x')}, 1) = 1",
             f"10 fsync({fd(9, J)}) = 0"],
            [Create("c:/ProgramData/ZelvanSetup/install.zsj"), Write("c:/ProgramData/ZelvanSetup/install.zsj", 0, b"ZSJ1\n"),
             Create("c:/zs/f.txt"), Write("c:/ProgramData/ZelvanSetup/install.zsj", 5, b"END\n"),
             Write("c:/zs/f.txt", 0, b"x"), Fsync("c:/ProgramData/ZelvanSetup/install.zsj")]),
        "dup, dup2 and fcntl F_DUPFD share one position": (
            [f"10 open({s(F)}, O_WRONLY) = {fd(3, F)}",
             f"10 write({fd(3, F)}, {s('ab')}, 2) = 2",
             f"10 dup({fd(3, F)}) = {fd(4, F)}",
             f"10 write({fd(4, F)}, {s('cd')}, 2) = 2",
             f"10 dup2({fd(4, F)}, 11) = {fd(11, F)}",
             f"10 fcntl64({fd(11, F)}, F_DUPFD_CLOEXEC, 20) = {fd(20, F)}",
             f"10 write({fd(3, F)}, {s('e')}, 1) = 1",
             f"10 write({fd(20, F)}, {s('f')}, 1) = 1"],
            [Write("c:/zs/f.txt", 0, b"ab"), Write("c:/zs/f.txt", 2, b"cd"), Write("c:/zs/f.txt", 4, b"e"),
             Write("c:/zs/f.txt", 5, b"f")]),
        "a forked child inherits the description, a thread shares the table": (
            [f"10 open({s(F)}, O_WRONLY) = {fd(3, F)}",
             "10 clone(child_stack=NULL, flags=CLONE_CHILD_CLEARTID|SIGCHLD, child_tidptr=0x1) = 20",
             "10 clone(child_stack=0x2, flags=CLONE_VM|CLONE_FS|CLONE_FILES|CLONE_THREAD) = 30",
             f"20 write({fd(3, F)}, {s('ab')}, 2) = 2",
             f"30 write({fd(3, F)}, {s('c')}, 1) = 1",
             f"20 close({fd(3, F)}) = 0",
             f"10 write({fd(3, F)}, {s('d')}, 1) = 1"],
            [Write("c:/zs/f.txt", 0, b"ab"), Write("c:/zs/f.txt", 2, b"c"), Write("c:/zs/f.txt", 3, b"d")]),
        "a descriptor the server hands over keeps the server's description": (
            [f"1 openat(AT_FDCWD, {s(F)}, O_RDWR|O_CREAT|O_NONBLOCK, 0666) = {fd(141, F)}",
             f"1 sendmsg(21<UNIX-STREAM:[45184->43737,\"x\"]>, {{msg_iov=[{{iov_base=\"X\", iov_len=4}}], "
             f"msg_control=[{{cmsg_len=20, cmsg_level=SOL_SOCKET, cmsg_type=SCM_RIGHTS, cmsg_data=[{fd(141, F)}]}}]}}, 0) = 4",
             f"2 recvmsg(4<UNIX-STREAM:[43737,@\"y\"]>, {{msg_iov=[{{iov_base=\"X\", iov_len=4}}], "
             f"msg_control=[{{cmsg_len=16, cmsg_level=SOL_SOCKET, cmsg_type=SCM_RIGHTS, cmsg_data=[{fd(13, F)}]}}]}}, 0) = 4",
             f"2 _llseek({fd(13, F)}, 8, [8], SEEK_SET) = 0",
             f"2 write({fd(13, F)}, {s('more')}, 4) = 4",
             f"1 write({fd(141, F)}, {s('!')}, 1) = 1"],
            [Create("c:/zs/f.txt"), Write("c:/zs/f.txt", 8, b"more"), Write("c:/zs/f.txt", 12, b"!")]),
        "a descriptor a client hands the server, whose end strace names without its peer": (
            [f"2 open({s(F)}, O_WRONLY) = {fd(5, F)}",
             f"2 write({fd(5, F)}, {s('ab')}, 2) = 2",
             f"2 sendmsg(4<UNIX-STREAM:[500,@\"x\"]>, {{msg_control=[{{cmsg_len=16, cmsg_level=SOL_SOCKET, "
             f"cmsg_type=SCM_RIGHTS, cmsg_data=[{fd(5, F)}]}}]}}, 0) = 8",
             f"1 recvmsg(21<UNIX-STREAM:[501->500,\"y\"]>, {{msg_control=[{{cmsg_len=20, cmsg_level=SOL_SOCKET, "
             f"cmsg_type=SCM_RIGHTS, cmsg_data=[{fd(77, F)}]}}]}}, 0) = 8",
             f"1 write({fd(77, F)}, {s('cd')}, 2) = 2"],
            [Write("c:/zs/f.txt", 0, b"ab"), Write("c:/zs/f.txt", 2, b"cd")]),
        "a descriptor received before strace shows it sent": (
            [f"1 openat(AT_FDCWD, {s(F)}, O_RDWR|O_CREAT, 0666) = {fd(141, F)}",
             f"1 sendmsg(21<UNIX-STREAM:[601->600,\"y\"]>, {{msg_control=[{{cmsg_len=20, cmsg_level=SOL_SOCKET, "
             f"cmsg_type=SCM_RIGHTS, cmsg_data=[{fd(141, F)}]}}]}}, 0 <unfinished ...>",
             f"2 recvmsg(4<UNIX-STREAM:[600,@\"x\"]>, {{msg_control=[{{cmsg_len=16, cmsg_level=SOL_SOCKET, "
             f"cmsg_type=SCM_RIGHTS, cmsg_data=[{fd(15, F)}]}}]}}, 0) = 4",
             f"2 write({fd(15, F)}, {s('abc')}, 3) = 3",
             "1 <... sendmsg resumed>) = 4",
             f"2 write({fd(15, F)}, {s('d')}, 1) = 1",
             f"1 write({fd(141, F)}, {s('e')}, 1) = 1"],
            [Create("c:/zs/f.txt"), Write("c:/zs/f.txt", 0, b"abc"), Write("c:/zs/f.txt", 3, b"d"),
             Write("c:/zs/f.txt", 4, b"e")]),
        "a descriptor's number reused by another thread while its close is still returning": (
            [f"10 open({s('/tmp/other')}, O_RDONLY) = {fd(15, '/tmp/other')}",
             "10 clone3({flags=CLONE_VM|CLONE_FILES|CLONE_THREAD}, 88) = 11",
             f"11 close({fd(15, '/tmp/other')} <unfinished ...>",
             f"10 open({s(F)}, O_WRONLY) = {fd(15, F)}",
             "11 <... close resumed>) = 0",
             f"10 write({fd(15, F)}, {s('x')}, 1) = 1"],
            [Write("c:/zs/f.txt", 0, b"x")]),
        "O_APPEND, writev, pwritev, creat, truncate64, unfinished calls": (
            [f"10 openat(AT_FDCWD, {s(F)}, O_WRONLY|O_APPEND) = {fd(3, F)}",
             f"10 writev({fd(3, F)}, [{{iov_base={s('ab')}, iov_len=2}}, {{iov_base={s('cd')}, iov_len=2}}], 2) = 4",
             f"10 pwritev({fd(3, F)}, [{{iov_base={s('xy')}, iov_len=2}}], 1, 100) = 2",
             f"10 creat({s('/p/dosdevices/d:/Zelvan/n.txt')}, 0644 <unfinished ...>",
             f"11 truncate64({s('/p/drive_d/Zelvan/n.txt')}, 3) = 0",
             f"10 <... creat resumed>) = {fd(4, '/p/drive_d/Zelvan/n.txt')}"],
            # A call is placed where it completed.
            [Write("c:/zs/f.txt", APPEND, b"abcd"), Write("c:/zs/f.txt", 100, b"xy"), Trunc("d:/Zelvan/n.txt", 3),
             Create("d:/Zelvan/n.txt"), Trunc("d:/Zelvan/n.txt", 0)]),
        "names: relative to a folder descriptor, a folder's flush; Wine's own folder left out": (
            [f"10 mkdirat({fd(3, '/p/drive_c/zs')}, {s('new')}, 0777) = 0",
             f"10 renameat2(AT_FDCWD, {s('/p/drive_c/zs/a')}, AT_FDCWD, {s('/p/dosdevices/c:/zs/new/a')}, RENAME_NOREPLACE) = 0",
             f"10 unlinkat(AT_FDCWD, {s('/p/drive_c/zs/old')}, AT_REMOVEDIR) = 0",
             f"10 unlink({s('/p/drive_c/zs/b')}) = 0",
             f"10 unlink({s('/p/drive_c/windows/temp/x')}) = 0",
             f"10 rename({s('/p/drive_c/zs/c')}, {s('/elsewhere/c')}) = 0",
             f"10 fsync({fd(5, '/p/drive_c/zs')}) = 0",
             f"10 unlink({s('/p/drive_c/zs/missing')}) = -1 ENOENT (No such file or directory)"],
            [Mkdir("c:/zs/new"), Rename("c:/zs/a", "c:/zs/new/a"), Rmdir("c:/zs/old"), Unlink("c:/zs/b"),
             Rename("c:/zs/c", None), Fsync("c:/zs")]),
    }

    def test_cases(self):
        for name, (lines, want) in self.CASES.items():
            with self.subTest(name):
                self.assertEqual(record(lines), want)

    REFUSED = {
        "fallocate of a followed file": f"10 fallocate({fd(3, F)}, 0, 0, 4096) = 0",
        "a shared writable mapping": f"10 mmap2(NULL, 4096, PROT_READ|PROT_WRITE, MAP_SHARED, {fd(3, F)}, 0) = 0x1000",
        "a write through a descriptor never seen opened": f"10 write({fd(9, F)}, {s('x')}, 1) = 1",
        "a move into the drives from elsewhere": f"10 rename({s('/elsewhere/x')}, {s(F)}) = 0",
        "an exchange": f"10 renameat2(AT_FDCWD, {s(F)}, AT_FDCWD, {s('/p/drive_c/zs/g')}, RENAME_EXCHANGE) = 0",
        "a hard link": f"10 link({s('/p/drive_c/zs/g')}, {s(F)}) = 0",
    }

    def test_what_it_does_not_model_stops_it(self):
        for name, line in self.REFUSED.items():
            with self.subTest(name):
                with self.assertRaises(trace.RecordError):
                    record([line])
        # The same calls on files of no followed drive are no concern of the record.
        self.assertEqual(record([f"10 fallocate({fd(3, '/tmp/x')}, 0, 0, 4096) = 0",
                                 f"10 mmap(NULL, 4096, PROT_READ|PROT_WRITE, MAP_SHARED, {fd(3, '/tmp/x')}, 0) = 0x1"]), [])


class ServerLogGivesRegistryChanges(unittest.TestCase):
    def changes(self, lines):
        log = trace.ServerLog()
        return [op for line in lines for op in log.line(line)]

    def test_every_process_in_the_32_bit_view_volatile_keys_left_out(self):
        ops = self.changes([
            '0024: init_first_thread() = 0 { pid=0020, tid=0024, info_size=0 }',
            '0030: init_first_thread() = 0 { pid=002c, tid=0030, info_size=100 }',
            '0024: open_key( parent=0000, access=02000000, attributes=0, name=L"\\\\REGISTRY\\\\Machine" )',
            '0024: open_key() = 0 { hkey=0010 }',
            '0024: create_key( access=0002021f, options=0, objattr={rootdir=0010,attributes=0,sd={},name=L"Software\\\\Zelvan"}, class=L"" )',
            '0024: create_key() = 0 { hkey=0014 }',
            '0024: set_key_value( hkey=0014, type=4, namelen=2, name=L"v", data={07,00,00,00} )',
            '0024: set_key_value() = 0',
            '0024: flush_key( hkey=0014 )',
            '0024: flush_key() = 0',
            # Another process (not ours by image) writes a value of its own: recorded too.
            '0030: open_key( parent=0000, access=00020006, attributes=0, name=L"\\\\Registry\\\\Machine\\\\System\\\\X" )',
            '0030: open_key() = 0 { hkey=0020 }',
            '0030: set_key_value( hkey=0020, type=-65523, namelen=2, name=L"p", data={01} )',
            '0030: set_key_value() = 0',
            # A volatile key and what is written under it never reach the disk.
            '0030: create_key( access=00000002, options=00000001, objattr={rootdir=0020,attributes=0,sd={},name=L"Vol"}, class=L"" )',
            '0030: create_key() = 0 { hkey=0024 }',
            '0030: set_key_value( hkey=0024, type=4, namelen=2, name=L"q", data={01,00,00,00} )',
            '0030: set_key_value() = 0',
            # A failed change is none.
            '0024: set_key_value( hkey=0014, type=1, namelen=2, name=L"w", data={} )',
            '0024: set_key_value() = ACCESS_DENIED',
        ])
        key = "\\Registry\\Machine\\Software\\Wow6432Node\\Zelvan"
        self.assertEqual(ops, [RegCreate(key), RegSet(key, "v", 4, b"\x07\0\0\0"), RegFlush(key),
                               RegSet("\\Registry\\Machine\\System\\X", "p", 0xFFFF000D, b"\x01")])

    def test_a_change_through_an_unknown_handle_or_an_unmodelled_request_stops_it(self):
        for lines in (['0024: set_key_value( hkey=0099, type=4, namelen=2, name=L"v", data={07,00,00,00} )'],
                      ['0024: load_registry( file=0010, objattr={} )']):
            with self.subTest(lines[0][:40]):
                with self.assertRaises(trace.RecordError):
                    self.changes(lines)


PRE = {"c:": None, "c:/d": None, "c:/d/keep": b"old content", "c:/log": b"abc"}


class ReplayByFileIdentity(unittest.TestCase):
    def test_moves_take_folders_along_appends_land_at_the_end(self):
        ops = [Write("c:/log", APPEND, b"de"), Mkdir("c:/d/s"), Create("c:/d/s/x"), Write("c:/d/s/x", 0, b"1"),
               Rename("c:/d/s", "c:/d/t"), Write("c:/d/t/x", 1, b"2"), Unlink("c:/d/keep")]
        steps, base = replay.resolve(PRE, ops)
        self.assertEqual(steps[0].offset, 3)
        self.assertEqual(replay.materialise(base, steps, len(steps), ["c:/d", "c:/log"]),
                         {"c:/d": None, "c:/d/t": None, "c:/d/t/x": b"12", "c:/log": b"abcde"})

    def test_a_kept_move_puts_the_file_at_its_new_name_though_its_creation_was_lost(self):
        ops = [Create("c:/d/n"), Write("c:/d/n", 0, b"data"), Fsync("c:/d/n"), Rename("c:/d/n", "c:/d/m")]
        steps, base = replay.resolve(PRE, ops)
        got = replay.materialise(base, steps, 4, ["c:/d"], keep_entry=lambda st: st.index != 0)
        self.assertEqual(got.get("c:/d/m"), b"data")
        self.assertNotIn("c:/d/n", got)
        # Without the move, a file whose name was lost is gone with what was written to it.
        got = replay.materialise(base, steps, 3, ["c:/d"], keep_entry=lambda st: st.index != 0)
        self.assertNotIn("c:/d/n", got)

    def test_a_record_that_names_what_is_not_there_does_not_replay(self):
        for ops in ([Unlink("c:/d/none")], [Write("c:/d/none", 0, b"x")], [Create("c:/nofolder/x")]):
            with self.subTest(ops[0]):
                with self.assertRaises(replay.ReplayError):
                    replay.resolve(PRE, ops)


def write_registry(folder, sections):
    """Both of Wine's registry files in `folder`, holding the same sections."""
    for name, _ in machine.REG_FILES:
        with open(os.path.join(folder, name), "w") as f:
            f.write("WINE REGISTRY Version 2\n\n" + sections)


SW = "\\Registry\\Machine\\Software\\Zelvan"
SYS = "\\Registry\\Machine\\System\\Session Manager"


class TheRecordIsTheMachine(unittest.TestCase):
    """The check that stops the explorer when the record misses what the run did: the record
    replayed against the machine the run left. Dropping any one operation that changes the machine
    must make it fail."""

    OPS = [Mkdir("c:/d/s"), Create("c:/d/s/x"), Write("c:/d/s/x", 0, b"payload"), Trunc("c:/d/s/x", 3),
           Rename("c:/d/s/x", "c:/d/y"), Rmdir("c:/d/s"), Write("c:/d/keep", 0, b"new"), Unlink("c:/log"),
           RegCreate(SW), RegSet(SW, "v", 1, b"a\0"), RegSet(SYS, "PendingFileRenameOperations", 7, b"x\0\0\0"),
           RegDelKey(SW + "\\Old")]

    def differences(self, ops, real_files, real_reg_dir, pre_reg):
        steps, base = replay.resolve(PRE, ops)
        return machine.record_differences(steps, base, pre_reg, ["c:/d", "c:/log"], [SW, SYS], real_files,
                                          machine.Registry(real_reg_dir))

    def test_dropping_any_one_operation_is_found(self):
        with tempfile.TemporaryDirectory() as d:
            write_registry(d, "[Software\\\\Zelvan\\\\Old] 1\n\"o\"=\"1\"\n[System\\\\Session Manager] 1\n")
            pre_reg = {}
            for n, _ in machine.REG_FILES:
                with open(os.path.join(d, n), "rb") as f:
                    pre_reg[n] = f.read()
            # The machine the run left, made by the run's own operations.
            steps, base = replay.resolve(PRE, self.OPS)
            real = replay.materialise(base, steps, len(steps), ["c:/d", "c:/log"])
            reg = machine.Registry(d)
            reg.apply(self.OPS)
            reg.save()
            self.assertEqual(self.differences(self.OPS, real, d, pre_reg), [])
            checked = 0
            for i, op in enumerate(self.OPS):
                with self.subTest(dropped=op):
                    partial = self.OPS[:i] + self.OPS[i + 1:]
                    try:
                        found = self.differences(partial, real, d, pre_reg)
                    except replay.ReplayError:
                        continue  # a later operation names what the dropped one made
                    self.assertNotEqual(found, [], f"dropping {op} went unnoticed")
                    checked += 1
            self.assertGreaterEqual(checked, len(self.OPS) - 3)
            pending = self.differences(self.OPS[:10] + self.OPS[11:], real, d, pre_reg)
            self.assertTrue(any(x.startswith("pending renames") for x in pending), pending)


RECORD = [
    Create("d/journal"),                 # 0
    Write("d/journal", 0, b"A" * 5000),  # 1
    Fsync("d/journal"),                  # 2  barrier: 0, 1 durable (mild); only 1 and the size (harsh)
    RegSet(SW, "v", 1, b"x\0"),          # 3
    Create("d/f"),                       # 4
    Write("d/f", 0, b"B" * 100),         # 5
    RegFlush(SW),                        # 6  the software hive up to 3 durable
    RegSet(SYS, "p", 7, b"\0\0"),        # 7
    Rename("d/f", "d/g"),                # 8  write-through
    Unlink("d/journal"),                 # 9
    Fsync("d"),                          # 10 the folder's entries durable (harsh)
]
START = {"d": None}


def resolved(ops=RECORD):
    return replay.resolve(START, ops)


class MildModel(unittest.TestCase):
    def test_bounds_per_crash_point(self):
        rec = model.Mild(*resolved(RECORD[:10]))
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

    def test_corners_and_dropped_flushes(self):
        rec = model.Mild(*resolved(RECORD[:10]))
        lost, kept, ahead, behind = list(rec.states(10, 0, None))
        files = rec.files(lost, ["d"])
        self.assertEqual(files["d/g"], bytes(100), "unflushed data reads back as zeros")
        self.assertIn("d/journal", files, "its delete came after the last barrier and may be lost")
        self.assertEqual(sorted(rec.files(kept, ["d"])), ["d", "d/g"])
        files = rec.files(ahead, ["d"])
        self.assertEqual((files["d/g"], "d/journal" in files), (b"B" * 100, True))
        self.assertEqual(rec.reg_ops(ahead), [RECORD[3]])
        files = rec.files(behind, ["d"])
        self.assertEqual((files["d/g"], "d/journal" in files), (bytes(100), False))
        self.assertEqual(len(list(rec.states(10, 3, random.Random(1)))), 7)
        unflushed = model.Mild(*resolved(RECORD[:10]), drop_flushes=True)
        self.assertEqual(unflushed.bounds(7)[1]["machine\\software"], (0, 1))


def machines(mdl, point, roots=("d",)):
    """Every distinct (files, registry changes) the model allows at the point."""
    out = set()
    for st in mdl.states(point, 0, random.Random(1)):
        files = mdl.files(st, list(roots))
        out.add((tuple(sorted((k, v) for k, v in files.items())), tuple(mdl.reg_ops(st))))
    return out


class HarshModel(unittest.TestCase):
    def test_a_files_flush_keeps_its_data_and_size_not_its_name(self):
        mdl = model.Harsh(*resolved())
        names = {tuple(k for k, _ in files) for files, _ in machines(mdl, 3)}
        self.assertIn(("d",), names, "the journal's name is not durable by its own flush")
        for files, _ in machines(mdl, 3):
            self.assertIn(dict(files).get("d/journal", b"A" * 5000), (b"A" * 5000,), "flushed data")

    def test_a_folders_flush_keeps_its_entries_and_a_move_is_durable_alone(self):
        mdl = model.Harsh(*resolved())
        after_move = machines(mdl, 9)
        self.assertTrue(all("d/g" in dict(files) for files, _ in after_move), "the write-through move")
        self.assertTrue(any("d/journal" not in dict(files) for files, _ in after_move),
                        "the journal's creation may be lost though the move after it is not")
        flushed = machines(mdl, 11)
        self.assertEqual({tuple(k for k, _ in files) for files, _ in flushed}, {("d", "d/g")})
        # Unflushed data of a file whose entry is durable: the whole write, none (old bytes: an
        # empty file), or torn at a sector; and the size may be short of what was written.
        self.assertEqual({dict(files)["d/g"] for files, _ in flushed}, {b"B" * 100, bytes(100), b""})

    def test_torn_sectors_keep_old_bytes_and_enumeration_is_complete(self):
        ops = [Create("d/j"), Write("d/j", 0, b"o" * 2048), Fsync("d/j"), Fsync("d"), Write("d/j", 0, b"n" * 2048)]
        mdl = model.Harsh(*resolved(ops))
        contents = {dict(files)["d/j"] for files, _ in machines(mdl, 5)}
        self.assertEqual(contents, {b"n" * 2048, b"o" * 2048, b"n" * 512 + b"o" * 1536})
        # More than can be enumerated: corners and samples, the same for the same seed.
        big = [Create("d/j"), Fsync("d")] + [Write("d/j", 4096 * i, b"x" * 4096) for i in range(8)]
        mdl = model.Harsh(*resolved(big))
        first = list(mdl.states(10, 5, random.Random(3)))
        self.assertEqual(first, list(mdl.states(10, 5, random.Random(3))))
        self.assertLess(len(first), 3 ** 8)

    def test_mixed_corners_of_files_and_hives(self):
        ops = [RegSet(SW, "a", 1, b""), RegSet(SYS, "b", 1, b""), Create("d/x"), Fsync("d/x")] + \
              [Write("d/x", 4096 * i, b"y" * 4096) for i in range(6)]
        mdl = model.Harsh(*resolved(ops))
        got = {(("d/x",) == tuple(k for k, _ in files if k != "d"), regs) for files, regs in
               ((f, r) for f, r in machines(mdl, len(ops)))}
        want_regs = {(), (ops[0],), (ops[1],), (ops[0], ops[1])}
        self.assertEqual({r for _, r in got}, want_regs, "each hive kept alone and lost alone")
        self.assertIn((True, ()), got, "files kept, registry lost")
        self.assertIn((False, (ops[0], ops[1])), got, "registry kept, files lost")


class BothModels(unittest.TestCase):
    def test_the_state_that_keeps_most_is_the_run_up_to_the_point(self):
        steps, base = resolved()
        for cls in (model.Mild, model.Harsh):
            mdl = cls(steps, base)
            for point in range(len(RECORD) + 1):
                with self.subTest(model=cls.__name__, point=point):
                    self.assertEqual(mdl.files(mdl.most(point), ["d"]), replay.materialise(base, steps, point, ["d"]))
                    self.assertEqual(mdl.reg_ops(mdl.most(point)),
                                     [op for op in RECORD[:point] if isinstance(op, (RegSet, RegCreate, RegDelKey))])


class RegistryFiles(unittest.TestCase):
    def test_round_trip_and_views(self):
        with tempfile.TemporaryDirectory() as d:
            write_registry(d, "[Software\\\\Old] 1\n\"s\"=\"text\"\n"
                           "\"m\"=hex(7):41,00,00,\\\n  00,00,00\n\"d\"=dword:00000007\n")
            reg = machine.Registry(d)
            reg.apply([RegCreate(SW), RegSet(SW, "v", 1, "new".encode("utf-16-le") + b"\0\0"),
                       RegSet(SW, "t", 0xFFFF000D, b"\1")])
            reg.save()
            got = machine.Registry(d).digest([SW, "\\Registry\\Machine\\Software\\Old"])
            self.assertEqual(got["\\registry\\machine\\software\\zelvan"],
                             (("t", (0xFFFF000D, b"\1")), ("v", (1, "new".encode("utf-16-le") + b"\0\0"))))
            self.assertEqual(got["\\registry\\machine\\software\\old"],
                             (("d", (4, b"\7\0\0\0")), ("m", (7, b"A\0\0\0\0\0")), ("s", (1, "text".encode("utf-16-le") + b"\0\0"))))

    def test_a_key_with_subkeys_and_no_values_reads_as_wine_writes_it(self):
        with tempfile.TemporaryDirectory() as d:
            write_registry(d, "")
            reg = machine.Registry(d)
            reg.apply([RegCreate(SW + "\\Sub"), RegSet(SW + "\\Sub", "v", 4, b"\1\0\0\0")])
            self.assertEqual(list(reg.digest([SW])), ["\\registry\\machine\\software\\zelvan\\sub"])

    def test_a_deleted_keys_parent_stays_though_wine_wrote_no_section_for_it(self):
        with tempfile.TemporaryDirectory() as d:
            write_registry(d, "[Software\\\\Uninstall\\\\{A}] 1\n\"v\"=\"1\"\n"
                           "[Software\\\\Two\\\\{A}] 1\n[Software\\\\Two\\\\{B}] 1\n")
            reg = machine.Registry(d)
            reg.apply([RegDelKey("\\Registry\\Machine\\Software\\Uninstall\\{A}"),
                       RegDelKey("\\Registry\\Machine\\Software\\Two\\{A}")])
            reg.save()
            sections = machine.Registry(d).files[0].sections
            self.assertIn("software\\uninstall", sections)
            self.assertNotIn("software\\uninstall\\{a}", sections)
            # A parent another subkey still implies gets no section of its own.
            self.assertNotIn("software\\two", sections)
            self.assertIn("software\\two\\{b}", sections)

    def test_outside_the_run_only_real_changes_count(self):
        """What lies outside the run's folders and keys, on every drive: its files' sizes and times,
        folders as being there, keys as their values without times; the run's own and Wine's own
        are left out."""
        with tempfile.TemporaryDirectory() as d:
            drives = {"c": os.path.join(d, "drive_c"), "d": os.path.join(d, "drive_d")}
            for folder in ("drive_c/ProgramData/ZelvanSetup", "drive_d/Zelvan", "drive_c/users/root/Temp"):
                os.makedirs(os.path.join(d, folder))
            with open(os.path.join(d, "drive_c/users/root/Temp/a.txt"), "w") as f:
                f.write("a")
            write_registry(d, "[Software\\\\Zelvan] 1\n\"s\"=\"x\"\n"
                           "[Software\\\\Other] 1\n#time=1\n\"s\"=\"x\"\n[Software\\\\Wine\\\\Fonts] 1\n\"f\"=\"1\"\n")
            roots = ["c:/ProgramData/ZelvanSetup", "d:/Zelvan"]

            def look():
                return (machine.outside_files(drives, roots),
                        machine.outside_keys(machine.Registry(d), [SW], WINES_OWN))

            before = look()
            self.assertIn("c:/users/root/Temp/a.txt", before[0])
            self.assertNotIn("d:/Zelvan", before[0])
            self.assertIn("\\registry\\machine\\software\\other", before[1])
            self.assertNotIn("\\registry\\machine\\software\\zelvan", before[1])
            with open(os.path.join(d, "drive_d/Zelvan/new.dll"), "w") as f:
                f.write("new")
            with open(os.path.join(d, "system.reg")) as f:
                text = f.read()
            with open(os.path.join(d, "system.reg"), "w") as f:
                f.write(text.replace('"s"="x"', '"s"="y"', 1).replace("#time=1", "#time=2").replace('"f"="1"', '"f"="2"'))
            self.assertEqual(look(), before)

            def append(path, text):
                with open(path, "a") as f:
                    f.write(text)

            for change in (lambda: append(os.path.join(d, "drive_d/b.txt"), ""),
                           lambda: append(os.path.join(d, "user.reg"), '[Software\\\\Brand] 1\n"t"="new"\n')):
                change()
                self.assertNotEqual(look(), before)
                before = look()

    def test_wines_own_keys(self):
        for key, own in (("\\Registry\\Machine\\Software\\Wine\\Fonts", True),
                         ("\\Registry\\User\\S\\Console\\x", True),
                         ("\\Registry\\Machine\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{x}", False)):
            self.assertEqual(WINES_OWN.search(key) is not None, own, key)


if __name__ == "__main__":
    unittest.main()
