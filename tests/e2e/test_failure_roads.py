"""Every way a real launcher ends on a failure: the exact text, the stream it
goes to, and the exit code or abort status. Where Wine cannot make a system
call fail on demand, the seams build fails it (ZELMOR_TEST_FAIL); the child
inherits the variable and counts its own calls. Once the parent has made
its target directory, every reported failure removes it. Started without
standard handles, it shows the same text in a message box. Failures that are
tested elsewhere: header and decoder (test_payload_container), opening a file
for writing, an entry larger than its frame and a name of 1024 units
(test_extraction), loading the application (test_child_launch)."""
import os
import re
import secrets
import shutil
import subprocess
import unittest

from zelmor_testing import (ALLOCATION_FAILED, FAST_FAIL, HANDLER_FAILED, HOST_BIN, LAUNCH_FAILED, LOAD_FAILED,
                            PARENT_UNCONFIRMED, SEAMS_STUB, TARGET_SPEC_FAILED, UNPACK_FAILED, LauncherTestCase,
                            container, entry_stream, linux_path, open_failed_line, read_run, runner_arguments,
                            spec_failed, system_error_line, windows_binary, windows_path, wine, write_payload,
                            zstd_frame)

PARENT = "ZELMOR_ONEFILE_PARENT"
START = "ZELMOR_ONEFILE_START"
PROBE = windows_binary("zelmor-probe.dll")
TARGET_CAPACITY = 4096


def probe_bytes():
    with open(PROBE, "rb") as f:
        return f.read()


class SeamTestCase(LauncherTestCase):
    def seams_launcher(self, pairs=(), name="app.exe"):
        """A seams-build launcher whose application is the probe DLL."""
        return self.make_launcher(write_payload([("app.dll", PROBE), *pairs]), name=name, stub=SEAMS_STUB)

    def launch_failing(self, launcher, failures, **kwargs):
        """Launches with ZELMOR_TEST_FAIL set and the probe reporting."""
        set_env = {"ZELMOR_TEST_FAIL": failures, "ZELMOR_PROBE_REPORT": windows_path(self.report_path())}
        set_env.update(kwargs.pop("set_env", {}))
        return self.launch(launcher, set_env=set_env, **kwargs)

    def start_first(self, launcher, report):
        """A first instance whose application sleeps; returns it and its report."""
        first = self.start(launcher, set_env={"ZELMOR_PROBE_REPORT": windows_path(self.report_path(report)),
                                              "ZELMOR_PROBE_SLEEP_MS": "6000"})
        return first, self.await_report(report, first)

    def extracted(self):
        """The files in the only target directory, with their sizes."""
        [target] = self.target_directories()
        root = os.path.join(self.temp, target)
        return {os.path.relpath(os.path.join(d, f), root): os.path.getsize(os.path.join(d, f))
                for d, _, files in os.walk(root) for f in files}


