"""The launch of the child by a real launcher: the exit code that comes back,
the argument vector and variables that run_code sees, failing applications,
and the removal of the target directory after each of these runs."""
import os
import random
import shutil
import unittest

from zelmor_testing import (ENTRY_POINT_MISSING, LOAD_FAILED, LauncherTestCase, command_line, system_error_line,
                            windows_binary, windows_path, write_payload)

PROBE = windows_binary("zelmor-probe.dll")


def load_failure(error):
    """The load failure's line: the system's text keeps its own line end, so ")" starts a line."""
    return system_error_line(LOAD_FAILED, error, text_ends_line=True)


class ProbeTestCase(LauncherTestCase):
    def run_probe(self, launcher, arguments=(), **kwargs):
        """Launches with the probe reporting; returns the run and the report."""
        set_env = {"ZELMOR_PROBE_REPORT": windows_path(self.report_path())}
        set_env.update(kwargs.pop("set_env", {}))
        run = self.launch(launcher, arguments, set_env=set_env, **kwargs)
        self.assertEqual((run.exit_code, run.stderr), (0, ""), run.stdout)
        report = self.read_report()
        os.remove(self.report_path())
        self.assertEqual(self.target_directories(), [], "the parent removes the target directory")
        return run, report


class ExitCodeTest(ProbeTestCase):
    def test_the_result_of_run_code_is_the_exit_code_of_the_launch(self):
        launcher = self.probe_launcher()
        for result, expected in [("7", 7), ("-5", 0xFFFFFFFB), ("-1073741819", 0xC0000005), ("0", 0)]:
            with self.subTest(result=result):
                run = self.launch(launcher, ["one"], set_env={"ZELMOR_PROBE_EXIT": result})
                self.assertEqual(run.exit_code, expected)
                # The child writes through the standard handles it inherited.
                self.assertEqual((run.stdout, run.stderr), ("probe: argc=2\n", ""))
                self.assertEqual(self.target_directories(), [])


class ArgumentTest(ProbeTestCase):
    def assert_arguments_arrive(self, launcher, arguments):
        # Run in the launcher's directory, where a wildcard would find files.
        _, report = self.run_probe(launcher, arguments, cwd=self.work)
        expected = [windows_path(launcher)] + arguments
        self.assertEqual(report["argv"], expected)

    def test_hard_arguments_arrive_as_given_empty_ones_included(self):
        launcher = self.probe_launcher()
        cases = {
            "only the program name": [],
            "quoting": ["with blank", "tab\there", 'say "hi"', '"', '""', "a\\\"b", 'x\\\\\\"y', "nl\nx", "vt\vx"],
            "backslashes": ["C:\\data\\", "C:\\my dir\\", "\\", "\\\\", "trail \\\\", "a\\\\b c", "\\\\server\\share"],
            "empty ones": ["", "first", "", "", "second", ""],
            "text beyond ASCII": ["Grüße", "日本語 テキスト", "\U0001F600", "mixed \U0001F600\\", "€\"€"],
            "no wildcard expansion": ["*", "*.exe", "?", "%TEMP%", "^&|<>"],
        }
        for name, arguments in cases.items():
            with self.subTest(name):
                self.assert_arguments_arrive(launcher, arguments)

    def test_random_argument_lists_arrive_as_given(self):
        alphabet = [" ", "  ", "\t", '"', '""', "\\", "\\\\", "a", "Z", "é", "日", "\U0001F600", "*", "?", "'", "^",
                    "%", "\n"]
        rng = random.Random(20240611)
        launcher = self.probe_launcher()
        for attempt in range(25):
            arguments = ["".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 7)))
                         for _ in range(rng.randrange(0, 6))]
            with self.subTest(attempt=attempt, command=command_line(arguments)):
                self.assert_arguments_arrive(launcher, arguments)


class ProgramNameTest(ProbeTestCase):
    def test_the_typed_program_name_is_published_and_the_child_gets_the_own_path(self):
        launcher = self.probe_launcher()
        for typed in ["app", "app.exe", ".\\app.exe", "\"C:\\Some Dir\\app.exe\"", "Z:\\elsewhere\\other.exe"]:
            with self.subTest(typed=typed):
                _, report = self.run_probe(launcher, raw_command=f"{typed} next \"two words\"", cwd=self.work)
                env = report["env"]
                self.assertEqual(env["ZELMOR_ORIGINAL_ARGV0"], typed.strip('"'))
                self.assertEqual(env["ZELMOR_ONEFILE_DIRECTORY"], windows_path(self.work))
                self.assertEqual(report["argv"], [windows_path(launcher), "next", "two words"])

    def test_a_launcher_path_with_blanks_and_non_ascii_letters(self):
        directory = os.path.join(self.work, "Ωmega dir")
        os.makedirs(directory)
        launcher = self.probe_launcher(name="Ωmega dir/my äpp.exe")
        _, report = self.run_probe(launcher, ["x"], cwd=directory)
        self.assertEqual(report["argv"], [windows_path(launcher), "x"])
        self.assertEqual(report["env"]["ZELMOR_ONEFILE_DIRECTORY"], windows_path(directory))
        self.assertEqual(report["env"]["ZELMOR_ORIGINAL_ARGV0"], windows_path(launcher))


class FailingApplicationTest(LauncherTestCase):
    def launch_entries(self, pairs, **kwargs):
        run = self.launch(self.make_launcher(write_payload(pairs)), **kwargs)
        self.assertEqual(self.target_directories(), [], "the parent removes the target directory")
        return run

    def test_a_library_without_run_code(self):
        run = self.launch_entries([("app.dll", windows_binary("zelmor-no-entry.dll"))])
        self.assertEqual((run.exit_code, run.stdout, run.stderr), (2, ENTRY_POINT_MISSING, ""))

    def test_a_first_entry_that_is_no_library(self):
        text = self.file("notes.txt", b"just some text\r\n")
        run = self.launch_entries([("notes.txt", text), ("app.dll", PROBE)])
        self.assertEqual((run.exit_code, run.stdout), (2, ""))
        self.assertRegex(run.stderr, load_failure(193))

    def test_a_dependency_comes_from_the_target_directory(self):
        # A different copy beside the launcher and in the current directory
        # must not be taken: it would make the run end with 666.
        shutil.copyfile(windows_binary("zelmor-helper-planted.dll"), os.path.join(self.work, "zelmor-helper.dll"))
        with self.subTest("dependency extracted"):
            run = self.launch_entries([("app.dll", windows_binary("zelmor-needs-helper.dll")),
                                       ("zelmor-helper.dll", windows_binary("zelmor-helper.dll"))], cwd=self.work)
            self.assertEqual((run.exit_code, run.stdout, run.stderr), (42, "", ""))
        with self.subTest("dependency missing"):
            run = self.launch_entries([("app.dll", windows_binary("zelmor-needs-helper.dll"))], cwd=self.work)
            self.assertEqual((run.exit_code, run.stdout), (2, ""))
            self.assertRegex(run.stderr, load_failure(126))


if __name__ == "__main__":
    unittest.main()
