"""Helpers for tests that run real launcher executables under Wine.

Every Windows program is started through testing/wine-run.sh (private prefix,
no crash debugger). Programs that need their whole 32-bit exit code, a raw
command line or a private temp directory are started by the Windows-side
runner zelmor-run.exe. Paths come from the environment that CTest sets.
"""
import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time
import unittest
from dataclasses import dataclass

WINE_RUN = os.environ.get("ZELMOR_WINE_RUN", "")
WINDOWS_BIN = os.environ.get("ZELMOR_WINDOWS_BIN", "")
HOST_BIN = os.environ.get("ZELMOR_HOST_BIN", "")
# What Wine's drive Z: shows: the host's / or, on the Wine 10 test bed, its root.
WINE_ROOT = os.environ.get("ZELMOR_WINE_ROOT") or "/"
# The version project() gives the build.
VERSION = os.environ.get("ZELMOR_VERSION", "")

STUB = os.path.join(WINDOWS_BIN, "zelmor-launcher.exe")
SEAMS_STUB = os.path.join(WINDOWS_BIN, "zelmor-launcher-seams.exe")
# Where scripts/fetch-test-programs.sh keeps the real programs it fetches.
TEST_PROGRAMS = os.path.join(os.path.dirname(HOST_BIN), "test-programs")
FETCH_TEST_PROGRAMS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts",
                                   "fetch-test-programs.sh")
# A program linked against the shared MinGW C++ runtime, in a folder with the
# runtime's DLLs beside it: pack the folder with --run.
SHARED_RUNTIME_FOLDER = os.path.join(WINDOWS_BIN, "shared-runtime-program")
SHARED_RUNTIME_PROGRAM = "zelmor-shared-runtime-program.exe"

FAST_FAIL = 0xC0000409

# The launcher's messages, for every test that expects one. These go to
# standard output, line feed included.
HEADER_FAILED = "Error, couldn't find attached data header.\n"
DECODE_FAILED = "Error, couldn't decode attached data.\n"
ALLOCATION_FAILED = "Error, couldn't allocate memory.\n"
HANDLER_FAILED = "Error, failed to register signal handler.\n"
ENTRY_POINT_MISSING = "Error, DLL entry point not found.\n"
# These go to standard error, followed by the system error (system_error_line).
UNPACK_FAILED = "Error, couldn't unpack file to target path."
LAUNCH_FAILED = "Error, couldn't launch child"
LOAD_FAILED = "Error, load DLL."
PARENT_UNCONFIRMED = "Error, couldn't confirm the launching process."


def system_error_line(message, error, text_ends_line=False):
    """The one line of a failure with a system error, as a regular expression.
    The system's text keeps its own line end, so ")" usually starts a line of
    its own; `text_ends_line` insists on it."""
    line_end = r"\n" if text_ends_line else r"\n?"
    return rf"\A{re.escape(message)} \(\[Error {error}\] [^\n]+{line_end}\)\n\Z"


def spec_failed(spec):
    """The line, on standard error, of a path spec that could not be expanded."""
    return f"Error, couldn't runtime expand spec '{spec}'.\n"


TARGET_SPEC_FAILED = spec_failed("{TEMP}\\onefile_{PID}_{TIME}")


def open_failed_line(path_pattern):
    """The whole output on standard error for a file that could not be
    opened, as a regular expression; `path_pattern` is one too."""
    return rf"\AError, failed to open '{path_pattern}' for writing\.\n\Z"


