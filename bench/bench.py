#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Benchmark unlzon against `lzop -d` on synthetic demo images.

For each size: make an image with `demo_tool image`, pack it with
`demo_tool pack` (LZO1X-1) and with `lzop -1`, then unpack both alternately,
check every output against the image and report median wall times, the
median and range of the per-round ratios unlzon/lzop and unlzon's peak memory,
warm, cold (after a pause before every run) and with the runs on a tmpfs;
then a batch of demos of 1-4 MiB unpacked by examples/unpack-all.sh against
the same demos through `lzop -d`, as many at a time. See README.md.
"""

import argparse
import contextlib
import json
import os
import platform
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import zlib
from dataclasses import dataclass
from pathlib import Path

MIB = 1 << 20
DEFAULT_SEED = 0x4C5A4F6E
FULL_SIZES_MIB = (1, 4, 16, 256)
QUICK_SIZE_MIB = 1
# The ways of running a series, in the order they run and are reported:
# warm back to back, cold after a pause before every run, warm with the run
# folder on a tmpfs, and warm with every run replacing the previous run's
# output (the others write a new output name each time, as the first
# unpacking of a demo does), and last the batch: a folder of demos unpacked by
# the folder script against the same demos through `lzop -d`.
MODES = ("warm", "cold", "tmpfs", "replace", "batch")
DEFAULT_MODES = ("warm", "cold", "replace", "batch")
QUICK_MODES = ("warm", "batch")
DEFAULT_COLD_PAUSE_S = 4.0
# Largest median of the per-round ratios unlzon/lzop that meets the target, by
# mode and size in MiB (EVERY_SIZE: any size the table does not name); a size
# missing from its mode's table has no target.
EVERY_SIZE = "every size"
# Replacing has no target: on ext4 a rename over an existing file starts
# writing the new one at once (auto_da_alloc), which is what makes the
# replacement survive a power loss.
RATIO_LIMITS = {
    "warm": {1: 0.80, 4: 0.80, 16: 0.70, 256: 0.70},
    "cold": {1: 0.80, 4: 0.80, 16: 0.70, 256: 0.70},
    "tmpfs": {EVERY_SIZE: 0.80},
    "batch": {EVERY_SIZE: 0.80},
}
# The batch: this many demos (a few in --quick, to keep its code working),
# each of a size between these two, the sizes spread evenly over that range
# and shuffled, both by the seed.
BATCH_DEMOS = 200
QUICK_BATCH_DEMOS = 10
BATCH_MIN_SIZE = 1 * MIB
BATCH_MAX_SIZE = 4 * MIB
# unlzon holds the whole payload and the whole image while it decodes; for
# images of the demos' sizes (up to PEAK_TARGET_UP_TO) its peak stays within
# PEAK_LIMIT. Larger images have no target: their peak is reported only.
PEAK_LIMIT = 8 * MIB
PEAK_TARGET_UP_TO = 4 * MIB
# A demo of a few bytes that declares a 1 GiB image: what its run may cost.
HUGE_OUT_SIZE = 1 << 30
HUGE_PEAK_LIMIT = 16 * MIB
HUGE_WALL_LIMIT_S = 0.1
HUGE_RUNS = 5

OUTPUT = object()  # stands for the output file in a command that makes material

EXIT_OK = 0
EXIT_TARGET_MISSED = 1
EXIT_RUN_FAILED = 2


class BenchError(Exception):
    """A run failed or produced the wrong bytes: the figures mean nothing."""


@dataclass
class Run:
    wall_ns: int
    maxrss_kib: int
    user_us: int
    sys_us: int
    minflt: int
    majflt: int
    status: str


def parse_launch_line(line):
    """Turn bench_launch's report line into a Run; ValueError if it is malformed."""
    fields = dict(item.split("=", 1) for item in line.split())
    try:
        return Run(
            wall_ns=int(fields["wall_ns"]),
            maxrss_kib=int(fields["maxrss_kib"]),
            user_us=int(fields["user_us"]),
            sys_us=int(fields["sys_us"]),
            minflt=int(fields["minflt"]),
            majflt=int(fields["majflt"]),
            status=fields["status"],
        )
    except KeyError as missing:
        raise ValueError(f"bench_launch line lacks {missing}: {line!r}") from None


@dataclass
class Ratios:
    """The per-round ratios unlzon/lzop of one series, with their median and range."""

    rounds: list
    median: float
    low: float
    high: float


def ratios_of(unlzon_ns, lzop_ns):
    """Ratios of wall times taken round by round (unlzon / lzop of the same round).

    Each round is compared with its own partner, so that a drift of the machine
    over the series cancels; ValueError if the two series differ in length or
    are empty.
    """
    if len(unlzon_ns) != len(lzop_ns) or not unlzon_ns:
        raise ValueError(f"need equal, non-empty series, got {len(unlzon_ns)} and {len(lzop_ns)}")
    rounds = [u / l for u, l in zip(unlzon_ns, lzop_ns)]
    return Ratios(rounds, statistics.median(rounds), min(rounds), max(rounds))


