#!/usr/bin/env python3
"""Runs the benchmarks and prints their figures as one table: extraction
throughput, start-up overhead, packing throughput and ratio, the launcher's
peak memory, its removal, what sweeping dead runs adds, and whole runs of
an application of many small files, and starts from the extract-once cache
(warm and cold). Run through scripts/bench.sh, which
builds first and sets the environment that testing/zelmor_testing.py reads.

Each figure comes with its baseline from the same run: the plain work for
extraction, a plain loader for start-up, and, where ZELMOR_BENCH_BASELINE_STUB
names one, the same figure for an earlier launcher stub.

Windows programs are timed by bench/windows/zelmor-bench.exe ("start",
"write", "decompress" and "remove"); all times are FILETIMEs or performance-counter
readings taken on the Windows side, so that starting zelmor-bench itself
under Wine is outside every figure.
"""
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

from zelmor_testing import HOST_BIN, WINDOWS_BIN, attach, command_line, wine, windows_path, write_payload

HERE = os.path.dirname(os.path.abspath(__file__))
BENCH = os.path.join(WINDOWS_BIN, "zelmor-bench.exe")
PROBE = os.path.join(WINDOWS_BIN, "zelmor-probe.dll")
LOAD_DIRECT = os.path.join(WINDOWS_BIN, "zelmor-load-direct.exe")
PACK = os.path.join(HOST_BIN, "zelmor-pack")
STUB = os.path.join(WINDOWS_BIN, "zelmor-launcher.exe")
# The test build notes when each stage of a start is reached (ZELMOR_TEST_STAMPS).
SEAMS_STUB = os.path.join(WINDOWS_BIN, "zelmor-launcher-seams.exe")
BASELINE_STUB = os.environ.get("ZELMOR_BENCH_BASELINE_STUB") or None
BASELINE_LABEL = os.environ.get("ZELMOR_BENCH_BASELINE_LABEL") or "the baseline stub"

PACK_LEVEL = 9  # zelmor-pack's default; --best is 19
WINDOW_LOG = 27  # zelmor-pack's largest window
EXTRACTION_RUNS = 5
STARTUP_RUNS = 10
MEMORY_RUNS = 3
REMOVAL_RUNS = 5
REMOVAL_FILES = 3000
SWEEP_ROUNDS = 7
DEAD_RUNS = 100
DEAD_RUN_FILES = ("a.bin", os.path.join("sub", "b.bin"), os.path.join("sub", "deeper", "c.bin"))
DEAD_RUN_FILE_SIZE = 10_000
WHOLE_RUNS = 5
WHOLE_RUN_FILES = 3000
# run_code sleeps this long after taking its entry time, so that zelmor-bench,
# reading the peak working set every 50 ms, reads it after the work is done.
PROBE_SLEEP_MS = "200"
WRITE_CHUNK = 32768  # the launcher's largest WriteFile
DECODE_BUFFER = 131072  # the launcher's decode buffer
MB = 1e6
MIB = 1 << 20
TICKS_PER_SECOND = 10_000_000  # FILETIME units
# The spans between the stages a start passes, as staged_launch returns them.
STAGES = ("parent: process start (-> its entry)",
          "parent: role decision, the directory's name",
          "parent: console handler, resource lookup",
          "parent: directory creation and hold",
          "parent: extraction",
          "parent: job and child creation",
          "child: process start (-> its entry)",
          "child: role, lookup, hold, library load",
          "child: the call of run_code")


