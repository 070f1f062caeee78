"""The persistence model (MODEL.md beside this file says why): which operations of a record a power
cut after its first `point` operations may keep.

A crash state is described by:
  point       operations 0 .. point-1 were issued before the power went
  meta        the number of metadata operations (create, trunc, rename, unlink, mkdir, rmdir) kept:
              an in-order prefix reaching at least the last barrier (fsync, rename) before point
  hives       per hive, the number of its registry changes kept: an in-order prefix reaching at
              least the hive's last flush before point
  lost        (op index, block) pairs of unflushed writes whose 4 KiB block reads as zeros
"""
import random
import re

META = ("create", "trunc", "rename", "unlink", "mkdir", "rmdir")
REG = ("regcreate", "regset", "regdelval", "regdelkey")
BLOCK = 4096


def hive_of(key):
    parts = key.lower().split("\\")
    if parts[2] == "machine":
        return "machine\\" + parts[3]
    if len(parts) > 5 and parts[4] == "software" and parts[5] == "classes":
        return "user\\classes"
    return "user\\" + parts[3]


# Keys Wine itself writes from inside every process as it starts (the shell folders, the time zone,
# the keyboard layout, its own settings): not the setup's changes, and rewritten by every start.
WINE_OWN = re.compile(r"\\(explorer\\shell folders|timezoneinformation|keyboard layout\\preload|software\\wine\\.*)$"
                      r"|\\software\\microsoft\\windows\\currentversion$", re.I)


def is_wines_own(op):
    return op[0] in REG and WINE_OWN.search(op[1]) is not None


class Record:
    def __init__(self, ops, drop_flushes=False):
        # Dropping the record's registry flushes models the setup as it was before it flushed.
        self.ops = [op for op in ops if not (drop_flushes and op[0] == "regflush") and not is_wines_own(op)]
        self.meta_idx = [i for i, op in enumerate(self.ops) if op[0] in META]
        self.reg_idx = {}
        for i, op in enumerate(self.ops):
            if op[0] in REG:
                self.reg_idx.setdefault(hive_of(op[1]), []).append(i)

    def bounds(self, point):
        """For a crash after `point` operations: per class, (must keep, may keep) counts."""
        ops = self.ops[:point]
        barrier = 0
        flushed_hive = {}
        synced = {}  # path -> index of its last fsync
        for i, op in enumerate(ops):
            if op[0] in ("fsync", "rename"):
                barrier = i + 1
            if op[0] == "fsync":
                synced[op[1]] = i
            if op[0] == "regflush":
                flushed_hive[hive_of(op[1])] = i + 1
        meta_all = sum(1 for i in self.meta_idx if i < point)
        meta_must = sum(1 for i in self.meta_idx if i < barrier)
        hives = {}
        for hive, idx in self.reg_idx.items():
            hives[hive] = (sum(1 for i in idx if i < flushed_hive.get(hive, 0)), sum(1 for i in idx if i < point))
        # Writes not yet made durable by a later fsync of their file (before the crash).
        unflushed = []
        for i, op in enumerate(ops):
            if op[0] == "write" and synced.get(op[1], -1) < i:
                blocks = range(op[2] // BLOCK, (op[2] + max(len(op[3]), 1) - 1) // BLOCK + 1)
                unflushed.extend((i, b) for b in blocks)
        return (meta_must, meta_all), hives, unflushed

    def states(self, point, samples, rng):
        """The four corners (least and most kept; the data kept ahead of the metadata and registry, and
        the other way round) and `samples` random states between them for one crash point."""
        (m_lo, m_hi), hives, unflushed = self.bounds(point)
        least = tuple(sorted((h, lo) for h, (lo, hi) in hives.items()))
        most = tuple(sorted((h, hi) for h, (lo, hi) in hives.items()))
        yield (point, m_lo, least, frozenset(unflushed))
        yield (point, m_hi, most, frozenset())
        yield (point, m_lo, least, frozenset())
        yield (point, m_hi, most, frozenset(unflushed))
        for _ in range(samples):
            m = rng.randint(m_lo, m_hi)
            hv = tuple(sorted((h, rng.randint(lo, hi)) for h, (lo, hi) in hives.items()))
            lost = frozenset(x for x in unflushed if rng.random() < 0.5)
            yield (point, m, hv, lost)

    def kept_ops(self, state):
        """The operations a state keeps, in order, with lost blocks zeroed."""
        point, meta, hives, lost = state
        meta_keep = set(self.meta_idx[:meta])
        reg_keep = set()
        for hive, n in hives:
            reg_keep.update(self.reg_idx[hive][:n])
        out = []
        for i, op in enumerate(self.ops[:point]):
            kind = op[0]
            if kind in META and i not in meta_keep:
                continue
            if kind in REG and i not in reg_keep:
                continue
            if kind == "write":
                path, offset, data = op[1], op[2], op[3]
                zero = [b for (j, b) in lost if j == i]
                if zero:
                    buf = bytearray(data)
                    for b in zero:
                        lo = max(b * BLOCK - offset, 0)
                        hi = min((b + 1) * BLOCK - offset, len(buf))
                        buf[lo:hi] = bytes(max(hi - lo, 0))
                    op = ("write", path, offset, bytes(buf))
            out.append(op)
        return out


def crash_states(record, samples, seed, points=None):
    """Every crash point of the record (or the given ones), each with its extremes and samples."""
    rng = random.Random(seed)
    for point in (points if points is not None else range(len(record.ops) + 1)):
        yield from record.states(point, samples, rng)