def peak_limit(out_size):
    """unlzon's largest allowed peak for an image of `out_size` bytes; None for no target."""
    return PEAK_LIMIT if out_size <= PEAK_TARGET_UP_TO else None


def limit_text(limit):
    return "no target" if limit is None else f"{limit / MIB:.1f} MiB"


@dataclass
class Verdict:
    met: bool
    text: str

    def line(self):
        return f"  {'met   ' if self.met else 'MISSED'}  {self.text}"


def ratio_verdict(mode, size_mib, median):
    """The verdict on one series' median ratio; None when that mode and size have no target."""
    table = RATIO_LIMITS.get(mode, {})
    limit = table.get(size_mib, table.get(EVERY_SIZE))
    if limit is None:
        return None
    met = median <= limit
    return Verdict(met, f"{mode:<5} {size_mib:>4} MiB  unlzon/lzop median {median:.3f} "
                        f"{'<=' if met else '> '} {limit:.2f}")


def peak_verdict(size_mib, peaks, out_size):
    """The verdict on unlzon's largest peak over the series of one size; None
    where that size has no target.

    `peaks` maps each mode run to unlzon's peak in bytes in that mode.
    """
    limit = peak_limit(out_size)
    if limit is None:
        return None
    mode, peak = max(peaks.items(), key=lambda item: item[1])
    met = peak <= limit
    return Verdict(met, f"peak  {size_mib:>4} MiB  {peak / MIB:.1f} MiB ({mode}) "
                        f"{'<=' if met else '> '} {limit / MIB:.1f} MiB")


@dataclass
class HugeResult:
    """Runs on a demo of a few bytes that declares a huge image."""

    in_size: int
    out_size: int
    runs: list
    blocks: int  # the output's allocated 512-byte blocks


def huge_verdicts(huge):
    """Verdicts on the huge image: peak memory, median wall time and disk blocks."""
    peak = max(r.maxrss_kib for r in huge.runs) * 1024
    wall_s = statistics.median(r.wall_ns for r in huge.runs) / 1e9
    size = f"{huge.out_size / MIB:.0f} MiB from {huge.in_size + 16} bytes"
    return [
        Verdict(peak <= HUGE_PEAK_LIMIT, f"huge  {size}: peak {peak / MIB:.1f} MiB "
                f"{'<=' if peak <= HUGE_PEAK_LIMIT else '> '} {HUGE_PEAK_LIMIT / MIB:.0f} MiB"),
        Verdict(wall_s <= HUGE_WALL_LIMIT_S, f"huge  {size}: median {wall_s * 1e3:.1f} ms "
                f"{'<=' if wall_s <= HUGE_WALL_LIMIT_S else '> '} "
                f"{HUGE_WALL_LIMIT_S * 1e3:.0f} ms"),
        Verdict(huge.blocks == 0, f"huge  {size}: {huge.blocks} disk block(s) for the zero "
                f"tail {'==' if huge.blocks == 0 else '!='} 0"),
    ]


def batch_sizes(seed, count):
    """The image sizes of a batch: one in each of `count` equal slices of
    BATCH_MIN_SIZE..BATCH_MAX_SIZE, at a place in it and in an order drawn
    from `seed`, so that every batch of that seed and count is the same."""
    rng = random.Random(seed)
    span = BATCH_MAX_SIZE - BATCH_MIN_SIZE
    sizes = [BATCH_MIN_SIZE + int(span * (i + rng.random()) / count) for i in range(count)]
    rng.shuffle(sizes)
    return sizes


class PairedRuns:
    """What each series derives from its runs of both tools, round by round
    (the `unlzon` and `lzop` lists of the dataclasses below)."""

    @property
    def ratios(self):
        return ratios_of([u.wall_ns for u in self.unlzon], [l.wall_ns for l in self.lzop])

    @property
    def peak_bytes(self):
        return max(r.maxrss_kib for r in self.unlzon) * 1024


@dataclass
class BatchResult(PairedRuns):
    """The batch series: whole-folder runs of each side, round by round."""

    demos: int
    jobs: int
    smallest: int  # out_size of the smallest and largest demo
    largest: int
    largest_in_size: int
    unlzon: list
    lzop: list

    def label(self):
        return (f"{self.demos} demos of {self.smallest / MIB:.1f}-{self.largest / MIB:.1f} MiB, "
                f"{self.jobs} at a time")


def batch_verdicts(batch):
    """The batch's ratio against its limit, and its largest peak of any one run
    (the folder script's or unlzon's) against the limit for its largest image."""
    limit = RATIO_LIMITS["batch"][EVERY_SIZE]
    median = batch.ratios.median
    peak, peak_max = batch.peak_bytes, peak_limit(batch.largest)
    return [
        Verdict(median <= limit, f"batch {batch.demos} demos  unlzon/lzop median {median:.3f} "
                f"{'<=' if median <= limit else '> '} {limit:.2f}"),
        Verdict(peak <= peak_max, f"peak  batch  {peak / MIB:.1f} MiB "
                f"{'<=' if peak <= peak_max else '> '} {peak_max / MIB:.1f} MiB"),
    ]


