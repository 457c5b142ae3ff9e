"""A real launcher writes only inside its own target directory, whatever the
entry names of a hand-made payload and whatever start time it inherits.
test_extraction checks a fixed list of hostile names; here they are drawn at
random (seeded), and after every launch the test's whole private directory is
compared with its state before: only temp/onefile_* may have changed. The
roots of the drives Z: (the host's / or the test bed's root) and C: must gain nothing either."""
import os
import random
import shutil
import time
import unittest

from zelmor_testing import (DECODE_FAILED, WINE_ROOT, LauncherTestCase, container, entry_stream, linux_path,
                            windows_binary, windows_path, zstd_frame)

SEED = 20240917
LAUNCHES = 48
# Pieces of names and start times; "decoy.txt" names files that an escaping
# entry could overwrite. Device names other than NUL and CON are left out:
# under Wine COM1 and its kind reach the host's devices.
NAME_PIECES = ["\\", "/", "\\\\", ".", "..", "...", " ", ":", "C:", "c:\\", "Z:", "a", "Dir", "decoy.txt", "é",
               "日本", "\U0001F600", "\u202e", "*", "?", "<", "|", '"', "\t", "nul", "~1", "x" * 120]
START_PIECES = ["0", "1", "9", "123", "..", "\\", "/", " ", "-", "+", "a", "C:", "\u0661", "."]


def random_name(rng):
    if rng.random() < 0.1:
        return "n" * rng.choice([300, 1000, 1023, 1024, 1500])
    return "".join(rng.choice(NAME_PIECES) for _ in range(rng.randint(1, 7)))


def random_start(rng):
    roll = rng.random()
    if roll < 0.2:
        return None
    if roll < 0.3:
        return "7" * rng.choice([19, 900, 3000, 4090])
    return "".join(rng.choice(START_PIECES) for _ in range(rng.randint(0, 6)))


def snapshot(root):
    """Every path below root with its kind, size and modification time."""
    state = {}
    for directory, subdirectories, files in os.walk(root):
        for name in subdirectories + files:
            path = os.path.join(directory, name)
            info = os.lstat(path)
            state[os.path.relpath(path, root)] = (os.path.isdir(path), info.st_size, info.st_mtime_ns)
    return state


def drive_roots():
    return {root: set(os.listdir(root)) for root in [WINE_ROOT, linux_path("C:\\")]}


def read_text(path):
    """The file's text; empty while it does not exist."""
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


def in_a_target_directory(relative):
    parts = relative.split(os.sep)
    return len(parts) >= 2 and parts[0] == "temp" and parts[1].startswith("onefile_")


class NoEscapeTest(LauncherTestCase):
    def setUp(self):
        super().setUp()
        with open(windows_binary("zelmor-probe.dll"), "rb") as f:
            self.probe = f.read()
        self.current = os.path.join(self.work, "current")
        for decoy in ["decoy.txt", "current/decoy.txt", "temp/decoy.txt", "bin/decoy.txt", "bin/Dir/decoy.txt"]:
            os.makedirs(os.path.dirname(os.path.join(self.work, decoy)), exist_ok=True)
            with open(os.path.join(self.work, decoy), "wb") as f:
                f.write(b"decoy")

    def launcher(self, entries):
        return self.make_launcher(container(zstd_frame(entry_stream(entries))), name=os.path.join("bin", "app.exe"))

    def launch_in_current(self, launcher, start=None, set_env=None):
        """Launches from bin/, in current/, as a parent with this inherited start time."""
        unset = ["ZELMOR_ONEFILE_PARENT"] + (["ZELMOR_ONEFILE_START"] if start is None else [])
        set_env = dict(set_env or {}, **({} if start is None else {"ZELMOR_ONEFILE_START": start}))
        return self.launch(launcher, set_env=set_env, unset=unset, cwd=self.current)

    def test_random_names_and_start_times_write_only_into_the_target_directory(self):
        rng = random.Random(SEED)
        outcomes = set()
        for attempt in range(LAUNCHES):
            entries = [(random_name(rng), b"escaped %d" % i) for i in range(rng.randint(1, 3))]
            if rng.random() < 0.75:
                entries.insert(0, ("app.dll", self.probe))
            start = random_start(rng)
            launcher = self.launcher(entries)
            with self.subTest(attempt=attempt, names=[name[:60] for name, _ in entries], start=start and start[:60]):
                before, roots_before = snapshot(self.work), drive_roots()
                run = self.launch_in_current(launcher, start)
                outcomes.add(run.exit_code)
                after, roots_after = snapshot(self.work), drive_roots()
                self.assertEqual({root: names - roots_before[root] for root, names in roots_after.items()},
                                 {root: set() for root in roots_after})
                # The temp folder's own time follows the target directories in it.
                changed = sorted(path for path in set(before) | set(after)
                                 if before.get(path) != after.get(path) and not in_a_target_directory(path)
                                 and path != "temp")
                self.assertEqual(changed, [], run)
            for name in os.listdir(self.temp):
                if name.startswith("onefile_"):
                    shutil.rmtree(os.path.join(self.temp, name))
        # The draw reaches every way a launch can end: run, refusal or failure, abort.
        self.assertTrue({0, 2, 0xC0000409} <= outcomes, outcomes)

    def test_a_device_name_is_refused_or_extracted_as_a_file(self):
        # The data of such an entry must not go to the device.
        for name in ["NUL", "sub\\nul.txt", "con"]:
            with self.subTest(name=name):
                report = self.report_path()
                run = self.launch_in_current(self.launcher([("app.dll", self.probe), (name, b"data")]),
                                             set_env={"ZELMOR_PROBE_REPORT": windows_path(report)})
                refused = (run.exit_code, run.stdout) == (2, DECODE_FAILED)
                extracted = run.exit_code == 0 and name in [f["path"] for f in self.read_report()["files"]]
                self.assertTrue(refused or extracted, run)
                if os.path.exists(report):
                    os.remove(report)
                for directory in self.target_directories():
                    shutil.rmtree(os.path.join(self.temp, directory))


