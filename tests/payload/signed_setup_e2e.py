"""A signed release, made the way a release engineer makes one on Linux: the sample's script with a
Sign line for osslsigncode and a certificate made here (a test CA and a code-signing certificate
it issued). The finished setup verifies; the ZelvanUninstall.exe it installs verifies, since the
builder signed the stub before it went into the block; the temporary copy the uninstaller runs
from verifies, since the copy keeps the signature; and the uninstall still removes everything."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile

from harness import SOURCE_DIR, WORK_DIR, ScenarioTest, main, make_setup, wait_for

sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "uninstall"))
from uninstall_e2e import exit_code, finished, uninstall_runs, without_copy_traces  # noqa: E402

PF = "C:\\Program Files\\Zelvan"


def make_certificate(folder):
    """A CA and a code-signing certificate issued by it; returns (ca, certificate, key) paths."""
    ca_key, ca, key, csr, cert = (os.path.join(folder, n) for n in ("ca.key", "ca.pem", "sign.key", "sign.csr", "sign.pem"))
    extensions = os.path.join(folder, "sign.ext")
    with open(extensions, "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")

    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", ca, "-days", "2",
            "-subj", "/CN=Brightmoor Test Root")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr, "-subj", "/CN=Brightmoor Test Signing")
    openssl("x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial", "-out", cert, "-days", "2",
            "-extfile", extensions)
    return ca, cert, key


def sign_line(cert, key):
    """The Linux Sign line of the README: osslsigncode cannot sign in place, so it writes beside the
    file and the signed file takes its place."""
    return (f"Sign = sh -c 'osslsigncode sign -certs \"$0\" -key \"$1\" -h sha256 -in \"$2\" -out \"$2.signed\""
            f" >/dev/null && mv \"$2.signed\" \"$2\"' {cert} {key} {{file}}")


class SignedSetup(ScenarioTest):
    def verify(self, path, what):
        proc = subprocess.run(["osslsigncode", "verify", "-CAfile", self.ca, "-in", path], capture_output=True,
                              text=True, timeout=60)
        self.assertEqual(proc.returncode, 0, f"{what} does not verify:\n{proc.stdout}{proc.stderr}")
        self.assertIn("Signature verification: ok", proc.stdout, what)

    def test_setup_uninstaller_and_its_copy_verify_and_the_uninstall_removes_everything(self):
        keys = tempfile.mkdtemp(prefix="zs-signing-", dir=WORK_DIR)
        self.addCleanup(shutil.rmtree, keys, True)
        self.ca, cert, key = make_certificate(keys)

        def with_sign_line(folder):
            script = os.path.join(folder, "zelvan.zss")
            with open(script, encoding="utf-8") as f:
                text = f.read()
            text = text.replace("Output = ZelvanSetup.exe\n", "Output = ZelvanSetup.exe\n" + sign_line(cert, key) + "\n", 1)
            with open(script, "w", encoding="utf-8") as f:
                f.write(text)
        setup = make_setup(self.prefix, os.path.join(self.prefix.drive_c, "ZelvanSetup.exe"), modify=with_sign_line,
                           sign=True)
        self.verify(setup, "the setup")

        before = self.prefix.snapshot()
        result = self.prefix.run(setup, ["/silent"])
        self.assertEqual(result.code, 0, "the signed setup installs")
        installed = self.prefix.host_path(PF + "\\ZelvanUninstall.exe")
        self.verify(installed, "the installed uninstaller")

        with open(installed, "rb") as f:
            uninstaller = f.read()

        launcher = self.prefix.run(installed, ["/silent"])
        self.assertEqual(launcher.code, 0)
        wait_for(lambda: len(finished(uninstall_runs(self.prefix))) >= 2, timeout=120)
        runs = uninstall_runs(self.prefix)
        self.assertEqual(len(runs), 2, f"the launcher's run and the copy's: {runs}")
        self.assertIn("Restarted from a temp copy.", runs[0])
        self.assertEqual(exit_code(runs[1]), 0, "\n".join(runs[1]))

        # The copy stays until the next restart, which deletes it.
        copies = glob.glob(os.path.join(self.prefix.setup_data(), "un-*", "ZelvanUninstall.exe"))
        self.assertEqual(len(copies), 1, copies)
        self.verify(copies[0], "the uninstaller's temporary copy")
        with open(copies[0], "rb") as f:
            self.assertEqual(f.read(), uninstaller, "the copy is the installed uninstaller, byte for byte")

        after = without_copy_traces(self.prefix.snapshot())
        self.assertEqual(without_copy_traces(before).differences(after), [], "the uninstall left traces")


if __name__ == "__main__":
    main()
