"""Install benchmark (run by hand, never by ctest): a payload of 2,000 files and about 200 MB is
installed into a fresh prefix, then repaired. Reports the time to the end of Wine's session and to the setup's
own end (bench_clock times every benchmarked program that way), peak memory of the setup process,
journal records (each one write and one flush), and MB/s.

    ZS_BIN_DIR=build ZS_SOURCE_DIR=. ZS_WORK_DIR=/tmp/zs-bench ZS_TEMPLATE_PREFIX=/tmp/zs-bench/template \\
      PYTHONPATH=tests/e2e:bench/install python3 bench/install/install_bench.py
(make the template first with scripts/wine-prefix template /tmp/zs-bench/template)
"""
import hashlib
import os
import time

from bench_clock import timed
from harness import WORK_DIR, Prefix, make_setup

FILES = int(os.environ.get("ZS_BENCH_FILES", "2000"))
TOTAL_MB = int(os.environ.get("ZS_BENCH_MB", "200"))


def add_files(sample):
    """Half text-like (compressible), half random-like (not): about what a .NET program ships."""
    extra = os.path.join(sample, "app", "Bench")
    size = TOTAL_MB * 1024 * 1024 // FILES
    for i in range(FILES):
        sub = os.path.join(extra, f"d{i // 100:02}")
        os.makedirs(sub, exist_ok=True)
        if i % 2:
            chunk = hashlib.sha256(str(i).encode()).digest()
            data = b"".join(hashlib.sha256(chunk + k.to_bytes(4, "little")).digest() for k in range(size // 32 + 1))
        else:
            line = f"Line {i} of a text file that repeats itself with small changes.\n".encode()
            data = line * (size // len(line) + 1)
        with open(os.path.join(sub, f"f{i:04}.bin"), "wb") as f:
            f.write(data[:size])


def measure(prefix, exe):
    """Runs the setup silently, timed as every benchmarked program is (bench_clock); returns (exit
    code, Timing, peak RSS MB, peak anonymous RSS MB, journal records). MB are 10^6 bytes, as the
    block's size is given."""
    journal = os.path.join(prefix.setup_data(), "install.zsj")
    peak = {"rss": 0, "anon": 0, "records": 0}

    def sample(proc):
        try:
            with open(f"/proc/{proc.pid}/status") as f:
                status = f.read()
            for line in status.splitlines():
                if line.startswith("VmHWM:"):
                    peak["rss"] = max(peak["rss"], int(line.split()[1]))
                if line.startswith("RssAnon:"):
                    peak["anon"] = max(peak["anon"], int(line.split()[1]))
        except OSError:
            pass
        try:
            with open(journal, "rb") as f:
                peak["records"] = max(peak["records"], f.read().count(b"\n") - 1)
        except OSError:
            pass

    timing = timed(prefix, exe, ["/silent"], sample=sample)
    return timing.code, timing, peak["rss"] * 1024 / 1e6, peak["anon"] * 1024 / 1e6, peak["records"]


def main():
    os.makedirs(WORK_DIR, exist_ok=True)
    prefix = Prefix("bench")
    try:
        t = time.monotonic()
        exe = make_setup(prefix, os.path.join(WORK_DIR, "bench-setup.exe"), modify=add_files)
        print(f"setup built in {time.monotonic() - t:.1f} s: {os.path.getsize(exe) / 1e6:.1f} MB "
              f"for {FILES} extra files, {TOTAL_MB} MB")
        block = TOTAL_MB * 1024 * 1024 / 1e6
        for label in ("install", "repair"):
            code, timing, rss, anon, records = measure(prefix, exe)
            seconds = timing.session_end
            print(f"{label}: exit {code}, {seconds:.1f} s to the end of Wine's session "
                  f"({timing.process_end:.1f} s to the setup's own end), {TOTAL_MB / seconds:.1f} MB/s, "
                  f"peak RSS {rss:.0f} MB (anonymous {anon:.0f} MB; block {block:.0f} MB + 64 MB = {block + 64:.0f} MB), "
                  f"journal records (one flush each) >= {records}")
    finally:
        prefix.remove()


if __name__ == "__main__":
    main()
