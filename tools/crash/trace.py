"""Recording one run of the real setup as an ordered list of durable-state operations (ops.py).

The run is started under `strace -f` together with a wineserver of its own started with `-d1`:
the file system calls of every Wine process (and of the server, which opens, renames and deletes
files for its clients and hands them their descriptors) and the server's request log (written to
its stderr, so each request is one `write(2, ...)` of the server) land in one ordered trace. Wine
keeps the registry in its server and never writes it through, so the registry's operations are
taken from the request log and resolved to key paths here, whichever process asked.

Where a write lands depends on the file position of its open file description, which is shared by
every descriptor that refers to it: those made by dup, dup2, dup3 and fcntl F_DUPFD, those a child
inherits through fork or clone, and those the server passes to its clients over their sockets
(SCM_RIGHTS). The recorder follows each description: its position moves with read, write, lseek
and _llseek (a 32-bit process's), and O_APPEND sends every write to the end.

Every drive letter of the prefix whose folder lies inside the prefix is followed (C:\\windows
excepted, which is Wine's). A call that changes a followed file in a way the recorder does not
model stops the recording with RecordError rather than being dropped.
"""
import os
import re
import subprocess

from ops import (APPEND, Create, Fsync, Mkdir, RegCreate, RegDelKey, RegDelVal, RegFlush, RegSet, Rename,
                 Rmdir, Trunc, Unlink, Write, is_wines_own)

# Every call that can create, change, move or flush a file, move a file position or hand on a
# descriptor, in both the 64-bit and the 32-bit names, and those the recorder refuses.
UNDERSTOOD = ("write", "pwrite64", "writev", "pwritev", "pwritev2", "open", "openat", "openat2", "creat",
              "rename", "renameat", "renameat2", "unlink", "unlinkat", "mkdir", "mkdirat", "rmdir",
              "fsync", "fdatasync", "ftruncate", "ftruncate64", "truncate", "truncate64", "close",
              "dup", "dup2", "dup3", "fcntl", "fcntl64", "lseek", "_llseek", "read", "readv",
              "clone", "clone3", "fork", "vfork", "execve", "sendmsg", "recvmsg")
REFUSED = ("fallocate", "copy_file_range", "sendfile", "sendfile64", "splice", "link", "linkat", "symlink",
           "symlinkat", "mknod", "mknodat", "sync_file_range", "syncfs", "io_uring_setup", "mmap", "mmap2",
           "name_to_handle_at", "open_by_handle_at")
SYSCALLS = ",".join(UNDERSTOOD + REFUSED)

LINE = re.compile(r"^(\d+)\s+(.*)$")
CALL = re.compile(r"^([a-z0-9_]+)\((.*)\)\s+=\s+(-?\d+|\?|0x[0-9a-f]+)(?:<(.*?)>)?(.*)$", re.S)


class RecordError(RuntimeError):
    """A call of the run that the recorder cannot turn into operations faithfully."""


def quote(words):
    return " ".join("'" + a.replace("'", "'\\''") + "'" for a in words)