def judge(results):
    """Every target's verdict for a list of SizeResults: the ratios by mode, then the peaks."""
    verdicts = [ratio_verdict(r.mode, r.size_mib, r.ratios.median) for r in results]
    verdicts = [v for v in verdicts if v is not None]
    for size_mib in dict.fromkeys(r.size_mib for r in results):
        series = [r for r in results if r.size_mib == size_mib]
        verdict = peak_verdict(size_mib, {r.mode: r.peak_bytes for r in series},
                               series[0].out_size)
        if verdict is not None:
            verdicts.append(verdict)
    return verdicts


def files_equal(a, b, chunk=4 * MIB):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        if os.fstat(fa.fileno()).st_size != os.fstat(fb.fileno()).st_size:
            return False
        while True:
            block = fa.read(chunk)
            if block != fb.read(chunk):
                return False
            if not block:
                return True


def remove(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def _unescape_mount_path(field):
    # mountinfo writes space, tab, newline and backslash as octal escapes.
    return re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), field)


def fs_type(path, mountinfo_text=None):
    """The file system type that holds `path` (an absolute, resolved path), from mountinfo.

    The deepest mount point containing the path wins, and of several mounts on
    the same point the last, which hides the others; "?" if none is found.
    """
    if mountinfo_text is None:
        try:
            mountinfo_text = Path("/proc/self/mountinfo").read_text()
        except OSError:
            return "?"
    best, best_type = None, "?"
    for line in mountinfo_text.splitlines():
        fields = line.split()
        if " - " not in line or len(fields) < 5:
            continue
        point = _unescape_mount_path(fields[4])
        kind = line.split(" - ", 1)[1].split()[0]
        inside = point == "/" or str(path) == point or str(path).startswith(point + "/")
        if inside and (best is None or len(point) >= len(best)):
            best, best_type = point, kind
    return best_type


@contextlib.contextmanager
def tmpfs_folder(how, need_bytes):
    """A fresh, private folder on a tmpfs, removed (and unmounted) on leaving.

    how="shm" makes it under /dev/shm, how="mount" mounts a tmpfs of its own
    (root only), how="auto" prefers /dev/shm and mounts only where /dev/shm is
    no tmpfs. BenchError when neither can be had or it lacks `need_bytes`.
    """
    shm = Path("/dev/shm")
    if how == "auto":
        how = "shm" if shm.is_dir() and fs_type(shm.resolve()) == "tmpfs" else "mount"
    if how == "shm":
        if fs_type(shm.resolve()) != "tmpfs":
            raise BenchError("--tmpfs=shm: /dev/shm is not a tmpfs on this machine")
        folder = Path(tempfile.mkdtemp(prefix="unlzon-bench-", dir=shm))
        try:
            free = shutil.disk_usage(folder).free
            if free < need_bytes:
                raise BenchError(f"--tmpfs: /dev/shm has {free / MIB:.0f} MiB free, "
                                 f"the runs need {need_bytes / MIB:.0f} MiB")
            yield folder
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        return
    if os.geteuid() != 0:
        raise BenchError("--tmpfs=mount needs root to mount a tmpfs; run as root, or use "
                         "--tmpfs=shm, or pass --work on a tmpfs")
    folder = Path(tempfile.mkdtemp(prefix="unlzon-bench-"))
    size_mib = -(-need_bytes // MIB)
    mounted = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", f"size={size_mib}m,mode=0700", "unlzon-bench", str(folder)],
        capture_output=True, text=True,
    )
    if mounted.returncode != 0:
        folder.rmdir()
        raise BenchError(f"--tmpfs=mount: mount failed: {mounted.stderr.strip()}")
    try:
        yield folder
    finally:
        unmounted = subprocess.run(["umount", str(folder)], capture_output=True, text=True)
        if unmounted.returncode == 0:
            folder.rmdir()
        else:
            print(f"warning: could not unmount {folder}: {unmounted.stderr.strip()}",
                  file=sys.stderr)


