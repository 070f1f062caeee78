"""The Windows-hosted builder: zsbuild.exe, run under Wine in a prefix whose cabinet.dll is the
Compression API stand-in, builds the sample's payload. Its embedded script is the Linux builder's
byte for byte (the same files at the same places with the same digests), its block decompresses
to the same bytes, and the setup made from it verifies its payload and installs through the
Compression API. Both payloads' sizes are printed."""
import hashlib
import os
import re
import shutil
import struct
import tempfile

from harness import BIN_DIR, SOURCE_DIR, WORK_DIR, LogFile, ScenarioTest, main

WINDOWS_BUILDER = os.path.join(BIN_DIR, "tools", "zsbuild", "zsbuild.exe")
RESOURCE_TOOL = os.path.join(BIN_DIR, "tools", "zsresource", "zsresource.exe")
STUB = os.path.join(BIN_DIR, "src", "app", "ZelvanSetup.exe")
LINUX_PAYLOAD = os.path.join(BIN_DIR, "examples", "zelvan", "zelvan_setup.dir", "payload.bin")
LINUX_SCRIPT = os.path.join(BIN_DIR, "examples", "zelvan", "zelvan_setup.dir", "embedded.zss")
PF = "C:\\Program Files\\Zelvan"


def windows_path(path):
    """A Linux path as a Wine program sees it, through drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def parts(payload):
    script, licence, block, uncompressed = struct.unpack_from("<QQQQ", payload, 16)
    return payload[96:96 + script], payload[96 + script + licence:], uncompressed


class WindowsBuilder(ScenarioTest):
    cabinet_standin = True

    def test_builds_the_samples_payload_that_installs_like_the_linux_builders(self):
        work = tempfile.mkdtemp(prefix="zs-winbuild-", dir=WORK_DIR)
        self.addCleanup(shutil.rmtree, work, True)
        payload, script = os.path.join(work, "payload.bin"), os.path.join(work, "embedded.zss")
        built = self.prefix.run(WINDOWS_BUILDER, [
            windows_path(os.path.join(SOURCE_DIR, "examples", "zelvan", "zelvan.zss")),
            "--stub", windows_path(STUB), "--payload", windows_path(payload), "--script-out", windows_path(script),
            "--define", "AppBin=" + windows_path(os.path.join(BIN_DIR, "testing", "zelvan-app"))], timeout=300)
        self.assertEqual(built.code, 0, built.stderr.decode(errors="replace"))
        self.assertRegex(built.stdout.decode(), r"zsbuild: \d+ files, \d+ bytes, block \d+ bytes, payload \d+ bytes")

        with open(payload, "rb") as f:
            theirs = f.read()
        with open(LINUX_PAYLOAD, "rb") as f:
            ours = f.read()
        print(f"sample payload: Linux builder {len(ours)} bytes, zsbuild.exe (stand-in compressor) {len(theirs)} bytes")
        with open(script, "rb") as a, open(LINUX_SCRIPT, "rb") as b:
            self.assertEqual(a.read(), b.read(), "the same embedded script: same files, places and digests")
        script_bytes, block, uncompressed = parts(theirs)
        self.assertEqual(uncompressed, parts(ours)[2])
        self.assertEqual(block[:4], b"\x0a\x51\xe5\xc0", "a Compression API buffer")
        self.assertEqual(hashlib.sha256(theirs[96:]).digest(), theirs[48:80], "the digest covers the rest")

        setup = os.path.join(self.prefix.drive_c, "ZelvanSetup.exe")
        tool = self.prefix.run(RESOURCE_TOOL, [STUB, payload, setup])
        self.assertEqual(tool.code, 0, tool.stderr)
        result = self.prefix.run(setup, ["/silent"])
        self.assertEqual(result.code, 0, "the setup made by zsbuild.exe installs")
        lines = self.only_log("Zelvan-Setup").lines
        self.assertFalse([line for line in lines if "Payload refused" in line or "built-in LZMS decoder" in line],
                         "the payload is accepted and decompressed through the Compression API")

        # Every program file in place, each with the digest of its [Files] line.
        for line in script_bytes.decode("utf-8").splitlines():
            m = re.match(r"^Dest: \{app\}\\(.*?);.*Sha: ([0-9a-f]{64})", line)
            if m:
                with open(self.prefix.host_path(PF + "\\" + m.group(1)), "rb") as f:
                    self.assertEqual(hashlib.sha256(f.read()).hexdigest(), m.group(2), m.group(1))


if __name__ == "__main__":
    main()
