"""The attached payload as a real launcher reads it: header and decoder failures
and the frame forms it accepts."""
import os
import unittest

from zelmor_testing import (DECODE_FAILED, HEADER_FAILED, LauncherTestCase, container, entry_stream, windows_binary,
                            windows_path, zstd_frame)
with open(windows_binary("zelmor-probe.dll"), "rb") as probe:
    ENTRIES = [("app.dll", probe.read()), ("data\\notes.txt", b"hello\n" * 5000)]


class HeaderTest(LauncherTestCase):
    def assert_header_failure(self, payload):
        run = self.launch(self.make_launcher(payload))
        self.assertEqual((run.stdout, run.stderr, run.exit_code), (HEADER_FAILED, "", 2))
        self.assertEqual(self.target_directories(), [])

    def test_missing_resource(self):
        self.assert_header_failure(None)

    def test_fewer_than_three_bytes(self):
        self.assert_header_failure(b"QJ")

    def test_wrong_magic(self):
        self.assert_header_failure(b"QK" + b"Y" + zstd_frame(entry_stream(ENTRIES)))

    def test_marker_other_than_y(self):
        self.assert_header_failure(b"QJ" + b"X" + zstd_frame(entry_stream(ENTRIES)))


class DecoderTest(LauncherTestCase):
    def assert_decode_failure(self, payload):
        run = self.launch(self.make_launcher(payload))
        self.assertEqual((run.stdout, run.stderr, run.exit_code), (DECODE_FAILED, "", 2))

    def test_garbage_after_header(self):
        self.assert_decode_failure(container(b"this is not a zstd frame at all" * 3))

    def test_window_above_the_decoder_limit(self):
        raw = entry_stream(ENTRIES)
        self.assert_decode_failure(container(zstd_frame(raw, "--zstd=wlog=28", "--long=28")))

    def test_wrong_content_checksum(self):
        frame = bytearray(zstd_frame(entry_stream(ENTRIES), "--check"))
        frame[-1] ^= 0xFF
        self.assert_decode_failure(container(bytes(frame)))

    def test_truncated_stream(self):
        frame = zstd_frame(entry_stream(ENTRIES), "--no-check")
        self.assert_decode_failure(container(frame[: len(frame) // 2], trailer=False))

    def test_list_without_end_record_reads_into_the_trailer(self):
        self.assert_decode_failure(container(zstd_frame(entry_stream(ENTRIES)[:-2])))


class AcceptedFramesTest(LauncherTestCase):
    def assert_extracts(self, payload):
        copy = os.path.join(self.work, "copy")
        run = self.launch(self.make_launcher(payload), set_env={"ZELMOR_PROBE_COPY_TO": windows_path(copy)})
        self.assertEqual((run.exit_code, run.stderr), (0, ""))
        for name, data in ENTRIES:
            with open(os.path.join(copy, *name.split("\\")), "rb") as f:
                self.assertTrue(f.read() == data, name)

    def test_largest_window(self):
        self.assert_extracts(container(zstd_frame(entry_stream(ENTRIES), "--zstd=wlog=27", "--long=27")))

    def test_checksummed_frame(self):
        self.assert_extracts(container(zstd_frame(entry_stream(ENTRIES), "--check")))

    def test_two_frames_continue_one_list(self):
        raw = entry_stream(ENTRIES)
        self.assert_extracts(container(zstd_frame(raw[:301]) + zstd_frame(raw[301:])))


if __name__ == "__main__":
    unittest.main()
