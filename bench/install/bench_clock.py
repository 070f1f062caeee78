"""The one clock of every install and uninstall benchmark: each program, ours, the peers' and the
trivial baseline alike, is started the same way (output to /dev/null, nothing captured) and timed to
two ends from the same start: the end of its own process, and the end of the prefix's Wine session
(`wineserver -w` returning, which also waits for a copy an uninstaller hands over to and for Wine's
session processes). The session end is the figure the tables compare; the process end is reported
apart, because it stops before work that a program leaves to other processes.

Capturing a program's output would move its end: `subprocess.run(capture_output=True)` returns only
when every holder of the pipes has gone, Wine's session processes included, about 2 s after the
program itself. An earlier version of the benchmarks timed the peers that way and our setup by its
process end, which flattered ours by about that much.

Every start also begins with the disk written out (`sync`): each program runs in a prefix copied
just before, 1.3 GB, whose writing-out would otherwise go on under whichever program comes next,
and weigh most on the one that flushes most.
"""
import os
import subprocess
import time
from dataclasses import dataclass


@dataclass
class Timing:
    code: int
    process_end: float  # seconds from start to the end of the program's own process
    session_end: float  # seconds from start to the end of the prefix's Wine session


def timed(prefix, exe, args=(), sample=None, interval=0.02, timeout=900):
    """Runs exe in prefix and times it. sample(proc), when given, is called every interval seconds
    while the process runs (for peak memory); without it the process is waited for, not polled."""
    os.sync()
    start = time.monotonic()
    proc = prefix.start(exe, args)
    if sample is None:
        proc.wait(timeout=timeout)
    else:
        while proc.poll() is None:
            if time.monotonic() - start > timeout:
                proc.kill()
                raise AssertionError(f"{exe} ran longer than {timeout} s")
            sample(proc)
            time.sleep(interval)
    process_end = time.monotonic() - start
    subprocess.run(["wineserver", "-w"], env=prefix.env(), check=False, timeout=timeout)
    return Timing(proc.returncode, process_end, time.monotonic() - start)
