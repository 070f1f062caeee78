"""Recording one run of the real setup as an ordered list of durable-state operations.

The run is started under `strace -f` together with a wineserver of its own started with `-d1`:
the file system calls of every Wine process (and of the server, which opens, renames and deletes
files for its clients) and the server's request log (written to its stderr, so each request is one
`write(2, ...)` of the server) land in one ordered trace. Wine keeps the registry in its server and
never writes it through, so the registry's operations are taken from the request log and resolved
to key paths here.

Operations (tuples, first item the kind):
  ("create", path)              a file opened with O_CREAT (made when missing)
  ("trunc", path, size)
  ("write", path, offset, data)
  ("fsync", path)               file data and every earlier metadata operation made durable
  ("rename", src, dst)          (the setup moves with MOVEFILE_WRITE_THROUGH: durable on return)
  ("unlink", path) ("mkdir", path) ("rmdir", path)
  ("regcreate", key) ("regset", key, name, type, data) ("regdelval", key, name)
  ("regdelkey", key) ("regflush", key)
Paths are relative to drive_c with "/" separators; keys are full server paths
("\\Registry\\Machine\\Software\\...") with the 32-bit view already redirected.
"""
import os
import re
import subprocess

SYSCALLS = ("execve,clone,clone3,write,pwrite64,writev,pwritev,pwritev2,openat,open,creat,rename,renameat,"
            "renameat2,unlink,unlinkat,mkdir,mkdirat,rmdir,fsync,fdatasync,ftruncate,truncate,close,dup2,dup3")

LINE = re.compile(r"^(\d+)\s+(.*)$")
CALL = re.compile(r"^([a-z0-9_]+)\((.*)\)\s+=\s+(-?\d+|\?)(?:<[^>]*>)?(.*)$", re.S)