class ReportedFailureTest(SeamTestCase):
    """Failures that end the parent with exit code 2 and one message."""

    def test_before_extraction_nothing_is_created(self):
        launcher = self.seams_launcher()
        cases = [("malloc:1", ALLOCATION_FAILED), ("ZSTD_createDCtx:1", ALLOCATION_FAILED),
                 ("SetConsoleCtrlHandler:1", HANDLER_FAILED)]
        for failures, message in cases:
            with self.subTest(failures):
                run = self.launch_failing(launcher, failures)
                self.assertEqual((run.stdout, run.stderr, run.exit_code), (message, "", 2))
                self.assertEqual(os.listdir(self.temp), [])
                self.assertFalse(os.path.exists(self.report_path()))

    def test_a_failed_write_leaves_nothing(self):
        # Calls of WriteFile: 1 for first.txt, 2 and 3 for the two pieces of second.bin.
        pairs = [("first.txt", self.file("first.txt", b"12345")), ("second.bin", self.file("second.bin", b"s" * 40000))]
        launcher = self.make_launcher(write_payload(pairs), stub=SEAMS_STUB)
        # The error number is printed as signed 32 bits.
        for error, printed in [("112", "112"), ("0x80070070", "-2147024784")]:
            with self.subTest(error=error):
                run = self.launch_failing(launcher, f"WriteFile:3:{error}")
                self.assertEqual((run.stdout, run.exit_code), ("", 2))
                self.assertRegex(run.stderr, system_error_line(UNPACK_FAILED, printed))
                self.assertEqual(os.listdir(self.temp), [])

    def test_a_target_directory_the_system_refuses_is_reported_before_anything_is_written(self):
        # As the first file, which cannot be opened there. One whose access
        # list cannot be built because the system lacks a function is
        # reported with the system's error.
        launcher = self.seams_launcher()
        first_file = re.escape(windows_path(self.temp)) + r"\\onefile_\d+_\d{18}\\app\.dll"
        for failures, expected in [("NtCreateFile:1:5", open_failed_line(first_file)),
                                   ("GetProcAddress:1:127", system_error_line(UNPACK_FAILED, 127))]:
            with self.subTest(failures):
                run = self.launch_failing(launcher, failures)
                self.assertEqual((run.stdout, run.exit_code), ("", 2))
                self.assertRegex(run.stderr, expected)
                self.assertEqual(os.listdir(self.temp), [])
                self.assertFalse(os.path.exists(self.report_path()))

    def test_a_child_that_cannot_confirm_its_parent_or_restrict_its_library_search_runs_nothing(self):
        # The child counts its own calls: its first OpenProcess names the
        # parent. A child that became a parent instead would launch again.
        launcher = self.seams_launcher()
        # A child that cannot hold the directory runs nothing.
        for failures, message in [("OpenProcess:1:5", PARENT_UNCONFIRMED),
                                  ("K32GetModuleFileNameExW:1:5", PARENT_UNCONFIRMED),
                                  ("SetDefaultDllDirectories:1:5", LOAD_FAILED), ("CreateFileW:1:5", LOAD_FAILED)]:
            with self.subTest(failures):
                run = self.launch_failing(launcher, failures)
                self.assertEqual((run.stdout, run.exit_code), ("", 2))
                self.assertRegex(run.stderr, system_error_line(message, 5))
                self.assertFalse(os.path.exists(self.report_path()))
                self.assertEqual(os.listdir(self.temp), [])

    def test_a_child_that_cannot_be_started_leaves_nothing(self):
        launcher = self.seams_launcher([("data\\notes.txt", self.file("notes.txt", b"notes"))])
        # The start is tried in a job, then without: both calls fail.
        for failures, error in [("CreateProcessW:1:2,CreateProcessW:2:2", 2)]:
            with self.subTest(failures):
                run = self.launch_failing(launcher, failures)
                self.assertEqual((run.stdout, run.exit_code), ("", 2))
                self.assertRegex(run.stderr, system_error_line(LAUNCH_FAILED, error))
                self.assertFalse(os.path.exists(self.report_path()))
                self.assertEqual(os.listdir(self.temp), [])


class ErrorDialogTest(SeamTestCase):
    def test_a_failure_with_nowhere_to_write_shows_the_same_text_in_a_box(self):
        # Started without standard handles, as Explorer starts a GUI program;
        # the seams build writes the box to ZELMOR_TEST_DIALOG instead.
        not_a_dll = self.file("app.dll", b"not a library")
        launchers = {"parent": self.seams_launcher(), "quiet": os.path.join(self.work, "quiet.exe"),
                     "child": self.make_launcher(write_payload([("app.dll", not_a_dll)]), "child.exe", SEAMS_STUB)}
        subprocess.run([os.path.join(HOST_BIN, "zelmor-pack"), "--stub", SEAMS_STUB, "--no-error-dialog", PROBE,
                        launchers["quiet"]], check=True, capture_output=True)
        record = os.path.join(self.work, "dialog.txt")
        for name, failures in [("parent", "malloc:1"), ("parent", "WriteFile:1:112"), ("child", ""),
                               ("parent", "wcsdup:1,SHGetFolderPathW:1"), ("quiet", "malloc:1")]:
            with self.subTest(name=name, failures=failures):
                set_env = {"ZELMOR_TEST_DIALOG": windows_path(record)}
                shown = self.launch_failing(launchers[name], failures, set_env=set_env)
                self.assertFalse(os.path.exists(record), "a box beside usable standard handles")
                hidden = self.launch_failing(launchers[name], failures, set_env=set_env, std_handles=False)
                self.assertEqual(hidden.exit_code, shown.exit_code)
                self.assertIn(shown.exit_code, (2, FAST_FAIL))
                self.assertEqual(os.listdir(self.temp), [])
                if name == "quiet":
                    self.assertFalse(os.path.exists(record), "packed with --no-error-dialog")
                    continue
                with open(record, "rb") as f:
                    title, text = f.read().decode("utf-16-le").split("\n", 1)
                os.remove(record)
                self.assertEqual(title, os.path.basename(launchers[name]))
                self.assertEqual(text.replace("\r", "") + "\n", shown.stdout + shown.stderr)


