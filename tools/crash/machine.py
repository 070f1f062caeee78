"""Machine states of a Wine prefix for the crash explorer: the files under the folders a record
touches and the registry keys it touches, read from the prefix, changed by a record's operations in
memory, written back, and compared.

The registry is handled through Wine's own files (system.reg, user.reg) while no server runs: the
explorer writes a state into them, and the next start of a program loads it, as Windows loads its
hives after a restart. That first start also carries out the pending renames, as a restart does.
"""
import hashlib
import os
import re
import shutil

USER_SID = "S-1-5-21-0-0-0-1000"
LOG_NAME = re.compile(r"^programdata/zelvansetup/zelvan-(setup|uninstall)-.*\.log$", re.I)


def touched_roots(ops):
    """The folders whose content the explorer restores and compares: for each path an operation
    names, its first three components (or its parent when shorter)."""
    roots = set()
    for op in ops:
        for p in op[1:3]:
            if isinstance(p, str) and "/" in p and not p.startswith("\\"):
                parts = p.split("/")
                roots.add("/".join(parts[: min(3, len(parts) - 1)]))
    out = []
    for r in sorted(roots, key=len):
        if not any(r == o or r.startswith(o + "/") for o in out):
            out.append(r)
    return out


def has_link(prefix_dir, root):
    path = os.path.join(prefix_dir, "drive_c")
    for part in root.split("/"):
        path = os.path.join(path, part)
        if os.path.islink(path):
            return True
    return False


def read_files(drive_c, roots):
    files = {}
    for root in roots:
        base = os.path.join(drive_c, root)
        if not os.path.lexists(base):
            continue
        files[root] = None
        for dirpath, dirnames, filenames in os.walk(base):
            for d in dirnames:
                files[os.path.relpath(os.path.join(dirpath, d), drive_c)] = None
            for n in filenames:
                full = os.path.join(dirpath, n)
                with open(full, "rb") as f:
                    files[os.path.relpath(full, drive_c)] = f.read()
    return files


def apply_file_ops(files, ops):
    """Replays operations on a {path: bytes or None (folder)} map (case as recorded)."""
    files = dict(files)
    lower = {k.lower(): k for k in files}

    def find(p):
        return lower.get(p.lower())

    for op in ops:
        kind = op[0]
        if kind == "create":
            if find(op[1]) is None:
                files[op[1]] = b""
                lower[op[1].lower()] = op[1]
        elif kind == "trunc":
            k = find(op[1])
            if k is not None and files[k] is not None:
                files[k] = files[k][: op[2]] + bytes(max(0, op[2] - len(files[k])))
        elif kind == "write":
            k = find(op[1])
            if k is not None and files[k] is not None:
                buf = bytearray(files[k])
                end = op[2] + len(op[3])
                if len(buf) < end:
                    buf.extend(bytes(end - len(buf)))
                buf[op[2]:end] = op[3]
                files[k] = bytes(buf)
        elif kind == "mkdir":
            if find(op[1]) is None:
                files[op[1]] = None
                lower[op[1].lower()] = op[1]
        elif kind in ("unlink", "rmdir"):
            k = find(op[1])
            if k is not None:
                del files[k]
                del lower[k.lower()]
        elif kind == "rename":
            src, dst = op[1], op[2]
            k = find(src) if src else None
            if k is None:
                continue
            if dst is None:  # moved out of the folders under test
                prefix = k.lower() + "/"
                for p in [p for p in files if p.lower() == k.lower() or p.lower().startswith(prefix)]:
                    del files[p]
                    del lower[p.lower()]
                continue
            old = find(dst)
            if old is not None and files[old] is not None:
                del files[old]
                del lower[old.lower()]
            prefix = k.lower() + "/"
            moved = [p for p in files if p.lower() == k.lower() or p.lower().startswith(prefix)]
            for p in moved:
                q = dst + p[len(k):]
                files[q] = files.pop(p)
                del lower[p.lower()]
                lower[q.lower()] = q
    return files


def resolve_appends(files, ops):
    """Gives every append of the record the offset it wrote at, by replaying the record on the
    files before the run."""
    files = dict(files)
    out = []
    for op in ops:
        if op[0] == "write" and op[2] < 0:
            k = next((p for p in files if p.lower() == op[1].lower()), None)
            size = len(files[k]) if k is not None and files[k] is not None else 0
            op = ("write", op[1], size, op[3])
        out.append(op)
        files = apply_file_ops(files, [op])
    return out