def run_traced(prefix_env, program, args, out_dir, cwd, timeout=600, alongside=None):
    """Runs `wine program args` under strace with the prefix's own server logging its requests,
    calling alongside() meanwhile (what a person does in the program's window), if given.
    Returns (exit code of the program, strace log path)."""
    os.makedirs(out_dir, exist_ok=True)
    log = os.path.join(out_dir, "strace.log")
    server_log = os.path.join(out_dir, "server.log")
    quoted = " ".join("'" + a.replace("'", "'\\''") + "'" for a in [program, *args])
    script = (f"wineserver -f -d1 -p0 2>'{server_log}' & sleep 1; wine {quoted}; rc=$?; "
              f"wineserver -w; wait; exit $rc")
    cmd = ["strace", "-f", "-qq", "--seccomp-bpf", "-e", f"trace={SYSCALLS}", "-y", "-xx",
           "-s", str(64 * 1024 * 1024), "-o", log, "sh", "-c", script]
    proc = subprocess.Popen(cmd, env=prefix_env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if alongside:
            alongside()
        return proc.wait(timeout=timeout), log
    finally:
        if proc.poll() is None:
            proc.kill()


def _merge_unfinished(path):
    """Yields (pid, text) per completed syscall, joining `<unfinished ...>` with its resumption at
    the point where the call completed."""
    pending = {}
    with open(path, "r", encoding="latin-1") as f:
        for raw in f:
            raw = raw.rstrip("\n")
            m = LINE.match(raw)
            if not m:
                continue
            pid, text = int(m.group(1)), m.group(2)
            if text.endswith("<unfinished ...>"):
                pending[pid] = text[: -len("<unfinished ...>")].rstrip()
                continue
            if text.startswith("<... "):
                head = pending.pop(pid, None)
                if head is None:
                    continue
                rest = text.split("resumed>", 1)[1] if "resumed>" in text else ""
                text = head + rest
            yield pid, text


def _hex_string(s):
    """Decodes strace's -xx string body ("\\x41\\x42...")."""
    return bytes.fromhex(s.replace("\\x", ""))


def _args(body):
    """Splits a syscall's argument text at top-level commas."""
    out, depth, cur, quote = [], 0, [], False
    i = 0
    while i < len(body):
        c = body[i]
        if quote:
            cur.append(c)
            if c == "\\":
                cur.append(body[i + 1])
                i += 2
                continue
            if c == '"':
                quote = False
        elif c == '"':
            quote = True
            cur.append(c)
        elif c in "[{(<":
            depth += 1
            cur.append(c)
        elif c in "]})>":
            depth -= 1
            cur.append(c)
        elif c == "," and depth == 0:
            out.append("".join(cur).strip())
            cur = []
        else:
            cur.append(c)
        i += 1
    if cur:
        out.append("".join(cur).strip())
    return out


APPEND = -1
FD = re.compile(r"^(-?\d+|AT_FDCWD)(?:<(.*)>)?$", re.S)
STR = re.compile(r'^"((?:\\x[0-9a-f]{2})*)"(\.\.\.)?$')


class Recorder:
    """Turns the strace log of one run into the operation list."""

    def __init__(self, prefix_dir):
        self.prefix_dir = os.path.realpath(prefix_dir)
        self.drive_c = os.path.join(self.prefix_dir, "drive_c")
        self.server_pids = set()
        self.ops = []
        self.positions = {}  # (fd, path) -> position, for write()
        self.appending = set()  # (fd, path) opened with O_APPEND
        self.server = ServerLog()

    def rel(self, path):
        if path is None:
            return None
        path = path.replace(self.prefix_dir + "/dosdevices/c:/", self.drive_c + "/")
        if not path.startswith(self.drive_c + "/"):
            return None
        rel = path[len(self.drive_c) + 1:]
        first = rel.split("/", 1)[0].lower()
        if first == "windows":
            return None
        return rel

    def raw_fd_path(self, arg):
        m = FD.match(arg)
        if not m or m.group(2) is None:
            return ""
        return _hex_string(m.group(2)).decode("utf-8", "replace") if m.group(2).startswith("\\x") else m.group(2)

    def fd_path(self, arg):
        m = FD.match(arg)
        if not m or m.group(2) is None:
            return None
        return self.rel(_hex_string(m.group(2)).decode("utf-8", "replace") if m.group(2).startswith("\\x")
                        else m.group(2))

    def str_path(self, arg, dirfd=None):
        m = STR.match(arg)
        if not m:
            return None
        text = _hex_string(m.group(1)).decode("utf-8", "replace")
        if not text.startswith("/") and dirfd is not None:
            d = FD.match(dirfd)
            if d and d.group(2):
                base = _hex_string(d.group(2)).decode("utf-8", "replace") if d.group(2).startswith("\\x") else d.group(2)
                text = base + "/" + text
        return self.rel(os.path.normpath(text))

    def feed(self, pid, text):
        m = CALL.match(text)
        if not m:
            return
        name, body, result = m.group(1), m.group(2), m.group(3)
        if name == "execve":
            return
        if result == "?" or int(result) < 0:
            return
        a = _args(body)
        if name == "write" and a[0].startswith("2<") and self.raw_fd_path(a[0]).endswith("/server.log"):
            s = STR.match(a[1])
            if s:
                for op in self.server.feed(_hex_string(s.group(1)).decode("utf-8", "replace")):
                    self.ops.append(op)
            return
        if name in ("write", "pwrite64"):
            path = self.fd_path(a[0])
            if path is None:
                return
            s = STR.match(a[1])
            data = _hex_string(s.group(1))[: int(result)] if s else b""
            fdnum = FD.match(a[0]).group(1)
            if name == "pwrite64":
                offset = int(a[3])
            elif (fdnum, path) in self.appending:
                offset = APPEND  # at the end of the file as it is then: resolved on replay
            else:
                offset = self.positions.get((fdnum, path), 0)
                self.positions[(fdnum, path)] = offset + len(data)
            self.ops.append(("write", path, offset, data))
        elif name in ("openat", "open"):
            flags = a[2] if name == "openat" else a[1]
            ret = text.split("=")[-1].strip()
            path = self.str_path(a[1], a[0]) if name == "openat" else self.str_path(a[0])
            fd = FD.match(ret)
            if path is None:
                return
            if fd:
                self.positions[(fd.group(1), path)] = 0
                if "O_APPEND" in flags:
                    self.appending.add((fd.group(1), path))
                else:
                    self.appending.discard((fd.group(1), path))
            if "O_CREAT" in flags:
                self.ops.append(("create", path))
            if "O_TRUNC" in flags:
                self.ops.append(("trunc", path, 0))
        elif name == "ftruncate":
            path = self.fd_path(a[0])
            if path is not None:
                self.ops.append(("trunc", path, int(a[1])))
        elif name in ("fsync", "fdatasync"):
            path = self.fd_path(a[0])
            if path is not None:
                self.ops.append(("fsync", path))
        elif name in ("rename", "renameat", "renameat2"):
            if name == "rename":
                src, dst = self.str_path(a[0]), self.str_path(a[1])
            else:
                src, dst = self.str_path(a[1], a[0]), self.str_path(a[3], a[2])
            if src is not None or dst is not None:
                self.ops.append(("rename", src, dst))
        elif name in ("unlink", "unlinkat"):
            path = self.str_path(a[0]) if name == "unlink" else self.str_path(a[1], a[0])
            if path is not None:
                kind = "rmdir" if name == "unlinkat" and "AT_REMOVEDIR" in a[2] else "unlink"
                self.ops.append((kind, path))
        elif name in ("mkdir", "mkdirat"):
            path = self.str_path(a[0]) if name == "mkdir" else self.str_path(a[1], a[0])
            if path is not None:
                self.ops.append(("mkdir", path))
        elif name == "rmdir":
            path = self.str_path(a[0])
            if path is not None:
                self.ops.append(("rmdir", path))

    def parse(self, log):
        for pid, text in _merge_unfinished(log):
            self.feed(pid, text)
        return self.ops


# --- the server's request log -----------------------------------------------------------------

REQ = re.compile(r"^([0-9a-f]{4}): ([a-z_]+)\( (.*) \)$|^([0-9a-f]{4}): ([a-z_]+)\(\)$")
REPLY = re.compile(r"^([0-9a-f]{4}): ([a-z_]+)\(\) = (\w+)(?: \{ (.*) \})?$")
KEY_WOW64_64KEY, KEY_WOW64_32KEY = 0x100, 0x200


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
    process names, and the registry changes and flushes of the processes under test."""

    def __init__(self, image_filter=("zelvan",)):
        self.partial = ""
        self.process_of = {}     # thread id -> process id
        self.image_of = {}       # process id -> image path
        self.handles = {}        # (process, handle) -> key path
        self.pending = {}        # thread -> (request, text)
        self.image_filter = image_filter

    def interesting(self, thread):
        image = self.image_of.get(self.process_of.get(thread), "").lower()
        return any(word in image for word in self.image_filter)

    def feed(self, chunk):
        self.partial += chunk
        *lines, self.partial = self.partial.split("\n")
        for line in lines:
            yield from self.line(line)

    def key_of(self, thread, handle):
        return self.handles.get((self.process_of.get(thread), handle))

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
        if req == "set_key_value" and self.interesting(thread):
            key = self.key_of(thread, _field(text, "hkey"))
            data = _field(text, "data") or "{}"
            raw = bytes(int(b, 16) for b in data.strip("{}").split(",") if b)
            if key:
                self.pending[thread] = (req, ("regset", key, _wstr(_field(text, "name")), int(_field(text, "type")), raw))
        elif req == "delete_key_value" and self.interesting(thread):
            key = self.key_of(thread, _field(text, "hkey"))
            if key:
                self.pending[thread] = (req, ("regdelval", key, _wstr(_field(text, "name"))))
        elif req == "delete_key" and self.interesting(thread):
            key = self.key_of(thread, _field(text, "hkey"))
            if key:
                self.pending[thread] = (req, ("regdelkey", key))
        elif req == "flush_key" and self.interesting(thread):
            key = self.key_of(thread, _field(text, "hkey"))
            if key:
                self.pending[thread] = (req, ("regflush", key))
        elif req == "close_handle":
            self.handles.pop((self.process_of.get(thread), _field(text, "handle")), None)

    def reply(self, thread, req, status, fields, asked):
        if req == "init_first_thread":
            self.process_of[_field(fields, "tid")] = _field(fields, "pid")
            if _field(fields, "info_size") == "0":
                # Started from the Unix side, not by another Windows process: the program run.
                self.image_of.setdefault(_field(fields, "pid"), "(the program run) zelvan")
        elif req == "new_thread" and asked and "process=ffffffff" in asked[1]:
            self.process_of[_field(fields, "tid")] = self.process_of.get(thread)
        elif req == "new_process" and asked and status == "0":
            m = re.search(r'imagepath=(L"(?:[^"\\]|\\.)*")', asked[1])
            if m:
                self.image_of[_field(fields, "pid")] = _wstr(m.group(1))
        elif req == "get_startup_info":
            self.image_of[self.process_of.get(thread)] = _wstr(_field(fields, "imagepath"))
        elif req in ("create_key", "open_key") and asked and status in ("0", "OBJECT_NAME_EXISTS"):
            text = asked[1]
            if req == "create_key":
                parent = _field(text, "rootdir")
                name = _wstr(re.search(r'name=(L"(?:[^"\\]|\\.)*")', text).group(1))
            else:
                parent = _field(text, "parent")
                name = _wstr(_field(text, "name"))
            access = int(_field(text, "access"), 16)
            if name.startswith("\\Registry"):
                path = name
            else:
                base = self.key_of(thread, parent)
                if base is None:
                    return
                path = base + ("\\" + name if name else "")
            path = _redirect(path, access)
            self.handles[(self.process_of.get(thread), _field(fields, "hkey"))] = path
            if req == "create_key" and status == "0" and self.interesting(thread):
                yield ("regcreate", path)
        elif asked and isinstance(asked[1], tuple) and status == "0":
            yield asked[1]
