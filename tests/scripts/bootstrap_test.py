#!/usr/bin/env python3
"""scripts/bootstrap.sh against a fake apt: a mirror caught mid-sync (one index of the wrong size)
must not stop a machine whose packages can still be installed, and a real failure must still fail
with a word on what to try. apt-get, dpkg and dpkg-query are stand-ins on PATH; nothing of the
machine's own apt is touched."""
import os
import stat
import subprocess
import tempfile
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BOOTSTRAP = os.path.join(SOURCE, "scripts", "bootstrap.sh")
BROKEN = "deb.debian.org_debian-security_dists_bookworm-security"
FETCH_ERROR = ("E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/"
               "Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]\n"
               "E: Some index files failed to download. They have been ignored, or old ones used instead.\n")

# The fake apt-get: "update" fails while FAIL_UPDATES says so (counted in a file), printing apt's
# words; "install" fails after a failed update while the broken suite's other lists are there (the
# version skew a half-updated suite causes), and always when INSTALL_FAILS is set.
APT_GET = r"""#!/bin/sh
echo "$*" >> "$WORK/calls"
case "$1" in
  update)
    n=$(cat "$WORK/updates" 2>/dev/null || echo 0); n=$((n + 1)); echo $n > "$WORK/updates"
    if [ "$n" -le "$FAIL_UPDATES" ]; then printf '%s' "$FETCH_ERROR" >&2; exit 100; fi
    exit 0 ;;
  install)
    [ -n "$INSTALL_FAILS" ] && { echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100; }
    n=$(cat "$WORK/updates")
    [ "$n" -le "$FAIL_UPDATES" ] && ls "$ZS_APT_LISTS" | grep -q "^BROKEN_" && { echo "E: Unable to correct problems" >&2; exit 100; }
    exit 0 ;;
esac
""".replace("BROKEN", BROKEN)


def fake(folder, name, body):
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write(body)
    os.chmod(path, os.stat(path).st_mode | stat.S_IEXEC)


class Bootstrap(unittest.TestCase):
    def run_bootstrap(self, fail_updates, install_fails=False):
        work = tempfile.mkdtemp(prefix="zs-bootstrap-")
        bin_dir, lists = os.path.join(work, "bin"), os.path.join(work, "lists")
        os.makedirs(bin_dir)
        os.makedirs(lists)
        for name in (BROKEN + "_InRelease", BROKEN + "_main_binary-amd64_Packages.lz4",
                     "deb.debian.org_debian_dists_bookworm_main_binary-i386_Packages.lz4"):
            open(os.path.join(lists, name), "w").close()
        fake(bin_dir, "apt-get", APT_GET)
        fake(bin_dir, "dpkg", "#!/bin/sh\nexit 0\n")          # no foreign architecture yet
        fake(bin_dir, "dpkg-query", "#!/bin/sh\nexit 1\n")    # nothing installed
        fake(bin_dir, "sudo", '#!/bin/sh\nexec "$@"\n')
        env = dict(os.environ, PATH=bin_dir + ":" + os.environ["PATH"], WORK=work, ZS_APT_LISTS=lists,
                   ZS_APT_PAUSE="0", FAIL_UPDATES=str(fail_updates), FETCH_ERROR=FETCH_ERROR,
                   INSTALL_FAILS="1" if install_fails else "")
        proc = subprocess.run(["bash", BOOTSTRAP], env=env, capture_output=True, text=True, timeout=60)
        with open(os.path.join(work, "calls")) as f:
            calls = [line.split()[0] for line in f]
        return proc, calls, sorted(os.listdir(lists))

    def test_updates_and_installs(self):
        cases = [
            # (updates that fail, install fails, exit, update calls, broken suite's lists left, said)
            (0, False, 0, 1, True, ""),
            (2, False, 0, 3, True, "try 2 of 3"),
            (99, False, 0, 3, False, "leaving out " + BROKEN),
            (99, True, 1, 3, False, "could not be installed"),
        ]
        for fails, install_fails, code, updates, kept, said in cases:
            with self.subTest(fails=fails, install_fails=install_fails):
                proc, calls, lists = self.run_bootstrap(fails, install_fails)
                self.assertEqual(proc.returncode, code, proc.stderr)
                self.assertEqual(calls.count("update"), updates)
                self.assertEqual(calls[-1], "install", "the install is tried whatever the update did")
                self.assertEqual(any(n.startswith(BROKEN) for n in lists), kept)
                self.assertIn("deb.debian.org_debian_dists_bookworm_main_binary-i386_Packages.lz4", lists,
                              "the lists that did download stay")
                self.assertIn(said, proc.stderr)


if __name__ == "__main__":
    unittest.main()
