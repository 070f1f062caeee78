"""Machine states of a Wine prefix for the crash explorer: the files under the folders a record
touches and the registry keys it touches, read from the prefix, changed by a record's operations in
memory, written back, and compared.

The registry is handled through Wine's own files (system.reg, user.reg) while no server runs: the
explorer writes a state into them, and the next start of a program loads it, as Windows loads its
hives after a restart. That first start also carries out the pending renames, as a restart does.
"""
import copy
import hashlib
import os
import re
import shutil

from ops import REG_CHANGE, Fsync, RegCreate, RegDelKey, RegSet, paths_of

USER_SID = "S-1-5-21-0-0-0-1000"
LOG_NAME = re.compile(r"^c:/programdata/zelvansetup/zelvan-(setup|uninstall)-.*\.log$", re.I)


def touched_roots(ops):
    """The folders whose content the explorer restores and compares: for each path an operation
    names, its first three components below the drive (or its parent when shorter)."""
    roots = set()
    for op in ops:
        if isinstance(op, Fsync):
            continue  # a flush changes nothing; a folder's flush names a folder above the roots
        for p in paths_of(op):
            parts = p.split("/")
            if len(parts) > 1:
                roots.add("/".join(parts[: min(4, len(parts) - 1)]))
    out = []
    for r in sorted(roots, key=len):
        if not any(r.lower() == o.lower() or r.lower().startswith(o.lower() + "/") for o in out):
            out.append(r)
    return out


def host(drives, path):
    """The host path of a drive path, matching each component without regard to case as Wine does."""
    letter, _, rest = path.partition(":")
    out = drives[letter.lower()]
    for part in [p for p in rest.split("/") if p]:
        candidate = os.path.join(out, part)
        if not os.path.lexists(candidate) and os.path.isdir(out):
            for entry in os.listdir(out):
                if entry.lower() == part.lower():
                    candidate = os.path.join(out, entry)
                    break
        out = candidate
    return out


def has_link(drives, root):
    letter, _, rest = root.partition(":")
    path = drives[letter.lower()]
    for part in [p for p in rest.split("/") if p]:
        path = os.path.join(path, part)
        if os.path.islink(path):
            return True
    return False


def read_files(drives, roots):
    """{drive path: bytes, or None for a folder} at or below the roots, with the folders above each
    root that are there (a replay makes its files in them)."""
    files = {}
    for root in roots:
        parts = root.split("/")
        for i in range(1, len(parts)):
            above = "/".join(parts[:i])
            if os.path.isdir(host(drives, above)):
                files.setdefault(above, None)
        base = host(drives, root)
        if not os.path.lexists(base):
            continue
        if not os.path.isdir(base):
            with open(base, "rb") as f:
                files[root] = f.read()
            continue
        files[root] = None
        for dirpath, dirnames, filenames in os.walk(base):
            rel = root + dirpath[len(base):]
            for d in dirnames:
                files[rel + "/" + d] = None
            for n in filenames:
                with open(os.path.join(dirpath, n), "rb") as f:
                    files[rel + "/" + n] = f.read()
    return files


def within_only(files, roots):
    return {p: v for p, v in files.items() if within(p, roots)}


def within(path, roots):
    p = path.lower()
    return any(p == r.lower() or p.startswith(r.lower() + "/") for r in roots)


