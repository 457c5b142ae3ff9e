"""Many instances of one packed executable at once: each extracts into a
directory of its own, runs its application with its own arguments, ends with
its own exit code and removes only its own directory, while their sweeps
take what earlier runs left and never a live directory."""
import os
import shutil
import time
import unittest

from zelmor_testing import LAUNCH_FAILED, LauncherTestCase, windows_path

INSTANCES = 20
DEAD_RUNS = 12
WINE_LOST_CHILD = f"{LAUNCH_FAILED} ([Error 1359] "


class ParallelLaunchTest(LauncherTestCase):
    def test_twenty_instances_at_once(self):
        data = self.file("data/notes.txt", b"shared content\r\n" * 1000)
        launcher = self.probe_launcher([("data\\notes.txt", data)])
        dead = {f"onefile_{i}_{i}" for i in range(1, DEAD_RUNS + 1)} | {"onefile_99_1.removing"}
        for name in dead:
            os.makedirs(os.path.join(self.temp, name, "data"))
            shutil.copyfile(data, os.path.join(self.temp, name, "data", "notes.txt"))

        def start(i):
            # Exit codes beyond 8 bits and below zero, so none is mistaken for another.
            exit_code = (i * 0x01010101 + 3) - (2 ** 32 if i % 4 == 3 else 0)
            return self.start(launcher, [f"instance {i}", str(i), ""], set_env={
                "ZELMOR_PROBE_REPORT": windows_path(self.report_path(f"report-{i}.json")),
                "ZELMOR_PROBE_FINAL_REPORT": windows_path(self.report_path(f"final-{i}.json")),
                "ZELMOR_PROBE_EXIT": str(exit_code), "ZELMOR_PROBE_SLEEP_MS": "2000"})

        started = [start(i) for i in range(INSTANCES)]
        # The sleeps overlap, so several directories exist side by side.
        most_at_once = 0
        while any(s.process.poll() is None for s in started):
            live = [d for d in self.target_directories() if d not in dead and not d.endswith(".removing")]
            most_at_once = max(most_at_once, len(live))
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
                                 ((i * 0x01010101 + 3) % 2 ** 32, "probe: argc=4\n", ""))
                report = self.read_report(f"report-{i}.json")
                self.assertEqual(report["argv"], [windows_path(launcher), f"instance {i}", str(i), ""])
                env = report["env"]
                self.assertEqual(report["module_dir"],
                                 f"{windows_path(self.temp)}\\onefile_{env['ZELMOR_ONEFILE_PARENT']}_"
                                 f"{env['ZELMOR_ONEFILE_START']}")
                self.assertEqual(sorted(f["path"] for f in report["files"]), ["app.dll", "data\\notes.txt"])
                # No other run's sweep touched the directory while it lived.
                final = self.read_report(f"final-{i}.json")
                self.assertEqual((final["module_dir"], final["files"]), (report["module_dir"], report["files"]))
                directories.add(report["module_dir"])
        self.assertEqual(len(directories), INSTANCES)
        # Each sweep takes a bounded number; a few more runs finish what is left.
        for _ in range(2):
            if not os.listdir(self.temp):
                break
            self.assertEqual(self.launch(launcher).exit_code, 0)
        self.assertEqual(os.listdir(self.temp), [])


if __name__ == "__main__":
    unittest.main()