class SurvivedFailureTest(SeamTestCase):
    """Failures that the launch gets over, and what a one-sided failure of
    the path comparison costs."""

    def launch_second(self, first, launcher, report, failures):
        # A second instance that took the parent role would start a child
        # (tried in a job, then without): the seam makes that visible instead.
        env = report["env"]
        run = self.launch_failing(launcher, f"{failures},CreateProcessW:1,CreateProcessW:2",
                                  set_env={PARENT: env[PARENT], START: env[START]})
        self.assertIsNone(first.process.poll(), "the first instance must outlive the second")
        return run

    def test_canonicalisation_without_final_paths_or_short_forms(self):
        # In a directory of 8.3 names the short form is the long one, so a
        # failure on one side of the comparison alone still leaves both equal.
        short_named = os.path.join(os.path.dirname(self.work), "z" + secrets.token_hex(3))
        os.mkdir(short_named)
        self.addCleanup(shutil.rmtree, short_named, True)
        self.assertRegex(windows_path(short_named), r"\AZ:(\\[a-z0-9]{1,8})+\Z")
        launcher = self.seams_launcher(name="x.exe")
        os.rename(launcher, os.path.join(short_named, "x.exe"))
        launcher = os.path.join(short_named, "x.exe")
        long_named = self.seams_launcher()
        first, report = self.start_first(launcher, "first.json")
        long_first, long_report = self.start_first(long_named, "long.json")
        # Call 1 canonicalises the running instance's path, call 2 the own.
        for failures in ["GetFinalPathNameByHandleW:1", "GetFinalPathNameByHandleW:2", "GetShortPathNameW:1",
                         "GetShortPathNameW:2"]:
            with self.subTest(failures):
                run = self.launch_second(first, launcher, report, failures)
                self.assertEqual((run.exit_code, run.stdout, run.stderr), (0, "probe: argc=1\n", ""))
                second = self.read_report()
                os.remove(self.report_path())
                self.assertEqual(second["module_dir"], report["module_dir"])
                self.assertEqual(second["env"][PARENT], report["env"][PARENT])
        with self.subTest("one-sided failure beside long names"):
            # The paths then differ, and the instance takes the parent role.
            run = self.launch_second(long_first, long_named, long_report, "GetShortPathNameW:1")
            self.assertEqual((run.exit_code, run.stdout), (2, ""))
            self.assertRegex(run.stderr, system_error_line(LAUNCH_FAILED, 8))
        self.assertEqual((first.wait().exit_code, long_first.wait().exit_code), (0, 0))
        self.assertEqual(self.target_directories(), [], "the failed parent role removes its own directory")

    def test_the_wait_without_a_second_handle_and_an_unreadable_exit_code(self):
        launcher = self.seams_launcher()
        for failures, exit_code in [("DuplicateHandle:1", 9), ("GetExitCodeProcess:1", 1)]:
            with self.subTest(failures):
                run = self.launch_failing(launcher, failures, set_env={"ZELMOR_PROBE_EXIT": "9"})
                self.assertEqual((run.exit_code, run.stdout, run.stderr), (exit_code, "probe: argc=1\n", ""))
                self.assertTrue(os.path.exists(self.report_path()), "the child ran")
                os.remove(self.report_path())
                self.assertEqual(os.listdir(self.temp), [])


    def test_without_a_job_or_with_one_joined_late_the_run_goes_on(self):
        # The child is started in the job; where the system refuses that, it
        # is put in it right after; where there is none, it runs without.
        launcher = self.seams_launcher()
        for failures, in_job in [("", True), ("UpdateProcThreadAttribute:1", True), ("CreateProcessW:1", True),
                                 ("CreateJobObjectW:1", False),
                                 ("UpdateProcThreadAttribute:1,AssignProcessToJobObject:1", False)]:
            with self.subTest(failures):
                run = self.launch_failing(launcher, failures, set_env={"ZELMOR_PROBE_EXIT": "9"})
                self.assertEqual((run.exit_code, run.stdout, run.stderr), (9, "probe: argc=1\n", ""))
                self.assertEqual(self.read_report()["in_job"], in_job)
                os.remove(self.report_path())
                self.assertEqual(os.listdir(self.temp), [])