class Bench:
    def __init__(self, build_dir, work_dir, seed):
        self.unlzon = build_dir / "unlzon"
        self.demo_tool = build_dir / "demo_tool"
        self.launcher = build_dir / "bench" / "bench_launch"
        for tool in (self.unlzon, self.demo_tool, self.launcher):
            if not os.access(tool, os.X_OK):
                raise BenchError(f"{tool} is missing; build with cmake --build {build_dir}")
        self.work_dir = work_dir
        self.run_dir = work_dir / "run"
        self.run_dir.mkdir(parents=True, exist_ok=True)
        self.seed = seed

    # -- material -------------------------------------------------------------

    def _make(self, target, command):
        """Build `target` with `command`, where OUTPUT stands for the file to write, unless cached.

        Written under a temporary name first, so that an interrupted run never
        leaves a truncated file that later runs would take for a cached one.
        """
        if target.exists():
            return
        partial = target.with_name(target.name + ".partial")
        remove(partial)
        result = subprocess.run(
            [str(partial if c is OUTPUT else c) for c in command], capture_output=True, text=True
        )
        if result.returncode != 0:
            remove(partial)
            raise BenchError(f"{' '.join(map(str, command))} failed:\n{result.stderr}")
        os.replace(partial, target)

    def material(self, size_mib):
        """Image, container and .lzo file for one size, cached in the work dir."""
        stem = f"demo-{size_mib}M-{self.seed:#x}"
        image = self.work_dir / f"{stem}.img"
        container = self.run_dir / f"{stem}.lzon"
        lzo = self.run_dir / f"{stem}.lzo"
        self._make(image, [self.demo_tool, "image", f"{size_mib}M", hex(self.seed), OUTPUT])
        self._make(container, [self.demo_tool, "pack", image, OUTPUT])
        self._make(lzo, ["lzop", "-1", "-q", "-f", "-o", OUTPUT, image])
        return image, container, lzo

    # -- runs -----------------------------------------------------------------

    def launch(self, command, log, env=None):
        result = subprocess.run(
            [str(self.launcher), "--log", str(log)] + [str(c) for c in command],
            capture_output=True,
            text=True,
            env=env,
        )
        if result.returncode != 0:
            raise BenchError(f"bench_launch failed: {result.stderr.strip()}")
        run = parse_launch_line(result.stdout.strip())
        if run.status != "exit:0":
            text = Path(log).read_text(errors="replace")
            raise BenchError(f"{' '.join(map(str, command))} ended with {run.status}:\n{text}")
        return run

    @staticmethod
    def unlzon_output(container):
        return Path(str(container) + ".nds")

    @staticmethod
    def lzop_output(lzo):
        return lzo.with_suffix(".lzop-out")

    def run_unlzon(self, container, image, pause_s=0.0, replace=False):
        output = self.unlzon_output(container)
        if not replace:
            remove(output)
        time.sleep(pause_s)
        run = self.launch([self.unlzon, container], self.run_dir / "unlzon.log")
        self._check(output, image, "unlzon", keep=replace)
        return run

    def run_lzop(self, lzo, image, pause_s=0.0, replace=False):
        output = self.lzop_output(lzo)
        if not replace:
            remove(output)
        time.sleep(pause_s)
        run = self.launch(["lzop", "-d", "-f", "-o", output, lzo], self.run_dir / "lzop.log")
        self._check(output, image, "lzop -d", keep=replace)
        return run

    @staticmethod
    def _check(output, image, who, keep=False):
        try:
            same = files_equal(output, image)
        except FileNotFoundError:
            raise BenchError(f"{who} wrote no {output}") from None
        # Removed here unless the next run is to replace it, so that every
        # other run creates a fresh file.
        if not keep or not same:
            remove(output)
        if not same:
            raise BenchError(f"{who}: {output} differs from {image}")

    def huge(self, runs=HUGE_RUNS):
        """Runs on a demo of 19 bytes that declares a 1 GiB image, each to a new name."""
        container = self.run_dir / "huge.lzon"
        # The end-of-stream marker alone: the image is all zeros.
        payload = b"\x11\x00\x00"
        container.write_bytes(b"LZOn\x00\x2f\xf1\x71" + HUGE_OUT_SIZE.to_bytes(4, "big")
                              + len(payload).to_bytes(4, "big") + payload)
        output = self.unlzon_output(container)
        results, blocks = [], 0
        try:
            for _ in range(runs):
                remove(output)
                results.append(self.launch([self.unlzon, container], self.run_dir / "unlzon.log"))
                info = output.stat()
                if info.st_size != HUGE_OUT_SIZE:
                    raise BenchError(f"unlzon: {output} has {info.st_size} bytes, "
                                     f"not {HUGE_OUT_SIZE}")
                blocks = max(blocks, info.st_blocks)
        finally:
            remove(output)
            remove(container)
        return HugeResult(len(payload), HUGE_OUT_SIZE, results, blocks)

    def measure(self, size_mib, rounds, warm_up, mode="warm", run_dir=None, pause_s=0.0):
        """One series: optionally a warm-up round, then `rounds` measured rounds.

        The runs read and write in `run_dir` (default: the work dir's own),
        where the inputs are copied for the series and removed after it;
        `pause_s` is slept before every measured run of either tool. In the
        replace mode each run's output stays for the next run to replace.
        """
        replace = mode == "replace"
        image, container, lzo = self.material(size_mib)
        with open(container, "rb") as f:
            header = f.read(16)
        out_size = int.from_bytes(header[8:12], "big")
        in_size = int.from_bytes(header[12:16], "big")
        lzo_file_size = lzo.stat().st_size
        copies = []
        try:
            if run_dir is not None and run_dir != self.run_dir:
                for source in (container, lzo):
                    copies.append(run_dir / source.name)
                    shutil.copyfile(source, copies[-1])
                container, lzo = copies
            if warm_up or replace:
                # No pause: this round only settles the inputs in the page
                # cache, and leaves the outputs that the replace mode replaces.
                self.run_unlzon(container, image, replace=replace)
                self.run_lzop(lzo, image, replace=replace)
            unlzon_runs, lzop_runs = [], []
            for number in range(rounds):
                # Who goes first alternates, so that a slow drift of the machine
                # does not always favour the same side.
                if number % 2 == 0:
                    unlzon_runs.append(self.run_unlzon(container, image, pause_s, replace))
                    lzop_runs.append(self.run_lzop(lzo, image, pause_s, replace))
                else:
                    lzop_runs.append(self.run_lzop(lzo, image, pause_s, replace))
                    unlzon_runs.append(self.run_unlzon(container, image, pause_s, replace))
        finally:
            remove(self.unlzon_output(container))
            remove(self.lzop_output(lzo))
            for copy in copies:
                remove(copy)
        return SizeResult(mode, size_mib, in_size, out_size, lzo_file_size, unlzon_runs,
                          lzop_runs)

    # -- the batch ---------------------------------------------------------------

    def batch_material(self, count):
        """A folder of `count` demos (NNN.bin) and one of the same images as .lzo
        files, with a manifest of each image's size and CRC-32, cached in the work
        dir. The images themselves are not kept: 200 of them are 500 MiB."""
        folder = self.work_dir / f"batch-{count}-{self.seed:#x}"
        manifest_path = folder / "manifest.json"
        if manifest_path.exists():
            return folder, json.loads(manifest_path.read_text())
        shutil.rmtree(folder, ignore_errors=True)
        (folder / "demos").mkdir(parents=True)
        (folder / "lzo").mkdir()
        manifest = {}
        for number, size in enumerate(batch_sizes(self.seed, count)):
            name = f"{number:03d}"
            image = folder / name
            self._make(image, [self.demo_tool, "image", str(size),
                               hex((self.seed + 1 + number) & 0xFFFFFFFF), OUTPUT])
            self._make(folder / "demos" / f"{name}.bin", [self.demo_tool, "pack", image, OUTPUT])
            self._make(folder / "lzo" / f"{name}.lzo", ["lzop", "-1", "-q", "-f", "-o", OUTPUT,
                                                        image])
            manifest[name] = [size, crc_of(image), self._in_size(folder / "demos" / f"{name}.bin")]
            remove(image)
        # Written last: its presence says the folders are whole.
        manifest_path.write_text(json.dumps(manifest))
        return folder, manifest

    @staticmethod
    def _in_size(container):
        with open(container, "rb") as f:
            return int.from_bytes(f.read(16)[12:16], "big")

    def run_batch_unlzon(self, folder, manifest, _jobs):
        # No JOBS: the script's own default, the number of online processors.
        script = Path(__file__).resolve().parent.parent / "examples" / "unpack-all.sh"
        run = self.launch([script, folder / "demos"], self.run_dir / "unlzon.log",
                          env=dict(os.environ, UNLZON=str(self.unlzon)))
        check_batch(manifest, {name: folder / "demos" / f"{name}.bin.nds" for name in manifest},
                    "unpack-all.sh")
        return run

    def run_batch_lzop(self, folder, manifest, jobs):
        # lzop -d writes NNN beside NNN.lzo; -f: no question should one be left.
        run = self.launch(["sh", "-c", 'find "$1" -name "*.lzo" -print0 | '
                           f'xargs -0 -r -n1 -P{jobs} lzop -d -f', "sh", folder / "lzo"],
                          self.run_dir / "lzop.log")
        check_batch(manifest, {name: folder / "lzo" / name for name in manifest}, "lzop -d")
        return run

    def batch(self, count, rounds, warm_up, jobs):
        """The batch series: the folder script on `count` demos, then `lzop -d` on
        the same images, `jobs` at a time, the one going first alternating. Every
        output is checked and removed, so each round writes new names."""
        folder, manifest = self.batch_material(count)
        outputs = [path for name in manifest
                   for path in (folder / "demos" / f"{name}.bin.nds", folder / "lzo" / name)]
        # What a killed run left would make the first round replace files.
        for path in outputs:
            remove(path)
        unlzon_runs, lzop_runs = [], []
        try:
            if warm_up:
                self.run_batch_unlzon(folder, manifest, jobs)
                self.run_batch_lzop(folder, manifest, jobs)
            for number in range(rounds):
                sides = [(self.run_batch_unlzon, unlzon_runs), (self.run_batch_lzop, lzop_runs)]
                if number % 2:
                    sides.reverse()
                for side, runs in sides:
                    runs.append(side(folder, manifest, jobs))
        finally:
            for path in outputs:
                remove(path)
        sizes = [size for size, _, _ in manifest.values()]
        return BatchResult(count, jobs, min(sizes), max(sizes),
                           max(in_size for _, _, in_size in manifest.values()),
                           unlzon_runs, lzop_runs)


