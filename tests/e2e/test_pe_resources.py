"""A stub packed by the host-side resource writer (zelmor-pe-update) instead of
the system's resource calls: the launcher's own FindResource/LoadResource must
find the payload under Wine, and the stub's other resources must survive. And
what the stub imports: each DLL it names is loaded at every start."""
import os
import re
import subprocess
import unittest

from zelmor_testing import HOST_BIN, STUB, LauncherTestCase, windows_binary, windows_path, write_payload

ICON = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources", "launcher.ico")


def windres_listing(executable):
    done = subprocess.run(["x86_64-w64-mingw32-windres", "-i", executable, "-O", "rc"], capture_output=True,
                          check=True)
    return done.stdout.decode("latin-1")


class HostPackedStubTest(LauncherTestCase):
    def test_packed_stub_runs_its_payload_and_keeps_its_resources(self):
        payload_file = self.file("payload", write_payload([("app.dll", windows_binary("zelmor-probe.dll"))]))
        executable = os.path.join(self.work, "app.exe")
        subprocess.run([os.path.join(HOST_BIN, "zelmor-pe-update"), STUB, executable, payload_file, "--icon", ICON],
                       check=True)

        run = self.launch(executable, ["one", "two"],
                          set_env={"ZELMOR_PROBE_REPORT": windows_path(self.report_path())})
        self.assertEqual((run.exit_code, run.stderr), (0, ""))
        report = self.read_report()
        self.assertEqual(report["argv"][1:], ["one", "two"])
        self.assertRegex(report["module_dir"], r"\\onefile_\d+_\d+$")

        listing = windres_listing(executable)
        self.assertIn("\n27 RCDATA", listing)
        start = listing.index("\n/* Type: rcdata")
        end = listing.index("\n/* Type:", start + 1)
        # The same icon file goes back in, so only the payload may differ.
        self.assertEqual(listing[:start] + listing[end:], windres_listing(STUB))
        self.assertIn("1 VERSIONINFO", listing)
        self.assertIn("1 24 /* RT_MANIFEST */", listing)


class StubImportsTest(unittest.TestCase):
    def test_the_stub_imports_only_what_every_start_needs(self):
        # SHELL32 (which brings the window system along) is loaded on
        # demand, off the usual road; the child never needs it.
        done = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", STUB], capture_output=True, check=True)
        imported = re.findall(r"DLL Name: (\S+)", done.stdout.decode("latin-1"))
        self.assertEqual(sorted(name.upper() for name in imported), ["KERNEL32.DLL", "MSVCRT.DLL"])


if __name__ == "__main__":
    unittest.main()
