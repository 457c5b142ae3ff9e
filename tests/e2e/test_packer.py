"""Executables made by zelmor-pack, run under Wine: the application's exit code
and files come through, a damaged payload is refused, the stub's other
resources survive, and the result can be signed afterwards. Console programs
in a console, the application's identity as Windows reads it, and the SDK's
template built, packed and run. Also the Windows build of the packer under
Wine, and the packer's progress on a terminal."""
import fcntl
import os
import pty
import random
import re
import shutil
import struct
import subprocess
import termios
import threading
import time
import unittest

from zelmor_testing import (DECODE_FAILED, HOST_BIN, SEAMS_STUB, SHARED_RUNTIME_FOLDER, SHARED_RUNTIME_PROGRAM, STUB,
                            VERSION, WINE_ROOT, WINE_RUN, LauncherTestCase, command_line, fetched_program, linux_path,
                            runner_arguments, wine, windows_binary, windows_path)

PACK = os.path.join(HOST_BIN, "zelmor-pack")
WINDOWS_PACK = windows_binary("zelmor-pack.exe")
PROBE = windows_binary("zelmor-probe.dll")
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
DEMO_FILES = os.path.join(ROOT, "demo", "files")
SDK = os.path.join(ROOT, "sdk")
FRAME_START = b"QJY\x28\xb5\x2f\xfd"  # the container header, then the zstd frame magic


def pack(application, output, *options):
    """Packs the DLL `application`, or with None the program that --run in `options` names."""
    done = subprocess.run([PACK, *options, *([application] if application else []), output], capture_output=True)
    if done.returncode != 0:
        raise AssertionError(f"zelmor-pack failed ({done.returncode}): {done.stderr.decode(errors='replace')}")
    return output


def list_entries(executable):
    return subprocess.run([PACK, "--list", executable], capture_output=True)


def payload_span(image):
    """Where the container lies in a packed file: from its header to the end of
    its trailer, whose number counts the bytes in front of it."""
    start = image.find(FRAME_START)
    assert start >= 0 and image.find(FRAME_START, start + 1) == -1, "expected exactly one payload"
    for at in range(start + 13, len(image) - 7):
        if image[at - 2:at] == b"\0\0" and struct.unpack_from("<Q", image, at)[0] == at - start:
            return start, at + 8
    raise AssertionError("no payload trailer")


def windres_listing(executable):
    done = subprocess.run(["x86_64-w64-mingw32-windres", "-i", executable, "-O", "rc"], capture_output=True,
                          check=True)
    return done.stdout.decode("latin-1")


def without_rcdata(listing):
    start = listing.index("\n/* Type: rcdata")
    return listing[:start] + listing[listing.index("\n/* Type:", start + 1):]