class Benchmark:
    def __init__(self, work):
        self.work = work
        self.temp = os.path.join(work, "temp")
        os.makedirs(self.temp)
        self.began = time.monotonic()
        self.section = None
        self.sections = {}

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    # --- running Windows programs -----------------------------------------

    def bench(self, *arguments):
        done = wine([BENCH, *arguments], timeout=600)
        if done.returncode != 0:
            raise RuntimeError(f"zelmor-bench {arguments[0]} failed: {done.stderr.decode(errors='replace')}")
        return [dict(re.findall(r"(\w+)=(\S*)", line)) for line in done.stdout.decode().splitlines()
                if re.match(r"^\w+=", line)]

    def start(self, executable, arguments, sleep_ms=PROBE_SLEEP_MS, extra=None, limited_token=False):
        """Starts `executable` through zelmor-bench with the probe reporting
        and the variables in `extra` set; returns zelmor-bench's figures
        merged with the probe's report. `limited_token` starts it
        unelevated, which the cache needs."""
        report = self.path("report.json")
        if os.path.exists(report):
            os.remove(report)
        settings = {"TEMP": windows_path(self.temp), "TMP": windows_path(self.temp),
                    "ZELMOR_PROBE_REPORT": windows_path(report), "ZELMOR_PROBE_SLEEP_MS": sleep_ms,
                    "ZELMOR_CACHE_DIR": windows_path(self.path("cache")), **(extra or {})}
        options = [option for name, value in settings.items() for option in ("--set", f"{name}={value}")]
        options += ["--limited-token"] if limited_token else []
        lines = self.bench("start", *options, windows_path(executable),
                           command_line([windows_path(executable), *arguments]))
        figures = {key: value for line in lines for key, value in line.items()}
        if figures["exit_code"] != "0":
            raise RuntimeError(f"{executable} exited with {figures['exit_code']}")
        with open(report, encoding="utf-8") as f:
            figures["report"] = json.load(f)
        return figures

    def launch(self, executable, sleep_ms=PROBE_SLEEP_MS, limited_token=False):
        """One run of a packed launcher: seconds from zelmor-bench's
        CreateProcessW to the parent's extraction start, from there to the
        child's creation, and on to run_code, and to the parent's exit; and
        the parent's peak memory."""
        figures = self.start(executable, [], sleep_ms, limited_token=limited_token)
        if not figures["child_created"]:
            raise RuntimeError(f"{executable}: the child process was never seen")
        if os.listdir(self.temp):
            raise RuntimeError(f"{executable}: the launcher left {os.listdir(self.temp)} behind")
        started = int(figures["started"])
        extraction_start = int(figures["report"]["env"]["ZELMOR_ONEFILE_START"])
        child_created = int(figures["child_created"])
        entered = int(figures["report"]["entered"])
        if not started <= extraction_start <= child_created <= entered:
            raise RuntimeError(f"{executable}: times out of order: {figures}")
        return {"parent": (extraction_start - started) / TICKS_PER_SECOND,
                "extraction": (child_created - extraction_start) / TICKS_PER_SECOND,
                "child": (entered - child_created) / TICKS_PER_SECOND,
                "total": (entered - started) / TICKS_PER_SECOND,
                "whole": (int(figures["ended"]) - started) / TICKS_PER_SECOND,
                "peak": int(figures["peak_working_set"])}

    def staged_launch(self, executable):
        """One run of a launcher of the test build, which notes its stages:
        seconds of each span between them (STAGES), from zelmor-bench's
        CreateProcessW to run_code's entry, and the whole."""
        stamps = self.path("stamps.txt")
        if os.path.exists(stamps):
            os.remove(stamps)
        figures = self.start(executable, [], extra={"ZELMOR_TEST_STAMPS": windows_path(stamps)})
        parent = figures["report"]["env"]["ZELMOR_ONEFILE_PARENT"]
        noted = {}
        with open(stamps, encoding="ascii") as f:
            for pid, stage, value in re.findall(r"^(\d+) (\w+)=(\d+)$", f.read(), re.M):
                noted["parent" if pid == parent else "child", stage] = int(value)
        points = [int(figures["started"])] + [noted[stage] for stage in (
            ("parent", "entry"), ("parent", "named"), ("parent", "payload"), ("parent", "directory"),
            ("parent", "extracted"))] + [int(figures["child_created"]), noted["child", "entry"],
                                         noted["child", "run_code"], int(figures["report"]["entered"])]
        if points != sorted(points):
            raise RuntimeError(f"{executable}: stages out of order: {points}")
        return [(later - earlier) / TICKS_PER_SECOND for earlier, later in zip(points, points[1:])] + \
            [(points[-1] - points[0]) / TICKS_PER_SECOND]

    def load_direct(self, limited_token=False):
        figures = self.start(LOAD_DIRECT, [windows_path(PROBE)], limited_token=limited_token)
        return {"total": (int(figures["report"]["entered"]) - int(figures["started"])) / TICKS_PER_SECOND,
                "peak": int(figures["peak_working_set"])}

    # --- the applications ----------------------------------------------------

    def pack(self, source_dir, out, stub=STUB, *extra):
        """The probe as the application, with every file below `source_dir` (if any)."""
        options = (["--dir", source_dir] if source_dir else []) + list(extra)
        subprocess.run([PACK, "--stub", stub, *options, PROBE, out], check=True, capture_output=True)
        return out

    def pack_without_content_size(self, source_dir, out):
        """As pack, but by zelmor-write-payload: no content size, so the launcher's window is the full 2^27."""
        pairs = [("app.dll", PROBE)] + [(name, os.path.join(source_dir, name)) for name in tree_files(source_dir)]
        shutil.copyfile(STUB, out)
        attach(out, write_payload(pairs, ["--level", str(PACK_LEVEL), "--window-log", str(WINDOW_LOG)]))
        return out

    # --- the figures ---------------------------------------------------------

    def extraction_times(self, executables):
        """Median seconds for each launcher (extraction start -> child
        created), for writing the same entries from memory and for
        decompressing the same payload alone. Interleaved, so that a changing
        load on the machine weighs on all alike."""
        rounds = []
        for _ in range(EXTRACTION_RUNS):
            launched = [self.launch(executable)["extraction"] for executable in executables]
            written_dir = self.path("written")
            [written] = self.bench("write", windows_path(executables[0]), windows_path(written_dir))
            shutil.rmtree(written_dir)  # on this side: far quicker than through Wine
            [decoded] = self.bench("decompress", windows_path(executables[0]))
            rounds.append((*launched, float(written["seconds"]), float(decoded["seconds"])))
        return [statistics.median(column) for column in zip(*rounds)]

    def extraction(self, sets, probe_only):
        """The launcher's extraction is timed from ZELMOR_ONEFILE_START, taken
        right before it begins, to the creation of the child, which follows
        right after it (under Wine, the child's first moments, still within the
        parent's CreateProcessW): both ends are sharp, whereas run_code's entry
        would add the child's start-up and its noise. The span also holds fixed
        work (the target directory, the application DLL, the launch call), so
        the same span for a payload of the DLL alone is subtracted, leaving the
        data files; the two baselines subtract their DLL-alone times alike.
        `sets` and `probe_only` hold one executable per launcher stub."""
        fixed = self.extraction_times(probe_only)
        names = ["launcher: extraction start -> child created"]
        names += [f"  launcher of {BASELINE_LABEL}"] if len(probe_only) > 1 else []
        names += [f"write from memory, {WRITE_CHUNK}-byte WriteFile", f"decompress only, {DECODE_BUFFER}-byte buffer"]
        self.emit(f"     {'':<44}{'seconds':>11}{'MB/s':>14}{'files/s':>16}")
        for label, executables, files, size in sets:
            self.emit(f"   {label}: {files} files, {size / MB:.1f} MB")
            times = [whole - part for whole, part in zip(self.extraction_times(executables), fixed)]
            for name, seconds in zip(names, times):
                self.emit(f"     {name:<44}{seconds:11.3f}{size / MB / seconds:14.1f}{files / seconds:16.0f}")
            plain = times[-2] + times[-1]
            ratios = ", ".join(f"{seconds / plain:.2f}" for seconds in times[:-2])
            self.emit(f"     launcher / (write + decompress): {ratios}")
        fixed_ms = ", ".join(f"{seconds * 1000:.0f}" for seconds in fixed)
        self.emit(f"     (each less the same for probe.dll alone: {fixed_ms} ms)")

    def startup(self, small_apps, staged_app):
        """`small_apps`: the probe alone, packed with each launcher stub;
        `staged_app`: the same with the test build's stub."""
        direct, launched, staged = [], [[] for _ in small_apps], []
        for _ in range(STARTUP_RUNS):  # interleaved, so that drift affects all alike
            direct.append(self.load_direct())
            for runs, app in zip(launched, small_apps):
                runs.append(self.launch(app))
            staged.append(self.staged_launch(staged_app))
        payload = os.path.getsize(PROBE)

        def row(name, values):
            values = [v * 1000 for v in values]
            self.emit(f"     {name:<52}{statistics.median(values):8.1f} ms  "
                      f"(min {min(values):6.1f}, max {max(values):6.1f})")

        plain = statistics.median(r["total"] for r in direct)
        row("zelmor-load-direct.exe probe.dll", [r["total"] for r in direct])
        for index, runs in enumerate(launched):
            name = f"packed launcher, probe.dll only ({payload / MB:.1f} MB)" if index == 0 else \
                f"  the same with the launcher of {BASELINE_LABEL}"
            row(name, [r["total"] for r in runs])
            if index == 0:
                row("  of which: parent start -> extraction start", [r["parent"] for r in runs])
                row("            extraction start -> child created", [r["extraction"] for r in runs])
                row("            child created -> run_code", [r["child"] for r in runs])
        overhead = statistics.median(r["total"] for r in launched[0]) - plain
        self.emit(f"     {'overhead of the launcher (difference of medians)':<52}{overhead * 1000:8.1f} ms")
        ratios = ", ".join(f"{statistics.median(r['total'] for r in runs) / plain:.2f}" for runs in launched)
        self.emit(f"     launcher / plain loader (medians): {ratios}")
        self.emit("     the same start stage by stage, in the test build, which notes each stage:")
        for index, name in enumerate(STAGES):
            row(f"  {name}", [spans[index] for spans in staged])
        row("  test build: CreateProcessW -> run_code", [spans[-1] for spans in staged])
        row("  beside it, zelmor-load-direct.exe probe.dll", [r["total"] for r in direct])
        self.startup_steps(small_apps[0])

    def startup_steps(self, small_app):
        """The launcher's own steps within the start-up, each timed once in a
        fresh zelmor-bench process (the first call is the one a run pays),
        and the removal of the probe's directory."""
        steps = [self.bench("stages", windows_path(small_app))[0] for _ in range(STARTUP_RUNS)]
        removals = []
        for _ in range(STARTUP_RUNS):
            directory = self.path("probe-removal")
            write_file(os.path.join(directory, os.path.basename(PROBE)), read_file(PROBE))
            [removed] = self.bench("remove", windows_path(directory))
            removals.append(float(removed["seconds"]))
        self.emit("     the launcher's steps, each once in a fresh process:")
        for key, name in (("canonical", "child: parent's and own canonical paths"),
                          ("lookup", "child and parent: payload resource lookup"),
                          ("first_step", "child: reader start and first decode step"),
                          ("advapi32", "ADVAPI32 load (no longer needed)"),
                          ("shell32", "SHELL32 load (only for {HOME}, off the default road)"),
                          ("home", "SHGetFolderPathW for {HOME}"),
                          ("split", "parent: split of its command line")):
            values = [float(step[key]) * 1000 for step in steps]
            self.emit(f"       {name:<50}{statistics.median(values):8.2f} ms  (min {min(values):6.2f})")
        values = [seconds * 1000 for seconds in removals]
        self.emit(f"       {'parent: removal of the probe directory':<50}{statistics.median(values):8.2f} ms  "
                  f"(min {min(values):6.2f})")

    def packing(self, tree, packed):
        files = tree_files(tree)
        size = os.path.getsize(PROBE) + sum(os.path.getsize(os.path.join(tree, name)) for name in files)
        # The same bytes as one stream for the zstd tool: read once beforehand,
        # so that both runs find them in the page cache.
        stream = self.path("tree.cat")
        with open(stream, "wb") as out:
            for source in [PROBE] + [os.path.join(tree, name) for name in files]:
                with open(source, "rb") as f:
                    shutil.copyfileobj(f, out)
        began = time.monotonic()
        self.pack(tree, packed)
        pack_seconds = time.monotonic() - began
        # What packing adds to the stub: the payload and its resource entry.
        pack_out = os.path.getsize(packed) - os.path.getsize(STUB)
        best = self.path("best.exe")
        began = time.monotonic()
        self.pack(tree, best, STUB, "--best")
        best_seconds = time.monotonic() - began
        best_out = os.path.getsize(best) - os.path.getsize(STUB)
        # The cache's digests hash every input as it is read.
        cached = self.path("cached.exe")
        began = time.monotonic()
        self.pack(tree, cached, STUB, "--cache")
        cache_seconds = time.monotonic() - began
        cache_out = os.path.getsize(cached) - os.path.getsize(STUB)
        threads = os.cpu_count()
        compressed = self.path("tree.cat.zst")
        tool = ["zstd", "-q", "-f", f"-{PACK_LEVEL}", f"--zstd=wlog={WINDOW_LOG}", f"-T{threads}", stream, "-o",
                compressed]
        began = time.monotonic()
        subprocess.run(tool, check=True)
        tool_seconds = time.monotonic() - began
        tool_out = os.path.getsize(compressed)
        self.emit(f"   input: {len(files) + 1} files, {size / MB:.1f} MB; {threads} threads")
        for name, seconds, out in (("zelmor-pack (defaults)", pack_seconds, pack_out),
                                   ("zelmor-pack --cache (with the index)", cache_seconds, cache_out),
                                   ("zelmor-pack --best", best_seconds, best_out),
                                   (" ".join(["zstd"] + tool[3:6]) + " (one stream)", tool_seconds, tool_out)):
            self.emit(f"     {name:<44}{seconds:9.1f} s{size / MB / seconds:9.2f} MB/s"
                      f"{out / MB:9.1f} MB out   ratio {size / out:5.2f}")

    def memory(self, apps):
        direct = [self.load_direct()["peak"] for _ in range(MEMORY_RUNS)]
        self.emit(f"     {'zelmor-load-direct.exe probe.dll (a bare process)':<60}"
                  f"{statistics.median(direct) / MB:8.1f} MB{statistics.median(direct) / MIB:8.1f} MiB")
        for label, executable, content, stub in apps:
            peak = statistics.median(self.launch(executable)["peak"] for _ in range(MEMORY_RUNS))
            self.emit(f"     {label:<60}{peak / MB:8.1f} MB{peak / MIB:8.1f} MiB")
            # The stub's size stands in for the executable's other sections.
            payload = os.path.getsize(executable) - os.path.getsize(stub)
            self.emit(f"       of which: content {content / MIB:.1f} MiB (the window), compressed {payload / MIB:.1f} MiB"
                      f" (payload pages read), the rest {(peak - content - payload) / MIB:.1f} MiB")
        self.emit("     (a window larger than the content costs address space only: the decoder touches what it"
                  " writes; the rest is the process, the system libraries and the decoder's buffers)")

    def removal(self):
        """The launcher's own removal, one attempt, of a fresh tree of 3000
        small files in 60 directories two levels deep, made on this side."""
        seconds = []
        for _ in range(REMOVAL_RUNS):
            tree = self.path("removal")
            for index in range(REMOVAL_FILES):
                directory = os.path.join(tree, f"d{index % 6}", f"s{index % 60}")
                os.makedirs(directory, exist_ok=True)
                write_file(os.path.join(directory, f"f{index}.txt"), b"x" * 1000)
            [figures] = self.bench("remove", windows_path(tree))
            if figures["remains"] != "0" or os.path.exists(tree):
                raise RuntimeError("the removal left the tree")
            seconds.append(float(figures["seconds"]))
        self.emit(f"     {'launcher removal, one attempt':<44}{statistics.median(seconds):9.3f} s  "
                  f"(min {min(seconds):.3f}, max {max(seconds):.3f})")

    def run_seconds(self, executable):
        """Seconds from zelmor-bench's CreateProcessW to the launcher's end,
        for an application that returns at once: all a sweep adds shows."""
        figures = self.start(executable, [], sleep_ms="0")
        return (int(figures["ended"]) - int(figures["started"])) / TICKS_PER_SECOND

    def sweep(self, executable):
        """Runs with DEAD_RUNS directories that earlier runs left beside the
        target, made on this side, against runs with none; interleaved."""
        plain, swept, taken, clearing = [], [], [], []
        for _ in range(SWEEP_ROUNDS):
            plain.append(self.run_seconds(executable))
            for index in range(1, DEAD_RUNS + 1):
                for name in DEAD_RUN_FILES:
                    write_file(os.path.join(self.temp, f"onefile_{index}_{index}", name), b"x" * DEAD_RUN_FILE_SIZE)
            spans = [self.run_seconds(executable)]
            taken.append(DEAD_RUNS - len(os.listdir(self.temp)))
            while os.listdir(self.temp) and len(spans) < DEAD_RUNS:
                spans.append(self.run_seconds(executable))
            if os.listdir(self.temp):
                raise RuntimeError(f"the sweeps left {os.listdir(self.temp)}")
            swept.append(spans[0])
            clearing.append(spans)

        def row(name, values):
            values = [v * 1000 for v in values]
            self.emit(f"     {name:<52}{statistics.median(values):8.1f} ms  "
                      f"(min {min(values):6.1f}, max {max(values):6.1f})")

        row("run, no dead directories", plain)
        row(f"run, {DEAD_RUNS} dead directories beside it", swept)
        self.emit(f"     {'added by the sweep (difference of medians)':<52}"
                  f"{(statistics.median(swept) - statistics.median(plain)) * 1000:8.1f} ms")
        runs = statistics.median(len(spans) for spans in clearing)
        added = statistics.median(sum(spans) for spans in clearing) - runs * statistics.median(plain)
        self.emit(f"     directories one run took: {statistics.median(taken):.0f}; runs until all were gone: {runs:.0f}, "
                  f"adding {added * 1000:.0f} ms in all")

    def whole_runs(self, apps):
        """Whole runs, zelmor-bench's CreateProcessW to the launcher's exit:
        extraction, child, application (which returns at once) and removal."""
        seconds = [[] for _ in apps]
        for _ in range(WHOLE_RUNS):  # interleaved, so that drift affects all alike
            for runs, (_, executable) in zip(seconds, apps):
                runs.append(self.launch(executable, sleep_ms="0")["whole"])
        for (label, _), runs in zip(apps, seconds):
            self.emit(f"     {label:<44}{statistics.median(runs):9.3f} s  (min {min(runs):.3f}, max {max(runs):.3f})")
        if len(apps) > 1:
            self.emit(f"     this launcher / {BASELINE_LABEL}: "
                      f"{statistics.median(seconds[0]) / statistics.median(seconds[1]):.2f}")

    def cached_start(self, executable, cold=False):
        """Seconds from zelmor-bench's CreateProcessW to run_code of an
        executable packed with --cache, started unelevated: warm, or cold once
        its cache is removed (outside the time)."""
        if cold:
            shutil.rmtree(self.path("cache"), True)
        figures = self.start(executable, [], "0", limited_token=True)
        expected = windows_path(self.path("cache"))
        if not figures["report"]["module_dir"].startswith(expected) or figures["child_created"]:
            raise RuntimeError(f"{executable} did not run from the cache: {figures['report']['module_dir']}")
        return (int(figures["report"]["entered"]) - int(figures["started"])) / TICKS_PER_SECOND

    def cache(self, tiny_app, many_app, many_per_run):
        """The extract-once cache: a warm start of the probe beside the plain
        loader; a warm start of an application of many files beside the
        probe's (the difference is mostly the check of the files); a cold
        start beside today's per-run start of the same payload."""
        plain, tiny, many, cold, per_run = [], [], [], [], []
        self.cached_start(tiny_app, cold=True)
        for _ in range(STARTUP_RUNS):  # interleaved, so that drift affects all alike
            plain.append(self.load_direct(limited_token=True)["total"])
            tiny.append(self.cached_start(tiny_app))
            many.append(self.cached_start(many_app))
        for _ in range(WHOLE_RUNS):
            cold.append(self.cached_start(many_app, cold=True))
            per_run.append(self.launch(many_per_run, sleep_ms="0", limited_token=True)["total"])

        def row(name, values):
            values = [v * 1000 for v in values]
            self.emit(f"     {name:<52}{statistics.median(values):8.1f} ms  "
                      f"(min {min(values):6.1f}, max {max(values):6.1f})")

        row("zelmor-load-direct.exe probe.dll (unelevated)", plain)
        row("warm start, probe.dll only", tiny)
        self.emit(f"     warm / plain loader (medians): {statistics.median(tiny) / statistics.median(plain):.2f}")
        row(f"warm start, probe.dll and {WHOLE_RUN_FILES} files", many)
        self.emit(f"     {WHOLE_RUN_FILES} files warm / probe.dll warm (medians): "
                  f"{statistics.median(many) / statistics.median(tiny):.2f}")
        row(f"cold start, probe.dll and {WHOLE_RUN_FILES} files", cold)
        row("  per-run start (no --cache), the same payload, unelevated", per_run)
        self.emit(f"     cold / per-run (medians): {statistics.median(cold) / statistics.median(per_run):.2f}")

    def begin(self, number, title):
        """Figures go to the table printed at the end, in the order of their numbers."""
        print(f"[{time.monotonic() - self.began:4.0f} s] {number}. {title} ...", file=sys.stderr, flush=True)
        self.section = self.sections[number] = [f"{number}. {title} [load {os.getloadavg()[0]:.1f}]"]

    def emit(self, line):
        self.section.append(line)