class SpecExpansionTest(SeamTestCase):
    def test_the_home_folder_is_asked_for_only_above_the_run_directory(self):
        # Every entry lies below the run directory: a home folder the system
        # cannot give changes nothing there.
        launcher = self.seams_launcher()
        run = self.launch_failing(launcher, "SHGetFolderPathW:1")
        self.assertEqual((run.exit_code, run.stdout, run.stderr), (0, "probe: argc=1\n", ""))
        os.remove(self.report_path())
        # Unremembered (a failed copy), the run directory is made as any
        # other, and {HOME} is asked first. The shell that cannot be loaded,
        # or lacks the function (after the access list's 7 lookups), gives
        # no folder either.
        for failures in ["SHGetFolderPathW:1", "LoadLibraryExW:1:126", "GetProcAddress:8:127"]:
            with self.subTest(failures):
                run = self.launch_failing(launcher, "wcsdup:1," + failures)
                self.assertEqual((run.exit_code, run.stdout, run.stderr),
                                 (FAST_FAIL, "", spec_failed("{HOME}")))
                self.assertEqual(os.listdir(self.temp), [])

    def test_a_relative_or_missing_temp_path_fails_the_expansion_and_nothing_is_made(self):
        # The system would make a relative TMP absolute against the current directory.
        current = os.path.join(self.work, "current")
        os.makedirs(current)
        missing = os.path.join(self.work, "missing")
        for value in ["reltemp", windows_path(os.path.join(missing, "temp"))]:
            with self.subTest(value):
                run = self.launch(self.probe_launcher(), set_env={"TMP": value}, cwd=current)
                self.assertEqual((run.exit_code, run.stdout, run.stderr), (FAST_FAIL, "", TARGET_SPEC_FAILED))
                self.assertEqual((os.listdir(current), os.path.exists(missing)), ([], False))

    def test_a_temp_path_the_system_refuses_fails_the_expansion(self):
        # Wine's GetTempPathW fails for a TMP longer than MAX_PATH; {TEMP}
        # then gives nothing, and "\onefile_..." would name the root of the
        # current drive (the test prefix's C: here, never the host's root).
        too_long = windows_path(os.path.join(self.temp, "t" * 300))
        launcher = self.probe_launcher()
        code_file = os.path.join(self.work, "exit-code")
        arguments = runner_arguments(code_file, windows_path(launcher), windows_path(launcher), {
            "TMP": too_long, "TEMP": too_long, "ZELMOR_PROBE_REPORT": windows_path(self.report_path())},
            unset=[PARENT, START])
        roots_before = set(os.listdir(linux_path("C:\\")))
        done = wine(arguments[:-2] + ["--cwd", "C:\\users"] + arguments[-2:])
        run = read_run(code_file, done.returncode, done.stdout, done.stderr)
        self.assertEqual((run.exit_code, run.stdout, run.stderr), (FAST_FAIL, "", TARGET_SPEC_FAILED))
        self.assertFalse(os.path.exists(self.report_path()))
        self.assertEqual(set(os.listdir(linux_path("C:\\"))) - roots_before, set())
        self.assertEqual(os.listdir(self.temp), [])


    def test_every_name_taken_ends_the_run_after_sixteen_names(self):
        # The seam answers "already exists" for as many names as listed; each
        # taken name makes the parent try another start time.
        launcher = self.seams_launcher()
        for taken, expected in [(15, (0, "probe: argc=1\n", "")), (16, (FAST_FAIL, "", TARGET_SPEC_FAILED))]:
            with self.subTest(taken=taken):
                failures = ",".join(f"NtCreateFile:{call}:183" for call in range(1, taken + 1))
                run = self.launch_failing(launcher, failures, set_env={START: "123"}, unset=[PARENT])
                self.assertEqual((run.exit_code, run.stdout, run.stderr), expected)
                self.assertEqual(os.listdir(self.temp), [])
                if taken == 15:
                    self.assertRegex(self.read_report()["module_dir"], r"\\onefile_\d+_\d{18}$")
                    os.remove(self.report_path())