class PackedApplicationTest(LauncherTestCase):
    def make_tree(self):
        rng = random.Random(11)
        contents = {
            "empty.bin": b"",
            "nested/deeper/deepest/leaf.txt": b"deep\n",
            "large/big.bin": bytes(rng.getrandbits(8) for _ in range(300000)) + b"repeated line\r\n" * 80000,
            "données/naïve €.txt": "accents and a euro sign".encode(),
            "emoji 😀.txt": b"a surrogate pair in the name",
        }
        source = os.path.join(self.work, "src")
        for name, data in contents.items():
            path = os.path.join(source, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        with open(PROBE, "rb") as f:
            contents["zelmor-probe.dll"] = f.read()
        contents["legal/licence.txt"] = b"licence text\n"
        return source, self.file("LICENSE", contents["legal/licence.txt"]), contents

    def test_runs_with_the_applications_exit_code_and_files(self):
        source, licence, contents = self.make_tree()
        for options in [(), ("--no-checksum",)]:
            with self.subTest(options=options):
                executable = pack(PROBE, os.path.join(self.work, "packed.exe"), "--dir", source,
                                  "--file", "legal/licence.txt=" + licence, *options)
                copy = os.path.join(self.work, "copy" + "".join(options))
                report = "report" + "".join(options) + ".json"
                run = self.launch(executable, ["first argument", "second"], set_env={
                    "ZELMOR_PROBE_COPY_TO": windows_path(copy),
                    "ZELMOR_PROBE_REPORT": windows_path(self.report_path(report)),
                    "ZELMOR_PROBE_EXIT": "1234567"})
                self.assertEqual((run.exit_code, run.stderr), (1234567, ""))
                self.assertEqual(self.read_report(report)["argv"][1:], ["first argument", "second"])
                copied = {os.path.relpath(os.path.join(d, f), copy).replace(os.sep, "/")
                          for d, _, files in os.walk(copy) for f in files}
                self.assertEqual(copied, set(contents))
                for name, data in contents.items():
                    with open(os.path.join(copy, *name.split("/")), "rb") as f:
                        self.assertTrue(f.read() == data, name)
                self.assertEqual(self.target_directories(), [])

    def test_damaged_payload_is_refused_before_the_application_runs(self):
        executable = pack(PROBE, os.path.join(self.work, "packed.exe"), "--file", "notes.txt=" + self.file(
            "notes.txt", b"some notes\n" * 20000))
        with open(executable, "rb") as f:
            image = bytearray(f.read())
        start, end = payload_span(image)
        self.assertEqual(list_entries(executable).returncode, 0)
        # A byte of the content checksum (the frame's last four bytes, before
        # the 10-byte trailer): the stream still decodes, only the checksum
        # can tell. A flip elsewhere may garble a name first and fail another way.
        image[end - 10 - 2] ^= 0x04
        damaged = os.path.join(self.work, "damaged.exe")
        with open(damaged, "wb") as f:
            f.write(image)
        self.assertEqual(list_entries(damaged).returncode, 1)

        run = self.launch(damaged, set_env={"ZELMOR_PROBE_REPORT": windows_path(self.report_path())})
        self.assertEqual((run.stdout, run.stderr, run.exit_code), (DECODE_FAILED, "", 2))
        self.assertFalse(os.path.exists(self.report_path()), "the application ran")

    def test_keeps_the_stubs_other_resources(self):
        executable = pack(PROBE, os.path.join(self.work, "packed.exe"), "--keep-stub-identity")
        listing = windres_listing(executable)
        self.assertIn("1 24 /* RT_MANIFEST */", listing)
        self.assertIn("1 VERSIONINFO", listing)
        self.assertIn("FILEVERSION 1, 0, 0, 20", listing)
        self.assertIn("\n27 RCDATA", listing)
        # Only the payload and the settings record are added: every other resource keeps its bytes.
        self.assertEqual(without_rcdata(listing), windres_listing(STUB))

    def test_a_packed_program_introduces_itself_as_the_program(self):
        # What Windows reads of the identity of 7-Zip's console program and of the executable packed from it.
        seven_zip = fetched_program("7za.exe")
        packed = pack(None, os.path.join(self.work, "7z.exe"), "--file", "7za.exe=" + seven_zip, "--run", "7za.exe")
        read = [wine([windows_binary("zelmor-version-info.exe"), windows_path(path)]) for path in (seven_zip, packed)]
        self.assertEqual((read[1].returncode, read[1].stdout), (0, read[0].stdout), read[1].stderr)
        self.assertIn(b"FileDescription=7-Zip Standalone Console", read[1].stdout)
        self.assertIn("\n\nruns: 7za.exe, a program the launcher starts\nsubsystem: console (from the program)\n",
                      list_entries(packed).stdout.decode())

    def test_a_packed_program_runs_in_the_callers_directory_with_its_exit_codes(self):
        packed = pack(None, os.path.join(self.work, "7z.exe"), "--file", "bin/7za.exe=" + fetched_program("7za.exe"),
                      "--run", "bin/7za.exe")
        files = os.path.dirname(self.file("one.txt", b"one line\n" * 5000))
        self.file("bad.7z", b"7z\xbc\xaf\x27\x1c\0\x04" + bytes(40))
        runs = [self.launch(packed, arguments, cwd=files)
                for arguments in (["a", "x.7z", "one.txt", "bad.7z"], ["t", "x.7z"], ["t", "bad.7z"])]
        self.assertEqual([run.exit_code for run in runs], [0, 0, 2], runs)
        self.assertRegex(runs[1].stdout, r"\nEverything is Ok\n\nFiles: 2\nSize: +45048\n")
        self.assertEqual(os.listdir(self.temp), [])

    @unittest.skipIf(WINE_ROOT == "/", "Wine 8 cannot run esbuild, a Go program, even unpacked")
    def test_esbuild_bundles_the_same_packed_as_unpacked(self):
        esbuild = fetched_program("esbuild.exe")
        packed = pack(None, os.path.join(self.work, "bundler.exe"), "--file", "esbuild.exe=" + esbuild, "--run",
                      "esbuild.exe")
        self.file("lib.js", b'export const greet = (name) => "hello " + name;\n')
        entry = self.file("entry.js", b'import { greet } from "./lib.js";\nconsole.log(greet("packed"));\n')
        runs = [self.launch(program, [windows_path(entry), "--bundle"]) for program in (esbuild, packed)]
        self.assertEqual((runs[0].exit_code, runs[1].exit_code, runs[1].stdout), (0, 0, runs[0].stdout), runs)
        self.assertEqual(os.listdir(self.temp), [])

    def test_a_program_loads_its_own_dlls_never_planted_ones_and_starts_itself_as_a_parent(self):
        planted = os.path.dirname(self.file("libstdc++-6.dll", b"beside the packed executable, in the current folder"))
        packed = pack(None, os.path.join(planted, "shared.exe"), "--dir", SHARED_RUNTIME_FOLDER, "--run",
                      SHARED_RUNTIME_PROGRAM)
        run = self.launch(packed, ["5"], cwd=planted)
        self.assertEqual((run.exit_code, run.stderr), (5, ""))
        self.assertRegex(run.stdout, r"\Aruntime: .*\\onefile_\d+_\d+\\libstdc\+\+-6\.dll\ncaught through the shared ")
        # Started again by its program, the executable runs a launcher, never a child that loads a program.
        again = pack(None, os.path.join(self.work, "again.exe"), "--file", "run.exe=" + windows_binary(
            "zelmor-run.exe"), "--run", "run.exe")
        inner = command_line([windows_path(again), "", "cmd /c exit 7"])
        self.assertEqual(self.launch(again, ["", inner]).exit_code, 7)
        self.assertEqual(os.listdir(self.temp), [])

    def test_version_is_the_one_the_launcher_carries(self):
        done = subprocess.run([PACK, "--version"], capture_output=True, text=True)
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, f"zelmor-pack {VERSION}\n", ""))
        self.assertIn(f'VALUE "FileVersion", "{VERSION}"', windres_listing(STUB))
        self.assertIn(f'VALUE "ProductVersion", "{VERSION}"', windres_listing(STUB))

    def test_signed_after_packing_verifies_and_runs(self):
        executable = pack(PROBE, os.path.join(self.work, "packed.exe"))
        key, certificate = os.path.join(self.work, "key.pem"), os.path.join(self.work, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                        certificate, "-days", "2", "-subj", "/CN=Zelmor packer test"], capture_output=True, check=True)
        signed = os.path.join(self.work, "signed.exe")
        subprocess.run(["osslsigncode", "sign", "-certs", certificate, "-key", key, "-in", executable, "-out", signed],
                       capture_output=True, check=True)
        # A self-signed certificate is its own authority.
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", signed],
                                  capture_output=True)
        self.assertEqual(verified.returncode, 0, verified.stdout.decode(errors="replace"))
        self.assertIn(b"Signature verification: ok", verified.stdout)

        # The signature covers the payload.
        with open(signed, "rb") as f:
            image = bytearray(f.read())
        start, end = payload_span(image)
        image[(start + end) // 2] ^= 0x01
        tampered = os.path.join(self.work, "tampered.exe")
        with open(tampered, "wb") as f:
            f.write(image)
        self.assertNotEqual(subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", tampered],
                                           capture_output=True).returncode, 0)

        run = self.launch(signed, ["x"], set_env={"ZELMOR_PROBE_REPORT": windows_path(self.report_path()),
                                                  "ZELMOR_PROBE_EXIT": "7"})
        self.assertEqual((run.exit_code, run.stderr), (7, ""))
        self.assertEqual(self.read_report()["argv"][1:], ["x"])

        # A console program signs and verifies the same way: its checksum is right.
        console = pack(PROBE, os.path.join(self.work, "console.exe"), "--console")
        subprocess.run(["osslsigncode", "sign", "-certs", certificate, "-key", key, "-in", console, "-out",
                        os.path.join(self.work, "console-signed.exe")], capture_output=True, check=True)
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in",
                                   os.path.join(self.work, "console-signed.exe")], capture_output=True)
        self.assertIn(b"Signature verification: ok", verified.stdout)

        # A signed file cannot be a stub: its signature would no longer match.
        refused = subprocess.run([PACK, "--stub", signed, PROBE, os.path.join(self.work, "again.exe")],
                                 capture_output=True)
        self.assertEqual(refused.returncode, 1)
        self.assertIn(b"sign after packing", refused.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.work, "again.exe")))


