"""A record's file operations replayed onto the files before the run, by file identity.

Names and contents are kept apart, as a file system keeps them: each folder maps names (compared
without regard to case) to files, and each file has its own content. An operation is resolved once,
on the whole record, to the file it acts on and the folder entries it changes; a crash state then
keeps any subset of the entry changes, of the data written and of the sizes set, and the machine it
leaves is read from the folders down. A file whose name was lost is gone, whatever was written to
it; a move that was kept puts the file at its new name even when its creation was lost.

Files are maps {path: bytes, or None for a folder}, paths being drive paths ("c:/x/y").
"""
from typing import NamedTuple, Optional

from ops import APPEND, Create, Mkdir, Rename, Rmdir, Trunc, Unlink, Write, REG

SECTOR = 512
FOLDER = None


class ReplayError(RuntimeError):
    """The record does not fit the files it is replayed on: something the run did is missing."""


class Step(NamedTuple):
    """One operation of the record, resolved against the replay of the record before it."""
    index: int
    op: object
    inode: Optional[int]   # the file or folder acted on
    removes: tuple         # ((folder, lower-case name), ...) entries taken away
    adds: tuple            # ((folder, lower-case name, name), ...) entries made, naming `inode`
    new: bool              # a new file or folder was made
    folder: bool           # the inode is a folder (for a flush: a folder's flush)
    offset: int            # a write's offset, appends placed


def parent_of(path):
    return path.rsplit("/", 1)[0] if "/" in path else None


class Tree:
    """Folders' entries and files' contents."""

    def __init__(self):
        self.entries = {}   # folder inode -> {lower name: (name, inode)}
        self.content = {}   # inode -> bytes (bytearray while being written), or FOLDER
        self.drives = {}    # "c:" -> folder inode
        self.next = 1

    def new(self, content):
        n = self.next
        self.next += 1
        self.content[n] = content
        if content is FOLDER:
            self.entries[n] = {}
        return n

    def copy(self):
        t = Tree()
        t.entries = {k: dict(v) for k, v in self.entries.items()}
        t.content = dict(self.content)
        t.drives = dict(self.drives)
        t.next = self.next
        return t

    def lookup(self, path):
        parts = path.split("/")
        node = self.drives.get(parts[0].lower())
        for part in parts[1:]:
            if node is None or self.content.get(node, b"") is not FOLDER:
                return None
            hit = self.entries[node].get(part.lower())
            node = hit[1] if hit else None
        return node

    def ensure_folder(self, path):
        parts = path.split("/")
        key = parts[0].lower()
        if key not in self.drives:
            self.drives[key] = self.new(FOLDER)
        node = self.drives[key]
        for part in parts[1:]:
            hit = self.entries[node].get(part.lower())
            if hit is None:
                child = self.new(FOLDER)
                self.entries[node][part.lower()] = (part, child)
                node = child
            else:
                node = hit[1]
        return node

    @classmethod
    def of(cls, files):
        t = cls()
        for path in sorted(files, key=lambda p: p.count("/")):
            if files[path] is FOLDER:
                t.ensure_folder(path)
            else:
                folder = t.ensure_folder(parent_of(path))
                t.entries[folder][path.rsplit("/", 1)[1].lower()] = (path.rsplit("/", 1)[1], t.new(files[path]))
        return t

    def files(self, roots):
        """The files and folders at or below the roots."""
        out = {}

        def walk(node, path):
            out[path] = FOLDER if self.content[node] is FOLDER else bytes(self.content[node])
            if self.content[node] is FOLDER:
                for name, child in self.entries[node].values():
                    walk(child, path + "/" + name)

        for root in roots:
            node = self.lookup(root)
            if node is not None:
                walk(node, root)
        return out

    def unlink(self, folder, lname, inode=None):
        hit = self.entries.get(folder, {}).get(lname)
        if hit is not None and (inode is None or hit[1] == inode):
            del self.entries[folder][lname]

    def link(self, folder, lname, name, inode):
        if folder in self.entries:
            self.entries[folder][lname] = (name, inode)


def resolve(files, ops):
    """Resolves the record on the files before the run; returns (steps, tree of those files).
    Raises ReplayError where the record names what is not there."""
    tree = Tree.of(files)
    base = tree.copy()
    steps = []
    for i, op in enumerate(ops):
        steps.append(_resolve_one(tree, i, op))
        _apply(tree, steps[-1], None, None)
    return steps, base


def _where(tree, path, what):
    parent = parent_of(path)
    folder = tree.lookup(parent) if parent else None
    if folder is None or tree.content.get(folder, b"") is not FOLDER:
        raise ReplayError(f"{what} {path}: its folder is not there in the replay")
    name = path.rsplit("/", 1)[1]
    return folder, name.lower(), name