def crc_of(path, chunk=4 * MIB):
    crc = 0
    with open(path, "rb") as f:
        while block := f.read(chunk):
            crc = zlib.crc32(block, crc)
    return crc


def check_batch(manifest, outputs, who):
    """Every output of a batch run against its image's size and CRC-32; each is
    removed, so that the next run writes a new name. BenchError names the first
    missing or wrong one, after removing them all."""
    wrong = None
    for name, path in outputs.items():
        size, crc = manifest[name][:2]
        try:
            same = path.stat().st_size == size and crc_of(path) == crc
        except FileNotFoundError:
            wrong = wrong or f"{who} wrote no {path}"
            continue
        remove(path)
        if not same:
            wrong = wrong or f"{who}: {path} differs from its image"
    if wrong:
        raise BenchError(wrong)


@dataclass
class SizeResult(PairedRuns):
    mode: str
    size_mib: int
    in_size: int
    out_size: int
    lzo_file_size: int
    unlzon: list
    lzop: list


def median_of(runs, field):
    return statistics.median(getattr(r, field) for r in runs)


def version_of(command, pattern):
    try:
        text = subprocess.run(command, capture_output=True, text=True).stdout
    except OSError:
        return "?"
    found = re.search(pattern, text)
    return found.group(1) if found else "?"


