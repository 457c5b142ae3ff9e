"""Planted copies of the application's dependency in every place the default
library search would look. test_child_launch covers a copy in the launcher's
directory when that is also the current directory; here the current
directory, the launcher's directory, a directory on PATH and the temporary
directory above the target directory are all different places, each holding
a copy (run_code returns 666 with it, 42 with the real one). The same holds
for the libraries the application loads by name itself."""
import os
import shutil
import unittest

from zelmor_testing import LOAD_FAILED, LauncherTestCase, system_error_line, windows_binary, windows_path, write_payload

APPLICATION = ("app.dll", windows_binary("zelmor-needs-helper.dll"))
DEPENDENCY = ("zelmor-helper.dll", windows_binary("zelmor-helper.dll"))


class PlantedDependencyTest(LauncherTestCase):
    def plant(self, *places):
        for place in places:
            os.makedirs(place, exist_ok=True)
            shutil.copyfile(windows_binary("zelmor-helper-planted.dll"), os.path.join(place, "zelmor-helper.dll"))

    def test_only_the_copy_in_the_target_directory_is_loaded(self):
        current = os.path.join(self.work, "current")
        on_path = os.path.join(self.work, "on path")
        launcher_dir = os.path.join(self.work, "launcher")
        self.plant(current, on_path, launcher_dir, self.temp)
        path = f"{windows_path(on_path)};C:\\windows\\system32;C:\\windows"
        cases = [("dependency extracted", [APPLICATION, DEPENDENCY], 42, r"\A\Z"),
                 ("dependency missing", [APPLICATION], 2, system_error_line(LOAD_FAILED, 126, text_ends_line=True))]
        for name, pairs, exit_code, stderr in cases:
            with self.subTest(name):
                launcher = self.make_launcher(write_payload(pairs), name=os.path.join("launcher", "app.exe"))
                run = self.launch(launcher, set_env={"PATH": path}, cwd=current)
                self.assertEqual((run.exit_code, run.stdout), (exit_code, ""))
                self.assertRegex(run.stderr, stderr)
                self.assertEqual(os.listdir(self.temp), ["zelmor-helper.dll"], "the target directory is removed")

    def test_the_applications_own_load_by_bare_name_finds_only_the_shipped_copy(self):
        # run_code itself calls LoadLibraryW("zelmor-helper.dll"): the
        # executable's folder (a Downloads folder, say), the current
        # directory and PATH are not searched, the target directory is.
        current = os.path.join(self.work, "current")
        on_path = os.path.join(self.work, "on path")
        launcher_dir = os.path.join(self.work, "launcher")
        self.plant(current, on_path, launcher_dir)
        path = f"{windows_path(on_path)};C:\\windows\\system32;C:\\windows"
        probe = ("app.dll", windows_binary("zelmor-probe.dll"))
        cases = [("shipped", [probe, DEPENDENCY], 42, r"\A\Z"),
                 ("not shipped", [probe], 121, r"\Aprobe: loading zelmor-helper.dll failed with 126\n\Z")]
        for name, pairs, exit_code, stderr in cases:
            with self.subTest(name):
                launcher = self.make_launcher(write_payload(pairs), name=os.path.join("launcher", "app.exe"))
                run = self.launch(launcher, set_env={"PATH": path, "ZELMOR_PROBE_LOAD": "zelmor-helper.dll"},
                                  cwd=current)
                self.assertEqual(run.exit_code, exit_code)
                self.assertRegex(run.stderr, stderr)


if __name__ == "__main__":
    unittest.main()
