"""How a real launcher takes the parent or the child role from
ZELMOR_ONEFILE_PARENT, and what it leaves for the run that follows."""
import os
import unittest

from zelmor_testing import (DECODE_FAILED, LAUNCH_FAILED, SEAMS_STUB, LauncherTestCase, container, entry_stream,
                            windows_path, zstd_frame)

PARENT = "ZELMOR_ONEFILE_PARENT"
START = "ZELMOR_ONEFILE_START"
INHERITED_START = "123"


class ParentRoleTest(LauncherTestCase):
    def run_parent(self, launcher, **kwargs):
        """Runs a launch that must take the parent role; returns the child's report."""
        set_env = {"ZELMOR_PROBE_REPORT": windows_path(self.report_path()), START: INHERITED_START}
        set_env.update(kwargs.pop("set_env", {}))
        run = self.launch(launcher, set_env=set_env, **kwargs)
        self.assertEqual((run.exit_code, run.stderr), (0, ""))
        report = self.read_report()
        os.remove(self.report_path())
        env = report["env"]
        # The child ran beneath a parent of this launch: that parent published
        # its own id, and the directory is named from what the child inherited.
        self.assertRegex(env[PARENT], r"^[1-9]\d*$")
        self.assertNotEqual(int(env[PARENT]), report["pid"])
        # The parent's mark for its child is gone before the application runs,
        # so nothing the application starts inherits it.
        self.assertIsNone(env["ZELMOR_ONEFILE_CHILD"])
        self.assertEqual(env["ZELMOR_ORIGINAL_ARGV0"], windows_path(launcher))
        self.assertEqual(report["module_dir"], f"{windows_path(self.temp)}\\onefile_{env[PARENT]}_{env[START]}")
        self.assertEqual(self.target_directories(), [])
        return env

    def test_an_unset_or_empty_value_keeps_the_inherited_start(self):
        launcher = self.probe_launcher()
        for label, kwargs in [("absent", {"unset": [PARENT]}), ("empty", {"set_env": {PARENT: ""}})]:
            with self.subTest(label):
                env = self.run_parent(launcher, **kwargs)
                self.assertEqual(env[START], INHERITED_START)

    def test_a_value_naming_no_running_instance_is_replaced_and_the_start_dropped(self):
        # Only the canonical decimal text of an id is one; {PID} follows the
        # same rule, so the directory is named from the id the parent publishes.
        launcher = self.probe_launcher()
        ended = self.run_parent(launcher)[PARENT]  # an instance of this very executable, now ended
        for value in [ended, "4000000", "abc", "12abc", "123 ", "0x10", " +4000000", "4294967296", "-5", "0", "0040"]:
            with self.subTest(value=value):
                env = self.run_parent(launcher, set_env={PARENT: value})
                self.assertNotEqual(env[PARENT], value)
                self.assertRegex(env[START], r"^\d{18}$")
        with self.subTest("a running process of another executable"):
            env = self.run_parent(launcher, own_pid_in=PARENT)
            self.assertRegex(env[START], r"^\d{18}$")

    def test_a_packed_program_the_application_starts_through_its_runtime_takes_the_parent_role(self):
        # Runtimes built on msvcrt hand on the copy of the environment it made
        # at start-up: the child's mark must be gone from that copy too.
        launcher, other = self.probe_launcher(), self.probe_launcher(name="other.exe")
        run = self.launch(launcher, set_env={"ZELMOR_PROBE_SPAWN": windows_path(other), "ZELMOR_PROBE_EXIT": "7"})
        self.assertEqual((run.exit_code, run.stderr), (7, ""))
        self.assertEqual(os.listdir(self.temp), [])