def load_average():
    """The one-minute load average as text, "?" if unknown."""
    try:
        return Path("/proc/loadavg").read_text().split()[0]
    except (OSError, IndexError):
        return "?"


# Above this one-minute load average something else is running, and the runs
# (the cold ones most: a pause is no idleness then) say little.
BUSY_LOAD = 0.5


def busy_note(load, when):
    """A warning line when `load` (text) shows a busy machine, else None."""
    try:
        busy = float(load) > BUSY_LOAD
    except ValueError:
        return None
    return (f"note: load average {load} {when}: other processes are running; the figures "
            "are noisy, the cold ones most (a pause is no idleness then)") if busy else None


def machine_line(bench):
    cpu = "?"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass

    def thp(name):
        try:
            text = Path(f"/sys/kernel/mm/transparent_hugepage/{name}").read_text()
        except OSError:
            return "?"
        found = re.search(r"\[(\w[\w+]*)\]", text)
        return found.group(1) if found else text.strip()

    lzop_version = version_of(["lzop", "--version"], r"lzop (\S+)")
    lzop_lzo = version_of(["lzop", "--version"], r"LZO library (\S+)")
    # unlzon names its LZO library once it has a path to work on; a missing one will do.
    unlzon_lzo = version_of(
        [str(bench.unlzon), str(bench.run_dir / "no-such-demo")], r"library \(v([^,]+),"
    )
    load = load_average()
    return (
        f"machine: cpu={cpu!r} cores={os.cpu_count()} kernel={platform.release()} load={load} "
        f"lzop={lzop_version} lzo(lzop)={lzop_lzo} lzo(unlzon)={unlzon_lzo} "
        f"thp={thp('enabled')} thp-defrag={thp('defrag')} thp-shmem={thp('shmem_enabled')}"
    )


def print_result(result):
    r = result
    print(
        f"{r.size_mib:>4} MiB  in_size {r.in_size:>10} ({r.in_size / r.out_size:6.1%})  "
        f"out_size {r.out_size:>10}  .lzo {r.lzo_file_size:>10}"
    )
    for name, runs in (("unlzon", r.unlzon), ("lzop -d", r.lzop)):
        print(
            f"    {name:<8} median {median_of(runs, 'wall_ns') / 1e6:8.2f} ms  "
            f"(user {median_of(runs, 'user_us') / 1e3:7.2f} ms, "
            f"sys {median_of(runs, 'sys_us') / 1e3:7.2f} ms, "
            f"minflt {median_of(runs, 'minflt'):>7.0f})  "
            f"peak {max(x.maxrss_kib for x in runs) / 1024:7.1f} MiB"
        )
    ratios = r.ratios
    print(
        f"    unlzon/lzop per-round ratios: median {ratios.median:.3f}, "
        f"range {ratios.low:.3f}-{ratios.high:.3f}   "
        f"(rounds: {' '.join(f'{x:.2f}' for x in ratios.rounds)})"
    )
    print(
        f"    unlzon peak {r.peak_bytes / MIB:.1f} MiB for in_size {r.in_size / MIB:.1f} MiB "
        f"and out_size {r.out_size / MIB:.1f} MiB (limit: {limit_text(peak_limit(r.out_size))})"
    )


def print_batch(batch):
    print(f"batch: {batch.label()}")
    for name, runs in (("unlzon", batch.unlzon), ("lzop -d", batch.lzop)):
        print(
            f"    {name:<8} median {median_of(runs, 'wall_ns') / 1e6:8.1f} ms  "
            f"(user {median_of(runs, 'user_us') / 1e3:7.1f} ms, "
            f"sys {median_of(runs, 'sys_us') / 1e3:7.1f} ms, "
            f"minflt {median_of(runs, 'minflt'):>7.0f})  "
            f"peak {max(x.maxrss_kib for x in runs) / 1024:7.1f} MiB"
        )
    ratios = batch.ratios
    print(
        f"    unlzon/lzop per-round ratios: median {ratios.median:.3f}, "
        f"range {ratios.low:.3f}-{ratios.high:.3f}   "
        f"(rounds: {' '.join(f'{x:.2f}' for x in ratios.rounds)})"
    )


