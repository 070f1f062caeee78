"""First-frame benchmark (run by hand, never by ctest): how long the drawn window takes from the
setup's process creation to its first frame, against a minimal Direct2D program (one window, one
target, one text) and a trivial program (Wine's own start), under Xvfb, rounds interleaved in one
prefix. Prints medians and the setup's peak memory (Linux VmHWM of its Wine process, which counts
Wine's own DLLs too) at its first frame.

    ZS_BIN_DIR=$PWD/build ZS_SOURCE_DIR=$PWD ZS_WORK_DIR=/tmp/zs-bench ZS_TEMPLATE_PREFIX=/tmp/zs-bench/template \\
      PYTHONPATH=tests/e2e python3 bench/ui/first_frame_bench.py
(make the template first with scripts/wine-prefix template /tmp/zs-bench/template; ZS_BENCH_ROUNDS
sets the rounds, 9 by default)
"""
import os
import re
import statistics
import subprocess
import tempfile
import time

from harness import BIN_DIR, WORK_DIR, LogFile, Prefix, XServer, x_keys, x_window

ROUNDS = int(os.environ.get("ZS_BENCH_ROUNDS", "9"))
SETUP = os.path.join(BIN_DIR, "examples", "zelvan", "ZelvanSetup.exe")
GALLERY = os.path.join(BIN_DIR, "testing", "window-gallery", "ZelvanGallery.exe")
MINIMAL = os.path.join(BIN_DIR, "testing", "d2d-minimal", "zs-d2d-minimal.exe")


def win(path):
    return "Z:" + path.replace("/", "\\")


def number_in(path, pattern):
    if not os.path.exists(path):
        return None
    with open(path, errors="replace") as f:
        m = re.search(pattern, f.read())
    return int(m.group(1)) if m else None


def trivial(prefix, out):
    prefix.run(GALLERY, ["/startms", win(out)])
    return number_in(out, r"start (\d+) ms")


def minimal(prefix, out):
    proc = subprocess.run(["/usr/bin/time", "-f", "%M", "wine", MINIMAL, win(out)], env=prefix.env(),
                          capture_output=True, text=True, timeout=120)
    peak = int(proc.stderr.strip().splitlines()[-1]) // 1024 if proc.stderr.strip() else None
    return number_in(out, r"first frame (\d+) ms"), peak


def setup(prefix, log):
    """The setup's own "First frame drawn" line. An interactive setup keeps its log in memory until
    it ends, so the window is closed (Escape) once it is up, and the log named by /log= is read."""
    host_log = prefix.host_path(log)
    if os.path.exists(host_log):
        os.remove(host_log)
    proc = prefix.start(SETUP, ["/norun", "/log=" + log])
    window = x_window("Install Zelvan", timeout=120)
    peak = None
    if window:
        time.sleep(1.0)
        try:
            with open(f"/proc/{proc.pid}/status") as f:
                m = re.search(r"VmHWM:\s+(\d+) kB", f.read())
                peak = int(m.group(1)) // 1024 if m else None
        except OSError:
            pass
        x_keys(window, "Escape")
    try:
        proc.wait(timeout=60)
    except subprocess.TimeoutExpired:
        proc.kill()
    subprocess.run(["wineserver", "-w"], env=prefix.env(), check=False, timeout=120)
    for line in (LogFile(host_log).lines if os.path.exists(host_log) else []):
        m = re.match(r"First frame drawn (\d+) ms after the process started, (\d+) ms", line)
        if m:
            return int(m.group(1)), int(m.group(2)), peak
    return None, None, peak


def main():
    xserver = XServer()
    prefix = Prefix("first-frame-bench")
    prefix.wine("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")
    work = tempfile.mkdtemp(prefix="ffb-", dir=WORK_DIR)
    rows = {"trivial": [], "minimal": [], "minimal peak": [], "setup": [], "setup create": [], "setup peak": []}
    try:
        setup(prefix, "C:\\ffb-warm.log")  # warms the prefix (fonts, GL) once; not counted
        for r in range(ROUNDS):
            rows["trivial"].append(trivial(prefix, os.path.join(work, f"t{r}.txt")))
            ms, peak = minimal(prefix, os.path.join(work, f"m{r}.txt"))
            rows["minimal"].append(ms)
            rows["minimal peak"].append(peak)
            ms, create, peak = setup(prefix, f"C:\\ffb-{r}.log")
            rows["setup"].append(ms)
            rows["setup create"].append(create)
            rows["setup peak"].append(peak)
            print(f"round {r + 1}: trivial {rows['trivial'][-1]} ms, minimal {rows['minimal'][-1]} ms, "
                  f"setup {ms} ms (CreateWindowEx {create} ms), setup peak {peak} MB", flush=True)
    finally:
        prefix.remove()
        xserver.stop()

    def med(key):
        values = [v for v in rows[key] if v is not None]
        return statistics.median(values) if values else float("nan")

    print()
    print(f"medians over {ROUNDS} rounds (ms from process creation):")
    print(f"  trivial program reaches its entry point   {med('trivial'):7.0f}")
    print(f"  minimal Direct2D program, first frame      {med('minimal'):7.0f}   peak RSS {med('minimal peak'):.0f} MB")
    print(f"  ZelvanSetup.exe, first frame              {med('setup'):7.0f}   peak RSS {med('setup peak'):.0f} MB"
          f" (CreateWindowEx {med('setup create'):.0f} ms)")
    print(f"  setup minus minimal program                {med('setup') - med('minimal'):7.0f}   (target: 100 or less)")


if __name__ == "__main__":
    main()