def write_files(drive_c, roots, files):
    for root in roots:
        base = os.path.join(drive_c, root)
        if os.path.isdir(base) and not os.path.islink(base):
            shutil.rmtree(base)
        elif os.path.lexists(base):
            os.remove(base)
    for path in sorted(files, key=lambda p: p.count("/")):
        full = os.path.join(drive_c, path)
        if files[path] is None:
            os.makedirs(full, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(files[path])


def file_digest(files):
    """Path (lower case) -> content digest, logs left out."""
    out = {}
    for p, data in files.items():
        if LOG_NAME.match(p) or p.lower() == "programdata/zelvansetup":
            continue  # the logs, and their folder, which every start makes
        out[p.lower()] = "folder" if data is None else hashlib.sha256(data).hexdigest()[:16]
    return out


# --- Wine's registry files ---------------------------------------------------------------------

REG_FILES = (("system.reg", "\\registry\\machine"), ("user.reg", "\\registry\\user\\" + USER_SID.lower()))
SECTION = re.compile(r'^\[(.*)\](?: \d+)?$')


def _unescape_key(text):
    return re.sub(r"\\(.)", r"\1", text)


def _escape(text):
    out = []
    for c in text:
        if c in '\\"':
            out.append("\\" + c)
        elif 32 <= ord(c) < 127:
            out.append(c)
        else:
            out.append("\\x%04x" % ord(c))
    return "".join(out)


class RegFile:
    """One of Wine's registry files: its header and its sections in order, each kept as raw text
    unless changed."""

    def __init__(self, path, root):
        self.path, self.root = path, root
        with open(path, "r", encoding="utf-8", errors="surrogateescape") as f:
            text = f.read()
        chunks = re.split(r"\n(?=\[)", text)
        self.header = chunks[0]
        self.sections = {}   # lower-case key (relative) -> [name, lines]
        self.order = []
        for chunk in chunks[1:]:
            lines = []
            for line in chunk.rstrip("\n").split("\n"):
                # Long values go on over several lines, each but the last ending in "\".
                if lines and lines[-1].endswith("\\") and not lines[-1].startswith("["):
                    lines[-1] = lines[-1][:-1] + line.strip()
                else:
                    lines.append(line)
            m = SECTION.match(lines[0])
            name = _unescape_key(m.group(1))
            self.sections[name.lower()] = [name, lines]
            self.order.append(name.lower())

    def relative(self, key):
        k = key.lower()
        if k == self.root:
            return ""
        if k.startswith(self.root + "\\"):
            return key[len(self.root) + 1:]
        return None

    def save(self):
        parts = [self.header.rstrip("\n") + "\n"]
        for k in self.order:
            if k in self.sections:
                parts.append("\n".join(self.sections[k][1]) + "\n")
        with open(self.path, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write("\n".join(parts))

    def values(self, rel):
        """The values of a key as {name lower: (name, line)}, or None when the key is missing."""
        s = self.sections.get(rel.lower())
        if s is None:
            return None
        out = {}
        for line in s[1][1:]:
            if line.startswith("@="):
                out[""] = ("", line)
            elif line.startswith('"'):
                m = re.match(r'^"((?:[^"\\]|\\.)*)"=', line)
                if m:
                    name = re.sub(r"\\(.)", r"\1", m.group(1))
                    out[name.lower()] = (name, line)
        return out


def value_line(name, vtype, data):
    head = "@" if name == "" else '"' + _escape(name) + '"'
    return head + "=hex(%x):" % vtype + ",".join("%02x" % b for b in data)


def canonical(line):
    """A value line as (type, bytes), whatever form Wine wrote it in."""
    body = line.split("=", 1)[1] if line.startswith("@=") else re.sub(r'^"(?:[^"\\]|\\.)*"=', "", line)
    if body.startswith('"'):
        return (1, _str_bytes(body))
    m = re.match(r"^str\((\d)\):(.*)$", body)
    if m:
        return (int(m.group(1)), _str_bytes(m.group(2)))
    if body.startswith("dword:"):
        return (4, int(body[6:], 16).to_bytes(4, "little"))
    m = re.match(r"^hex(?:\(([0-9a-f]+)\))?:(.*)$", body, re.S)
    if m:
        hexes = m.group(2).replace("\\\n", "").replace(" ", "")
        return (int(m.group(1), 16) if m.group(1) else 3, bytes(int(b, 16) for b in hexes.split(",") if b))
    return (None, body)


def _str_bytes(quoted):
    body = quoted[1:-1]
    text = re.sub(r"\\x([0-9a-fA-F]{1,4})|\\(.)",
                  lambda m: chr(int(m.group(1), 16)) if m.group(1) else {"n": "\n", "0": "\0"}.get(m.group(2), m.group(2)),
                  body)
    return text.encode("utf-16-le") + b"\0\0"


class Registry:
    def __init__(self, prefix_dir):
        self.files = [RegFile(os.path.join(prefix_dir, n), root) for n, root in REG_FILES]

    def locate(self, key):
        for f in self.files:
            rel = f.relative(key)
            if rel is not None:
                return f, rel
        return None, None

    def apply(self, ops):
        for op in ops:
            kind = op[0]
            if not kind.startswith("reg") or kind == "regflush":
                continue
            f, rel = self.locate(op[1])
            if f is None:
                continue
            lk = rel.lower()
            if kind == "regcreate":
                parts = rel.split("\\")
                for i in range(1, len(parts) + 1):
                    sub = "\\".join(parts[:i])
                    if sub.lower() not in f.sections:
                        f.sections[sub.lower()] = [sub, ["[" + sub.replace("\\", "\\\\") + "] 0"]]
                        f.order.append(sub.lower())
            elif kind == "regdelkey":
                # Wine writes no section for a parent that has subkeys and no values: once its last
                # subkey goes, the parent needs one of its own, or it would go with it.
                parent = rel.rsplit("\\", 1)[0] if "\\" in rel else ""
                if parent and parent.lower() not in f.sections and lk in f.sections and not any(
                        k.startswith(parent.lower() + "\\") and k != lk and not k.startswith(lk + "\\") for k in f.sections):
                    f.sections[parent.lower()] = [parent, ["[" + parent.replace("\\", "\\\\") + "] 0"]]
                    f.order.append(parent.lower())
                f.sections.pop(lk, None)
            elif kind in ("regset", "regdelval"):
                s = f.sections.get(lk)
                if s is None:
                    continue
                existing = f.values(rel)
                name = op[2]
                lines = s[1]
                if name.lower() in existing:
                    lines.remove(existing[name.lower()][1])
                if kind == "regset":
                    lines.append(value_line(name, op[3], op[4]))

    def save(self):
        for f in self.files:
            f.save()

    def digest(self, keys):
        """For each key (and its subkeys): its values as (type, bytes), in both views of
        HKLM\\Software."""
        out = {}
        for key in both_views(keys):
            f, rel = self.locate(key)
            if f is None:
                continue
            lk = rel.lower()
            for k in f.sections:
                if k == lk or k.startswith(lk + "\\"):
                    vals = f.values(f.sections[k][0])
                    out[f.root + "\\" + k] = tuple(sorted((n, canonical(line)) for n, (_, line) in vals.items()))
        return out


def outside_files(drive_c, roots):
    """Everything under drive_c but the roots: a file as its size and time, a folder as being there
    (its time moves whenever a root below it changes)."""
    out = {}
    skip = {r.lower() for r in roots}
    for dirpath, dirnames, filenames in os.walk(drive_c):
        rel_dir = os.path.relpath(dirpath, drive_c)
        kept = []
        for d in dirnames:
            rel = d if rel_dir == "." else rel_dir + "/" + d
            if rel.lower() in skip:
                continue
            out[rel] = "folder"
            if not os.path.islink(os.path.join(dirpath, d)):
                kept.append(d)
        dirnames[:] = kept
        for n in filenames:
            rel = n if rel_dir == "." else rel_dir + "/" + n
            if rel.lower() in skip:
                continue
            st = os.lstat(os.path.join(dirpath, n))
            out[rel] = (st.st_size, st.st_mtime_ns)
    return out


def outside_keys(reg, keys, ignored):
    """Every key of the registry files but the given ones (both views, with their subkeys) and those
    the pattern `ignored` finds: its values' lines, their times left out."""
    inside = set(both_views(keys))
    out = {}
    for f in reg.files:
        for k, (_, lines) in f.sections.items():
            # Wine writes no section for a key with subkeys and no values: such a key is there all
            # the same, as its subkeys' parent.
            full, within = f.root, False
            for depth, part in enumerate(k.split("\\"), 1):
                full += "\\" + part
                within = within or full in inside
                leaf = depth == k.count("\\") + 1
                if within or (not leaf and full in out) or ignored.search(full):
                    continue
                body = "\n".join(l for l in lines[1:] if l and not l.startswith("#time")) if leaf else ""
                out[full] = hashlib.sha1(body.encode("utf-8", "surrogateescape")).hexdigest() if body else ""
    return out


def both_views(keys):
    out = set()
    for key in keys:
        k = key.lower()
        out.add(k)
        m = re.match(r"^(\\registry\\machine\\software)\\wow6432node(\\.*)?$", k)
        if m:
            out.add(m.group(1) + (m.group(2) or ""))
        else:
            m = re.match(r"^(\\registry\\machine\\software)(\\.*)$", k)
            if m and not m.group(2).startswith("\\classes"):
                out.add(m.group(1) + "\\wow6432node" + m.group(2))
    return sorted(out)


def touched_keys(ops):
    keys = set()
    for op in ops:
        if op[0].startswith("reg") and op[0] != "regflush":
            keys.add(op[1])
    # The narrowest keys are compared with their subkeys; the pending renames are values of
    # Session Manager, compared as one key.
    return sorted(keys)