class PlantedNameTest(LauncherTestCase):
    """Something made beforehand at the very name the run is to take (its
    process id, known here before it runs, and an inherited start time) is
    never taken for the run's own: the run goes to a fresh directory, and
    what was planted stays as it was; only a real directory, which nothing
    holds, counts as left by a run that is over and is swept whole."""

    def launch_against(self, plant, swept=False, fresh=True):
        held = os.path.join(self.work, "held-pid")
        started = self.start(self.probe_launcher(), unset=["ZELMOR_ONEFILE_PARENT"], held_pid_file=held,
                             set_env={"ZELMOR_ONEFILE_START": "123",
                                      "ZELMOR_PROBE_REPORT": windows_path(self.report_path())})
        deadline = time.monotonic() + 60
        while not read_text(held).endswith("\n"):
            self.assertLess(time.monotonic(), deadline, "the runner never wrote the process id")
            time.sleep(0.01)
        name = f"onefile_{int(read_text(held))}_123"
        plant(os.path.join(self.temp, name))
        planted = snapshot(self.temp)
        os.remove(held)
        run = started.wait(60)
        self.assertEqual((run.exit_code, run.stderr), (0, ""))
        report = self.read_report()
        os.remove(self.report_path())
        self.assertRegex(report["module_dir"], r"\\onefile_\d+_\d{18}$" if fresh else r"\\onefile_\d+_123$")
        self.assertEqual(snapshot(self.temp), {} if swept else planted, "what was planted is left as it was")
        return os.path.join(self.temp, name)

    def test_a_directory_file_or_link_at_the_name_is_left_as_it_was(self):
        outside = os.path.join(self.work, "outside")
        os.makedirs(outside)
        with open(os.path.join(outside, "keep.txt"), "wb") as f:
            f.write(b"mine")

        def directory(path):
            os.makedirs(path)
            shutil.copyfile(windows_binary("zelmor-helper-planted.dll"), os.path.join(path, "zelmor-helper.dll"))
            with open(os.path.join(path, "foreign.txt"), "wb") as f:
                f.write(b"not the launcher's")

        def plain_file(path):
            with open(path, "wb") as f:
                f.write(b"not a directory")

        for label, plant, swept in [("directory", directory, True), ("file", plain_file, False),
                                    ("link", lambda path: os.symlink(outside, path), False),
                                    ("dangling link", lambda path: os.symlink(os.path.join(self.work, "nowhere"), path),
                                     False)]:
            with self.subTest(label):
                outside_before = snapshot(outside)
                planted = self.launch_against(plant, swept)
                self.assertEqual(snapshot(outside), outside_before, "nothing is written through a link")
                self.assertFalse(os.path.lexists(os.path.join(self.work, "nowhere")))
                if os.path.isdir(planted) and not os.path.islink(planted):
                    shutil.rmtree(planted)
                elif os.path.lexists(planted):
                    os.unlink(planted)

    def test_what_stands_at_the_runs_own_tombstone_name_is_left_and_the_run_still_removes_its_own(self):
        # The name its end once renamed the directory to; the sweep spares the
        # run's own process id in such names.
        def directory(path):
            os.makedirs(path + ".removing")
            with open(os.path.join(path + ".removing", "canary.txt"), "wb") as f:
                f.write(b"not the launcher's")

        def plain_file(path):
            with open(path + ".removing", "wb") as f:
                f.write(b"not the launcher's")

        for label, plant in [("directory", directory), ("file", plain_file)]:
            with self.subTest(label):
                planted = self.launch_against(plant, fresh=False) + ".removing"
                shutil.rmtree(planted) if os.path.isdir(planted) else os.remove(planted)


if __name__ == "__main__":
    unittest.main()
