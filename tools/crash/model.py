"""The persistence models (MODEL.md beside this file says why): which of a record's operations a
power cut after its first `point` operations may keep, as crash states.

Two models:
  mild   the metadata operations (create, truncate, rename, delete, folder create and remove) survive
         as an in-order prefix of all of them reaching at least the last barrier (any flush, any
         rename); unflushed 4 KiB blocks read back as zeros.
  harsh  a flush makes durable only what its documentation promises; each folder's entries survive
         as an in-order prefix of that folder's own changes reaching its last flush, write-through
         moves always; a file's size is any it had since its last flush; unflushed 512-byte sectors
         keep their old bytes.
In both, each hive keeps an in-order prefix of its changes reaching its last flush.

A model yields crash states (hashable) and turns one into the files and the registry changes it
leaves: model.files(state, roots) and model.reg_ops(state).
"""
import itertools
import random

import replay
from machine import LOG_NAME
from ops import FILE_META, REG_CHANGE, Fsync, RegFlush, Rename, Trunc, Write, hive_of

BLOCK = 4096
SECTORS_PER_BLOCK = BLOCK // replay.SECTOR


def is_log(step):
    op = step.op
    return hasattr(op, "path") and isinstance(op.path, str) and LOG_NAME.match(op.path) is not None


class Model:
    """What both models share: the record's registry changes per hive and their flushes."""

    name = ""

    def __init__(self, steps, base, drop_flushes=False):
        self.steps, self.base = steps, base
        self.ops = [s.op for s in steps]
        # Dropping the record's registry flushes models the setup as it was before it flushed.
        self.drop_flushes = drop_flushes
        self.reg_idx = {}
        for s in steps:
            if isinstance(s.op, REG_CHANGE):
                self.reg_idx.setdefault(hive_of(s.op.key), []).append(s.index)

    def hive_bounds(self, point):
        """Per hive: (changes that must be kept, changes that may be)."""
        flushed = {}
        if not self.drop_flushes:
            for s in self.steps[:point]:
                if isinstance(s.op, RegFlush):
                    flushed[hive_of(s.op.key)] = s.index + 1
        return {h: (sum(1 for i in idx if i < flushed.get(h, 0)), sum(1 for i in idx if i < point))
                for h, idx in self.reg_idx.items()}

    def reg_ops(self, state):
        keep = set()
        for hive, n in state.hives:
            keep.update(self.reg_idx[hive][:n])
        return [self.ops[i] for i in sorted(keep)]


# --- the mild model ----------------------------------------------------------------------------

class MildState(tuple):
    """(point, metadata operations kept, ((hive, changes kept), ...), frozenset of (write, block) lost)"""

    point = property(lambda s: s[0])
    hives = property(lambda s: s[2])


