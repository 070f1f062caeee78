"""The operations of a recorded run: what a run did to what a power cut can keep or lose.

Paths are Windows drive paths with "/" separators and a lower-case drive letter ("c:/Program
Files/Zelvan/Zelvan.exe"), as recorded (case kept). Keys are full server paths
("\\Registry\\Machine\\Software\\...") with the 32-bit view already redirected.
"""
import re
from typing import NamedTuple, Optional

APPEND = -1  # a write at the end of the file as it then is: given its offset when the record is replayed


class Create(NamedTuple):
    """A file opened with O_CREAT: made when missing."""
    path: str


class Trunc(NamedTuple):
    path: str
    size: int


class Write(NamedTuple):
    path: str
    offset: int
    data: bytes


class Fsync(NamedTuple):
    """fsync of a file or of a folder (what FlushFileBuffers becomes)."""
    path: str


class Rename(NamedTuple):
    """A move; src or dst is None when it lies outside the drives the record follows."""
    src: Optional[str]
    dst: Optional[str]


class Unlink(NamedTuple):
    path: str


class Mkdir(NamedTuple):
    path: str


class Rmdir(NamedTuple):
    path: str


class RegCreate(NamedTuple):
    key: str


class RegSet(NamedTuple):
    key: str
    name: str
    type: int
    data: bytes


class RegDelVal(NamedTuple):
    key: str
    name: str


class RegDelKey(NamedTuple):
    key: str


class RegFlush(NamedTuple):
    key: str


FILE_META = (Create, Trunc, Rename, Unlink, Mkdir, Rmdir)
REG_CHANGE = (RegCreate, RegSet, RegDelVal, RegDelKey)
REG = REG_CHANGE + (RegFlush,)


def paths_of(op):
    """The file paths an operation names."""
    if isinstance(op, Rename):
        return [p for p in (op.src, op.dst) if p is not None]
    if isinstance(op, REG):
        return []
    return [op.path]


def hive_of(key):
    """The hive a key lives in, which Windows writes to disk on its own."""
    parts = key.lower().split("\\")
    if parts[2] == "machine":
        return "machine\\" + parts[3]
    if len(parts) > 5 and parts[4] == "software" and parts[5] == "classes":
        return "user\\classes"
    return "user\\" + parts[3]


# Keys Wine writes from inside every process as it starts, and those of its own processes (the
# shell folders, the time zone, the keyboard layout, its own settings, the display adapter and
# monitor, the console's settings, the fonts it registers): not a run's changes, and rewritten by
# every start.
WINES_OWN = re.compile(r"\\(explorer\\shell folders|timezoneinformation|keyboard layout\\preload|software\\(wow6432node\\)?wine(\\.*)?)$"
                       r"|\\software\\(wow6432node\\)?microsoft\\windows\\currentversion$"
                       r"|\\control\\class\\\{4d36e96[8e]-e325-11ce-bfc1-08002be10318\}|\\enum\\(display|pci)\\"
                       r"|^\\registry\\user\\[^\\]+\\console(\\|$)"
                       r"|\\software\\(wow6432node\\)?microsoft\\windows( nt)?\\currentversion\\fonts$", re.I)


def is_wines_own(op):
    return isinstance(op, REG) and WINES_OWN.search(op.key) is not None
