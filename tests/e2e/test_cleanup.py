"""Removal of the target directory by a real launcher when a file in it is
held open, and after a console Ctrl+C while the child runs; a parent killed
while its child runs, and what the next run sweeps of the runs that are over."""
import fcntl
import glob
import os
import shutil
import signal
import stat
import subprocess
import termios
import threading
import time
import unittest

from zelmor_testing import (HOST_BIN, SEAMS_STUB, STUB, WINE_RUN, LauncherTestCase, linux_path, windows_binary,
                            windows_path, write_payload)


def processes_mentioning(text):
    """Linux ids of the processes whose command line contains `text` (Wine
    shows a Windows process's own command line there)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if text.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass  # ended meanwhile
    return found


def wait_until_gone(text, timeout):
    deadline = time.monotonic() + timeout
    while processes_mentioning(text) and time.monotonic() < deadline:
        time.sleep(0.05)
    return processes_mentioning(text)


def kill_processes_mentioning(text):
    for pid in processes_mentioning(text):
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass  # ended meanwhile


def swap_for_links_when_paused(pause, temp, names, outside):
    """Waits until the launcher has listed a tombstone in `temp` and pauses
    before opening what it listed (ZELMOR_TEST_PAUSE, seams build), swaps
    the directories `names` in it for links to `outside`, and lets it go on."""
    deadline = time.monotonic() + 60
    while not os.path.exists(pause):
        assert time.monotonic() < deadline, "the launcher never paused"
        time.sleep(0.02)
    [tombstone] = glob.glob(os.path.join(temp, "onefile_*.removing"))
    for name in names:
        os.rename(os.path.join(tombstone, name), os.path.join(tombstone, name + ".moved"))
        os.symlink(outside, os.path.join(tombstone, name))
    os.remove(pause)


def tree(root):
    """Every path below root (links not followed) with its kind and contents."""
    found = {}
    for directory, subdirectories, files in os.walk(root):
        for name in subdirectories + files:
            path = os.path.join(directory, name)
            if os.path.islink(path):
                found[os.path.relpath(path, root)] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                found[os.path.relpath(path, root)] = ("directory", None)
            else:
                with open(path, "rb") as f:
                    found[os.path.relpath(path, root)] = ("file", f.read())
    return found


class HeldFileTest(LauncherTestCase):
    HOLD_MS = 7000

    def test_a_held_file_is_retried_then_the_directory_is_left(self):
        # The attempts are counted by cleanup_test; here the real launcher
        # gives up while the file is still held and ends with the child's code.
        data = self.file("data.txt", b"kept open elsewhere\n")
        launcher = self.probe_launcher([("data.txt", data)])
        holder = f"{windows_path(windows_binary('zelmor-sleep.exe'))} {self.HOLD_MS} 0 {{DIR}}\\data.txt"
        # Started, not launched: the holder may keep inherited output pipes
        # open, and a reader of those would wait for the holder as well.
        started = self.start(launcher, set_env={"ZELMOR_PROBE_HOLD": holder, "ZELMOR_PROBE_EXIT": "5",
                                                "ZELMOR_PROBE_REPORT": windows_path(self.report_path())})
        run = started.wait(60)
        self.addCleanup(wait_until_gone, windows_path(self.temp), 30)
        self.assertEqual((run.exit_code, run.stderr), (5, ""))
        [target] = self.target_directories()
        self.assertTrue(os.path.exists(os.path.join(self.temp, target, "data.txt")))
        self.assertNotEqual(processes_mentioning(windows_path(self.temp)), [], "gave up before the holder let go")
        self.assertEqual(wait_until_gone(windows_path(self.temp), 30), [], "the holder ends")
        shutil.rmtree(os.path.join(self.temp, target))


class RemovalTest(LauncherTestCase):
    """What the removal touches: the target directory and nothing else."""

    DEEP = ("node_modules\\@company-internal\\reporting-dashboard-widgets\\node_modules\\date-fns-timezone-support"
            "\\dist\\locales\\translations\\templates\\email-notifications\\weekly-digest\\partials\\layout"
            "\\responsive-variants\\dark-mode\\index.html")

    @staticmethod
    def files_in(directory):
        return sorted(os.path.relpath(os.path.join(d, f), directory) for d, _, files in os.walk(directory) for f in files)

    def canaries(self, directory):
        """A user's files in `directory`; returns their names."""
        os.makedirs(os.path.join(directory, "sub"))
        for name in ["canary.txt", os.path.join("sub", "canary.txt")]:
            with open(os.path.join(directory, name), "wb") as f:
                f.write(b"a user's file")
        return self.files_in(directory)

    def test_a_tree_deeper_than_max_path_is_removed_and_the_current_directory_is_untouched(self):
        # Ordinary components of at most 27 characters; the directory part
        # of the deepest file is over 260 characters long under TEMP.
        current = os.path.join(self.work, "current")
        kept = self.canaries(current)
        data = self.file("index.html", b"<html></html>")
        launcher = self.probe_launcher([(self.DEEP, data), ("top.txt", data)])
        run = self.launch(launcher, cwd=current, set_env={"ZELMOR_PROBE_REPORT": windows_path(self.report_path())})
        self.assertEqual((run.exit_code, run.stderr), (0, ""))
        self.assertGreaterEqual(len(self.read_report()["module_dir"] + "\\" + self.DEEP.rsplit("\\", 1)[0]), 260)
        self.assertEqual(self.files_in(current), kept)
        self.assertEqual(os.listdir(self.temp), [])

    def test_a_directory_link_inside_the_tree_is_never_entered(self):
        # The link is made while the application runs. Wine shows a Unix
        # symbolic link to a directory as a directory reparse point; removing
        # it as a link fails there while its target holds files (Windows
        # removes the link itself), so the tree may stay, the files beyond never go.
        outside = os.path.join(self.work, "outside")
        kept = self.canaries(outside)
        started = self.start(self.probe_launcher(), set_env={
            "ZELMOR_PROBE_REPORT": windows_path(self.report_path()), "ZELMOR_PROBE_SLEEP_MS": "1500"})
        target = linux_path(self.await_report(started=started)["module_dir"])
        os.symlink(outside, os.path.join(target, "linked"))
        run = started.wait(60)
        self.assertEqual((run.exit_code, run.stderr), (0, ""))
        self.assertEqual(self.files_in(outside), kept)
        if os.path.lexists(target):
            self.assertEqual(os.listdir(target), ["linked"])


    def test_directories_swapped_for_links_between_listing_and_opening_are_never_followed(self):
        # At the run's end and in the sweep of a dead run, with a seam pause
        # where a race would have to strike. The links stay under Wine (see above).
        outside = os.path.join(self.work, "outside")
        kept = self.canaries(outside)
        pause = os.path.join(self.work, "pause")
        swapped = [f"z{i}" for i in range(4)]
        launcher = self.make_launcher(write_payload([("app.dll", windows_binary("zelmor-probe.dll"))]), stub=SEAMS_STUB)
        for dead in [None, "onefile_3_4"]:
            with self.subTest(dead=dead):
                for name in swapped if dead else []:
                    os.makedirs(os.path.join(self.temp, dead, name))
                started = self.start(launcher, set_env={
                    "ZELMOR_PROBE_REPORT": windows_path(self.report_path()), "ZELMOR_PROBE_SLEEP_MS": "1500",
                    "ZELMOR_TEST_PAUSE": f"OpenListedEntry:1:{windows_path(pause)}"})
                target = linux_path(self.await_report(started=started)["module_dir"])
                for name in [] if dead else swapped:
                    os.makedirs(os.path.join(target, name))
                swap_for_links_when_paused(pause, self.temp, swapped, outside)
                run = started.wait(60)
                self.assertEqual((run.exit_code, run.stderr), (0, ""))
                self.assertEqual(self.files_in(outside), kept)
                for name in os.listdir(self.temp):
                    shutil.rmtree(os.path.join(self.temp, name))
                os.remove(self.report_path())

    def test_a_hard_link_to_a_read_only_file_leaves_that_file_read_only(self):
        # The mark belongs to the file, which every link shares. Where the
        # system cannot delete past it (Wine 8), the link stays, as a held file does.
        outside = self.file("outside.txt", b"a user's read-only file")
        os.chmod(outside, 0o444)
        started = self.start(self.probe_launcher(), set_env={
            "ZELMOR_PROBE_REPORT": windows_path(self.report_path()), "ZELMOR_PROBE_SLEEP_MS": "1500"})
        os.link(outside, os.path.join(linux_path(self.await_report(started=started)["module_dir"]), "linked.txt"))
        run = started.wait(60)
        self.assertEqual((run.exit_code, run.stderr), (0, ""))
        self.assertEqual(stat.S_IMODE(os.stat(outside).st_mode), 0o444)
        left = [os.path.join(d, f) for d, _, files in os.walk(self.temp) for f in files]
        self.assertTrue(all(os.path.samefile(path, outside) for path in left), left)


