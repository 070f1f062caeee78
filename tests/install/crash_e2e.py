"""Crash consistency: the setup is killed (SIGKILL, and every process of its prefix with it) at
points spread over a silent install and a silent upgrade, then run again. After the second run the
machine must be exactly a clean install of the new version; and until the commit, no file of the
old version may be lost (each is at its place or in a backup folder beside it)."""
import hashlib
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

from harness import WORK_DIR, Prefix, ScenarioTest, main, make_setup

EXTRA_FILES = 120  # more records, so that the kill points spread over staging, placing and cleanup


def add_files(sample, version):
    """Extra program files; the upgrade changes every other one."""
    extra = os.path.join(sample, "app", "Extra")
    os.makedirs(extra, exist_ok=True)
    for i in range(EXTRA_FILES):
        seed = f"{i}-{version if i % 2 else 1}".encode()
        data = b"".join(hashlib.sha256(seed + k.to_bytes(2, "little")).digest() for k in range(600))  # about 19 KB
        with open(os.path.join(extra, f"part{i:03}.bin"), "wb") as f:
            f.write(data)


def journal_records(data):
    """The complete record lines of a journal's bytes."""
    if not data.startswith(b"ZSJ1\n"):
        return []
    body = data[5:]
    return body.split(b"\n")[:-1]


class KillWatcher:
    """Starts the setup and kills it once its journal holds `records` complete records (or, with
    after_commit, as soon as COMMIT is in it). Returns what the journal held at the kill."""

    def __init__(self, prefix, exe, records=None, after_commit=False):
        self.prefix, self.exe, self.records, self.after_commit = prefix, exe, records, after_commit
        self.journal = os.path.join(prefix.setup_data(), "install.zsj")

    def run(self, timeout=120):
        proc = self.prefix.start(self.exe, ["/silent"])
        seen = b""
        end = time.monotonic() + timeout
        killed = False
        while time.monotonic() < end:
            try:
                with open(self.journal, "rb") as f:
                    data = f.read()
                seen = data
            except OSError:
                data = None
            if data is not None:
                lines = journal_records(data)
                hit = (self.after_commit and b"COMMIT" in lines) or \
                      (self.records is not None and data.startswith(b"ZSJ1\n") and len(lines) >= self.records)
                if hit:
                    proc.send_signal(signal.SIGKILL)
                    killed = True
                    break
            if proc.poll() is not None:
                break
            time.sleep(0.0005)
        subprocess.run(["wineserver", "-k"], env=self.prefix.env(), check=False)
        proc.wait()
        return killed, journal_records(seen)


def file_digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def old_files_recoverable(folder, files):
    """Every old file is at its place, or in the backup folder beside it, with its old content."""
    missing = []
    for rel, digest in files.items():
        place = os.path.join(folder, rel)
        parent, name = os.path.split(place)
        candidates = [place]
        if os.path.isdir(parent):
            candidates += [os.path.join(parent, d, name) for d in os.listdir(parent) if d.startswith(".zsold")]
        if not any(os.path.isfile(c) and file_digest(c) == digest for c in candidates):
            missing.append(rel)
    return missing


def program_files(folder):
    out = {}
    for dirpath, dirnames, names in os.walk(folder):
        dirnames[:] = [d for d in dirnames if not d.startswith(".zs")]
        for n in names:
            full = os.path.join(dirpath, n)
            out[os.path.relpath(full, folder)] = file_digest(full)
    return out


def shortcut_bytes_only(difference):
    """A shell link holds its target's times, so two clean runs never give the same bytes: only
    whether a shortcut is there is compared."""
    m = re.match(r"file (.*\.lnk): (\S+) -> (\S+)$", difference)
    return bool(m) and m.group(2) != "None" and m.group(3) != "None"