class Terminal:
    """A Windows program started by Wine on a pseudo-terminal of its own, as
    from a terminal window: what it writes there is kept, and keys can be typed."""

    def __init__(self, test, arguments, env):
        self.controller, self.terminal = os.openpty()
        test.addCleanup(os.close, self.controller)
        self.shown = b""
        self.changed = threading.Condition()
        reader = threading.Thread(target=self._read, daemon=True)
        reader.start()
        # Cleanups run last first: the program ends, the terminal closes, and
        # then the reader sees its end.
        test.addCleanup(reader.join, 5)
        test.addCleanup(os.close, self.terminal)
        self.process = subprocess.Popen([WINE_RUN, *arguments], stdin=self.terminal, stdout=self.terminal,
                                        stderr=self.terminal, env=env, start_new_session=True,
                                        preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        test.addCleanup(lambda: self.process.poll() is None and (self.process.kill(), self.process.wait()))

    def _read(self):
        try:
            while piece := os.read(self.controller, 4096):
                with self.changed:
                    self.shown += piece
                    self.changed.notify_all()
        except OSError:
            pass  # the terminal closed

    def wait_for(self, text, timeout=60):
        with self.changed:
            if not self.changed.wait_for(lambda: text in self.shown, timeout):
                raise AssertionError(f"{text!r} never shown: {self.shown!r}")

    def type(self, keys, timeout=60):
        """Types once the console reads keys one at a time: before that the
        terminal would turn Enter into a line feed, which the console takes
        for Ctrl+J."""
        deadline = time.monotonic() + timeout
        while termios.tcgetattr(self.terminal)[3] & termios.ICANON:
            if time.monotonic() > deadline:
                raise AssertionError(f"the console never read keys: {self.shown!r}")
            time.sleep(0.01)
        os.write(self.controller, keys.encode())


class ConsoleProgramTest(LauncherTestCase):
    def test_an_interactive_shell_waits_for_a_console_program_only(self):
        console = pack(PROBE, os.path.join(self.work, "console.exe"), "--console")
        gui = pack(PROBE, os.path.join(self.work, "gui.exe"))
        shell = Terminal(self, ["cmd"], dict(os.environ, ZELMOR_PROBE_EXIT="7"))
        # %errorlevel% is expanded when its line is read, after the program
        # before it has ended, or not been waited for.
        shell.type(f'"{windows_path(gui)}" a\recho gui=%errorlevel%\r')
        shell.wait_for(b"gui=")
        shell.type(f'"{windows_path(console)}" a\recho console=%errorlevel%\rexit\r')
        self.assertEqual(shell.process.wait(60), 0)
        shown = shell.shown.decode("latin-1")
        self.assertIn("gui=0", shown)
        self.assertIn("console=7", shown)

    def test_ctrl_c_on_a_terminal_removes_the_extracted_files_and_ends_as_interrupted(self):
        # The child ignores the event and is stopped after its grace; the
        # handler then leaves the end to the main thread, whose exit code is
        # the launcher's own, never the system's default handling's (0 under
        # Wine, not Windows'). The runner on the same terminal outlives the
        # event and reports the whole exit code.
        console = pack(PROBE, os.path.join(self.work, "console.exe"), "--console")
        code_file = os.path.join(self.work, "exit-code")
        runner = runner_arguments(code_file, *self.launch_arguments(console, ["x"], {
            "ZELMOR_PROBE_REPORT": windows_path(self.report_path()), "ZELMOR_PROBE_SLEEP_MS": "60000",
            "ZELMOR_PROBE_IGNORE_CTRL_C": "1"}),
            unset=["ZELMOR_ONEFILE_PARENT", "ZELMOR_ONEFILE_START"])
        program = Terminal(self, [runner[0], "--outlive-control-events", *runner[1:]], os.environ)
        report = self.await_report(timeout=60)
        target = linux_path(report["module_dir"])
        self.addCleanup(shutil.rmtree, target, True)
        self.assertTrue(os.path.isdir(target))
        os.write(program.controller, b"\x03")
        program.process.wait(60)
        self.assertFalse(os.path.exists(target), "the directory is removed")
        with open(code_file) as f:
            self.assertEqual(int(f.read()), 0xC000013A)


class SdkTemplateTest(LauncherTestCase):
    def cmake_build(self, source, build, sdk, *options):
        """Configures and builds the project `source` for Windows with the SDK in `sdk`."""
        for command in (["cmake", "-S", source, "-B", build, *options,
                         "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(sdk, "cmake", "mingw-w64-x86_64.cmake")],
                        ["cmake", "--build", build]):
            done = subprocess.run(command, capture_output=True)
            self.assertEqual(done.returncode, 0,
                             done.stdout.decode(errors="replace") + done.stderr.decode(errors="replace"))

    def test_the_installed_template_builds_packs_and_runs_with_its_identity(self):
        # From an installed prefix, as a project outside this repository works.
        prefix = os.path.join(self.work, "prefix")
        installed = subprocess.run(["cmake", "--install", os.path.dirname(HOST_BIN), "--prefix", prefix],
                                   capture_output=True)
        self.assertEqual(installed.returncode, 0, installed.stderr.decode(errors="replace"))
        sdk = os.path.join(prefix, "share", "zelmor-onefile")
        self.assertTrue(os.path.isfile(os.path.join(sdk, "windows", "zelmor-pack.exe")))
        build = os.path.join(self.work, "build")
        self.cmake_build(os.path.join(sdk, "template"), build, sdk)
        # The SDK's package found the installed packer, which finds its stub by itself.
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            packer = re.search(r"^ZELMOR_ONEFILE_PACK:FILEPATH=(.*)$", f.read(), re.M).group(1)
        self.assertEqual(os.path.realpath(packer), os.path.realpath(os.path.join(prefix, "bin", "zelmor-pack")))
        executable = os.path.join(self.work, "MyApp.exe")
        done = subprocess.run([packer, "--console", "--dir",
                               os.path.join(sdk, "template", "files"), "--product-name", "My Äpp", "--company-name",
                               "Example Ltd", "--file-version", "1.2.0.7", "--copyright", "© Example",
                               "--product-version", "1.2.0-beta", "--visual-styles", "--dpi-aware",
                               os.path.join(build, "app.dll"), executable], capture_output=True)
        self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
        done = wine(["cmd", "/c", windows_path(executable), "one", "two words"])
        shown = done.stdout.decode("latin-1").replace("\r", "")
        self.assertEqual(done.returncode, 2, shown + done.stderr.decode(errors="replace"))
        self.assertIn("argument 2: two words\n", shown)
        self.assertIn(f"started from: {windows_path(self.work)}\n", shown)
        self.assertIn("greeting.txt: Greetings from a file packed beside the application.\n", shown)
        # The template's build packed it too, with its data.
        self.assertRegex(list_entries(os.path.join(build, "myapp.exe")).stdout.decode(),
                         r"^ +\d+  app\.dll\n +\d+  greeting\.txt\n\nruns: app\.dll, a DLL ")
        extracted = re.search(r"extracted to: (.*\\onefile_\d+_\d+)\n", shown)
        self.assertTrue(extracted, shown)
        self.assertFalse(os.path.exists(linux_path(extracted.group(1))), "the directory is removed")

        # Unpacked, for a debugger: the DLL runs from its build folder, its data beside it.
        done = wine(["cmd", "/c", windows_path(os.path.join(build, "app-host.exe")), "one", "two words"])
        shown = done.stdout.decode("latin-1").replace("\r", "")
        self.assertEqual(done.returncode, 2, shown + done.stderr.decode(errors="replace"))
        self.assertIn(f"extracted to: {windows_path(build)}\nstarted from: {windows_path(build)}\n"
                      "greeting.txt: Greetings from a file packed beside the application.\n", shown)

        # What Windows reads of the identity, through GetFileVersionInfoW and VerQueryValueW.
        read = wine([windows_binary("zelmor-version-info.exe"), windows_path(executable)],
                    env=dict(os.environ, LC_ALL="C.UTF-8"))
        self.assertEqual(read.returncode, 0, read.stderr)
        self.assertEqual(read.stdout.decode().replace("\r", "").splitlines(), [
            "fixed FileVersion=1.2.0.7", "fixed ProductVersion=1.2.0.0", "Translation=040904b0",
            "CompanyName=Example Ltd", "FileDescription=My Äpp", "FileVersion=1.2.0.7", "InternalName=MyApp",
            "LegalCopyright=© Example", "OriginalFilename=MyApp.exe", "ProductName=My Äpp",
            "ProductVersion=1.2.0-beta"])

        # A program target is packed with --run, its data beside it.
        tool = os.path.join(self.work, "files", "tool")
        self.file("tool/files/a.txt", b"a")
        self.file("tool/tool.c", b"int main(void) { return 7; }\n")
        self.file("tool/CMakeLists.txt", b"cmake_minimum_required(VERSION 3.16)\nproject(tool C)\n"
                  b"find_package(zelmor-onefile REQUIRED CONFIG)\nadd_executable(tool tool.c)\n"
                  b"zelmor_add_onefile(tool DATA files OPTIONS --gui)\n")
        self.cmake_build(tool, os.path.join(tool, "build"), sdk, "-DCMAKE_PREFIX_PATH=" + prefix)
        self.assertRegex(list_entries(os.path.join(tool, "build", "onefile", "tool.exe")).stdout.decode(),
                         r"^ +\d+  tool\.exe\n +1  a\.txt\n\nruns: tool\.exe, a program the launcher starts\n"
                         r"subsystem: GUI \(not the program's, which is console\)\n")


class WindowsPackerTest(LauncherTestCase):
    def test_replaces_its_output_and_takes_paths_beyond_the_ansi_code_page(self):
        # Neither "日本語" nor "файл" exists in code page 1252.
        folder = os.path.join(self.work, "données 日本語")
        data = os.path.join(folder, "data")
        for name, content in {"é ü.txt": b"accents", "файл/sub.bin": bytes(range(256)) * 50}.items():
            os.makedirs(os.path.dirname(os.path.join(data, name)), exist_ok=True)
            with open(os.path.join(data, name), "wb") as f:
                f.write(content)
        output = os.path.join(folder, "app.exe")
        with open(output, "wb") as f:
            f.write(b"older")
        # Wine reads the Linux command line in the locale's character set.
        done = wine([WINDOWS_PACK, "--level", "1", "--dir", windows_path(data), windows_path(PROBE),
                     windows_path(output)], env=dict(os.environ, LC_ALL="C.UTF-8"))
        self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
        self.assertEqual(sorted(os.listdir(folder)), ["app.exe", "data"])
        # Its output is never one of its inputs, also through a link.
        copy, link = os.path.join(folder, "copy.dll"), os.path.join(folder, "link.dll")
        shutil.copy(PROBE, copy)
        os.symlink(copy, link)
        with open(output, "rb") as f:
            packed = f.read()
        for application, target in ((link, copy), (output, output)):
            done = wine([WINDOWS_PACK, "--any-first-entry", windows_path(application), windows_path(target)])
            self.assertEqual(done.returncode, 1, done.stderr.decode(errors="replace"))
            self.assertIn(b"(the same file)", done.stderr)
        with open(PROBE, "rb") as probe, open(copy, "rb") as kept, open(output, "rb") as written:
            self.assertTrue(probe.read() == kept.read() and written.read() == packed)
        # Both builds make the same bytes from the same inputs, the cache's digests included.
        for options in ((), ("--cache",)):
            if options:
                done = wine([WINDOWS_PACK, "--level", "1", *options, "--dir", windows_path(data),
                             windows_path(PROBE), windows_path(output)], env=dict(os.environ, LC_ALL="C.UTF-8"))
                self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
            linux = pack(PROBE, os.path.join(self.work, "app.exe"), "--level", "1", *options, "--dir", data)
            with open(output, "rb") as windows_made, open(linux, "rb") as linux_made:
                self.assertTrue(windows_made.read() == linux_made.read(), options)
        self.assertIn(b"\ncache: application id app, version ", list_entries(output).stdout)


class ProgressTest(LauncherTestCase):
    def pack_with_stderr(self, terminal, *options):
        """Packs 6 MB; returns what the packer wrote to standard error, a
        pseudo-terminal or a pipe, exactly (no newline translation)."""
        data = self.file("data.bin", random.Random(5).randbytes(3 << 20) + bytes(3 << 20))
        arguments = [PACK, "--level", "1", *options, "--file", "data.bin=" + data, PROBE,
                     os.path.join(self.work, "app.exe")]
        if not terminal:
            return subprocess.run(arguments, capture_output=True, check=True).stderr.decode()
        controller, terminal_side = pty.openpty()
        attributes = termios.tcgetattr(terminal_side)
        attributes[1] &= ~termios.OPOST
        termios.tcsetattr(terminal_side, termios.TCSANOW, attributes)
        process = subprocess.Popen(arguments, stdout=subprocess.DEVNULL, stderr=terminal_side)
        os.close(terminal_side)
        shown = b""
        while True:
            try:
                piece = os.read(controller, 65536)
            except OSError:  # the terminal's other side closed
                break
            if not piece:
                break
            shown += piece
        os.close(controller)
        self.assertEqual(process.wait(), 0, shown)
        return shown.decode()

    def test_progress_shows_only_on_a_terminal_and_leaves_the_summary_whole(self):
        summary = re.compile(r"zelmor-pack: 2 entries, \d+ bytes in, \d+ bytes of payload \([\d.]+%\), [\d.]+ s: "
                             r".*app\.exe \(GUI subsystem\)\n")
        shown = self.pack_with_stderr(True)
        self.assertRegex(shown, r"^\rzelmor-pack: read \d+\.\d of \d+\.\d MB \(\d+%\), written \d+\.\d MB")
        # The progress line is wiped before the summary, which stands alone on its line.
        progress, last = shown.rsplit("\r", 1)
        self.assertRegex(last, "^" + summary.pattern + "$")
        lines = progress.split("\r")
        self.assertEqual(lines[-1].strip(" "), "", progress)
        self.assertGreaterEqual(len(lines[-1]), max(len(line) for line in lines[:-1]), progress)

        piped = self.pack_with_stderr(False)
        self.assertRegex(piped, "^" + summary.pattern + "$")
        self.assertEqual(self.pack_with_stderr(True, "--quiet"), "")


class DemoTest(LauncherTestCase):
    def test_demo_greets_and_exits_42(self):
        demo = pack(windows_binary("zelmor-demo.dll"), os.path.join(self.work, "demo.exe"), "--dir", DEMO_FILES)
        run = self.launch(demo, ["first argument", "second"])
        self.assertEqual((run.exit_code, run.stderr), (42, ""))
        self.assertTrue(run.stdout.startswith("Hello from the Zelmor onefile demo.\n"), run.stdout)
        with open(os.path.join(DEMO_FILES, "greeting.txt")) as f:
            greeting = f.readline().strip()
        self.assertRegex(run.stdout, r"\n  greeting\.txt +" + re.escape(greeting) + "\n")
        self.assertIn("argv[1] = first argument\n", run.stdout)
        self.assertIn("The demo returns 42", run.stdout)


if __name__ == "__main__":
    unittest.main()