class Mild(Model):
    name = "mild"

    def __init__(self, steps, base, drop_flushes=False):
        super().__init__(steps, base, drop_flushes)
        self.meta_idx = [s.index for s in steps if isinstance(s.op, FILE_META)]
        self.meta_rank = {i: n for n, i in enumerate(self.meta_idx)}

    def bounds(self, point):
        """For a crash after `point` operations: (must keep, may keep) metadata operations, the
        hives' bounds, and the (write, block) pairs not yet made durable."""
        barrier = 0
        synced = {}
        for s in self.steps[:point]:
            if isinstance(s.op, (Fsync, Rename)):
                barrier = s.index + 1
            if isinstance(s.op, Fsync):
                synced[s.inode] = s.index
        meta_all = sum(1 for i in self.meta_idx if i < point)
        meta_must = sum(1 for i in self.meta_idx if i < barrier)
        unflushed = []
        for s in self.steps[:point]:
            if isinstance(s.op, Write) and synced.get(s.inode, -1) < s.index:
                end = s.offset + max(len(s.op.data), 1)
                unflushed.extend((s.index, b) for b in range(s.offset // BLOCK, (end - 1) // BLOCK + 1))
        return (meta_must, meta_all), self.hive_bounds(point), unflushed

    def states(self, point, samples, rng):
        """The four corners (least and most kept; the data kept ahead of the metadata and registry,
        and the other way round) and `samples` random states between them."""
        (m_lo, m_hi), hives, unflushed = self.bounds(point)
        least = tuple(sorted((h, lo) for h, (lo, hi) in hives.items()))
        most = tuple(sorted((h, hi) for h, (lo, hi) in hives.items()))
        yield MildState((point, m_lo, least, frozenset(unflushed)))
        yield MildState((point, m_hi, most, frozenset()))
        yield MildState((point, m_lo, least, frozenset()))
        yield MildState((point, m_hi, most, frozenset(unflushed)))
        for _ in range(samples):
            m = rng.randint(m_lo, m_hi)
            hv = tuple(sorted((h, rng.randint(lo, hi)) for h, (lo, hi) in hives.items()))
            yield MildState((point, m, hv, frozenset(x for x in unflushed if rng.random() < 0.5)))

    def most(self, point):
        """The state that keeps everything issued before the point."""
        (_, m_hi), hives, _ = self.bounds(point)
        return MildState((point, m_hi, tuple(sorted((h, hi) for h, (lo, hi) in hives.items())), frozenset()))

    def files(self, state, roots):
        point, meta, _, lost = state
        keep = set(self.meta_idx[:meta])
        lost_by = {}
        for i, b in lost:
            lost_by.setdefault(i, set()).update(range(b * SECTORS_PER_BLOCK, (b + 1) * SECTORS_PER_BLOCK))
        return replay.materialise(self.base, self.steps, point, roots,
                                  keep_entry=lambda s: s.index in keep or s.index not in self.meta_rank,
                                  lost_sectors=lambda s: lost_by.get(s.index), zeros=True)

    @staticmethod
    def describe(state):
        point, meta, hives, lost = state
        return {"point": point, "metadata kept": meta, "hives": dict(hives), "zeroed (write, block)": sorted(map(list, lost))}


# --- the harsh model ---------------------------------------------------------------------------

class HarshState(tuple):
    """(point, ((folder, entry changes kept), ...), ((file, size), ...), ((write, sectors lost), ...),
    ((hive, changes kept), ...))"""

    point = property(lambda s: s[0])
    hives = property(lambda s: s[4])


NEW, OLD, TORN = "new", "old", "torn"


class Harsh(Model):
    name = "harsh"

    def __init__(self, steps, base, drop_flushes=False):
        super().__init__(steps, base, drop_flushes)
        self.entry_steps = [s for s in steps if s.removes or s.adds]
        self.folders_of = {s.index: sorted({f for f, *_ in s.removes} | {f for f, *_ in s.adds}) for s in self.entry_steps}
        # A write-through move is durable when it returns; the logs are not judged.
        self.forced = {s.index for s in self.entry_steps if isinstance(s.op, Rename) or is_log(s)}
        # Each file's size after each step that changes it.
        length = {n: len(c) for n, c in base.content.items() if c is not None}
        self.size_after = {}
        for s in steps:
            if s.new and not s.folder:
                length[s.inode] = 0
            if isinstance(s.op, Trunc):
                length[s.inode] = s.op.size
            elif isinstance(s.op, Write):
                length[s.inode] = max(length.get(s.inode, 0), s.offset + len(s.op.data))
            else:
                continue
            self.size_after[s.index] = length[s.inode]
        self.start_size = {n: len(c) for n, c in base.content.items() if c is not None}
        # A name for each file and folder, for the reports.
        self.names = {}

        def walk(node, path):
            self.names[node] = path
            for name, child in base.entries.get(node, {}).values():
                walk(child, path + "/" + name)

        for letter, node in base.drives.items():
            walk(node, letter)
        for st in steps:
            path = getattr(st.op, "path", None) or getattr(st.op, "src", None)
            if st.inode is not None and isinstance(path, str):
                self.names.setdefault(st.inode, path)

    def bounds(self, point):
        """For a crash after `point` operations: per folder its entry changes (in order) and how
        many must be kept; per file the sizes it may have; the writes that may be lost; the hives."""
        changes, must = {}, {}
        synced = {}
        for s in self.steps[:point]:
            if s.index in self.folders_of and s.index not in self.forced:
                for f in self.folders_of[s.index]:
                    changes.setdefault(f, []).append(s.index)
            if isinstance(s.op, Fsync):
                if s.folder:
                    must[s.inode] = len(changes.get(s.inode, []))
                else:
                    synced[s.inode] = s.index
        sizes, unflushed = {}, []
        history = {}
        for s in self.steps[:point]:
            if s.index in self.size_after and not is_log(s):
                history.setdefault(s.inode, []).append((s.index, self.size_after[s.index]))
            if isinstance(s.op, Write) and synced.get(s.inode, -1) < s.index and not is_log(s) and s.op.data:
                unflushed.append(s.index)
        for inode, hist in history.items():
            since = synced.get(inode, -1)
            durable = [size for i, size in hist if i <= since]
            start = durable[-1] if durable else self.start_size.get(inode, 0)
            options = [start] + [size for i, size in hist if i > since]
            final = hist[-1][1]
            choices = sorted(set(options), key=lambda v: (v != final, v))
            if len(choices) > 1:
                sizes[inode] = choices  # the final size first
        folders = {f: (must.get(f, 0), idx) for f, idx in changes.items() if must.get(f, 0) < len(idx)}
        return folders, sizes, unflushed, self.hive_bounds(point)

    def variants(self, i):
        s = self.steps[i]
        sectors = list(replay.write_sectors(s))
        return [NEW, OLD, TORN] if len(sectors) > 1 else [NEW, OLD]

    def states(self, point, samples, rng, enumerate_up_to=256):
        """Every distinct combination when there are at most `enumerate_up_to`; else the corners
        (least and most; files kept and registry lost and the other way; each hive kept alone and
        lost alone; data ahead of names and the other way; files shorter than their writes; torn
        sectors) and `samples` seeded random states."""
        folders, sizes, unflushed, hives = self.bounds(point)
        dims = ([("f", f, list(range(len(idx), lo - 1, -1))) for f, (lo, idx) in sorted(folders.items())]
                + [("s", n, choices) for n, choices in sorted(sizes.items())]
                + [("d", i, self.variants(i)) for i in unflushed]
                + [("h", h, list(range(hi, lo - 1, -1))) for h, (lo, hi) in sorted(hives.items()) if hi > lo])
        fixed_hives = {h: hi for h, (lo, hi) in hives.items() if hi <= lo}
        total = 1
        for d in dims:
            total *= len(d[2])
            if total > enumerate_up_to:
                break
        if total <= enumerate_up_to:
            for combo in itertools.product(*[d[2] for d in dims]):
                yield self.state(point, dims, combo, fixed_hives)
            return
        # Each dimension's choices run from most kept (first) to least kept (last).
        most = [d[2][0] for d in dims]
        least = [d[2][-1] for d in dims]

        def mix(pick):
            return self.state(point, dims, [pick(d, a, b) for d, a, b in zip(dims, most, least)], fixed_hives)

        yield mix(lambda d, a, b: b)
        yield mix(lambda d, a, b: a)
        yield mix(lambda d, a, b: a if d[0] != "h" else b)      # files kept, registry lost
        yield mix(lambda d, a, b: b if d[0] != "h" else a)      # files lost, registry kept
        yield mix(lambda d, a, b: a if d[0] == "f" else b)      # names kept, data and sizes lost
        yield mix(lambda d, a, b: b if d[0] == "f" else a)      # data kept, names lost
        yield mix(lambda d, a, b: b if d[0] == "s" else a)      # files shorter than their kept writes
        yield mix(lambda d, a, b: TORN if d[0] == "d" and TORN in d[2] else a)
        for h in [d[1] for d in dims if d[0] == "h"]:
            yield mix(lambda d, a, b, h=h: (a if d[1] == h else b) if d[0] == "h" else a)
            yield mix(lambda d, a, b, h=h: (b if d[1] == h else a) if d[0] == "h" else a)
        for _ in range(samples):
            yield self.state(point, dims, [rng.choice(d[2]) if d[0] != "d" else self.sample_write(d, rng) for d in dims],
                             fixed_hives)

    def most(self, point):
        """The state that keeps everything issued before the point."""
        folders, sizes, unflushed, hives = self.bounds(point)
        return HarshState((point, (), (), (), tuple(sorted((h, hi) for h, (lo, hi) in hives.items()))))

    def sample_write(self, dim, rng):
        choice = rng.choice(dim[2] + ["some"])
        if choice != "some":
            return choice
        sectors = list(replay.write_sectors(self.steps[dim[1]]))
        return frozenset(x for x in sectors if rng.random() < 0.5)

    @staticmethod
    def state(point, dims, combo, fixed_hives):
        folders = tuple((d[1], c) for d, c in zip(dims, combo) if d[0] == "f")
        sizes = tuple((d[1], c) for d, c in zip(dims, combo) if d[0] == "s")
        data = tuple((d[1], c) for d, c in zip(dims, combo) if d[0] == "d" and c != NEW)
        hv = dict(fixed_hives)
        hv.update((d[1], c) for d, c in zip(dims, combo) if d[0] == "h")
        return HarshState((point, folders, sizes, data, tuple(sorted(hv.items()))))

    def lost_sectors(self, step, how):
        sectors = list(replay.write_sectors(step))
        if how == OLD:
            return set(sectors)
        if how == TORN:
            # Within each 4 KiB block only the first sector the write touches reached the disk.
            firsts = {}
            for x in sectors:
                firsts.setdefault(x // SECTORS_PER_BLOCK, x)
            return set(sectors) - set(firsts.values())
        return set(how)

    def files(self, state, roots):
        point, folders, sizes, data, _ = state
        cut = dict(folders)
        folders_now, _, _, _ = self.bounds(point)
        rank = {}
        for f, (_, idx) in folders_now.items():
            for n, i in enumerate(idx):
                rank[(f, i)] = n

        def keep(step):
            if step.index not in self.folders_of or step.index in self.forced:
                return True
            return all(f not in cut or rank[(f, step.index)] < cut[f] for f in self.folders_of[step.index])

        lost = {i: self.lost_sectors(self.steps[i], how) for i, how in data}
        return replay.materialise(self.base, self.steps, point, roots, keep_entry=keep,
                                  lost_sectors=lambda s: lost.get(s.index), zeros=False, sizes=dict(sizes))

    def describe(self, state):
        point, folders, sizes, data, hives = state
        name = self.names.get
        return {"point": point, "folder entries kept": {name(f, f): n for f, n in folders},
                "sizes": {name(f, f): n for f, n in sizes},
                "writes": {i: (how if isinstance(how, str) else sorted(how)) for i, how in data},
                "hives": dict(hives)}


MODELS = {"mild": Mild, "harsh": Harsh}


def crash_states(model, samples, seed, points):
    """Every chosen crash point of the record, each with the model's states."""
    rng = random.Random(seed)
    for point in points:
        yield from model.states(point, samples, rng)
