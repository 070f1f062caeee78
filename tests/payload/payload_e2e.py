"""The payload of real executables under Wine: the sample's setup and a probe that carries the same
payload, untouched and with single bytes flipped; setups whose block is damaged where only the
decompressor can tell; the resource tool that puts a payload into a stub. The payload scenarios run
twice: with Wine's cabinet.dll (the built-in decoder) and with the Compression API stand-in (the
path Windows users take)."""
import hashlib
import os
import shutil
import struct
import zlib

from harness import BIN_DIR, LogFile, ScenarioTest, main

SAMPLE = os.path.join(BIN_DIR, "examples", "zelvan", "ZelvanSetup.exe")
STUB = os.path.join(BIN_DIR, "src", "app", "ZelvanSetup.exe")
PAYLOAD = os.path.join(BIN_DIR, "examples", "zelvan", "zelvan_setup.dir", "payload.bin")
PROBE = os.path.join(BIN_DIR, "tests", "payload", "zs_payload_probe.exe")
BARE_PROBE = os.path.join(BIN_DIR, "tests", "payload", "zs_payload_probe_bare.exe")
RESOURCE_TOOL = os.path.join(BIN_DIR, "tools", "zsresource", "zsresource.exe")
FALLBACK = "cabinet.dll has no Compression API; using the built-in LZMS decoder."


def payload_span(data):
    """Where the payload lies inside an executable: the offsets of its header, script, licence and
    block, found by its magic and checked against its own sizes."""
    with open(PAYLOAD, "rb") as f:
        payload = f.read()
    at = data.find(payload[:96])
    assert at >= 0, "the payload is not in the executable"
    script, licence, block = struct.unpack_from("<QQQ", data, at + 16)
    return {"header": at, "reserved": at + 80, "script": at + 96, "licence": at + 96 + script,
            "block": at + 96 + script + licence, "block_length": block}


def lzms_header(total, chunk):
    """The Compression API's 24-byte buffer header (LZMS) with its check byte."""
    h = bytearray(b"\x0a\x51\xe5\xc0\x18\x00\x00\x05" + struct.pack("<QQ", total, min(total, chunk)))
    h[6] = zlib.crc32(bytes(h[7:]), zlib.crc32(bytes(h[:6]))) & 0xFF
    return bytes(h)


def sample_parts():
    """The sample payload's script, licence, compressed block and uncompressed size."""
    with open(PAYLOAD, "rb") as f:
        data = f.read()
    script, licence, block, uncompressed = struct.unpack_from("<QQQQ", data, 16)
    return (data[96:96 + script], data[96 + script:96 + script + licence],
            data[96 + script + licence:96 + script + licence + block], uncompressed)


def make_payload(script, licence, block, uncompressed):
    body = script + licence + block
    header = b"ZSP1" + struct.pack("<IIIQQQQ", 96, 1, 1, len(script), len(licence), len(block), uncompressed)
    return header + hashlib.sha256(body).digest() + bytes(16) + body