def windows_path(path):
    """The Wine name of a Linux path (drive Z: maps the Linux root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def quote_argument(argument):
    """Quotes one argument so that the Windows splitting rules give it back."""
    if argument and not any(c in argument for c in ' \t\n\v"'):
        return argument
    out = '"'
    backslashes = 0
    for c in argument:
        if c == "\\":
            backslashes += 1
            continue
        if c == '"':
            out += "\\" * (2 * backslashes + 1) + '"'
        else:
            out += "\\" * backslashes + c
        backslashes = 0
    return out + "\\" * (2 * backslashes) + '"'


def command_line(arguments):
    return " ".join(quote_argument(a) for a in arguments)


@dataclass
class Run:
    exit_code: int  # the whole 32-bit code, unsigned
    stdout: str  # carriage returns removed
    stderr: str
    raw_stdout: bytes
    raw_stderr: bytes


def wine(arguments, timeout=300, env=None):
    """Runs a Windows program under Wine; only the low 8 bits of its exit code survive."""
    return subprocess.run([WINE_RUN] + list(arguments), capture_output=True, timeout=timeout, env=env)


def runner_arguments(code_file, command, application="", set_env=None, unset=(), cwd=None, own_pid_in=None,
                     held_pid_file=None, terminate_when=None, std_handles=True, token=None):
    """The zelmor-run invocation for `command`; `own_pid_in` names a variable
    set to the runner's own process id (a running process of another executable);
    `held_pid_file` holds the program until the test deletes that file;
    the program is terminated once `terminate_when` exists; without
    `std_handles` it starts with none, as from Explorer; `token` ("limited"
    or "elevated") chooses that half of the user's split token, as each Wine
    gives its processes one of them."""
    arguments = [os.path.join(WINDOWS_BIN, "zelmor-run.exe"), "--exit-code-file", windows_path(code_file)]
    if not std_handles:
        arguments += ["--std-handles", "none"]
    if token:
        arguments += ["--token", token]
    if held_pid_file:
        arguments += ["--held-pid-file", windows_path(held_pid_file)]
    if terminate_when:
        arguments += ["--terminate-when", windows_path(terminate_when)]
    for name, value in (set_env or {}).items():
        arguments += ["--set", f"{name}={value}"]
    for name in unset:
        arguments += ["--unset", name]
    if own_pid_in:
        arguments += ["--set-own-pid", own_pid_in]
    if cwd:
        arguments += ["--cwd", windows_path(cwd)]
    return arguments + [application, command]


# Wine now and then fails to start a program at all when many start at once:
# the Linux process ends with no output and the runner never ran. Such a start
# is tried again, at most this many times in all.
START_ATTEMPTS = 3


def never_started(code_file, stdout, stderr):
    return not os.path.exists(code_file) and not stdout and not stderr


def read_run(code_file, returncode, stdout, stderr):
    if not os.path.exists(code_file):
        raise AssertionError(f"zelmor-run failed ({returncode}): {stderr.decode(errors='replace')}")
    with open(code_file) as f:
        exit_code = int(f.read())
    return Run(exit_code, stdout.decode("latin-1").replace("\r", ""),
               stderr.decode("latin-1").replace("\r", ""), stdout, stderr)


def run_windows(command, application="", set_env=None, unset=(), cwd=None, timeout=300, own_pid_in=None,
                std_handles=True, token=None):
    """Starts `command` (a raw Windows command line) through zelmor-run and
    returns its whole exit code and its output."""
    with tempfile.TemporaryDirectory() as scratch:
        code_file = os.path.join(scratch, "exit-code")
        arguments = runner_arguments(code_file, command, application, set_env, unset, cwd, own_pid_in,
                                     std_handles=std_handles, token=token)
        for _ in range(START_ATTEMPTS):
            done = wine(arguments, timeout=timeout)
            if not never_started(code_file, done.stdout, done.stderr):
                break
        return read_run(code_file, done.returncode, done.stdout, done.stderr)


class Started:
    """A program that start_windows left running; wait() gives its Run (once
    it has ended, again on every call). Output goes to files, so a program
    that writes much never blocks."""

    def __init__(self, arguments, scratch, code_file):
        self._arguments = arguments
        self._scratch = scratch
        self._code_file = code_file
        self._run = None
        self._start()

    def _start(self):
        with open(os.path.join(self._scratch, "stdout"), "wb") as out, \
                open(os.path.join(self._scratch, "stderr"), "wb") as err:
            self.process = subprocess.Popen([WINE_RUN] + self._arguments, stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=err)

    def _streams(self):
        streams = []
        for name in ("stdout", "stderr"):
            with open(os.path.join(self._scratch, name), "rb") as f:
                streams.append(f.read())
        return streams

    def wait(self, timeout=300):
        if self._run is None:
            try:
                self.process.wait(timeout)
                for _ in range(START_ATTEMPTS - 1):
                    if not never_started(self._code_file, *self._streams()):
                        break
                    self._start()
                    self.process.wait(timeout)
                self._run = read_run(self._code_file, self.process.returncode, *self._streams())
            finally:
                shutil.rmtree(self._scratch, True)
        return self._run

    def close(self, timeout=60):
        """Waits for the end (killing the runner after `timeout` s) and removes the scratch files."""
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self._scratch, True)


def start_windows(command, application="", set_env=None, unset=(), cwd=None, own_pid_in=None, held_pid_file=None,
                  terminate_when=None, token=None):
    """As run_windows, but returns at once with a Started handle."""
    scratch = tempfile.mkdtemp(prefix="zelmor-started-")
    code_file = os.path.join(scratch, "exit-code")
    return Started(runner_arguments(code_file, command, application, set_env, unset, cwd, own_pid_in, held_pid_file,
                                    terminate_when, token=token), scratch, code_file)


def entry_stream(entries):
    """The decompressed payload: (name, bytes) records and the end-of-list record."""
    out = bytearray()
    for name, data in entries:
        out += name.encode("utf-16-le") + b"\0\0"
        out += struct.pack("<Q", len(data)) + data
    return bytes(out + b"\0\0")


def zstd_frame(raw, *options):
    """One frame made by the zstd tool from standard input (no content size)."""
    done = subprocess.run(["zstd", "-q", "-c", *options], input=raw, capture_output=True, check=True)
    return done.stdout


def container(frames, trailer=True):
    body = b"QJY" + frames
    if trailer:
        body += b"\0\0" + struct.pack("<Q", len(body) + 2)
    return body


def write_payload(pairs, options=()):
    """A container made by the host writer from (entry name, file path) pairs."""
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "payload")
        subprocess.run([os.path.join(HOST_BIN, "zelmor-write-payload"), *options, out]
                       + [f"{name}={path}" for name, path in pairs], check=True)
        with open(out, "rb") as f:
            return f.read()


def linux_path(path):
    """The Linux path of a Wine path on a drive of the test prefix (inverse of windows_path)."""
    drive, rest = path[0].lower(), path[2:].replace("\\", "/").lstrip("/")
    return os.path.join(os.environ["ZELMOR_WINEPREFIX"], "dosdevices", drive + ":", rest)


def windows_binary(name):
    return os.path.join(WINDOWS_BIN, name)


FETCH_TRIED = []


def fetched_program(name):
    """The path of a real program from the npm registry ("7za.exe",
    "esbuild.exe"), fetched by scripts/fetch-test-programs.sh into the build's
    cache on first use; the test is skipped, saying why, when it cannot be."""
    path = os.path.join(TEST_PROGRAMS, name)
    if not os.path.isfile(path) and not FETCH_TRIED:
        FETCH_TRIED.append(True)  # offline, one wait for the registry is enough
        subprocess.run([FETCH_TEST_PROGRAMS, TEST_PROGRAMS], stdout=subprocess.DEVNULL, timeout=600)
    if not os.path.isfile(path):
        raise unittest.SkipTest(f"{name} could not be fetched (offline?): run scripts/fetch-test-programs.sh "
                                f"{TEST_PROGRAMS}")
    return path


def attach(executable, payload):
    """Adds `payload` to `executable` as RCDATA 27, with the system's resource calls."""
    payload_file = executable + ".payload"
    with open(payload_file, "wb") as f:
        f.write(payload)
    done = wine([os.path.join(WINDOWS_BIN, "zelmor-attach.exe"), windows_path(executable), windows_path(payload_file)])
    os.remove(payload_file)
    if done.returncode != 0:
        raise AssertionError("zelmor-attach failed: " + done.stderr.decode(errors="replace"))