def print_huge(huge):
    walls = sorted(r.wall_ns / 1e6 for r in huge.runs)
    print(f"huge: {huge.out_size / MIB:.0f} MiB image from a {huge.in_size + 16}-byte demo, "
          f"{len(huge.runs)} runs to new names: median {statistics.median(walls):.2f} ms "
          f"(range {walls[0]:.2f}-{walls[-1]:.2f}), peak "
          f"{max(r.maxrss_kib for r in huge.runs) / 1024:.1f} MiB, "
          f"{huge.blocks} disk block(s)")


def print_summary(results, modes, batch=None):
    """One row per size, one column per mode, then the batch's row: the lines to
    paste where figures are asked for."""
    rounds = len((results[0] if results else batch).unlzon)
    print(f"summary: unlzon/lzop -d, median [min-max] of {rounds} per-round ratio(s); "
          "unlzon's largest peak / its limit")
    modes = tuple(m for m in modes if m != "batch")
    if results:
        print(f"  {'size':>8}  " + "".join(f"{mode:<22}" for mode in modes) + "peak")
    for size_mib in dict.fromkeys(r.size_mib for r in results):
        series = {r.mode: r for r in results if r.size_mib == size_mib}
        cells = []
        for mode in modes:
            if mode in series:
                q = series[mode].ratios
                cells.append(f"{q.median:.3f} [{q.low:.2f}-{q.high:.2f}]")
            else:
                cells.append("-")
        any_series = next(iter(series.values()))
        peak = max(r.peak_bytes for r in series.values())
        limit = peak_limit(any_series.out_size)
        print(f"  {size_mib:>4} MiB  " + "".join(f"{c:<22}" for c in cells)
              + f"{peak / MIB:.1f} MiB / {limit_text(limit)}")
    if batch is not None:
        q = batch.ratios
        print(f"     batch  {q.median:.3f} [{q.low:.2f}-{q.high:.2f}]  ({batch.label()})  peak "
              f"{batch.peak_bytes / MIB:.1f} MiB / {limit_text(peak_limit(batch.largest))}")


def parse_modes(text):
    """A comma-separated list of modes, in the order MODES gives; ValueError for an unknown one."""
    asked = [m.strip() for m in text.split(",") if m.strip()]
    unknown = [m for m in asked if m not in MODES]
    if unknown or not asked:
        raise ValueError(f"modes are a comma-separated list of {', '.join(MODES)}; got {text!r}")
    return tuple(m for m in MODES if m in asked)


def parse_sizes(text):
    """A comma-separated list of sizes in MiB, each at least 1; ValueError otherwise."""
    sizes = tuple(int(x) for x in text.split(",") if x.strip())
    if not sizes or min(sizes) < 1:
        raise ValueError(f"sizes are a comma-separated list of whole MiB >= 1; got {text!r}")
    return sizes


