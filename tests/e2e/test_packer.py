"""Executables made by zelmor-pack, run under Wine: the application's exit code
and files come through, a damaged payload is refused, the stub's other
resources survive, and the result can be signed afterwards. Also the Windows
build of the packer under Wine, and the packer's progress on a terminal."""
import os
import pty
import random
import re
import struct
import subprocess
import termios
import unittest

from zelmor_testing import DECODE_FAILED, HOST_BIN, STUB, LauncherTestCase, wine, windows_binary, windows_path

PACK = os.path.join(HOST_BIN, "zelmor-pack")
WINDOWS_PACK = windows_binary("zelmor-pack.exe")
PROBE = windows_binary("zelmor-probe.dll")
DEMO_FILES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "demo", "files")
FRAME_START = b"QJY\x28\xb5\x2f\xfd"  # the container header, then the zstd frame magic


def pack(application, output, *options):
    done = subprocess.run([PACK, *options, application, output], capture_output=True)
    if done.returncode != 0:
        raise AssertionError(f"zelmor-pack failed ({done.returncode}): {done.stderr.decode(errors='replace')}")
    return output


def list_entries(executable):
    return subprocess.run([PACK, "--list", executable], capture_output=True)


def payload_span(image):
    """Where the container lies in a packed file: from its header to the end of
    its trailer, whose number counts the bytes in front of it."""
    start = image.find(FRAME_START)
    assert start >= 0 and image.find(FRAME_START, start + 1) == -1, "expected exactly one payload"
    for at in range(start + 13, len(image) - 7):
        if image[at - 2:at] == b"\0\0" and struct.unpack_from("<Q", image, at)[0] == at - start:
            return start, at + 8
    raise AssertionError("no payload trailer")


def windres_listing(executable):
    done = subprocess.run(["x86_64-w64-mingw32-windres", "-i", executable, "-O", "rc"], capture_output=True,
                          check=True)
    return done.stdout.decode("latin-1")


def without_rcdata(listing):
    start = listing.index("\n/* Type: rcdata")
    return listing[:start] + listing[listing.index("\n/* Type:", start + 1):]