class ChildRoleTest(LauncherTestCase):
    def start_first(self, launcher):
        """A first instance whose application sleeps; returns it and its report."""
        first = self.start(launcher, set_env={"ZELMOR_PROBE_REPORT": windows_path(self.report_path("first.json")),
                                              "ZELMOR_PROBE_SLEEP_MS": "5000"})
        return first, self.await_report("first.json", first)

    def assert_first_ends_cleanly(self, first):
        self.assertEqual(first.wait().exit_code, 0)
        self.assertEqual(self.target_directories(), [])

    def launch_second(self, first, launcher, parent, start):
        run = self.launch(launcher, ["second", ""], set_env={
            PARENT: parent, START: start, "ZELMOR_PROBE_REPORT": windows_path(self.report_path("second.json"))})
        self.assertIsNone(first.process.poll(), "the first instance must outlive the second")
        return run

    def test_an_instance_named_by_a_running_one_takes_the_child_role(self):
        launcher = self.probe_launcher()
        first, report = self.start_first(launcher)
        parent, start = report["env"][PARENT], report["env"][START]
        first_directory = self.target_directories()
        with self.subTest("the id as published"):
            run = self.launch_second(first, launcher, parent, start)
            self.assertEqual((run.exit_code, run.stderr), (0, ""))
            second = self.read_report("second.json")
            os.remove(self.report_path("second.json"))
            self.assertEqual(second["module_dir"], report["module_dir"])
            self.assertNotEqual(second["pid"], report["pid"])
            # Its own arguments, unrebuilt (the empty one stays), and no
            # variables of a parent role of its own.
            self.assertEqual(second["argv"], [windows_path(launcher), "second", ""])
            self.assertEqual(second["env"], {PARENT: parent, START: start, "ZELMOR_ONEFILE_DIRECTORY": None,
                                             "ZELMOR_ORIGINAL_ARGV0": None, "ZELMOR_ONEFILE_CHILD": None})
            self.assertEqual(self.target_directories(), first_directory)
        # Other spellings of the same number are no parent id: such an
        # instance takes the parent role, publishes its own id and runs in a
        # directory of its own, leaving the first one's alone.
        for value in [" +" + parent, f"-{2 ** 32 - int(parent)}", "00" + parent]:
            with self.subTest(value=value):
                run = self.launch_second(first, launcher, value, start)
                # As a parent it passes the empty argument on too.
                self.assertEqual((run.exit_code, run.stdout, run.stderr), (0, "probe: argc=3\n", ""))
                second = self.read_report("second.json")
                os.remove(self.report_path("second.json"))
                self.assertNotEqual(second["env"][PARENT], parent)
                self.assertNotEqual(second["module_dir"], report["module_dir"])
                self.assertEqual(self.target_directories(), first_directory)
        self.assert_first_ends_cleanly(first)

    def test_a_child_with_an_empty_entry_list_reports_it_and_starts_nothing(self):
        launcher = self.probe_launcher()
        first, report = self.start_first(launcher)
        # The role decision compares paths: the first instance keeps running
        # its old image while the path names an executable without entries.
        # Its seam makes any further child launch fail visibly (both calls:
        # in a job, then without).
        empty = self.make_launcher(container(zstd_frame(entry_stream([]))), name="empty.exe", stub=SEAMS_STUB)
        os.replace(empty, launcher)
        seam = {"ZELMOR_TEST_FAIL": "CreateProcessW:1,CreateProcessW:2"}
        run = self.launch(launcher, set_env={PARENT: report["env"][PARENT], START: report["env"][START], **seam})
        self.assertIsNone(first.process.poll(), "the first instance must outlive the second")
        self.assertEqual((run.exit_code, run.stdout, run.stderr), (2, DECODE_FAILED, ""))
        self.assertEqual(len(self.target_directories()), 1)
        self.assert_first_ends_cleanly(first)
        with self.subTest("the parent's own child reports it"):
            # Before it looks for a directory, which a parent without entries never makes.
            run = self.launch(launcher, unset=[PARENT])
            self.assertEqual((run.exit_code, run.stdout, run.stderr), (2, DECODE_FAILED, ""))
            self.assertEqual(os.listdir(self.temp), [])
        with self.subTest("the seam acts in the parent role"):
            run = self.launch(launcher, set_env=seam, unset=[PARENT])
            self.assertEqual((run.exit_code, run.stdout), (2, ""))
            self.assertTrue(run.stderr.startswith(f"{LAUNCH_FAILED} ([Error 8] "), run.stderr)


if __name__ == "__main__":
    unittest.main()