def run_traced(prefix_env, program, args, out_dir, cwd, timeout=600, alongside=None, holder=None):
    """Runs `wine program args` under strace with the prefix's own server logging its requests,
    calling alongside() meanwhile (what a person does in the program's window), if given; holder
    (program, args) is started in the same session before the program and ended after it.
    Returns (exit code of the program, strace log path)."""
    os.makedirs(out_dir, exist_ok=True)
    log = os.path.join(out_dir, "strace.log")
    server_log = os.path.join(out_dir, "server.log")
    hold, release = "", ""
    if holder:
        hold = f"wine {quote([holder[0], *holder[1]])} & hp=$!; sleep 3; "
        release = "kill $hp; "
    script = (f"wineserver -f -d1 -p0 2>'{server_log}' & sleep 1; {hold}wine {quote([program, *args])}; rc=$?; "
              f"{release}wineserver -w; wait; exit $rc")
    cmd = ["strace", "-f", "-qq", "--seccomp-bpf", "-e", f"trace={SYSCALLS}", "-yy", "-xx",
           "-s", str(64 * 1024 * 1024), "-o", log, "sh", "-c", script]
    proc = subprocess.Popen(cmd, env=prefix_env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if alongside:
            alongside()
        return proc.wait(timeout=timeout), log
    finally:
        if proc.poll() is None:
            proc.kill()


def merge_unfinished(lines):
    """Yields (pid, text) per completed syscall, joining `<unfinished ...>` with its resumption at
    the point where the call completed."""
    pending = {}
    for raw in lines:
        raw = raw.rstrip("\n")
        m = LINE.match(raw)
        if not m:
            continue
        pid, text = int(m.group(1)), m.group(2)
        if text.endswith("<unfinished ...>"):
            head = text[: -len("<unfinished ...>")].rstrip()
            if head.startswith("close("):
                # A descriptor is free for reuse as soon as close begins: another thread may get
                # its number before this close is shown to return.
                yield pid, head + ") = 0"
                head = None
            pending[pid] = head
            continue
        if text.startswith("<... "):
            head = pending.pop(pid, None)
            if head is None:
                continue
            rest = text.split("resumed>", 1)[1] if "resumed>" in text else ""
            text = head + rest
        yield pid, text


HEXES = re.compile(r"^(?:\\x[0-9a-f]{2})*$")
HEX_OR_TEXT = re.compile(r"\\x([0-9a-f]{2})|([^\\]+)|\\(.)")


def hex_string(s):
    """Decodes strace's -xx string body ("\\x41\\x42..."); anything else in it (a device's note
    after a path, say) is taken as it is."""
    if HEXES.match(s):
        return bytes.fromhex(s.replace("\\x", ""))
    out = bytearray()
    for m in HEX_OR_TEXT.finditer(s):
        if m.group(1):
            out.append(int(m.group(1), 16))
        else:
            out += (m.group(2) or m.group(3)).encode("latin-1", "replace")
    return bytes(out)


TOKEN = re.compile(r'"(?:[^"\\]|\\.)*"|->|[\[\]{}()<>,]|[^"\[\]{}()<>,-]+|-')


def split_args(body):
    """Splits a syscall's argument text at top-level commas (a quoted string is taken whole)."""
    out, depth, start = [], 0, 0
    for m in TOKEN.finditer(body):
        t = m.group(0)
        if t in ("[", "{", "(", "<"):
            depth += 1
        elif t in ("]", "}", ")", ">"):
            depth -= 1
        elif t == "," and depth == 0:
            out.append(body[start:m.start()].strip())
            start = m.end()
    rest = body[start:].strip()
    if rest or out:
        out.append(rest)
    return out


FD = re.compile(r"^(-?\d+|AT_FDCWD)(?:<(.*)>)?$", re.S)
STR = re.compile(r'^"((?:\\x[0-9a-f]{2}|[^"\\])*)"(\.\.\.)?$')
IOV = re.compile(r'iov_base="((?:\\x[0-9a-f]{2}|[^"\\])*)"(\.\.\.)?')
SOCKET = re.compile(r"^(?:UNIX(?:-STREAM|-DGRAM|-SEQPACKET)?|socket):\[(\d+)(?:->(\d+))?")
RIGHTS = re.compile(r"cmsg_type=SCM_RIGHTS, cmsg_data=\[([^\]]*)\]")
CLONE_FLAGS = re.compile(r"flags=([A-Z0-9_|]+)")


def fd_text(arg):
    """(descriptor number, what strace says it is) of a descriptor argument."""
    m = FD.match(arg)
    if not m:
        return None, None
    note = m.group(2)
    if note is not None and note.startswith("\\x"):
        note = hex_string(note).decode("utf-8", "replace")
    return m.group(1), note


class Description:
    """An open file description: one position and one append flag, shared by its descriptors.
    A provisional one stands for a description received before strace showed it sent."""

    def __init__(self, append=False, provisional=False):
        self.pos = 0
        self.append = append
        self.provisional = provisional
        self.placed = False    # its position was set outright (by a seek) before any use
        self.used = False      # a write or read used the position it did not set itself


class Recorder:
    """Turns the strace log of one run into the operation list."""

    def __init__(self, prefix_dir, drives=None):
        self.prefix_dir = os.path.realpath(prefix_dir)
        # drive letter -> the folder it names, for every drive the record follows
        self.drives = drives if drives is not None else prefix_drives(self.prefix_dir)
        # Where each of the prefix's device names leads (z: to the host's root, say).
        devices = os.path.join(self.prefix_dir, "dosdevices")
        self.device_targets = {f"{k}:": v for k, v in self.drives.items()}
        if os.path.isdir(devices):
            self.device_targets.update({n.lower(): os.path.realpath(os.path.join(devices, n)) for n in os.listdir(devices)})
        self.ops = []
        self.tables = {}        # pid -> its descriptor table {fd number: Description}
        self.parent_of = {}     # pid -> (parent pid, shares the table), from a first pass
        self.in_flight = {}     # socket inode -> [[Description, ...] per message sent to it]
        self.waiting = {}       # socket inode -> [[stand-in Description, ...] per message received before its send]
        self.peer_of = {}       # socket inode -> the other end's, once a line names it
        self.server = ServerLog()
        self.left_out = {"writes to deleted files": 0, "Wine's own registry changes": 0}

    # --- paths ---------------------------------------------------------------------------------
    def rel(self, path):
        """The drive path of a host path, or None when it lies on no followed drive."""
        if path is None:
            return None
        if path.endswith(" (deleted)"):
            return None
        devices = self.prefix_dir + "/dosdevices/"
        if path.startswith(devices):
            letter, _, rest = path[len(devices):].partition("/")
            target = self.device_targets.get(letter.lower())
            if target is None:
                return None
            path = target.rstrip("/") + "/" + rest
        path = os.path.normpath(path)
        for letter, root in self.drives.items():
            if path == root or path.startswith(root + "/"):
                rest = path[len(root) + 1:]
                if letter == "c" and rest.split("/", 1)[0].lower() == "windows":
                    return None
                return f"{letter}:/{rest}" if rest else f"{letter}:"
        return None

    def str_path(self, arg, dirfd=None):
        m = STR.match(arg)
        if not m:
            return None
        text = hex_string(m.group(1)).decode("utf-8", "replace")
        if not text.startswith("/") and dirfd is not None:
            _, base = fd_text(dirfd)
            if base is None:
                return None
            text = base + "/" + text
        return self.rel(text)

    def fd_path(self, arg):
        return self.rel(fd_text(arg)[1])

    # --- descriptor tables ---------------------------------------------------------------------
    def table(self, pid):
        t = self.tables.get(pid)
        if t is None:
            parent, shares = self.parent_of.get(pid, (None, False))
            base = self.tables.get(parent, {}) if parent is not None else {}
            t = base if shares and parent in self.tables else dict(base)
            self.tables[pid] = t
        return t

    def description(self, pid, arg, for_position):
        num, _ = fd_text(arg)
        d = self.table(pid).get(num)
        if d is None and for_position:
            raise RecordError(f"process {pid} writes through descriptor {arg[:120]} whose opening the trace "
                              "does not show, so its position is unknown")
        return d

    # --- the log -------------------------------------------------------------------------------
    def parse(self, log):
        with open(log, "r", encoding="latin-1") as f:
            lines = f.readlines()
        return self.parse_lines(lines)

    def parse_lines(self, lines):
        # A child's first calls can come before its parent's clone returns: who shares whose table
        # is taken from a first pass.
        for pid, text in merge_unfinished(lines):
            m = CALL.match(text)
            if m and m.group(1) in ("clone", "clone3", "fork", "vfork") and m.group(3).isdigit() and int(m.group(3)) > 0:
                flags = CLONE_FLAGS.search(m.group(2))
                self.parent_of[int(m.group(3))] = (pid, bool(flags and "CLONE_FILES" in flags.group(1)))
        for pid, text in merge_unfinished(lines):
            self.feed(pid, text)
        return self.ops

    def feed(self, pid, text):
        m = CALL.match(text)
        if not m:
            return
        name, body, result, note = m.group(1), m.group(2), m.group(3), m.group(4)
        if result == "?" or not result.lstrip("-").isdigit() or int(result) < 0:
            return
        result = int(result)
        a = split_args(body)
        handler = getattr(self, "on_" + name, None)
        if handler is not None:
            handler(pid, a, result, note, body)
        elif name in REFUSED:
            self.refuse(name, a, body)

    def refuse(self, name, a, body):
        if name in ("mmap", "mmap2"):
            # A shared writable mapping changes the file behind the recorder's back.
            if len(a) > 4 and "MAP_SHARED" in a[3] and "PROT_WRITE" in a[2] and self.fd_path(a[4]) is not None:
                raise RecordError(f"a shared writable mapping of {self.fd_path(a[4])}")
            return
        touched = [self.fd_path(x) for x in a if FD.match(x)] + [self.str_path(x) for x in a if STR.match(x)]
        if any(p is not None for p in touched) or name in ("io_uring_setup", "syncfs"):
            raise RecordError(f"the recorder does not model {name}({body[:200]})")

    def add(self, op):
        self.ops.append(op)

    # opening and descriptors
    def opened(self, pid, result, note, flags, path):
        self.table(pid)[str(result)] = Description(append="O_APPEND" in flags)
        if path is None:
            return
        if "O_CREAT" in flags:
            self.add(Create(path))
        if "O_TRUNC" in flags:
            self.add(Trunc(path, 0))

    def on_open(self, pid, a, result, note, body):
        self.opened(pid, result, note, a[1] if len(a) > 1 else "", self.str_path(a[0]))

    def on_openat(self, pid, a, result, note, body):
        self.opened(pid, result, note, a[2], self.str_path(a[1], a[0]))

    def on_openat2(self, pid, a, result, note, body):
        self.opened(pid, result, note, a[2], self.str_path(a[1], a[0]))

    def on_creat(self, pid, a, result, note, body):
        self.opened(pid, result, note, "O_CREAT|O_WRONLY|O_TRUNC", self.str_path(a[0]))

    def on_close(self, pid, a, result, note, body):
        self.table(pid).pop(fd_text(a[0])[0], None)

    def duplicate(self, pid, src, result):
        t = self.table(pid)
        d = t.get(fd_text(src)[0])
        if d is not None:
            t[str(result)] = d
        else:
            t.pop(str(result), None)

    def on_dup(self, pid, a, result, note, body):
        self.duplicate(pid, a[0], result)

    on_dup2 = on_dup3 = on_dup

    def on_fcntl(self, pid, a, result, note, body):
        if a[1].startswith("F_DUPFD"):
            self.duplicate(pid, a[0], result)
        elif a[1] == "F_SETFL":
            d = self.table(pid).get(fd_text(a[0])[0])
            if d is not None:
                d.append = "O_APPEND" in a[2]

    on_fcntl64 = on_fcntl

    # file positions
    def sought(self, pid, fd_arg, pos):
        d = self.table(pid).get(fd_text(fd_arg)[0])
        if d is not None:
            d.pos = pos
            d.placed = d.placed or not d.used

    def on_lseek(self, pid, a, result, note, body):
        self.sought(pid, a[0], result)

    def on__llseek(self, pid, a, result, note, body):
        self.sought(pid, a[0], int(a[2].strip("[]")))

    def on_read(self, pid, a, result, note, body):
        d = self.table(pid).get(fd_text(a[0])[0])
        if d is not None and d.pos is not None:
            d.used = d.used or not d.placed
            d.pos += result

    on_readv = on_read

    # descriptors passed over sockets
    def socket_ends(self, arg):
        """(this end's inode, the other end's) of a socket descriptor, the other end as far as any
        line of the trace has named it (strace names it on some ends only)."""
        sock = SOCKET.match(fd_text(arg)[1] or "")
        if not sock:
            return None, None
        own, peer = sock.group(1), sock.group(2)
        if peer:
            self.peer_of[own], self.peer_of[peer] = peer, own
        return own, self.peer_of.get(own)

    def on_sendmsg(self, pid, a, result, note, body):
        rights = RIGHTS.search(body)
        if not rights:
            return
        own, peer = self.socket_ends(a[0])
        if own is None:
            raise RecordError(f"descriptors sent over a socket strace does not name: {body[:200]}")
        t = self.table(pid)
        sent = [t.get(fd_text(x)[0]) for x in split_args(rights.group(1))]
        waiting = peer if self.waiting.get(peer) else next(
            (x for x, q in self.waiting.items() if q and self.peer_of.get(x) == own), None)
        if waiting is not None:
            self.settle(self.waiting[waiting].pop(0), sent)
        else:
            self.in_flight.setdefault(peer or "peer of " + own, []).append(sent)

    def on_recvmsg(self, pid, a, result, note, body):
        rights = RIGHTS.search(body)
        if not rights:
            return
        own, peer = self.socket_ends(a[0])
        if own is None:
            raise RecordError(f"descriptors received over a socket strace does not name: {body[:200]}")
        nums = [fd_text(x)[0] for x in split_args(rights.group(1))]
        queue = next((self.in_flight[k] for k in (own, f"peer of {peer}") if self.in_flight.get(k)), None)
        if queue:
            self.bind(self.table(pid), nums, queue.pop(0))
        else:
            # strace shows the send later (the sender's call completes after the receiver's is
            # printed): stand-ins until then.
            stand_ins = [Description(provisional=True) for _ in nums]
            self.bind(self.table(pid), nums, stand_ins)
            self.waiting.setdefault(own, []).append(stand_ins)

    def settle(self, stand_ins, sent):
        """A send strace showed after its receive: the stand-ins received become what was sent."""
        for stand_in, d in zip(stand_ins, sent):
            if d is None:
                stand_in.provisional = False
                continue
            if stand_in.used and (d.pos != 0 or d.append):
                raise RecordError("a descriptor was written through before strace showed where it came from, "
                                  "and its position was not the start")
            if stand_in.used or stand_in.placed:
                d.pos = stand_in.pos
            for t in self.tables.values():
                for n, x in list(t.items()):
                    if x is stand_in:
                        t[n] = d

    @staticmethod
    def bind(table, nums, sent):
        for n, d in zip(nums, sent):
            if d is None:
                table.pop(n, None)
            else:
                table[n] = d

    # writes
    def written(self, pid, fd_arg, data, offset=None):
        """A write of `data` through a descriptor, at `offset` (None: at its position)."""
        _, where = fd_text(fd_arg)
        path = self.rel(where)
        if path is None:
            if where and where.endswith(" (deleted)") and self.rel(where[: -len(" (deleted)")]) is not None:
                self.left_out["writes to deleted files"] += 1
            d = self.table(pid).get(fd_text(fd_arg)[0])
            if offset is None and d is not None and d.pos is not None and not d.append:
                d.pos += len(data)
            return
        if offset is not None:
            self.add(Write(path, offset, data))
            return
        d = self.description(pid, fd_arg, True)
        if d.append:
            self.add(Write(path, APPEND, data))
            d.pos = None  # the end of the file, known only once the record is replayed
            return
        if d.pos is None:
            raise RecordError(f"a write to {path} at a position after an append, which the record cannot place")
        d.used = d.used or not d.placed
        self.add(Write(path, d.pos, data))
        d.pos += len(data)

    def on_write(self, pid, a, result, note, body):
        _, where = fd_text(a[0])
        if where and where.endswith("/server.log") and a[0].startswith("2<"):
            s = STR.match(a[1])
            if s:
                for op in self.server.feed(hex_string(s.group(1)).decode("utf-8", "replace")):
                    self.add_reg(op)
            return
        s = STR.match(a[1])
        if s is None and self.fd_path(a[0]) is not None:
            raise RecordError(f"a write whose data strace did not show: {body[:200]}")
        self.written(pid, a[0], hex_string(s.group(1))[:result] if s else b"")

    def on_pwrite64(self, pid, a, result, note, body):
        s = STR.match(a[1])
        self.written(pid, a[0], hex_string(s.group(1))[:result] if s else b"", int(a[3]))

    def iov_data(self, body, result):
        return b"".join(hex_string(m.group(1)) for m in IOV.finditer(body))[:result]

    def on_writev(self, pid, a, result, note, body):
        if self.fd_path(a[0]) is None and not a[0].startswith("2<"):
            return self.written(pid, a[0], b"\0" * result)
        self.written(pid, a[0], self.iov_data(body, result))

    def on_pwritev(self, pid, a, result, note, body):
        offset = int(a[3])
        self.written(pid, a[0], self.iov_data(body, result), None if offset == -1 else offset)

    on_pwritev2 = on_pwritev

    def on_ftruncate(self, pid, a, result, note, body):
        path = self.fd_path(a[0])
        if path is not None:
            self.add(Trunc(path, int(a[1])))

    on_ftruncate64 = on_ftruncate

    def on_truncate(self, pid, a, result, note, body):
        path = self.str_path(a[0])
        if path is not None:
            self.add(Trunc(path, int(a[1])))

    on_truncate64 = on_truncate

    def on_fsync(self, pid, a, result, note, body):
        path = self.fd_path(a[0])
        if path is not None:
            self.add(Fsync(path))

    on_fdatasync = on_fsync

    # names
    def on_rename(self, pid, a, result, note, body):
        self.renamed(self.str_path(a[0]), self.str_path(a[1]), a[0], a[1])

    def on_renameat(self, pid, a, result, note, body):
        self.renamed(self.str_path(a[1], a[0]), self.str_path(a[3], a[2]), a[1], a[3])

    def on_renameat2(self, pid, a, result, note, body):
        if "RENAME_EXCHANGE" in a[4] or "RENAME_WHITEOUT" in a[4]:
            if self.str_path(a[1], a[0]) or self.str_path(a[3], a[2]):
                raise RecordError(f"the recorder does not model renameat2({body[:200]})")
        self.on_renameat(pid, a, result, note, body)

    def renamed(self, src, dst, src_arg, dst_arg):
        if src is None and dst is not None:
            # Its content came from where the record does not look: it cannot be replayed.
            raise RecordError(f"a move into the followed drives from elsewhere: {src_arg[:100]} -> {dst_arg[:100]}")
        if src is not None or dst is not None:
            self.add(Rename(src, dst))

    def on_unlink(self, pid, a, result, note, body):
        path = self.str_path(a[0])
        if path is not None:
            self.add(Unlink(path))

    def on_unlinkat(self, pid, a, result, note, body):
        path = self.str_path(a[1], a[0])
        if path is not None:
            self.add(Rmdir(path) if "AT_REMOVEDIR" in a[2] else Unlink(path))

    def on_mkdir(self, pid, a, result, note, body):
        path = self.str_path(a[0])
        if path is not None:
            self.add(Mkdir(path))

    def on_mkdirat(self, pid, a, result, note, body):
        path = self.str_path(a[1], a[0])
        if path is not None:
            self.add(Mkdir(path))

    def on_rmdir(self, pid, a, result, note, body):
        path = self.str_path(a[0])
        if path is not None:
            self.add(Rmdir(path))

    def add_reg(self, op):
        if is_wines_own(op):
            self.left_out["Wine's own registry changes"] += 1
            return
        self.add(op)


def prefix_drives(prefix_dir):
    """Drive letter -> folder, for every drive of the prefix whose folder lies inside the prefix."""
    prefix_dir = os.path.realpath(prefix_dir)
    out = {}
    devices = os.path.join(prefix_dir, "dosdevices")
    for name in sorted(os.listdir(devices)):
        if len(name) == 2 and name[1] == ":" and name[0].isalpha():
            target = os.path.realpath(os.path.join(devices, name))
            if target.startswith(prefix_dir + "/"):
                out[name[0].lower()] = target
    return out


# --- the server's request log -----------------------------------------------------------------

REQ = re.compile(r"^([0-9a-f]{4}): ([a-z_]+)\( (.*) \)$|^([0-9a-f]{4}): ([a-z_]+)\(\)$")
REPLY = re.compile(r"^([0-9a-f]{4}): ([a-z_]+)\(\) = (\w+)(?: \{ (.*) \})?$")
KEY_WOW64_64KEY, KEY_WOW64_32KEY = 0x100, 0x200
REG_OPTION_VOLATILE = 1
# Registry requests that change what is saved and that the recorder does not follow.
REG_REFUSED = ("rename_key", "load_registry", "unload_registry", "set_key_security")


def _field(text, name):
    m = re.search(r"(?:^|[ ,{])" + name + r"=(L\"(?:[^\"\\]|\\.)*\"|\{[^}]*\}|[^, }]+)", text)
    return m.group(1) if m else None


def _wstr(text):
    if text is None or not text.startswith('L"'):
        return ""
    body = text[2:-1]
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "t": "\t", "r": "\r", "0": "\0"}.get(m.group(1), m.group(1)), body)