class DeadRunTest(LauncherTestCase):
    """A run that is over leaves nothing for long: its child ends with the
    parent, and the next run of any packed executable in the same TEMP
    removes its directory. Nothing else is touched."""

    def dead_directory(self, name, data=b"left by a run that is over"):
        path = os.path.join(self.temp, name, "sub")
        os.makedirs(path)
        with open(os.path.join(path, "data.txt"), "wb") as f:
            f.write(data)

    def assert_next_run_leaves_nothing(self):
        run = self.launch(self.probe_launcher(name="next.exe"))
        self.assertEqual((run.exit_code, run.stderr), (0, ""))
        self.assertEqual(os.listdir(self.temp), [])

    def test_a_killed_parent_takes_its_child_along_and_the_next_run_sweeps_what_it_left(self):
        launcher = self.probe_launcher()
        # The application starts a program of its own, which outlives the run.
        survivor = self.file("survivor.txt", b"held by what the application started")
        self.addCleanup(kill_processes_mentioning, windows_path(survivor))
        terminate = os.path.join(self.work, "terminate")
        started = self.start(launcher, terminate_when=terminate, set_env={
            "ZELMOR_PROBE_HOLD": f"{windows_path(windows_binary('zelmor-sleep.exe'))} 60000 0 {windows_path(survivor)}",
            "ZELMOR_PROBE_REPORT": windows_path(self.report_path()), "ZELMOR_PROBE_SLEEP_MS": "60000"})
        target = linux_path(self.await_report(started=started)["module_dir"])
        with open(terminate, "wb"):
            pass
        self.assertEqual(started.wait(60).exit_code, 1, "terminated")
        self.assertEqual(wait_until_gone(windows_path(launcher), 30), [], "the child ends with its parent")
        self.assertNotEqual(processes_mentioning(windows_path(survivor)), [], "what the application started lives on")
        self.assertEqual(sorted(os.listdir(target)), ["app.dll"])
        # And what a sweep that was itself ended half-way left.
        self.dead_directory("onefile_1_2.removing")
        self.assert_next_run_leaves_nothing()

    def test_a_killed_parent_takes_its_program_along_and_the_next_run_sweeps_what_it_left(self):
        # A program that loads the probe from its own folder by name; no parent id reaches it.
        launcher = os.path.join(self.work, "load.exe")
        subprocess.run([os.path.join(HOST_BIN, "zelmor-pack"), "--file", "bin/load.exe=" + windows_binary(
            "zelmor-load-direct.exe"), "--file", "bin/zelmor-probe.dll=" + windows_binary("zelmor-probe.dll"),
            "--run", "bin/load.exe", launcher], check=True, capture_output=True)
        terminate = os.path.join(self.work, "terminate")
        started = self.start(launcher, ["zelmor-probe.dll"], terminate_when=terminate, set_env={
            "ZELMOR_PROBE_REPORT": windows_path(self.report_path()), "ZELMOR_PROBE_SLEEP_MS": "60000"})
        report = self.await_report(started=started)
        self.assertEqual([report["env"][name] for name in ("ZELMOR_ONEFILE_PARENT", "ZELMOR_ONEFILE_START",
                          "ZELMOR_ORIGINAL_ARGV0")] + [report["in_job"]], [None, None, windows_path(launcher), True])
        with open(terminate, "wb"):
            pass
        self.assertEqual(started.wait(60).exit_code, 1, "terminated")
        self.assertEqual(wait_until_gone(windows_path(launcher), 30), [], "the program ends with its parent")
        self.assert_next_run_leaves_nothing()

    def test_the_sweep_leaves_links_foreign_names_and_directories_in_use(self):
        outside = os.path.join(self.work, "outside")
        os.makedirs(outside)
        with open(os.path.join(outside, "keep.txt"), "wb") as f:
            f.write(b"mine")
        self.dead_directory("onefile_3_4")
        for name in ["onefile_12a_34", "onefile_1_2_3", "xonefile_1_2", "onefile_1_", "onefile__2",
                     "onefile_1_2.removing.x", "onefile_\u0661_2", "Onefile_1_2"]:
            self.dead_directory(name, b"not a run's")
        with open(os.path.join(self.temp, "onefile_5_6"), "wb") as f:
            f.write(b"a file of a run's name")
        for name in ["onefile_7_8", "onefile_7_9.removing"]:
            os.symlink(outside, os.path.join(self.temp, name))
        self.dead_directory("onefile_10_11", b"in use")
        holder = subprocess.Popen([WINE_RUN, windows_binary("zelmor-sleep.exe"), "60000", "0",
                                   windows_path(os.path.join(self.temp, "onefile_10_11"))],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (holder.kill(), holder.wait()))
        said, running = holder.stdout.readline().split()
        self.assertEqual(said, b"holding")
        # A launcher older than holders holds nothing: a directory whose
        # parent, made before the time in its name, still runs is spared;
        # one whose id a later process took is not.
        now = int((time.time() + 11644473600) * 10 ** 7)  # a FILETIME, after the holder's start
        self.dead_directory(f"onefile_{int(running)}_{now}", b"an older launcher's, in use")
        self.dead_directory(f"onefile_{int(running)}_1")
        kept, kept_outside = tree(self.temp), tree(outside)
        run = self.launch(self.probe_launcher())
        self.assertEqual((run.exit_code, run.stderr), (0, ""))
        self.assertEqual(tree(outside), kept_outside, "nothing is removed through a link")
        self.assertEqual(tree(self.temp), {path: what for path, what in kept.items()
                                           if path.split(os.sep)[0] not in ("onefile_3_4", f"onefile_{int(running)}_1")})

    def test_what_the_sweep_cannot_prove_over_and_this_users_is_spared(self):
        # Seams stand in for what Wine cannot show: a directory another user
        # owns, and one whose process cannot be opened for want of rights
        # (its second OpenProcess: the role decision checks the stale parent 3 first).
        launcher = self.make_launcher(write_payload([("app.dll", windows_binary("zelmor-probe.dll"))]), stub=SEAMS_STUB)
        for failures, stale in [("RtlEqualSid:1", {}), ("OpenProcess:2:5", {"ZELMOR_ONEFILE_PARENT": "3"})]:
            with self.subTest(failures):
                self.dead_directory("onefile_3_4")
                kept = tree(self.temp)
                run = self.launch(launcher, set_env=dict(stale, ZELMOR_TEST_FAIL=failures))
                self.assertEqual((run.exit_code, run.stderr), (0, ""))
                self.assertEqual(tree(self.temp), kept)
                shutil.rmtree(os.path.join(self.temp, "onefile_3_4"))

    def test_a_large_dead_tree_is_left_half_removed_once_the_sweeps_second_is_over(self):
        # The application's end is not kept waiting: the rest is a later run's.
        for index in range(20000):
            path = os.path.join(self.temp, "onefile_3_4", f"d{index % 20}", f"f{index}")
            os.makedirs(os.path.dirname(path), exist_ok=True)
            open(path, "wb").close()
        run = self.launch(self.probe_launcher())
        self.assertEqual((run.exit_code, run.stderr), (0, ""))
        [taken] = os.listdir(self.temp)
        self.assertRegex(taken, r"^onefile_\d+_\d+\.removing$")
        self.assertNotEqual([f for _, _, files in os.walk(self.temp) for f in files], [])

    def test_an_application_that_starts_itself_again_keeps_the_directory_until_that_instance_ends(self):
        # The second instance takes the child role in the same directory; it
        # is started without handle inheritance and holds it on its own.
        launcher = self.probe_launcher([("data.txt", self.file("data.txt", b"read by the second instance"))])
        release = os.path.join(self.work, "release")
        self.addCleanup(lambda: open(release, "wb").close())
        run = self.start(launcher, set_env={
            "ZELMOR_PROBE_RELAUNCH": windows_path(self.report_path("second.json")),
            "ZELMOR_PROBE_AWAIT": windows_path(release), "ZELMOR_PROBE_EXIT": "7",
            "ZELMOR_PROBE_REPORT": windows_path(self.report_path())}).wait(60)
        self.assertEqual((run.exit_code, run.stderr), (7, ""))
        first, second = self.read_report(), self.read_report("second.json")
        self.assertEqual((second["module_dir"], second["env"]["ZELMOR_ONEFILE_PARENT"]),
                         (first["module_dir"], first["env"]["ZELMOR_ONEFILE_PARENT"]))
        target = linux_path(first["module_dir"])
        self.assertEqual(sorted(os.listdir(target)), ["app.dll", "data.txt"], "the second instance still finds its files")
        with open(release, "wb"):
            pass
        self.assertEqual(wait_until_gone(windows_path(launcher), 30), [])
        self.assertEqual(sorted(os.listdir(target)), ["app.dll", "data.txt"], "the child role removes nothing")
        self.assert_next_run_leaves_nothing()

    def test_an_instance_started_again_that_finds_its_run_over_starts_one_of_its_own(self):
        # It takes the child role while the first run lives; the seam holds
        # it back from its directory until that run has ended and removed it.
        launcher = self.make_launcher(write_payload([("app.dll", windows_binary("zelmor-probe.dll"))]),
                                      stub=SEAMS_STUB)
        at_hold = os.path.join(self.work, "at-hold")
        self.addCleanup(lambda: os.path.exists(at_hold) and os.remove(at_hold))
        run = self.start(launcher, set_env={
            "ZELMOR_PROBE_RELAUNCH": windows_path(self.report_path("second.json")),
            "ZELMOR_PROBE_RELAUNCH_UNTIL": windows_path(at_hold),
            "ZELMOR_TEST_PAUSE": f"holdTargetDirectory:1:{windows_path(at_hold)}",
            "ZELMOR_PROBE_REPORT": windows_path(self.report_path())}).wait(60)
        self.assertEqual((run.exit_code, run.stderr), (0, ""))
        self.assertEqual(os.listdir(self.temp), [])
        os.remove(at_hold)
        second = self.await_report("second.json", timeout=60)
        self.assertEqual(wait_until_gone(windows_path(launcher), 30), [])
        first = self.read_report()
        self.assertNotEqual(second["module_dir"], first["module_dir"])
        self.assertNotIn(second["env"]["ZELMOR_ONEFILE_START"], first["module_dir"], "a start time of its own")
        self.assertEqual(os.listdir(self.temp), [])


