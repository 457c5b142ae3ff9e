"""Many instances of one packed executable at once: each extracts into a
directory of its own, runs its application with its own arguments, ends with
its own exit code and removes only its own directory."""
import os
import time
import unittest

from zelmor_testing import LAUNCH_FAILED, LauncherTestCase, windows_path

INSTANCES = 20
WINE_LOST_CHILD = f"{LAUNCH_FAILED} ([Error 1359] "


class ParallelLaunchTest(LauncherTestCase):
    def test_twenty_instances_at_once(self):
        data = self.file("data/notes.txt", b"shared content\r\n" * 1000)
        launcher = self.probe_launcher([("data\\notes.txt", data)])

        def start(i):
            # Exit codes beyond 8 bits and below zero, so none is mistaken for another.
            exit_code = (i * 0x01010101 + 3) - (2 ** 32 if i % 4 == 3 else 0)
            return self.start(launcher, [f"instance {i}", str(i), ""], set_env={
                "ZELMOR_PROBE_REPORT": windows_path(self.report_path(f"report-{i}.json")),
                "ZELMOR_PROBE_EXIT": str(exit_code), "ZELMOR_PROBE_SLEEP_MS": "2000"})

        started = [start(i) for i in range(INSTANCES)]
        # The sleeps overlap, so several directories exist side by side.
        most_at_once = 0
        while any(s.process.poll() is None for s in started):
            most_at_once = max(most_at_once, len(self.target_directories()))
            time.sleep(0.05)
        self.assertGreater(most_at_once, 1)
        directories = set()
        for i, instance in enumerate(started):
            with self.subTest(instance=i):
                run = instance.wait()
                if run.stderr.startswith(WINE_LOST_CHILD):
                    # Wine lost the child while starting it (it does so now
                    # and then under this load): the launcher must say so and
                    # clean up; the instance then runs again on its own.
                    self.assertEqual((run.exit_code, run.stdout), (2, ""))
                    run = start(i).wait()
                self.assertEqual((run.exit_code, run.stdout, run.stderr),
                                 ((i * 0x01010101 + 3) % 2 ** 32, "probe: argc=3\n", ""))
                report = self.read_report(f"report-{i}.json")
                self.assertEqual(report["argv"], [windows_path(launcher), f"instance {i}", str(i)])
                env = report["env"]
                self.assertEqual(report["module_dir"],
                                 f"{windows_path(self.temp)}\\onefile_{env['ZELMOR_ONEFILE_PARENT']}_"
                                 f"{env['ZELMOR_ONEFILE_START']}")
                self.assertEqual(sorted(f["path"] for f in report["files"]), ["app.dll", "data\\notes.txt"])
                directories.add(report["module_dir"])
        self.assertEqual(len(directories), INSTANCES)
        self.assertEqual(os.listdir(self.temp), [])


if __name__ == "__main__":
    unittest.main()
