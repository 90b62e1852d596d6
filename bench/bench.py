#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Benchmark unlzon against `lzop -d` on synthetic demo images.

For each size: make an image with `demo_tool image`, pack it with
`demo_tool pack` (LZO1X-1) and with `lzop -1`, then unpack both alternately,
check every output against the image and report median wall times, the
median per-round ratio unlzon/lzop and unlzon's peak memory. See README.md.
"""

import argparse
import os
import platform
import re
import statistics
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

MIB = 1 << 20
DEFAULT_SEED = 0x4C5A4F6E
FULL_SIZES_MIB = (4, 16, 256)
QUICK_SIZE_MIB = 1
# Largest unlzon/lzop ratio of median-of-ratios that meets the target, by size in MiB.
RATIO_LIMITS = {4: 0.90, 16: 0.90, 256: 1.00}
# unlzon may hold the payload and the image at once; this is all it may add.
PEAK_ALLOWANCE = 16 * MIB

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


def peak_limit(in_size, out_size):
    return in_size + out_size + PEAK_ALLOWANCE


def judge(size_mib, ratio, peak_bytes, in_size, out_size):
    """Return the failed targets for one size as readable strings; empty when all are met."""
    failures = []
    limit = RATIO_LIMITS.get(size_mib)
    if limit is not None and ratio > limit:
        failures.append(f"{size_mib} MiB: unlzon/lzop {ratio:.3f} > {limit:.2f}")
    if peak_bytes > peak_limit(in_size, out_size):
        failures.append(
            f"{size_mib} MiB: peak {peak_bytes / MIB:.1f} MiB > in+out+16 = "
            f"{peak_limit(in_size, out_size) / MIB:.1f} MiB"
        )
    return failures


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

    def launch(self, command, log):
        result = subprocess.run(
            [str(self.launcher), "--log", str(log)] + [str(c) for c in command],
            capture_output=True,
            text=True,
        )
        if result.returncode != 0:
            raise BenchError(f"bench_launch failed: {result.stderr.strip()}")
        run = parse_launch_line(result.stdout.strip())
        if run.status != "exit:0":
            text = Path(log).read_text(errors="replace")
            raise BenchError(f"{' '.join(map(str, command))} ended with {run.status}:\n{text}")
        return run

    def run_unlzon(self, container, image):
        output = Path(str(container) + ".nds")
        remove(output)
        run = self.launch([self.unlzon, container], self.run_dir / "unlzon.log")
        self._check(output, image, "unlzon")
        return run

    def run_lzop(self, lzo, image):
        output = lzo.with_suffix(".lzop-out")
        remove(output)
        run = self.launch(["lzop", "-d", "-f", "-o", output, lzo], self.run_dir / "lzop.log")
        self._check(output, image, "lzop -d")
        return run

    @staticmethod
    def _check(output, image, who):
        try:
            same = files_equal(output, image)
        except FileNotFoundError:
            raise BenchError(f"{who} wrote no {output}") from None
        # Removed here, so that every run creates a fresh file.
        remove(output)
        if not same:
            raise BenchError(f"{who}: {output} differs from {image}")

    def measure(self, size_mib, rounds, warm_up):
        image, container, lzo = self.material(size_mib)
        with open(container, "rb") as f:
            header = f.read(16)
        out_size = int.from_bytes(header[8:12], "big")
        in_size = int.from_bytes(header[12:16], "big")
        if warm_up:
            self.run_unlzon(container, image)
            self.run_lzop(lzo, image)
        unlzon_runs, lzop_runs = [], []
        for number in range(rounds):
            # Who goes first alternates, so that a slow drift of the machine
            # does not always favour the same side.
            if number % 2 == 0:
                unlzon_runs.append(self.run_unlzon(container, image))
                lzop_runs.append(self.run_lzop(lzo, image))
            else:
                lzop_runs.append(self.run_lzop(lzo, image))
                unlzon_runs.append(self.run_unlzon(container, image))
        return SizeResult(size_mib, in_size, out_size, lzo.stat().st_size, unlzon_runs, lzop_runs)


@dataclass
class SizeResult:
    size_mib: int
    in_size: int
    out_size: int
    lzo_file_size: int
    unlzon: list
    lzop: list

    @property
    def ratio(self):
        return statistics.median(u.wall_ns / l.wall_ns for u, l in zip(self.unlzon, self.lzop))

    @property
    def peak_bytes(self):
        return max(r.maxrss_kib for r in self.unlzon) * 1024


def median_of(runs, field):
    return statistics.median(getattr(r, field) for r in runs)


def version_of(command, pattern):
    try:
        text = subprocess.run(command, capture_output=True, text=True).stdout
    except OSError:
        return "?"
    found = re.search(pattern, text)
    return found.group(1) if found else "?"


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
    return (
        f"machine: cpu={cpu!r} cores={os.cpu_count()} kernel={platform.release()} "
        f"lzop={lzop_version} lzo(lzop)={lzop_lzo} lzo(unlzon)={unlzon_lzo} "
        f"thp={thp('enabled')} thp-defrag={thp('defrag')}"
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
    print(
        f"    unlzon/lzop median of per-round ratios {r.ratio:.3f}   "
        f"(rounds: {' '.join(f'{u.wall_ns / l.wall_ns:.2f}' for u, l in zip(r.unlzon, r.lzop))})"
    )
    print(
        f"    unlzon peak {r.peak_bytes / MIB:.1f} MiB vs in_size+out_size "
        f"{(r.in_size + r.out_size) / MIB:.1f} MiB (limit +16 = "
        f"{peak_limit(r.in_size, r.out_size) / MIB:.1f} MiB)"
    )


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
    parser.add_argument("--quick", action="store_true",
                        help=f"one {QUICK_SIZE_MIB} MiB image, one round, no target judgement")
    args = parser.parse_args(argv)

    try:
        bench = Bench(args.build.resolve(), args.work.resolve(), args.seed)
        print(machine_line(bench), flush=True)
        if args.quick:
            sizes, rounds, warm_up = (QUICK_SIZE_MIB,), 1, False
        else:
            sizes, rounds, warm_up = FULL_SIZES_MIB, max(args.rounds, 1), True
        print(f"seed {args.seed:#x}, {rounds} round(s)" + (" after a warm-up round" if warm_up
                                                           else ""), flush=True)
        failures = []
        for size_mib in sizes:
            result = bench.measure(size_mib, rounds, warm_up)
            print_result(result)
            sys.stdout.flush()
            failures += judge(size_mib, result.ratio, result.peak_bytes, result.in_size,
                              result.out_size)
    except BenchError as error:
        print(f"FAILED: {error}", flush=True)
        return EXIT_RUN_FAILED

    if args.quick:
        print("quick mode: outputs identical, no target judgement")
        return EXIT_OK
    print("targets: unlzon/lzop <= 0.90 at 4 and 16 MiB, <= 1.00 at 256 MiB; "
          "peak <= in_size + out_size + 16 MiB")
    if failures:
        for failure in failures:
            print(f"  MISSED {failure}")
        return EXIT_TARGET_MISSED
    print("  all met")
    return EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