class PackedApplicationTest(LauncherTestCase):
    def make_tree(self):
        rng = random.Random(11)
        contents = {
            "empty.bin": b"",
            "nested/deeper/deepest/leaf.txt": b"deep\n",
            "large/big.bin": bytes(rng.getrandbits(8) for _ in range(300000)) + b"repeated line\r\n" * 80000,
            "données/naïve €.txt": "accents and a euro sign".encode(),
            "emoji 😀.txt": b"a surrogate pair in the name",
        }
        source = os.path.join(self.work, "src")
        for name, data in contents.items():
            path = os.path.join(source, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        with open(PROBE, "rb") as f:
            contents["zelmor-probe.dll"] = f.read()
        contents["legal/licence.txt"] = b"licence text\n"
        return source, self.file("LICENSE", contents["legal/licence.txt"]), contents

    def test_runs_with_the_applications_exit_code_and_files(self):
        source, licence, contents = self.make_tree()
        for options in [(), ("--no-checksum",)]:
            with self.subTest(options=options):
                executable = pack(PROBE, os.path.join(self.work, "packed.exe"), "--dir", source,
                                  "--file", "legal/licence.txt=" + licence, *options)
                copy = os.path.join(self.work, "copy" + "".join(options))
                report = "report" + "".join(options) + ".json"
                run = self.launch(executable, ["first argument", "second"], set_env={
                    "ZELMOR_PROBE_COPY_TO": windows_path(copy),
                    "ZELMOR_PROBE_REPORT": windows_path(self.report_path(report)),
                    "ZELMOR_PROBE_EXIT": "1234567"})
                self.assertEqual((run.exit_code, run.stderr), (1234567, ""))
                self.assertEqual(self.read_report(report)["argv"][1:], ["first argument", "second"])
                copied = {os.path.relpath(os.path.join(d, f), copy).replace(os.sep, "/")
                          for d, _, files in os.walk(copy) for f in files}
                self.assertEqual(copied, set(contents))
                for name, data in contents.items():
                    with open(os.path.join(copy, *name.split("/")), "rb") as f:
                        self.assertTrue(f.read() == data, name)
                self.assertEqual(self.target_directories(), [])

    def test_damaged_payload_is_refused_before_the_application_runs(self):
        executable = pack(PROBE, os.path.join(self.work, "packed.exe"), "--file", "notes.txt=" + self.file(
            "notes.txt", b"some notes\n" * 20000))
        with open(executable, "rb") as f:
            image = bytearray(f.read())
        start, end = payload_span(image)
        self.assertEqual(list_entries(executable).returncode, 0)
        # A byte of the content checksum (the frame's last four bytes, before
        # the 10-byte trailer): the stream still decodes, only the checksum
        # can tell. A flip elsewhere may garble a name first and fail another way.
        image[end - 10 - 2] ^= 0x04
        damaged = os.path.join(self.work, "damaged.exe")
        with open(damaged, "wb") as f:
            f.write(image)
        self.assertEqual(list_entries(damaged).returncode, 1)

        run = self.launch(damaged, set_env={"ZELMOR_PROBE_REPORT": windows_path(self.report_path())})
        self.assertEqual((run.stdout, run.stderr, run.exit_code), (DECODE_FAILED, "", 2))
        self.assertFalse(os.path.exists(self.report_path()), "the application ran")

    def test_keeps_the_stubs_other_resources(self):
        executable = pack(PROBE, os.path.join(self.work, "packed.exe"))
        listing = windres_listing(executable)
        self.assertIn("1 24 /* RT_MANIFEST */", listing)
        self.assertIn("1 VERSIONINFO", listing)
        self.assertIn("FILEVERSION 1, 0, 0, 20", listing)
        self.assertIn("\n27 RCDATA", listing)
        # Only the payload is added: every other resource keeps its bytes.
        self.assertEqual(without_rcdata(listing), windres_listing(STUB))

    def test_version_is_the_one_the_launcher_carries(self):
        done = subprocess.run([PACK, "--version"], capture_output=True, text=True)
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "zelmor-pack 1.0.0.20\n", ""))
        self.assertIn('VALUE "FileVersion", "1.0.0.20"', windres_listing(STUB))
        self.assertIn('VALUE "ProductVersion", "1.0.0.20"', windres_listing(STUB))

    def test_signed_after_packing_verifies_and_runs(self):
        executable = pack(PROBE, os.path.join(self.work, "packed.exe"))
        key, certificate = os.path.join(self.work, "key.pem"), os.path.join(self.work, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                        certificate, "-days", "2", "-subj", "/CN=Zelmor packer test"], capture_output=True, check=True)
        signed = os.path.join(self.work, "signed.exe")
        subprocess.run(["osslsigncode", "sign", "-certs", certificate, "-key", key, "-in", executable, "-out", signed],
                       capture_output=True, check=True)
        # A self-signed certificate is its own authority.
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", signed],
                                  capture_output=True)
        self.assertEqual(verified.returncode, 0, verified.stdout.decode(errors="replace"))
        self.assertIn(b"Signature verification: ok", verified.stdout)

        # The signature covers the payload.
        with open(signed, "rb") as f:
            image = bytearray(f.read())
        start, end = payload_span(image)
        image[(start + end) // 2] ^= 0x01
        tampered = os.path.join(self.work, "tampered.exe")
        with open(tampered, "wb") as f:
            f.write(image)
        self.assertNotEqual(subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", tampered],
                                           capture_output=True).returncode, 0)

        run = self.launch(signed, ["x"], set_env={"ZELMOR_PROBE_REPORT": windows_path(self.report_path()),
                                                  "ZELMOR_PROBE_EXIT": "7"})
        self.assertEqual((run.exit_code, run.stderr), (7, ""))
        self.assertEqual(self.read_report()["argv"][1:], ["x"])

        # A signed file cannot be a stub: its signature would no longer match.
        refused = subprocess.run([PACK, "--stub", signed, PROBE, os.path.join(self.work, "again.exe")],
                                 capture_output=True)
        self.assertEqual(refused.returncode, 1)
        self.assertIn(b"sign after packing", refused.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.work, "again.exe")))