class InternalLimitTest(SeamTestCase):
    """Silent aborts that a payload or the environment can bring about."""

    def assert_aborts_before_creating_anything(self, run):
        self.assertEqual((run.exit_code, run.stdout, run.stderr), (FAST_FAIL, "", ""))
        self.assertEqual(os.listdir(self.temp), [])

    def test_paths_that_outgrow_their_buffers(self):
        # A first entry's path must fit 1024 units, any entry's path 4096, and
        # the target directory 4096; an inherited start of digits is taken
        # whatever its length.
        with self.subTest("first entry path over 1024"):
            run = self.launch(self.make_launcher(write_payload([("n" * 990, PROBE)]), name="a.exe"))
            self.assert_aborts_before_creating_anything(run)
        with self.subTest("entry path over 4096"):
            launcher = self.make_launcher(write_payload([("n" * 300, PROBE)]), name="b.exe")
            run = self.launch(launcher, set_env={START: "1" * 3800}, unset=[PARENT])
            self.assert_aborts_before_creating_anything(run)
        with self.subTest("start time beyond the target directory's capacity"):
            launcher = self.make_launcher(write_payload([("app.dll", PROBE)]), name="c.exe")
            run = self.launch(launcher, set_env={START: "1" * TARGET_CAPACITY}, unset=[PARENT])
            self.assert_aborts_before_creating_anything(run)

    def test_a_child_command_line_over_32767_characters_is_never_started(self):
        # Backslashes at the end of an argument need no escape unquoted but
        # are doubled inside the quotes that its blank calls for: about 16500
        # characters typed become over 33000 rebuilt. (A last argument keeps
        # them from ending the runner's own argument, which Wine would quote.)
        launcher = self.seams_launcher()
        typed = windows_path(launcher) + ' " "' + "\\" * 16400 + " last"
        run = self.launch(launcher, raw_command=typed,
                          set_env={"ZELMOR_PROBE_REPORT": windows_path(self.report_path())})
        self.assertEqual((run.exit_code, run.stdout, run.stderr), (FAST_FAIL, "", ""))
        self.assertFalse(os.path.exists(self.report_path()), "no child ran")
        self.assertEqual(set(self.extracted()), {"app.dll"}, "an abort runs no cleanup")

    def test_aborts_after_extraction_and_in_the_child(self):
        launcher = self.seams_launcher()
        with self.subTest("own path unavailable for the child"):
            run = self.launch_failing(launcher, "GetModuleFileNameW:1")
            self.assertEqual((run.exit_code, run.stdout, run.stderr), (FAST_FAIL, "", ""))
            self.assertFalse(os.path.exists(self.report_path()))
            self.assertEqual(set(self.extracted()), {"app.dll"})
        with self.subTest("what an abort left is swept by the next run"):
            run = self.launch(self.probe_launcher(name="next.exe"))
            self.assertEqual((run.exit_code, run.stderr), (0, ""))
            self.assertEqual(os.listdir(self.temp), [])
        with self.subTest("a child that aborts"):
            # Only the child splits a path into directory and file name.
            run = self.launch_failing(launcher, "wcsdup:1")
            self.assertEqual((run.exit_code, run.stdout, run.stderr), (FAST_FAIL, "", ""))
            self.assertFalse(os.path.exists(self.report_path()))
            self.assertEqual(os.listdir(self.temp), [], "the parent cleans up after its child")
        with self.subTest("no fail-fast service"):
            # Without it the abort raises a silent fault report and ends with 3.
            payload = container(zstd_frame(entry_stream([("app.dll", probe_bytes()), ("n" * 1024, b"")])))
            other = self.make_launcher(payload, name="other.exe", stub=SEAMS_STUB)
            run = self.launch_failing(other, "IsProcessorFeaturePresent:1")
            self.assertEqual((run.exit_code, run.stdout), (3, ""))
            # Wine itself announces the unhandled fault on the process's stderr.
            self.assertEqual([line for line in run.stderr.splitlines() if not line.startswith("wine: ")], [])


class ChildRoleFailureTest(SeamTestCase):
    """Failures in an instance that a running instance of the same executable
    made the child. The first instance's application sleeps meanwhile."""

    def test_failures_of_the_child_role(self):
        launcher = self.seams_launcher()
        first, report = self.start_first(launcher, "first.json")
        parent, start = report["env"][PARENT], report["env"][START]
        cases = [("malloc:1", (2, ALLOCATION_FAILED, "")), ("ZSTD_createDCtx:1", (2, ALLOCATION_FAILED, ""))]
        for failures, expected in cases:
            with self.subTest(failures):
                run = self.launch_failing(launcher, failures, set_env={PARENT: parent, START: start})
                self.assertIsNone(first.process.poll(), "the first instance must outlive the second")
                self.assertEqual((run.exit_code, run.stdout, run.stderr), expected)
                self.assertFalse(os.path.exists(self.report_path()))
                self.assertEqual(self.target_directories(), [report["module_dir"].split("\\")[-1]])
        self.assertEqual(first.wait().exit_code, 0)
        self.assertEqual(os.listdir(self.temp), [])


if __name__ == "__main__":
    unittest.main()