class Payload(ScenarioTest):
    def copy_with_flip(self, exe, offset, name):
        with open(exe, "rb") as f:
            data = bytearray(f.read())
        if offset is not None:
            data[offset] ^= 0x5A
        path = os.path.join(self.prefix.host_path("C:\\"), name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def probe(self, offset=None):
        result = self.prefix.run(self.copy_with_flip(PROBE, offset, "probe.exe"), [])
        return result.code, result.stdout.decode("utf-8", "replace")

    def assertDecoderPath(self, lines):
        """The built-in decoder's line is there exactly when Wine's own cabinet.dll is."""
        said = any(line.endswith(FALLBACK) for line in lines)
        self.assertEqual(said, not self.cabinet_standin, "\n".join(lines))

    def test_probe_accepts_the_sample_payload(self):
        code, out = self.probe()
        self.assertEqual(code, 2, out)
        self.assertNotIn("Payload refused", out)
        self.assertDecoderPath(out.splitlines())

    def test_one_flipped_byte_is_refused_except_in_reserved(self):
        with open(PROBE, "rb") as f:
            span = payload_span(f.read())
        for part in ("script", "licence", "block"):
            offset = span[part] + 7 if part != "block" else span["block"] + span["block_length"] // 2
            code, out = self.probe(offset)
            self.assertEqual(code, 1, part)
            self.assertIn("Payload refused: SHA-256 differs", out, part)
        code, out = self.probe(span["reserved"] + 3)
        self.assertEqual(code, 2, out)
        code, out = self.probe(span["header"] + 4)  # headerSize
        self.assertIn("Payload refused: header or sizes", out)

    def carrying(self, exe, payload_bytes, name):
        """A copy of exe (one without a payload) with these bytes as its ZSPAYLOAD resource, put in
        by zsresource."""
        drive = self.prefix.host_path("C:\\")
        shutil.copy(exe, os.path.join(drive, name + ".exe"))
        with open(os.path.join(drive, name + ".bin"), "wb") as f:
            f.write(payload_bytes)
        tool = self.prefix.run(RESOURCE_TOOL, ["--force", f"C:\\{name}.exe", f"C:\\{name}.bin"])
        self.assertEqual(tool.code, 0, tool.stderr)
        return os.path.join(drive, name + ".exe")

    def with_payload(self, payload_bytes, name):
        result = self.prefix.run(self.carrying(BARE_PROBE, payload_bytes, name), [])
        return result.code, result.stdout.decode("utf-8", "replace")

    def test_edge_cases_through_the_resource(self):
        with open(PAYLOAD, "rb") as f:
            good = f.read()
        code, out = self.with_payload(good[:95], "short")
        self.assertEqual((code, "Payload refused: header or sizes" in out), (1, True), out)
        code, out = self.with_payload(good + b"\0", "appended")
        self.assertEqual((code, "Payload refused: header or sizes" in out), (1, True), out)

        # The upper limit: a block whose header claims 512 MiB passes (only its header is read).
        with open(os.path.join(os.path.dirname(PAYLOAD), "embedded.zss"), "rb") as f:
            script = f.read()
        setup = script[:script.index(b"[Files]")]
        big = 536870912
        line = b"[Files]\nDest: {app}\\big.bin; Off: 0; Size: %d; Sha: %s\n" % (big, b"0" * 64)
        code, out = self.with_payload(make_payload(setup + line, b"", lzms_header(big, 64 << 20), big), "limit")
        self.assertEqual(code, 2, out)
        over = line.replace(b"%d" % big, b"%d" % (big + 1))
        code, out = self.with_payload(make_payload(setup + over, b"", lzms_header(big + 1, 64 << 20), big + 1), "over")
        self.assertEqual((code, "Payload refused: header or sizes" in out), (1, True), out)

    def test_sample_setup_installs_and_refuses_a_flipped_block(self):
        result = self.prefix.run(self.copy_with_flip(SAMPLE, None, "ZelvanSetup.exe"), ["/silent"])
        lines = self.only_log().lines
        self.assertEqual(result.code, 0, "\n".join(lines))
        self.assertDecoderPath(lines)
        with open(SAMPLE, "rb") as f:
            span = payload_span(f.read())
        for log in self.prefix.logs():
            os.remove(log)
        flipped = self.copy_with_flip(SAMPLE, span["block"] + span["block_length"] // 3, "Flipped.exe")
        result = self.prefix.run(flipped, ["/silent"])
        self.assertEqual(result.code, 9)
        lines = self.only_log().lines
        self.assertIn("Payload refused: SHA-256 differs", lines)
        self.assertEqual(lines[-1], "Exit code 9")

    def test_a_block_the_decompressor_refuses_stops_the_install_and_rolls_back(self):
        # The block's header is sound, so the reader accepts it; its last chunk ends one byte early.
        script, licence, block, size = sample_parts()
        exe = self.carrying(STUB, make_payload(script, licence, block[:-1], size), "Cut")
        before = self.prefix.snapshot()
        result = self.prefix.run(exe, ["/silent"])
        lines = self.only_log().lines
        self.assertEqual(result.code, 1, "\n".join(lines))
        decompress = [l for l in lines if l.startswith("Decompress: ")]
        self.assertEqual(len(decompress), 1, lines)
        self.assertTrue(decompress[0].startswith("Decompress: Windows error 605: "), decompress[0])
        self.assertInOrder(lines, [decompress[0], "Stopped: This setup file is damaged.", "Exit code 1"])
        self.assertDecoderPath(lines)
        self.assertEqual(before.differences(self.prefix.snapshot()), [], "the damaged block changed the machine")

    def test_a_block_header_the_reader_cannot_use_is_refused(self):
        script, licence, block, size = sample_parts()
        chunk = struct.unpack_from("<Q", block, 16)[0]
        unreadable = bytearray(block)
        unreadable[6] ^= 0x01  # the check byte
        cases = [
            ("Longer", lzms_header(size + 1, chunk) + block[24:], "the compressed block is a different length"),
            ("Shorter", lzms_header(size - 1, chunk) + block[24:], "the compressed block is a different length"),
            ("Unreadable", bytes(unreadable), "the compressed block's header is unreadable"),
        ]
        for name, damaged, refusal in cases:
            with self.subTest(name):
                exe = self.carrying(STUB, make_payload(script, licence, damaged, size), name)
                result = self.prefix.run(exe, ["/silent"])
                lines = self.only_log().lines
                self.assertEqual(result.code, 9, "\n".join(lines))
                self.assertIn("Payload refused: " + refusal, lines)
                self.assertEqual(lines[-1], "Exit code 9")
                self.assertDecoderPath(lines)
                header_lines = [l for l in lines if l.startswith("Reading the compressed block's header: ")]
                if name == "Unreadable":
                    self.assertEqual(len(header_lines), 1, lines)
                    self.assertTrue(header_lines[0].startswith("Reading the compressed block's header: Windows error 605: "))
                else:
                    self.assertEqual(header_lines, [])
                for log in self.prefix.logs():
                    os.remove(log)


class PayloadThroughTheCompressionApi(Payload):
    """The same scenarios where cabinet.dll has the Compression API, as on Windows."""

    cabinet_standin = True


class ResourceTool(ScenarioTest):
    def test_resource_tool_puts_a_payload_into_a_stub(self):
        target = self.prefix.host_path("C:\\") + "/withpayload.exe"
        shutil.copy(BARE_PROBE, target)
        before = self.prefix.run(target, [])
        self.assertEqual(before.code, 0, "the bare probe has no payload")
        self.assertIn("result 0", before.stdout.decode())
        shutil.copy(PAYLOAD, self.prefix.host_path("C:\\") + "/payload.bin")
        tool = self.prefix.run(RESOURCE_TOOL, ["C:\\withpayload.exe", "C:\\payload.bin"])
        self.assertEqual(tool.code, 0, tool.stderr)
        after = self.prefix.run(target, [])
        self.assertEqual(after.code, 2, after.stdout.decode("utf-8", "replace"))


if __name__ == "__main__":
    main()