class ControlEventTest(LauncherTestCase):
    """Under Wine, \\003 written to a pseudo-terminal reaches every process of
    its foreground group as SIGINT, which Wine turns into CTRL_C_EVENT for the
    handlers of the processes attached to the terminal's console. The launcher
    is therefore started by Wine directly: a console program such as zelmor-run
    would die of the same event and take the console, with the launcher, along.
    So TEMP is the prefix's own; the report tells where the directory is. The
    launcher is a console program: Wine 10, like Windows, attaches a GUI
    program's child to no console, so only Wine 8 would deliver the event to
    the child of a GUI launcher."""

    PROBE_SLEEP_MS = 30000

    def interrupt(self, ignore_in_child, failures=None, sleep_ms=PROBE_SLEEP_MS, exit_code=0):
        """Sends Ctrl+C while the child runs; returns the seconds the launcher
        took to end after it, and its exit code's low byte. `failures` runs
        the seams build with them."""
        launcher = os.path.join(self.work, "app.exe")
        subprocess.run([os.path.join(HOST_BIN, "zelmor-pack"), "-q", "--console", "--stub",
                        STUB if failures is None else SEAMS_STUB, windows_binary("zelmor-probe.dll"), launcher],
                       check=True)
        environment = dict(os.environ, ZELMOR_PROBE_REPORT=windows_path(self.report_path()),
                           ZELMOR_PROBE_SLEEP_MS=str(sleep_ms), ZELMOR_PROBE_EXIT=str(exit_code),
                           ZELMOR_PROBE_IGNORE_CTRL_C="1" if ignore_in_child else "0",
                           ZELMOR_TEST_FAIL=failures or "")
        for name in ("ZELMOR_ONEFILE_PARENT", "ZELMOR_ONEFILE_START"):
            environment.pop(name, None)
        controller, terminal = os.openpty()
        self.addCleanup(os.close, controller)
        process = subprocess.Popen([WINE_RUN, launcher, "x"], stdin=terminal, stdout=terminal, stderr=terminal,
                                   env=environment, start_new_session=True,
                                   preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(terminal)
        self.addCleanup(lambda: process.poll() is None and (process.kill(), process.wait()))
        # Whatever the programs write must not fill the terminal and stall them.
        drainer = threading.Thread(target=self.drain, args=(controller,), daemon=True)
        drainer.start()
        self.addCleanup(drainer.join, 5)
        report = self.await_report(timeout=60)
        target = linux_path(report["module_dir"])
        self.addCleanup(shutil.rmtree, target, True)
        self.assertTrue(os.path.isdir(target))
        sent = time.monotonic()
        os.write(controller, b"\x03")
        process.wait(timeout=60)
        elapsed = time.monotonic() - sent
        self.assertFalse(os.path.exists(target), "the directory is removed")
        self.assertEqual(wait_until_gone(windows_path(self.work), 5), [], "the child has ended")
        # Once the child has ended, the launcher ends with its code. Where the
        # system's handler ends the launcher, Wine's gives 0, Windows'
        # STATUS_CONTROL_C_EXIT.
        return elapsed, process.returncode

    @staticmethod
    def drain(controller):
        try:
            while os.read(controller, 4096):
                pass
        except OSError:
            pass  # the terminal closed

    def test_a_child_that_ignores_the_event_is_given_five_seconds_then_stopped(self):
        elapsed, exit_code = self.interrupt(ignore_in_child=True)
        # Only the clock shows the grace; the exit code shows that the
        # child's own sleep was not waited for.
        self.assertGreater(elapsed, 4.8)
        self.assertEqual(exit_code, 0xC000013A & 0xFF, "the terminated child's STATUS_CONTROL_C_EXIT")

    def test_a_child_that_handles_the_event_ends_the_run_with_its_own_code(self):
        # It returns 9 when its sleep is over, well within its grace.
        _, exit_code = self.interrupt(ignore_in_child=True, sleep_ms=3000, exit_code=9)
        self.assertEqual(exit_code, 9)

    def test_a_child_that_ends_on_the_event_is_not_waited_for(self):
        elapsed, _ = self.interrupt(ignore_in_child=False)
        self.assertLess(elapsed, 4.0)

    def test_without_a_second_handle_the_child_is_still_stopped_before_its_directory_goes(self):
        # The handler then reaches the child by its id.
        self.interrupt(ignore_in_child=True, failures="DuplicateHandle:1")


if __name__ == "__main__":
    unittest.main()