def _resolve_one(tree, i, op):
    none = Step(i, op, None, (), (), False, False, 0)
    if isinstance(op, REG):
        return none
    if isinstance(op, (Create, Mkdir)):
        node = tree.lookup(op.path)
        if node is not None:
            return none._replace(inode=node, folder=tree.content[node] is FOLDER)
        folder, lname, name = _where(tree, op.path, "made")
        node = tree.new(FOLDER if isinstance(op, Mkdir) else b"")
        return none._replace(inode=node, adds=((folder, lname, name),), new=True, folder=isinstance(op, Mkdir))
    if isinstance(op, (Unlink, Rmdir)):
        node = tree.lookup(op.path)
        if node is None:
            raise ReplayError(f"deleted {op.path}, which is not there in the replay")
        folder, lname, _ = _where(tree, op.path, "deleted")
        return none._replace(inode=node, removes=((folder, lname),), folder=isinstance(op, Rmdir))
    if isinstance(op, Rename):
        node = tree.lookup(op.src)
        if node is None:
            raise ReplayError(f"moved {op.src}, which is not there in the replay")
        sf, sl, _ = _where(tree, op.src, "moved")
        adds = ()
        if op.dst is not None:
            df, dl, dn = _where(tree, op.dst, "moved to")
            adds = ((df, dl, dn),)
        return none._replace(inode=node, removes=((sf, sl),), adds=adds, folder=tree.content[node] is FOLDER)
    node = tree.lookup(op.path)
    if node is None:
        raise ReplayError(f"{type(op).__name__.lower()} of {op.path}, which is not there in the replay")
    if isinstance(op, Write):
        if tree.content[node] is FOLDER:
            raise ReplayError(f"a write to the folder {op.path}")
        offset = len(tree.content[node]) if op.offset == APPEND else op.offset
        return none._replace(inode=node, offset=offset)
    return none._replace(inode=node, folder=tree.content[node] is FOLDER)


def _apply(tree, step, keep_entry, lost_sectors, zeros=True):
    """Applies one step; keep_entry(step) says whether its entry changes (and a truncation) are
    kept, lost_sectors(step) the sectors of a write that did not reach the disk (None: all did)."""
    op = step.op
    if isinstance(op, REG):
        return
    if step.new and step.inode not in tree.content:
        tree.content[step.inode] = FOLDER if step.folder else b""
        if step.folder:
            tree.entries[step.inode] = {}
    kept = keep_entry is None or keep_entry(step)
    if step.removes or step.adds:
        if kept:
            for folder, lname in step.removes:
                tree.unlink(folder, lname, step.inode)
            for folder, lname, name in step.adds:
                tree.link(folder, lname, name, step.inode)
        return
    if isinstance(op, Trunc):
        if kept and tree.content[step.inode] is not FOLDER:
            data = tree.content[step.inode]
            tree.content[step.inode] = bytes(data[: op.size]) + bytes(max(0, op.size - len(data)))
        return
    if isinstance(op, Write):
        lost = lost_sectors(step) if lost_sectors else None
        buf = tree.content[step.inode]
        if not isinstance(buf, bytearray):
            buf = bytearray(buf)
            tree.content[step.inode] = buf
        start, end = step.offset, step.offset + len(op.data)
        if len(buf) < end:
            buf.extend(bytes(end - len(buf)))
        if not lost:
            buf[start:end] = op.data
            return
        for sector in range(start // SECTOR, (end - 1) // SECTOR + 1 if end > start else start // SECTOR):
            lo, hi = max(start, sector * SECTOR), min(end, (sector + 1) * SECTOR)
            if sector not in lost:
                buf[lo:hi] = op.data[lo - start:hi - start]
            elif zeros:
                buf[lo:hi] = bytes(hi - lo)


def materialise(base, steps, point, roots, keep_entry=None, lost_sectors=None, zeros=True, sizes=None):
    """The files at or below the roots that a crash after `point` steps leaves, given what it kept."""
    tree = base.copy()
    for step in steps[:point]:
        _apply(tree, step, keep_entry, lost_sectors, zeros)
    for inode, size in (sizes or {}).items():
        data = tree.content.get(inode)
        if data is not FOLDER and data is not None:
            tree.content[inode] = bytes(data[:size]) + bytes(max(0, size - len(data)))
    return tree.files(roots)


def write_sectors(step):
    """The sectors a write touches."""
    end = step.offset + len(step.op.data)
    if end <= step.offset:
        return range(0)
    return range(step.offset // SECTOR, (end - 1) // SECTOR + 1)
