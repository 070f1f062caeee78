"""End-to-end harness: runs the real setup in a throwaway copy of the test run's template Wine
prefix and judges it from outside (files, registry, log lines, exit code).

Every scenario gets its own prefix (a copy of the template, removed afterwards); ~/.wine is never
touched. The environment comes from ctest: ZS_TEMPLATE_PREFIX, ZS_BIN_DIR, ZS_SOURCE_DIR, ZS_WORK_DIR.
"""
import os
import re
import shutil
import subprocess
import time
import unittest

TEMPLATE = os.environ.get("ZS_TEMPLATE_PREFIX", "")
BIN_DIR = os.environ.get("ZS_BIN_DIR", "")
SOURCE_DIR = os.environ.get("ZS_SOURCE_DIR", "")
WORK_DIR = os.environ.get("ZS_WORK_DIR", "/tmp/zs-e2e")
PREFIX_TOOL = os.path.join(SOURCE_DIR, "scripts", "wine-prefix")

STAMP = re.compile(r"^\d\d:\d\d:\d\d\.\d\d\d  ")
BOM = b"\xef\xbb\xbf"


class Result:
    def __init__(self, code, stdout, stderr):
        self.code = code
        self.stdout = stdout
        self.stderr = stderr


class LogFile:
    """A log file read back: the runs it holds (one per byte-order mark) and their lines."""

    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.raw = f.read()
        if not self.raw.startswith(BOM):
            raise AssertionError(f"{path} does not start with a UTF-8 byte-order mark")
        self.runs = []
        for chunk in self.raw.split(BOM)[1:]:
            text = chunk.decode("utf-8")
            if text and not text.endswith("\r\n"):
                raise AssertionError(f"{path}: the last line does not end with CR LF")
            lines = []
            for line in text.split("\r\n")[:-1]:
                if "\n" in line or "\r" in line:
                    raise AssertionError(f"{path}: a line break that is not CR LF in {line!r}")
                if not STAMP.match(line):
                    raise AssertionError(f"{path}: line without its time stamp: {line!r}")
                lines.append(line[14:])
            self.runs.append(lines)

    @property
    def lines(self):
        return [line for run in self.runs for line in run]


class Prefix:
    """A copy of the template prefix for one scenario."""

    def __init__(self, name):
        safe = re.sub(r"[^A-Za-z0-9_.-]", "_", name)
        self.dir = os.path.join(WORK_DIR, f"{safe}-{os.getpid()}")
        subprocess.run([PREFIX_TOOL, "copy", TEMPLATE, self.dir], check=True)
        self.drive_c = os.path.join(self.dir, "drive_c")

    def env(self, dll_overrides=None):
        env = dict(os.environ)
        env["WINEPREFIX"] = self.dir
        env["WINEDEBUG"] = "-all"
        overrides = "mscoree=;mshtml="
        if dll_overrides:
            overrides += ";" + dll_overrides
        env["WINEDLLOVERRIDES"] = overrides
        return env

    def host_path(self, win_path):
        """The Linux path of a C: path inside this prefix, matching each component without regard
        to case the way Wine does."""
        m = re.match(r"^[A-Za-z]:\\?(.*)$", win_path)
        if not m:
            raise ValueError(f"not a drive path: {win_path}")
        path = self.drive_c
        for part in [p for p in m.group(1).split("\\") if p]:
            candidate = os.path.join(path, part)
            if not os.path.exists(candidate) and os.path.isdir(path):
                for entry in os.listdir(path):
                    if entry.lower() == part.lower():
                        candidate = os.path.join(path, entry)
                        break
            path = candidate
        return path

    def run(self, exe, args=(), cwd=None, timeout=180, dll_overrides=None):
        proc = subprocess.run(["wine", exe, *args], cwd=cwd or self.drive_c, env=self.env(dll_overrides),
                              capture_output=True, timeout=timeout)
        return Result(proc.returncode, proc.stdout, proc.stderr)

    def start(self, exe, args=(), cwd=None):
        return subprocess.Popen(["wine", exe, *args], cwd=cwd or self.drive_c, env=self.env(),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wine(self, *args, check=True):
        proc = subprocess.run(["wine", *args], env=self.env(), capture_output=True, timeout=120)
        if check and proc.returncode != 0:
            raise AssertionError(f"wine {' '.join(args)} failed: {proc.stderr.decode(errors='replace')}")
        return proc

    def reg_query(self, key, value=None, view=64):
        """The value's (type, data) text pair, or None when the key or value is missing."""
        args = ["reg", "query", key, f"/reg:{view}"]
        args += ["/v", value] if value is not None else ["/ve"]
        proc = self.wine(*args, check=False)
        if proc.returncode != 0:
            return None
        for line in proc.stdout.decode("utf-8", errors="replace").splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[1].startswith("REG_"):
                return (parts[1], parts[2] if len(parts) > 2 else "")
        return None

    def set_windows_version(self, version):
        self.wine("winecfg", "-v", version)

    def setup_data(self):
        return self.host_path("C:\\ProgramData\\ZelvanSetup")

    def logs(self, prefix=""):
        folder = self.setup_data()
        if not os.path.isdir(folder):
            return []
        return sorted(os.path.join(folder, n) for n in os.listdir(folder)
                      if n.startswith(prefix) and n.endswith(".log"))

    def remove(self):
        subprocess.run([PREFIX_TOOL, "remove", self.dir], check=False)


class ScenarioTest(unittest.TestCase):
    """A test case whose every test method gets a fresh prefix in self.prefix."""

    def setUp(self):
        if not TEMPLATE or not os.path.isfile(os.path.join(TEMPLATE, ".zs-ready")):
            self.fail("no prepared template prefix: run through ctest")
        self.prefix = Prefix(self.id().split(".")[-1])
        self.addCleanup(self.prefix.remove)

    def only_log(self, prefix=""):
        logs = self.prefix.logs(prefix)
        self.assertEqual(len(logs), 1, f"expected one log, found {logs}")
        return LogFile(logs[0])

    def assertInOrder(self, lines, expected):
        """Each expected line appears in lines, in this order (other lines may stand between)."""
        pos = 0
        for want in expected:
            while pos < len(lines) and lines[pos] != want:
                pos += 1
            self.assertLess(pos, len(lines), f"{want!r} not found in order in:\n" + "\n".join(lines))
            pos += 1


def wait_for(predicate, timeout=30.0, interval=0.2):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(interval)
    return False


def x_window_titles():
    """Titles of the top-level windows on $DISPLAY (empty without a display or xwininfo)."""
    if not os.environ.get("DISPLAY") or not shutil.which("xwininfo"):
        return []
    proc = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True, timeout=20)
    return re.findall(r'^\s+0x[0-9a-f]+ "([^"]*)"', proc.stdout, re.M)


def main():
    unittest.main(verbosity=2)
