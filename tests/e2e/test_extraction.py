"""Extraction of the payload by a real launcher: where the files go, that they
arrive whole, how write failures are reported, and that entry names and
inherited start times never make it write outside its own directory."""
import os
import random
import re
import struct
import unittest

from zelmor_testing import (DECODE_FAILED, FAST_FAIL, LauncherTestCase, container, entry_stream, open_failed_line,
                            windows_binary, windows_path, zstd_frame)



def probe_bytes():
    with open(windows_binary("zelmor-probe.dll"), "rb") as f:
        return f.read()


class ExtractionTest(LauncherTestCase):
    def test_files_arrive_byte_for_byte_in_the_target_directory(self):
        rng = random.Random(7)
        contents = {
            "empty.bin": b"",
            "a/b/exact.bin": bytes(rng.getrandbits(8) for _ in range(32768)),
            "a/b/one-more.bin": bytes(rng.getrandbits(8) for _ in range(32769)),
            "a/c/d/large.bin": bytes(rng.getrandbits(8) for _ in range(400000)),
            "top.txt": b"top level\r\n",
        }
        pairs = [(name, self.file(name, data)) for name, data in contents.items()]
        copy = os.path.join(self.work, "copy")
        run = self.launch(self.probe_launcher(pairs), set_env={
            "ZELMOR_PROBE_COPY_TO": windows_path(copy), "ZELMOR_PROBE_REPORT": windows_path(self.report_path()),
            "ZELMOR_PROBE_PARENT_MODULES": "1"})
        self.assertEqual((run.exit_code, run.stderr), (0, ""))
        report = self.read_report()
        # Directories below its own need no known folder, and the access
        # list NTDLL's calls alone: the parent never maps the shell, the
        # window system it brings, or ADVAPI32.
        modules = {name.lower() for name in report["parent_modules"]}
        self.assertIn("kernel32.dll", modules)
        self.assertFalse(modules & {"shell32.dll", "user32.dll", "advapi32.dll"}, sorted(modules))
        env = report["env"]
        self.assertRegex(env["ZELMOR_ONEFILE_START"], r"^\d{18}$")
        expected_target = f"{windows_path(self.temp)}\\onefile_{env['ZELMOR_ONEFILE_PARENT']}_{env['ZELMOR_ONEFILE_START']}"
        self.assertEqual(report["module_dir"], expected_target)
        for name, data in contents.items():
            with open(os.path.join(copy, *name.split("/")), "rb") as f:
                self.assertTrue(f.read() == data, name)
        self.assertEqual(sorted(os.listdir(copy)), ["a", "app.dll", "empty.bin", "top.txt"])
        self.assertEqual(self.target_directories(), [], "the parent removes the target directory")


class WriteFailureTest(LauncherTestCase):
    def assert_open_failure(self, pairs, failing_entry):
        run = self.launch(self.probe_launcher(pairs))
        target = re.escape(windows_path(self.temp)) + r"\\onefile_\d+_\d{18}"
        self.assertEqual((run.stdout, run.exit_code), ("", 2))
        self.assertRegex(run.stderr, open_failed_line(rf"{target}\\{re.escape(failing_entry)}"))
        self.assertEqual(os.listdir(self.temp), [], "a failed run removes what it wrote")

    def test_entry_beneath_an_existing_file(self):
        plain = self.file("x", b"a file")
        self.assert_open_failure([("x", plain), ("x/y", plain)], "x\\y")

    def test_entry_whose_path_is_an_existing_directory(self):
        plain = self.file("f", b"data")
        self.assert_open_failure([("d/f", plain), ("d", plain)], "d")


class HostileNameTest(LauncherTestCase):
    """Names the packer never writes, in hand-made payloads."""

    def launch_raw(self, entries, **kwargs):
        return self.launch(self.make_launcher(container(zstd_frame(entry_stream(entries)))), **kwargs)

    def entries_outside(self):
        """Everything in the test's directory that is not the temp folder or its own files."""
        return sorted(set(os.listdir(self.work)) - {"temp", "app.exe"})

    def test_names_reaching_outside_the_target_are_refused_before_anything_is_made(self):
        for bad in ["..\\escape.txt", "\\rooted.txt", "/rooted.txt", "C:drive.txt", "ok\\file.txt:stream",
                    "sub\\..\\..\\escape.txt", "sub/../../escape.txt", "sub\\.. \\escape.txt", "trailing.",
                    "sub\\.\\file.txt", "dir \\file.txt"]:
            with self.subTest(name=bad):
                run = self.launch_raw([("app.dll", probe_bytes()), (bad, b"payload")])
                self.assertEqual((run.stdout, run.stderr, run.exit_code), (DECODE_FAILED, "", 2))
                self.assertEqual(self.entries_outside(), [])
                self.assertEqual(os.listdir(self.temp), [], "the refusal removes the first file too")

    def test_an_entry_larger_than_the_frame_holds_is_refused_before_its_file_is_made(self):
        # The frame records its content size, so the claim of 2**40 bytes is
        # seen to be false at once. The file beneath "x" could not even be
        # made: the refusal comes first, not the failed open.
        stream = entry_stream([("app.dll", probe_bytes()), ("x", b"1")])[:-2]
        stream += "x\\huge.bin".encode("utf-16-le") + b"\0\0" + struct.pack("<Q", 2 ** 40) + b"z" * 100
        run = self.launch(self.make_launcher(container(zstd_frame(stream, f"--stream-size={len(stream)}"))))
        self.assertEqual((run.stdout, run.stderr, run.exit_code), (DECODE_FAILED, "", 2))
        self.assertEqual(os.listdir(self.temp), [])

    def test_a_name_of_1024_units_aborts_without_writing(self):
        run = self.launch_raw([("app.dll", probe_bytes()), ("n" * 1024, b"data")])
        self.assertEqual((run.exit_code, run.stdout, run.stderr), (FAST_FAIL, "", ""))
        [target] = self.target_directories()
        self.assertEqual(os.listdir(os.path.join(self.temp, target)), ["app.dll"])


class StartTimeTest(LauncherTestCase):
    def run_with_start(self, start):
        run = self.launch(self.probe_launcher(), set_env={
            "ZELMOR_ONEFILE_START": start, "ZELMOR_PROBE_REPORT": windows_path(self.report_path())})
        self.assertEqual(run.exit_code, 0, run.stderr)
        return self.read_report()

    def test_an_inherited_start_of_digits_names_the_directory(self):
        report = self.run_with_start("00123")
        self.assertTrue(report["module_dir"].endswith("_00123"), report["module_dir"])

    def test_an_inherited_start_that_is_not_all_digits_is_replaced(self):
        outside = os.path.join(self.work, "Documents")
        os.makedirs(outside)
        with open(os.path.join(outside, "keep.txt"), "wb") as f:
            f.write(b"mine")
        for start in ["1\\..\\..\\Documents", "12 ", "-5", "1e5", "\u0661\u0662"]:
            with self.subTest(start=start):
                report = self.run_with_start(start)
                self.assertRegex(report["env"]["ZELMOR_ONEFILE_START"], r"^\d{18}$")
                self.assertTrue(re.search(r"\\onefile_\d+_\d{18}$", report["module_dir"]), report["module_dir"])
                self.assertEqual(os.listdir(outside), ["keep.txt"])


if __name__ == "__main__":
    unittest.main()