def main(argv=None):
    repo = Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, default=repo / "build",
                        help="build directory with unlzon, demo_tool and bench/bench_launch "
                        "(default: build)")
    parser.add_argument("--work", type=Path, default=repo / "bench" / "work",
                        help="where images are cached and runs write (default: bench/work)")
    parser.add_argument("--rounds", type=int, default=7,
                        help="measured rounds per size after the warm-up round (default: 7)")
    parser.add_argument("--seed", type=lambda s: int(s, 0), default=DEFAULT_SEED,
                        help=f"image seed (default: {DEFAULT_SEED:#x})")
    parser.add_argument("--sizes", type=parse_sizes, default=None,
                        help="image sizes in MiB, comma-separated (default: "
                        f"{','.join(map(str, FULL_SIZES_MIB))}; --quick: {QUICK_SIZE_MIB})")
    parser.add_argument("--modes", type=parse_modes, default=None,
                        help="series to run, comma-separated, of warm (back to back), cold "
                        "(a pause before every run), tmpfs (warm, runs on a tmpfs), replace "
                        "(warm, each run replaces the previous output) and batch (a folder of "
                        "demos of 1-4 MiB, examples/unpack-all.sh against xargs -P running "
                        "lzop -d) (default: warm,cold,replace,batch; --quick: warm,batch)")
    parser.add_argument("--cold-pause", type=float, default=DEFAULT_COLD_PAUSE_S, metavar="S",
                        help="seconds of idleness before every run in the cold series "
                        f"(default: {DEFAULT_COLD_PAUSE_S:g})")
    parser.add_argument("--tmpfs", nargs="?", const="auto", choices=("auto", "shm", "mount"),
                        help="add the tmpfs series; its runs read and write in a fresh folder "
                        "under /dev/shm (shm), on a tmpfs mounted for the run (mount, needs "
                        "root), or the first that works here (auto, the default)")
    parser.add_argument("--batch-demos", type=int, default=None, metavar="N",
                        help=f"demos in the batch (default: {BATCH_DEMOS}; --quick: "
                        f"{QUICK_BATCH_DEMOS})")
    parser.add_argument("--quick", action="store_true",
                        help=f"one {QUICK_SIZE_MIB} MiB image and a batch of "
                        f"{QUICK_BATCH_DEMOS} demos, one round, no target judgement")
    args = parser.parse_args(argv)
    if args.cold_pause < 0:
        parser.error("--cold-pause must not be negative")
    if args.batch_demos is not None and args.batch_demos < 1:
        parser.error("--batch-demos must be at least 1")
    batch_demos = args.batch_demos or (QUICK_BATCH_DEMOS if args.quick else BATCH_DEMOS)
    # As many at a time as the folder script's default.
    batch_jobs = os.sysconf("SC_NPROCESSORS_ONLN")
    modes = args.modes or (QUICK_MODES if args.quick else DEFAULT_MODES)
    if args.tmpfs and "tmpfs" not in modes:
        modes = tuple(m for m in MODES if m in modes or m == "tmpfs")
    tmpfs_how = args.tmpfs or "auto"
    if args.quick:
        sizes, rounds, warm_up = args.sizes or (QUICK_SIZE_MIB,), 1, False
    else:
        sizes, rounds, warm_up = args.sizes or FULL_SIZES_MIB, max(args.rounds, 1), True

    # A terminated run still removes its tmpfs folder on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    started = time.monotonic()
    results, batch = [], None
    try:
        bench = Bench(args.build.resolve(), args.work.resolve(), args.seed)
        print(machine_line(bench), flush=True)
        if note := busy_note(load_average(), "at the start"):
            print(note, flush=True)
        print(f"seed {args.seed:#x}, {rounds} round(s)" + (" after a warm-up round" if warm_up
                                                           else "")
              + f"; series: {', '.join(modes)}", flush=True)
        with contextlib.ExitStack() as stack:
            for mode in modes:
                if mode == "batch":
                    series_started = time.monotonic()
                    print(f"batch: {batch_demos} demos in {bench.work_dir} "
                          f"({fs_type(bench.work_dir)}), examples/unpack-all.sh at its default "
                          f"job count against xargs -P{batch_jobs} running lzop -d, no pause, "
                          "every run writes new output names", flush=True)
                    batch = bench.batch(batch_demos, rounds, warm_up, batch_jobs)
                    print_batch(batch)
                    print(f"  (batch series: {time.monotonic() - series_started:.0f} s, "
                          f"load average now {load_average()})", flush=True)
                    continue
                run_dir, pause_s = bench.run_dir, 0.0
                if mode == "cold":
                    pause_s = args.cold_pause
                if mode == "tmpfs":
                    # The inputs, one output and unlzon's pending file, with room to spare.
                    need = 3 * max(sizes) * MIB + 64 * MIB
                    run_dir = stack.enter_context(tmpfs_folder(tmpfs_how, need))
                print(f"{mode}: runs in {run_dir} ({fs_type(run_dir.resolve())}), "
                      + (f"{pause_s:g} s pause before every run" if pause_s else "no pause")
                      + (", every run replaces the previous run's output" if mode == "replace"
                         else ", every run writes a new output name"),
                      flush=True)
                series_started = time.monotonic()
                for size_mib in sizes:
                    result = bench.measure(size_mib, rounds, warm_up, mode, run_dir, pause_s)
                    print_result(result)
                    sys.stdout.flush()
                    results.append(result)
                print(f"  ({mode} series: {time.monotonic() - series_started:.0f} s, "
                      f"load average now {load_average()})", flush=True)
        huge = None
        if not args.quick:
            huge = bench.huge()
            print_huge(huge)
    except BenchError as error:
        print(f"FAILED: {error}", flush=True)
        return EXIT_RUN_FAILED

    elapsed = time.monotonic() - started
    if note := busy_note(load_average(), "at the end"):
        print(note)
    if args.quick:
        print(f"quick mode: outputs identical, no target judgement ({elapsed:.0f} s)")
        return EXIT_OK
    print_summary(results, modes, batch)
    verdicts = judge(results)
    if batch is not None:
        verdicts += batch_verdicts(batch)
    verdicts += huge_verdicts(huge)
    print("targets: medians of per-round ratios unlzon/lzop, warm and cold <= 0.80 at 1 and "
          "4 MiB and <= 0.70 at 16 and 256 MiB, tmpfs <= 0.80 at every size, the batch <= 0.80, "
          "replace none; peak <= 8 MiB for images up to 4 MiB; a 1 GiB image from 19 bytes: "
          "peak <= 16 MiB, median <= 100 ms, no disk blocks")
    for verdict in verdicts:
        print(verdict.line())
    missed = sum(not v.met for v in verdicts)
    print(f"{len(verdicts) - missed} of {len(verdicts)} targets met"
          + (f", {missed} MISSED" if missed else "") + f"; all outputs identical; "
          f"{elapsed / 60:.1f} min")
    return EXIT_TARGET_MISSED if missed else EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