class LauncherTestCase(unittest.TestCase):
    """Each test gets a private directory; launched programs see its temp/
    folder as TEMP and TMP, so their target directories land there."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="zelmor-test-")
        self.temp = os.path.join(self.work, "temp")
        os.makedirs(self.temp)
        self.addCleanup(shutil.rmtree, self.work, True)

    def make_launcher(self, payload, name="app.exe", stub=STUB):
        """A copy of the stub carrying `payload` (or no payload when None)."""
        executable = os.path.join(self.work, name)
        shutil.copyfile(stub, executable)
        if payload is not None:
            attach(executable, payload)
        return executable

    def launch_arguments(self, executable, arguments=(), set_env=None, raw_command=None):
        environment = {"TEMP": windows_path(self.temp), "TMP": windows_path(self.temp)}
        environment.update(set_env or {})
        command = raw_command if raw_command is not None else command_line([windows_path(executable), *arguments])
        return command, windows_path(executable), environment

    def launch(self, executable, arguments=(), set_env=None, unset=(), cwd=None, raw_command=None, timeout=300,
               own_pid_in=None, std_handles=True, token=None):
        command, application, environment = self.launch_arguments(executable, arguments, set_env, raw_command)
        return run_windows(command, application, environment, unset, cwd, timeout, own_pid_in, std_handles,
                           token)

    def start(self, executable, arguments=(), set_env=None, unset=(), cwd=None, raw_command=None, own_pid_in=None,
              held_pid_file=None, terminate_when=None, token=None):
        """As launch, but returns at once; the test ends the program if the test does not wait for it."""
        command, application, environment = self.launch_arguments(executable, arguments, set_env, raw_command)
        started = start_windows(command, application, environment, unset, cwd, own_pid_in, held_pid_file,
                                terminate_when, token)
        self.addCleanup(started.close)
        return started

    def file(self, relative, data):
        """Writes `data` under the test's private directory; returns the path."""
        path = os.path.join(self.work, "files", relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def probe_launcher(self, extra_pairs=(), first=("app.dll", windows_binary("zelmor-probe.dll")), name="app.exe"):
        """A launcher whose application is the probe DLL, with more entries after it."""
        return self.make_launcher(write_payload([first, *extra_pairs]), name=name)

    def report_path(self, name="report.json"):
        return os.path.join(self.work, name)

    def read_report(self, name="report.json"):
        with open(self.report_path(name), encoding="utf-8") as f:
            return json.load(f)

    def await_report(self, name="report.json", started=None, timeout=30):
        """Waits until a probe has written its report; fails early if `started` ends first."""
        deadline = time.monotonic() + timeout
        while not os.path.exists(self.report_path(name)):
            if started is not None and started.process.poll() is not None:
                self.fail(f"ended before writing {name}: {started.wait()}")
            if time.monotonic() > deadline:
                self.fail(f"no {name} after {timeout} s")
            time.sleep(0.02)
        return self.read_report(name)

    def target_directories(self):
        return sorted(d for d in os.listdir(self.temp) if d.startswith("onefile_"))