class WindowsPackerTest(LauncherTestCase):
    def test_replaces_its_output_and_takes_paths_beyond_the_ansi_code_page(self):
        # Neither "日本語" nor "файл" exists in code page 1252.
        folder = os.path.join(self.work, "données 日本語")
        data = os.path.join(folder, "data")
        for name, content in {"é ü.txt": b"accents", "файл/sub.bin": bytes(range(256)) * 50}.items():
            os.makedirs(os.path.dirname(os.path.join(data, name)), exist_ok=True)
            with open(os.path.join(data, name), "wb") as f:
                f.write(content)
        output = os.path.join(folder, "app.exe")
        with open(output, "wb") as f:
            f.write(b"older")
        # Wine reads the Linux command line in the locale's character set.
        done = wine([WINDOWS_PACK, "--level", "1", "--dir", windows_path(data), windows_path(PROBE),
                     windows_path(output)], env=dict(os.environ, LC_ALL="C.UTF-8"))
        self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
        self.assertEqual(sorted(os.listdir(folder)), ["app.exe", "data"])
        # Both builds make the same bytes from the same inputs.
        linux = pack(PROBE, os.path.join(self.work, "linux.exe"), "--level", "1", "--dir", data)
        with open(output, "rb") as windows_made, open(linux, "rb") as linux_made:
            self.assertTrue(windows_made.read() == linux_made.read())


class ProgressTest(LauncherTestCase):
    def pack_with_stderr(self, terminal, *options):
        """Packs 6 MB; returns what the packer wrote to standard error, a
        pseudo-terminal or a pipe, exactly (no newline translation)."""
        data = self.file("data.bin", random.Random(5).randbytes(3 << 20) + bytes(3 << 20))
        arguments = [PACK, "--level", "1", *options, "--file", "data.bin=" + data, PROBE,
                     os.path.join(self.work, "app.exe")]
        if not terminal:
            return subprocess.run(arguments, capture_output=True, check=True).stderr.decode()
        controller, terminal_side = pty.openpty()
        attributes = termios.tcgetattr(terminal_side)
        attributes[1] &= ~termios.OPOST
        termios.tcsetattr(terminal_side, termios.TCSANOW, attributes)
        process = subprocess.Popen(arguments, stdout=subprocess.DEVNULL, stderr=terminal_side)
        os.close(terminal_side)
        shown = b""
        while True:
            try:
                piece = os.read(controller, 65536)
            except OSError:  # the terminal's other side closed
                break
            if not piece:
                break
            shown += piece
        os.close(controller)
        self.assertEqual(process.wait(), 0, shown)
        return shown.decode()

    def test_progress_shows_only_on_a_terminal_and_leaves_the_summary_whole(self):
        summary = re.compile(r"zelmor-pack: 2 entries, \d+ bytes in, \d+ bytes of payload \([\d.]+%\), [\d.]+ s: "
                             r".*app\.exe\n")
        shown = self.pack_with_stderr(True)
        self.assertRegex(shown, r"^\rzelmor-pack: read \d+\.\d of \d+\.\d MB \(\d+%\), written \d+\.\d MB")
        # The progress line is wiped before the summary, which stands alone on its line.
        progress, last = shown.rsplit("\r", 1)
        self.assertRegex(last, "^" + summary.pattern + "$")
        lines = progress.split("\r")
        self.assertEqual(lines[-1].strip(" "), "", progress)
        self.assertGreaterEqual(len(lines[-1]), max(len(line) for line in lines[:-1]), progress)

        piped = self.pack_with_stderr(False)
        self.assertRegex(piped, "^" + summary.pattern + "$")
        self.assertEqual(self.pack_with_stderr(True, "--quiet"), "")


class DemoTest(LauncherTestCase):
    def test_demo_greets_and_exits_42(self):
        demo = pack(windows_binary("zelmor-demo.dll"), os.path.join(self.work, "demo.exe"), "--dir", DEMO_FILES)
        run = self.launch(demo, ["first argument", "second"])
        self.assertEqual((run.exit_code, run.stderr), (42, ""))
        self.assertTrue(run.stdout.startswith("Hello from the Zelmor onefile demo.\n"), run.stdout)
        with open(os.path.join(DEMO_FILES, "greeting.txt")) as f:
            greeting = f.readline().strip()
        self.assertRegex(run.stdout, r"\n  greeting\.txt +" + re.escape(greeting) + "\n")
        self.assertIn("argv[1] = first argument\n", run.stdout)
        self.assertIn("The demo returns 42", run.stdout)


if __name__ == "__main__":
    unittest.main()