def write_files(drives, roots, files):
    for root in roots:
        base = host(drives, root)
        if os.path.isdir(base) and not os.path.islink(base):
            shutil.rmtree(base)
        elif os.path.lexists(base):
            os.remove(base)
    for path in sorted((p for p in files if within(p, roots)), key=lambda p: p.count("/")):
        full = host(drives, path)
        if files[path] is None:
            os.makedirs(full, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(files[path])


def file_digest(files, logs=False):
    """Path (lower case) -> content digest and size, or "folder"; the logs (and their folder, which
    every start makes) left out unless asked for."""
    out = {}
    for p, data in files.items():
        if not logs and (LOG_NAME.match(p) or p.lower() == "c:/programdata/zelvansetup"):
            continue
        out[p.lower()] = "folder" if data is None else f"{len(data)} bytes {hashlib.sha256(data).hexdigest()[:16]}"
    return out


# --- Wine's registry files ---------------------------------------------------------------------

REG_FILES = (("system.reg", "\\registry\\machine"), ("user.reg", "\\registry\\user\\" + USER_SID.lower()))
SECTION = re.compile(r'^\[(.*)\](?: \d+)?$')


def _unescape_key(text):
    if "\\" not in text.replace("\\\\", ""):
        return text.replace("\\\\", "\\")
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


class Section:
    """One key's section of a registry file: its raw text, its lines parsed only when asked for."""

    __slots__ = ("name", "raw", "_lines")

    def __init__(self, name, raw=None, lines=None):
        self.name, self.raw, self._lines = name, raw, lines

    @property
    def lines(self):
        if self._lines is None:
            lines = []
            for line in self.raw.rstrip("\n").split("\n"):
                # Long values go on over several lines, each but the last ending in "\".
                if lines and lines[-1].endswith("\\") and not lines[-1].startswith("["):
                    lines[-1] = lines[-1][:-1] + line.strip()
                else:
                    lines.append(line)
            self._lines = lines
        return self._lines

    def text(self):
        return "\n".join(self._lines) if self._lines is not None else self.raw.rstrip("\n")

    def body(self):
        """Its values' lines as written, times left out."""
        lines = self.text().split("\n")[1:]
        return "\n".join(line for line in lines if line and not line.startswith("#time"))


class RegFile:
    """One of Wine's registry files: its header and its sections in order, each kept as raw text
    unless changed."""

    def __init__(self, path, root, text=None):
        self.path, self.root = path, root
        if text is None:
            with open(path, "r", encoding="utf-8", errors="surrogateescape") as f:
                text = f.read()
        chunks = text.split("\n[")
        self.header = chunks[0]
        self.sections = {}   # lower-case key (relative) -> Section
        self.order = []
        for chunk in chunks[1:]:
            chunk = "[" + chunk
            m = SECTION.match(chunk[: chunk.find("\n")] if "\n" in chunk else chunk)
            name = _unescape_key(m.group(1))
            self.sections[name.lower()] = Section(name, raw=chunk)
            self.order.append(name.lower())

    def add(self, name):
        self.sections[name.lower()] = Section(name, lines=["[" + name.replace("\\", "\\\\") + "] 0"])
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
                parts.append(self.sections[k].text() + "\n")
        with open(self.path, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write("\n".join(parts))

    def values(self, rel):
        """The values of a key as {name lower: (name, line)}, or None when the key is missing."""
        s = self.sections.get(rel.lower())
        if s is None:
            return None
        out = {}
        for line in s.lines[1:]:
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
    def __init__(self, prefix_dir, contents=None):
        """Wine's registry files of a prefix, or their given contents ({file name: bytes})."""
        self.files = [RegFile(os.path.join(prefix_dir or "", n), root,
                              contents[n].decode("utf-8", "surrogateescape") if contents else None)
                      for n, root in REG_FILES]

    @classmethod
    def from_bytes(cls, contents):
        return cls(None, contents)

    def copy_to(self, prefix_dir):
        """A copy to be changed and saved into the prefix's files; sections are shared until changed."""
        twin = copy.copy(self)
        twin.files = []
        for f, (name, _) in zip(self.files, REG_FILES):
            g = copy.copy(f)
            g.path = os.path.join(prefix_dir, name)
            g.sections = dict(f.sections)
            g.order = list(f.order)
            twin.files.append(g)
        return twin

    def locate(self, key):
        for f in self.files:
            rel = f.relative(key)
            if rel is not None:
                return f, rel
        return None, None

    def apply(self, ops):
        for op in ops:
            if not isinstance(op, REG_CHANGE):
                continue
            f, rel = self.locate(op.key)
            if f is None:
                raise ValueError(f"a registry change outside Wine's registry files: {op.key}")
            lk = rel.lower()
            if isinstance(op, RegCreate):
                parts = rel.split("\\")
                for i in range(1, len(parts) + 1):
                    sub = "\\".join(parts[:i])
                    if sub.lower() not in f.sections:
                        f.add(sub)
            elif isinstance(op, RegDelKey):
                # Wine writes no section for a parent that has subkeys and no values: once its last
                # subkey goes, the parent needs one of its own, or it would go with it.
                parent = rel.rsplit("\\", 1)[0] if "\\" in rel else ""
                if parent and parent.lower() not in f.sections and lk in f.sections and not any(
                        k.startswith(parent.lower() + "\\") and k != lk and not k.startswith(lk + "\\") for k in f.sections):
                    f.add(parent)
                f.sections.pop(lk, None)
            else:
                s = f.sections.get(lk)
                if s is None:
                    continue
                existing = f.values(rel)
                # A copy: the section may be shared with the registry this one was copied from.
                s = f.sections[lk] = Section(s.name, lines=list(s.lines))
                lines = s.lines
                if op.name.lower() in existing:
                    lines.remove(existing[op.name.lower()][1])
                if isinstance(op, RegSet):
                    lines.append(value_line(op.name, op.type, op.data))

    def save(self):
        for f in self.files:
            f.save()

    def digest(self, keys):
        """For each key (and its subkeys): its values as (type, bytes), in both views of
        HKLM\\Software."""
        wanted = {}
        for key in both_views(keys):
            f, rel = self.locate(key)
            if f is not None:
                wanted.setdefault(id(f), set()).add(rel.lower())
        out = {}
        for f in self.files:
            want = wanted.get(id(f))
            if not want:
                continue
            below = []
            for k in f.sections:
                parts = k.split("\\")
                if "" in want or any("\\".join(parts[:n]) in want for n in range(1, len(parts) + 1)):
                    below.append(k)
            parents = {k.rsplit("\\", 1)[0] for k in below if "\\" in k}
            for k in below:
                vals = f.values(f.sections[k].name)
                if not vals and k in parents:
                    continue  # Wine writes no section for a key with subkeys and no values
                out[f.root + "\\" + k] = tuple(sorted((n, canonical(line)) for n, (_, line) in vals.items()))
        return out


def record_differences(steps, base, pre_reg, roots, keys, real_files, real_reg):
    """What differs between the record replayed on the machine before the run and the machine the
    run left: files with their contents and sizes (logs too) and folders at or below the roots, both
    registry views of the keys, the pending renames among them. An empty list when none."""
    import replay
    real = file_digest(within_only(real_files, roots), logs=True)
    replayed = file_digest(replay.materialise(base, steps, len(steps), roots), logs=True)
    diff = [f"file {p}: replayed {replayed.get(p, 'missing')}, real {real.get(p, 'missing')}"
            for p in sorted(set(real) | set(replayed)) if real.get(p) != replayed.get(p)]
    want = Registry.from_bytes(pre_reg)
    want.apply([st.op for st in steps])
    want, got = want.digest(keys), real_reg.digest(keys)
    for k in sorted(set(want) | set(got)):
        if want.get(k) != got.get(k):
            what = "pending renames" if k.endswith("\\session manager") else "key"
            diff.append(f"{what} {k}: replayed {want.get(k)}, real {got.get(k)}"[:400])
    return diff


def outside_files(drives, roots):
    """Everything on the drives but the roots: a file as its size and
    time, a folder as being there (its time moves whenever a root below it changes)."""
    out = {}
    skip = {r.lower() for r in roots}
    for letter, top in drives.items():
        if f"{letter}:" in skip:
            continue  # the whole drive is the run's
        for dirpath, dirnames, filenames in os.walk(top):
            rel_dir = f"{letter}:" + dirpath[len(top):]
            kept = []
            for d in dirnames:
                rel = rel_dir + "/" + d
                if rel.lower() in skip:
                    continue
                out[rel] = "folder"
                if not os.path.islink(os.path.join(dirpath, d)):
                    kept.append(d)
            dirnames[:] = kept
            for n in filenames:
                rel = rel_dir + "/" + n
                if rel.lower() in skip:
                    continue
                st = os.lstat(os.path.join(dirpath, n))
                out[rel] = (st.st_size, st.st_mtime_ns)
    return out


def outside_keys(reg, keys, ignored, cache=None):
    """Every key of the registry files but the given ones (both views, with their subkeys) and those
    the pattern `ignored` finds: its values' lines, their times left out. `cache` (a dict kept by
    the caller for the same keys and pattern) saves working out again where each key lies."""
    inside = set(both_views(keys))
    cache = {} if cache is None else cache
    out = {}
    for f in reg.files:
        for k, section in f.sections.items():
            where = cache.get((f.root, k))
            if where is None:
                # Wine writes no section for a key with subkeys and no values: such a key is there
                # all the same, as its subkeys' parent. Each path above the key that counts, and
                # whether the key itself does.
                full, within, counted = f.root, False, []
                parts = k.split("\\")
                for depth, part in enumerate(parts, 1):
                    full += "\\" + part
                    within = within or full in inside
                    if not within and not ignored.search(full):
                        counted.append((full, depth == len(parts)))
                where = cache[(f.root, k)] = tuple(counted)
            for full, leaf in where:
                if leaf:
                    body = section.body()
                    out[full] = hashlib.sha1(body.encode("utf-8", "surrogateescape")).hexdigest() if body else ""
                else:
                    out.setdefault(full, "")
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
        if isinstance(op, REG_CHANGE):
            keys.add(op.key)
    # The narrowest keys are compared with their subkeys; the pending renames are values of
    # Session Manager, compared as one key.
    return sorted(keys)
