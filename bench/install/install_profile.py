"""Where an install's time goes (run by hand, never by ctest): one of the benchmark's corpora is
installed silently into a fresh prefix while `perf record -a` samples the whole machine, then the
samples are split by process and by module: our own code (the .exe), Wine's Unix side, Wine's
server and the kernel (flushes, renames, the file system). The setup's own log gives the time of
each step. Run it on a quiet machine: every process of the machine is sampled.

    ZS_BIN_DIR=$PWD/build ZS_SOURCE_DIR=$PWD ZS_WORK_DIR=/tmp/zs-bench ZS_TEMPLATE_PREFIX=/tmp/zs-bench/template \\
      PYTHONPATH=tests/e2e:bench/install:bench/uninstall python3 bench/install/install_profile.py
(make the template first with scripts/wine-prefix template /tmp/zs-bench/template; perf is Debian's
linux-perf package, a measuring tool only.) ZS_BENCH_FILES and ZS_BENCH_MB size the corpus;
ZS_BENCH_CORPORA=source profiles the source corpus instead.
"""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

from bench_clock import timed
from harness import WORK_DIR, LogFile, Prefix, make_setup
from peer_bench import CORPORA, copy_corpus, select_corpus, select_source


def step_times(prefix):
    """(step line, seconds until the next step line or the end) from the setup's log."""
    logs = prefix.logs("Zelvan-Setup")
    if not logs:
        return []
    stamps = []
    for line in LogFile(logs[-1]).raw.decode("utf-8").split("\r\n"):
        m = re.match(r"^\ufeff?(\d\d):(\d\d):(\d\d)\.(\d\d\d)  (.*)$", line)
        if m:
            t = int(m.group(1)) * 3600 + int(m.group(2)) * 60 + int(m.group(3)) + int(m.group(4)) / 1000
            stamps.append((t, m.group(5)))
    steps = [(t, text) for t, text in stamps if text.startswith("Step: ") or text.startswith("COMMIT")]
    end = stamps[-1][0] if stamps else 0
    out = []
    for i, (t, text) in enumerate(steps):
        following = steps[i + 1][0] if i + 1 < len(steps) else end
        out.append((text, following - t))
    return out


def perf_split(data, keys):
    """perf's own percentages of all samples, by the given sort keys."""
    proc = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children", "-g", "none",
                           "--sort", keys, "--percent-limit", "0.5"], capture_output=True, text=True)
    return [line for line in proc.stdout.splitlines() if line.strip() and not line.startswith("#")]


def main():
    if not shutil.which("perf"):
        raise SystemExit("perf is missing: apt-get install linux-perf (a measuring tool only)")
    os.makedirs(WORK_DIR, exist_ok=True)
    work = tempfile.mkdtemp(prefix="zs-profile-", dir=WORK_DIR)
    corpus, corpus_bytes = select_corpus() if CORPORA[0] == "binaries" else select_source()
    builder = Prefix("profile-builder")
    try:
        exe = make_setup(builder, os.path.join(work, "ours.exe"),
                         modify=lambda sample: copy_corpus(corpus, os.path.join(sample, "app")))
    finally:
        builder.remove()
    prefix = Prefix("profile-install")
    data = os.path.join(work, "perf.data")
    try:
        target = os.path.join(prefix.drive_c, "ours.exe")
        shutil.copy(exe, target)
        perf = subprocess.Popen(["perf", "record", "-a", "-F", "499", "-o", data],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1.0)
        timing = timed(prefix, target, ["/silent"])
        perf.send_signal(signal.SIGINT)
        perf.wait(timeout=120)
        if timing.code != 0:
            raise AssertionError(f"the install exited {timing.code}")
        print(f"{len(corpus)} files, {corpus_bytes / 1e6:.1f} MB: {timing.process_end:.2f} s to the setup's end, "
              f"{timing.session_end:.2f} s to the end of Wine's session")
        print("\nsteps, from the setup's log (seconds until the next step):")
        for text, seconds in step_times(prefix):
            print(f"  {seconds:6.2f}  {text}")
        print("\nsamples of the whole machine by process (perf's percent of all samples, sampled at 499 Hz "
              "on every core from 1 s before the start to the end of Wine's session):")
        for line in perf_split(data, "comm"):
            print("  " + line)
        print("\nby process and module:")
        for line in perf_split(data, "comm,dso"):
            print("  " + line)
    finally:
        prefix.remove()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