class Crash(ScenarioTest):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="zs-crash-", dir=WORK_DIR)
        builder = Prefix("crash-builder")
        try:
            cls.v1 = make_setup(builder, os.path.join(cls.work, "v1.exe"), modify=lambda d: add_files(d, 1))
            cls.v2 = make_setup(builder, os.path.join(cls.work, "v2.exe"), defines=["FileVersion=2.5.0.1500"],
                                modify=lambda d: add_files(d, 2))
        finally:
            builder.remove()
        cls.reference = {}
        cls.report = []

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)
        print(f"\nCrash points tried: {len(cls.report)}")
        for line in cls.report:
            print("  " + line)

    def install(self, exe):
        result = self.prefix.run(exe, ["/silent"])
        self.assertEqual(result.code, 0, f"{exe} exited {result.code}")

    def reference_state(self, kind):
        """The machine after a clean run: v1 on a fresh prefix, or v1 then v2."""
        if kind not in self.reference:
            ref = Prefix(f"crash-reference-{kind}")
            try:
                for exe in ([self.v1] if kind == "install" else [self.v1, self.v2]):
                    self.assertEqual(ref.run(exe, ["/silent"]).code, 0)
                self.reference[kind] = (ref.snapshot(), self.record_count(ref, kind))
            finally:
                ref.remove()
        return self.reference[kind]

    def record_count(self, ref, kind):
        # One more run of the same kind, watched to the end, tells how many records it writes.
        probe = Prefix(f"crash-probe-{kind}")
        try:
            if kind == "upgrade":
                self.assertEqual(probe.run(self.v1, ["/silent"]).code, 0)
            _, seen = KillWatcher(probe, self.v1 if kind == "install" else self.v2, records=10**9).run()
            return seen
        finally:
            probe.remove()

    def kill_points(self, records):
        """Record counts to kill at: before BEGIN, after BEGIN, spread over the run, around COMMIT.
        CI spreads four over the run; ZS_CRASH_ALL=1 spreads eight (the power-cut explorer and the
        fault sweep cover the points between)."""
        kinds = [r.split(b"\t", 1)[0] for r in records]
        commit = kinds.index(b"COMMIT") + 1 if b"COMMIT" in kinds else len(kinds)
        points = {0, 1, 2, 3, commit - 1, commit}
        step = max(1, commit // (8 if os.environ.get("ZS_CRASH_ALL") == "1" else 4))
        points.update(range(4, commit, step))
        return sorted(p for p in points if 0 <= p <= commit)

    def crash_and_rerun(self, kind, point, after_commit=False):
        expected, _ = self.reference_state(kind)
        old = {}
        if kind == "upgrade":
            self.install(self.v1)
            old = program_files(self.prefix.host_path("C:\\Program Files\\Zelvan"))
        exe = self.v1 if kind == "install" else self.v2
        killed, seen = KillWatcher(self.prefix, exe, records=None if after_commit else point,
                                   after_commit=after_commit).run()
        last = seen[-1].split(b"\t", 1)[0].decode() if seen else "(none)"
        committed = any(r == b"COMMIT" for r in seen)
        if kind == "upgrade" and not committed:
            lost = old_files_recoverable(self.prefix.host_path("C:\\Program Files\\Zelvan"), old)
            self.assertEqual(lost, [], f"old files lost before the commit (killed after {len(seen)} records)")
        self.install(exe)
        diff = [d for d in expected.differences(self.prefix.snapshot()) if not shortcut_bytes_only(d)]
        outcome = "clean" if not diff else f"{len(diff)} differences"
        self.report.append(f"{kind}: killed={killed} after {len(seen)} records (last {last}) -> {outcome}")
        self.assertEqual(diff, [], f"{kind} killed after {len(seen)} records is not a clean install")

    def run_points(self, kind):
        _, records = self.reference_state(kind)
        self.assertIn(b"COMMIT", records)
        for point in self.kill_points(records):
            with self.subTest(kind=kind, point=point):
                self.prefix.remove()
                self.prefix = Prefix(f"crash-{kind}-{point}")
                self.crash_and_rerun(kind, point)
        with self.subTest(kind=kind, point="after COMMIT"):
            self.prefix.remove()
            self.prefix = Prefix(f"crash-{kind}-commit")
            self.crash_and_rerun(kind, None, after_commit=True)

    def test_install(self):
        self.run_points("install")

    def test_upgrade(self):
        self.run_points("upgrade")


if __name__ == "__main__":
    main()