def tree_files(root):
    """Every file below `root`, relative and sorted."""
    found = []
    for directory, _, names in os.walk(root):
        found += [os.path.relpath(os.path.join(directory, name), root) for name in names]
    return sorted(found)


def tree_size(root):
    return sum(os.path.getsize(os.path.join(root, name)) for name in tree_files(root))


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_sets(mixed, small_dir, large_dir):
    """Many small and a few large files, cut from the mixed tree's bytes so
    that they compress like an application."""
    source = b"".join(read_file(os.path.join(mixed, name)) for name in tree_files(mixed))
    rng = random.Random(27)
    for index in range(5000):
        size = rng.randrange(1024, 8193)
        start = rng.randrange(len(source) - size)
        write_file(os.path.join(small_dir, f"group{index % 50:02d}", f"file{index:04d}.bin"),
                   source[start:start + size])
    block = 1 << 20
    blocks = [source[at:at + block] for at in range(0, len(source), block)]
    rng.shuffle(blocks)
    shuffled = b"".join(blocks)
    for index in range(4):
        write_file(os.path.join(large_dir, f"large{index}.bin"), shuffled[index * 25_000_000:(index + 1) * 25_000_000])


def main():
    # ZELMOR_BENCH_SECTIONS (say "2,4") runs only those sections, and makes
    # only what they need.
    chosen = os.environ.get("ZELMOR_BENCH_SECTIONS")
    wanted = {int(number) for number in chosen.split(",")} if chosen else set(range(1, 9))
    work = tempfile.mkdtemp(prefix="zelmor-bench-", dir=os.environ.get("ZELMOR_BENCH_DIR"))
    began = time.monotonic()
    load_before = os.getloadavg()[0]
    try:
        b = Benchmark(work)
        mixed, small, large, tiny, whole = (b.path(name) for name in ("mixed", "small", "large", "tiny", "whole"))
        needs_mixed = bool(wanted & {1, 3, 7, 8})
        for dest, megabytes in ((mixed, 100 if needs_mixed else 0), (tiny, 1)):
            if megabytes:
                subprocess.run([sys.executable, os.path.join(HERE, "make_mixed_tree.py"), dest, str(megabytes)],
                               check=True)
        if needs_mixed:
            make_sets(mixed, small, large)
        mixed_app = b.path("mixed.exe")

        # First, while nothing else runs; its output is the 100 MB app of figure 4.
        if needs_mixed:
            b.begin(3, f"Packing the mixed ~100 MB tree (level {PACK_LEVEL}, window 2^{WINDOW_LOG})")
            b.packing(mixed, mixed_app)

            # The first files of the small set, for whole runs.
            for name in tree_files(small)[:WHOLE_RUN_FILES]:
                write_file(os.path.join(whole, name), read_file(os.path.join(small, name)))

        # Untimed and independent of each other: packed side by side, the
        # longest first. Each application that a figure compares across
        # launchers is packed with each stub.
        stubs = [STUB] + ([BASELINE_STUB] if BASELINE_STUB else [])
        each = range(len(stubs))
        apps = {"no-size": b.path("no-size.exe"), "probe-staged": b.path("probe-staged.exe")}
        apps.update({(name, i): b.path(f"{name}-{i}.exe") for name in ("large", "small", "whole", "tiny", "probe-only")
                     for i in each})
        apps.update({"cached-probe": b.path("cached-probe.exe"), "cached-whole": b.path("cached-whole.exe")})
        sources = (("large", large), ("small", small), ("whole", whole)) if needs_mixed else ()
        jobs = [(b.pack_without_content_size, mixed, apps["no-size"])] if needs_mixed else []
        jobs += [(b.pack, None, apps["probe-staged"], SEAMS_STUB)]
        jobs += [(b.pack, source, apps[name, i], stubs[i]) for name, source in
                 (*sources, ("tiny", tiny), ("probe-only", None)) for i in each]
        if 8 in wanted:
            jobs += [(b.pack, None, apps["cached-probe"], STUB, "--cache=bench-probe"),
                     (b.pack, whole, apps["cached-whole"], STUB, "--cache=bench-whole")]
        with ThreadPoolExecutor(os.cpu_count()) as pool:
            for future in [pool.submit(*job) for job in jobs]:
                future.result()

        # Wine's first start in a fresh server costs about a second.
        for _ in range(2):
            b.load_direct()
        b.launch(apps["probe-only", 0])

        if 1 in wanted:
            b.begin(1, "Extraction of the data files, by the launcher and by its two halves alone")
            b.extraction([("many small files", [apps["small", i] for i in each], len(tree_files(small)),
                           tree_size(small)),
                          ("a few large files", [apps["large", i] for i in each], len(tree_files(large)),
                           tree_size(large))], [apps["probe-only", i] for i in each])

        if 2 in wanted:
            b.begin(2, f"Start-up: zelmor-bench's CreateProcessW -> run_code entry ({STARTUP_RUNS} runs)")
            b.startup([apps["probe-only", i] for i in each], apps["probe-staged"])

        if 4 in wanted:
            b.begin(4, f"Launcher peak working set ({MEMORY_RUNS} runs)")
            tiny_content = tree_size(tiny) + os.path.getsize(PROBE)
            tiny_label = f"{tiny_content / MB:.1f} MB app"
            apps_measured = [(f"{tiny_label}, zelmor-pack", apps["tiny", 0], tiny_content, STUB)]
            if BASELINE_STUB:
                apps_measured.append((f"  the same with the launcher of {BASELINE_LABEL}", apps["tiny", 1],
                                      tiny_content, BASELINE_STUB))
            if needs_mixed:
                mixed_content = tree_size(mixed) + os.path.getsize(PROBE)
                apps_measured += [(f"{mixed_content / MB:.1f} MB app, zelmor-pack", mixed_app, mixed_content, STUB),
                                  ("same app, no content size (window 2^27), zelmor-write-payload", apps["no-size"],
                                   mixed_content, STUB)]
            b.memory(apps_measured)

        if 5 in wanted:
            b.begin(5, f"Removal of a tree of {REMOVAL_FILES} files, 1000 bytes each ({REMOVAL_RUNS} runs)")
            b.removal()

        if 6 in wanted:
            b.begin(6, f"Sweep of {DEAD_RUNS} dead directories of {len(DEAD_RUN_FILES)} files in 3 levels "
                       f"({SWEEP_ROUNDS} runs; application returns at once)")
            b.sweep(apps["probe-only", 0])

        if 7 in wanted:
            b.begin(7, f"Whole runs of an application of {WHOLE_RUN_FILES} small files, "
                       f"{tree_size(whole) / MB:.1f} MB: start -> exit, removal included ({WHOLE_RUNS} runs)")
            b.whole_runs([("this launcher", apps["whole", 0])] +
                         ([(f"the launcher of {BASELINE_LABEL}", apps["whole", 1])] if BASELINE_STUB else []))

        if 8 in wanted:
            b.begin(8, f"Extract once (--cache): start-up to run_code, warm ({STARTUP_RUNS} runs) and cold "
                       f"({WHOLE_RUNS} runs)")
            b.cache(apps["cached-probe"], apps["cached-whole"], apps["whole", 0])
    finally:
        shutil.rmtree(work, True)
    # Other work on the machine shows in every figure; the load tells how much.
    pinned = os.environ.get("ZELMOR_WINE_CPUS")
    print(f"\nZelmor onefile benchmarks ({os.cpu_count()} processors"
          f"{f', Windows programs on processor {pinned}' if pinned else ''}, load average {load_before:.1f} before and "
          f"{os.getloadavg()[0]:.1f} after, each section's at its start; MB = 10^6 bytes, MiB = 2^20 bytes; "
          f"figures are medians)")
    for number in sorted(b.sections):
        print("\n" + "\n".join(b.sections[number]))
    print(f"\n(all benchmarks took {time.monotonic() - began:.0f} s)")


if __name__ == "__main__":
    main()