def _redirect(path, access):
    """Wine's 32-bit view of HKLM\\Software: Software\\Wow6432Node (the setup always names the view)."""
    if not access & KEY_WOW64_32KEY or access & KEY_WOW64_64KEY:
        return path
    parts = path.split("\\")
    # "", "Registry", "Machine", "Software", ...
    if len(parts) > 3 and parts[1].lower() == "registry" and parts[2].lower() == "machine" \
            and parts[3].lower() == "software" and (len(parts) == 4 or parts[4].lower() not in ("wow6432node", "classes")):
        return "\\".join(parts[:4] + ["Wow6432Node"] + parts[4:])
    return path


class ServerLog:
    """Follows the server's request log: which process each thread is, the key each handle of each
    process names, and the registry changes and flushes of every process."""

    def __init__(self):
        self.partial = ""
        self.process_of = {}     # thread id -> process id
        self.handles = {}        # (process, handle) -> key path
        self.pending = {}        # thread -> (request, text)
        self.volatile = set()    # keys created volatile (never saved) and not worth recording

    def feed(self, chunk):
        self.partial += chunk
        *lines, self.partial = self.partial.split("\n")
        for line in lines:
            yield from self.line(line)

    def key_of(self, thread, handle):
        return self.handles.get((self.process_of.get(thread), handle))

    def saved(self, key):
        """Whether the server saves the key to disk: not a volatile one, nor one under DynData,
        which it keeps in memory only."""
        k = key.lower()
        if k == "\\registry\\dyndata" or k.startswith("\\registry\\dyndata\\"):
            return False
        return not any(k == v or k.startswith(v + "\\") for v in self.volatile)

    def line(self, line):
        r = REPLY.match(line)
        if r:
            thread, req, status, fields = r.group(1), r.group(2), r.group(3), r.group(4) or ""
            asked = self.pending.pop(thread, None)
            yield from self.reply(thread, req, status, fields, asked)
            return
        q = REQ.match(line)
        if not q:
            return
        thread = q.group(1) or q.group(4)
        req = q.group(2) or q.group(5)
        text = q.group(3) or ""
        self.pending[thread] = (req, text)
        if req in REG_REFUSED:
            raise RecordError(f"the recorder does not model the registry request {req}: {text[:200]}")
        key = self.key_of(thread, _field(text, "hkey")) if req in (
            "set_key_value", "delete_key_value", "delete_key", "flush_key") else None
        if key is None and req in ("set_key_value", "delete_key_value", "delete_key"):
            # A change through a handle whose key the log does not name would go unrecorded.
            raise RecordError(f"{req} on a key handle the log never opened: {line[:200]}")
        if key is None or not self.saved(key):
            pass
        elif req == "set_key_value":
            data = _field(text, "data") or "{}"
            raw = bytes(int(b, 16) for b in data.strip("{}").split(",") if b)
            self.pending[thread] = (req, RegSet(key, _wstr(_field(text, "name")), int(_field(text, "type")) & 0xFFFFFFFF, raw))
        elif req == "delete_key_value":
            self.pending[thread] = (req, RegDelVal(key, _wstr(_field(text, "name"))))
        elif req == "delete_key":
            self.pending[thread] = (req, RegDelKey(key))
        elif req == "flush_key":
            self.pending[thread] = (req, RegFlush(key))
        if req == "close_handle":
            self.handles.pop((self.process_of.get(thread), _field(text, "handle")), None)

    def reply(self, thread, req, status, fields, asked):
        if req == "init_first_thread":
            self.process_of[_field(fields, "tid")] = _field(fields, "pid")
        elif req == "new_thread" and asked and "process=ffffffff" in asked[1]:
            self.process_of[_field(fields, "tid")] = self.process_of.get(thread)
        elif req in ("create_key", "open_key") and asked and status in ("0", "OBJECT_NAME_EXISTS"):
            text = asked[1]
            if req == "create_key":
                parent = _field(text, "rootdir")
                name = _wstr(re.search(r'name=(L"(?:[^"\\]|\\.)*")', text).group(1))
            else:
                parent = _field(text, "parent")
                name = _wstr(_field(text, "name"))
            access = int(_field(text, "access"), 16)
            if name.lower().startswith("\\registry"):
                path = "\\Registry" + name[len("\\Registry"):]
            else:
                base = self.key_of(thread, parent)
                if base is None:
                    return
                path = base + ("\\" + name if name else "")
            path = _redirect(path, access)
            self.handles[(self.process_of.get(thread), _field(fields, "hkey"))] = path
            if req == "create_key" and status == "0":
                # The options of a key that already was are not its own.
                if int(_field(text, "options") or "0", 16) & REG_OPTION_VOLATILE:
                    self.volatile.add(path.lower())
                elif self.saved(path):
                    yield RegCreate(path)
        elif asked and isinstance(asked[1], tuple) and status == "0":
            yield asked[1]
