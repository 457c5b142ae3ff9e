"""Executables packed with --cache: extracted once into the user's cache
(ZELMOR_CACHE_DIR, in the test's folder), published by one rename, checked
and repaired on later runs, run in the launcher's own process; a per-run
directory whenever the cache cannot be used safely."""
import os
import subprocess
import time
import unittest

from zelmor_testing import HOST_BIN, SEAMS_STUB, LauncherTestCase, windows_binary, windows_path

PACK = os.path.join(HOST_BIN, "zelmor-pack")
PROBE = windows_binary("zelmor-probe.dll")
DAYS = 24 * 60 * 60


class CacheTest(LauncherTestCase):
    def setUp(self):
        super().setUp()
        self.base = os.path.join(self.work, "cache")
        self.folder = os.path.join(self.base, "probe")

    def pack(self, notes=b"notes\r\n" * 500, name="app.exe"):
        data = self.file(f"{name}/notes.txt", notes)
        output = os.path.join(self.work, name)
        subprocess.run([PACK, "-q", "--stub", SEAMS_STUB, "--cache=probe", "--file", "data\\notes.txt=" + data, PROBE,
                        output], check=True)
        return output

    def run_cached(self, launcher, report="report.json", started=False, elevated=False, terminate_when=None, **env):
        """Runs `launcher` unelevated, as Windows runs a program by default."""
        environment = {"ZELMOR_CACHE_DIR": windows_path(self.base), "ZELMOR_CACHE_TRACE": "1",
                       "ZELMOR_PROBE_REPORT": windows_path(self.report_path(report)), **env}
        if started:
            return self.start(launcher, ["one two"], set_env=environment, terminate_when=terminate_when,
                              token="elevated" if elevated else "limited")
        return self.launch(launcher, ["one two"], set_env=environment, token="elevated" if elevated else "limited")

    def assert_road(self, run, road, notes=b"notes\r\n" * 500, report="report.json"):
        """The run took `road` and its application saw the right files, from
        the version directory (cache) or a per-run one."""
        self.assertEqual((run.exit_code, run.stdout, run.stderr), (0, "probe: argc=2\n", f"zelmor cache: {road}\n"))
        seen = self.read_report(report)
        self.assertEqual(seen["argv"][1:], ["one two"])
        files = {f["path"]: f["size"] for f in seen["files"]}
        self.assertEqual(files["data\\notes.txt"], len(notes))
        if road.startswith("per-run"):
            self.assertTrue(seen["module_dir"].startswith(windows_path(self.temp)))
        else:
            # In the launcher's own process: an instance it starts is a launcher again.
            env = seen["env"]
            self.assertEqual((env["ZELMOR_ONEFILE_PARENT"], env["ZELMOR_ONEFILE_START"],
                              env["ZELMOR_ONEFILE_DIRECTORY"], env["ZELMOR_ORIGINAL_ARGV0"]),
                             (None, None, windows_path(self.work), seen["argv"][0]))
            self.assertEqual(seen["module_dir"], windows_path(self.version()))
            with open(os.path.join(self.version(), "data", "notes.txt"), "rb") as f:
                self.assertEqual(f.read(), notes)
        # Nothing is ever left in TEMP.
        self.assertEqual(os.listdir(self.temp), [])

    def versions(self):
        return sorted(n for n in os.listdir(self.folder) if len(n) == 16)

    def version(self):
        (name,) = self.versions()
        return os.path.join(self.folder, name)

    def test_first_runs_at_once_publish_one_version_and_later_runs_are_warm(self):
        launcher = self.pack()
        started = [self.run_cached(launcher, f"report-{i}.json", started=True) for i in range(20)]
        roads = []
        for i, instance in enumerate(started):
            run = instance.wait()
            roads.append(run.stderr)
            self.assert_road(run, run.stderr[len("zelmor cache: "):-1], report=f"report-{i}.json")
        self.assertEqual(roads.count("zelmor cache: cold\n"), 1, roads)
        self.assertEqual(set(roads), {"zelmor cache: cold\n", "zelmor cache: joined\n", "zelmor cache: warm\n"}
                         & set(roads))
        # One version, every staging directory gone.
        self.assertEqual(os.listdir(self.folder), self.versions())
        self.assert_road(self.run_cached(launcher), "warm")
        self.assert_road(self.run_cached(launcher, ZELMOR_CACHE="off"), "per-run: ZELMOR_CACHE=off")

    def test_a_first_run_killed_while_extracting_never_leaves_a_version(self):
        launcher = self.pack()
        for point in ("writeEntryData:2", "recordVersionState:1"):
            with self.subTest(point=point):
                pause = os.path.join(self.work, "paused")
                killed = self.run_cached(launcher, started=True, terminate_when=pause,
                                         ZELMOR_TEST_PAUSE=f"{point}:{windows_path(pause)}")
                self.assertEqual(killed.wait(60).exit_code, 1, "terminated")
                os.remove(pause)
                # A staging directory stays, and no version.
                self.assertEqual(self.versions(), [])
                self.assertEqual(len(os.listdir(self.folder)), 1)
                self.assert_road(self.run_cached(launcher), "cold")
                # The cold start collected the killed run's staging directory.
                self.assertEqual(os.listdir(self.folder), self.versions())
                os.rename(self.version(), os.path.join(self.work, f"aside-{point[:5]}"))

    def test_damaged_files_are_extracted_again_before_the_run(self):
        launcher = self.pack()
        # The publish refused once, as an antivirus scanning a fresh file refuses it: tried again.
        self.assert_road(self.run_cached(launcher, ZELMOR_TEST_FAIL="PublishCacheVersion:1:32"), "cold")
        notes = lambda: os.path.join(self.version(), "data", "notes.txt")

        def rewrite_same_size():
            with open(notes(), "r+b") as f:
                f.write(b"NOTES")

        def truncate():
            with open(notes(), "r+b") as f:
                f.truncate(10)

        def plant():
            with open(os.path.join(self.version(), "version.dll"), "wb") as f:
                f.write(b"MZ planted")

        def state_lost():
            os.remove(os.path.join(self.version(), ".zelmor-state"))

        def writable_by_others():
            # Wine shows the mode as an access list: Everyone may write.
            os.chmod(self.version(), 0o777)

        for damage in (lambda: os.remove(notes()), truncate, rewrite_same_size, plant, state_lost, writable_by_others):
            with self.subTest(damage=damage.__name__):
                time.sleep(0.01)  # a rewrite gets a last-write time of its own
                damage()
                self.assert_road(self.run_cached(launcher), "repaired")
                self.assertEqual(sorted(os.listdir(self.version())), [".zelmor-state", "data", "zelmor-probe.dll"])
                self.assert_road(self.run_cached(launcher), "warm")
        # Damaged under a running instance, which holds it: left to that one, never run.
        release = os.path.join(self.work, "release")
        held = self.run_cached(launcher, "held.json", started=True, ZELMOR_PROBE_AWAIT=windows_path(release))
        self.await_report("held.json", started=held)
        os.remove(notes())
        self.assert_road(self.run_cached(launcher), "per-run: damaged version in use")
        with open(release, "wb"):
            pass
        self.assertEqual(held.wait(60).exit_code, 0)

    def test_fallbacks_run_per_run_and_leave_nothing(self):
        launcher = self.pack()
        cases = [
            ("a file where the base should be", {}, "per-run: no usable base folder"),
            ("a relative base", {"ZELMOR_CACHE_DIR": "cache"}, "per-run: ZELMOR_CACHE_DIR is not a local fully "
                                                               "qualified path"),
            ("a share as the base", {"ZELMOR_CACHE_DIR": "\\\\server\\share\\cache"},
             "per-run: ZELMOR_CACHE_DIR is not a local fully qualified path"),
            # Created on the first run; the staging directory refused as on a read-only disk.
            ("a read-only disk", {"ZELMOR_TEST_FAIL": "NtCreateFile:3:19"}, "per-run: staging directory refused"),
            ("an elevated run", {"elevated": True}, "per-run: elevated"),
            ("a publish refused for good", {"ZELMOR_TEST_FAIL": "PublishCacheVersion:1:87"}, "per-run: publish refused"),
            ("a folder others can write", {}, "per-run: folder not private to this user"),
        ]
        with open(self.base, "wb") as f:
            f.write(b"not a folder")
        for case, env, road in cases:
            with self.subTest(case=case):
                self.assert_road(self.run_cached(launcher, **env), road)
                if case == "a file where the base should be":
                    os.remove(self.base)
                if case == "a publish refused for good":
                    os.chmod(self.folder, 0o757)
        self.assertEqual(self.versions(), [])
        self.assertEqual(os.listdir(self.folder), [])

    def test_a_program_starts_from_its_version_in_the_job_and_leaves_it(self):
        launcher = os.path.join(self.work, "load.exe")
        subprocess.run([PACK, "-q", "--cache=probe", "--file", "bin/load.exe=" + windows_binary("zelmor-load-direct.exe"),
                        "--file", "bin/zelmor-probe.dll=" + PROBE, "--run", "bin/load.exe", launcher], check=True)
        environment = {"ZELMOR_CACHE_DIR": windows_path(self.base), "ZELMOR_CACHE_TRACE": "1",
                       "ZELMOR_PROBE_REPORT": windows_path(self.report_path()), "ZELMOR_PROBE_EXIT": "6"}
        for road in ("cold", "warm"):
            run = self.launch(launcher, ["zelmor-probe.dll", "x"], set_env=environment, token="limited")
            self.assertEqual((run.exit_code, run.stderr), (6, f"zelmor cache: {road}\n"))
            seen = self.read_report()
            self.assertEqual((seen["module_dir"], seen["in_job"], seen["env"]["ZELMOR_ONEFILE_PARENT"]),
                             (windows_path(os.path.join(self.version(), "bin")), True, None))
            self.assertEqual(os.listdir(self.temp), [])

    def test_old_versions_go_unless_held_or_recent(self):
        old = self.pack(b"old", "old.exe")
        self.assert_road(self.run_cached(old), "cold", b"old")
        old_version = self.version()
        recent = self.pack(b"recent", "recent.exe")
        self.run_cached(recent)
        release = os.path.join(self.work, "release")
        held = self.run_cached(old, "held.json", started=True, ZELMOR_PROBE_AWAIT=windows_path(release))
        self.await_report("held.json", started=held)
        month_ago = time.time() - 30 * DAYS
        os.utime(old_version, (month_ago, month_ago))
        self.assertEqual(self.run_cached(self.pack(b"third", "third.exe")).exit_code, 0)
        self.assertEqual(len(self.versions()), 3, "held by a running instance")
        with open(release, "wb"):
            pass
        self.assertEqual(held.wait(60).exit_code, 0)
        os.utime(old_version, (month_ago, month_ago))
        self.assertEqual(self.run_cached(self.pack(b"fourth", "fourth.exe")).exit_code, 0)
        self.assertFalse(os.path.exists(old_version))
        self.assertEqual(len(self.versions()), 3, "the two most recent and this run's own")


if __name__ == "__main__":
    unittest.main()
