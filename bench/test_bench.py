#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Checks of the benchmark's own parts: the launcher's figures, the ratios and the judgement.

Usage: test_bench.py PATH/TO/bench_launch
"""

import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path
from unittest import mock

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench  # noqa: E402

LAUNCHER = None


def launch(*command, log=os.devnull):
    result = subprocess.run([LAUNCHER, "--log", log, *command], capture_output=True, text=True)
    return result.returncode, result.stdout.strip()


class LauncherTest(unittest.TestCase):
    def test_peak_is_the_child_own_not_the_caller(self):
        # This process holds far more than the child ever will; none of it may
        # show up in the child's figure, while the child's own buffer must.
        ballast = bytearray(b"\1" * (96 * bench.MIB))
        code, line = launch("true")
        small = bench.parse_launch_line(line)
        code_dd, line_dd = launch("dd", "if=/dev/zero", "of=/dev/null", "bs=48M", "count=1")
        large = bench.parse_launch_line(line_dd)
        del ballast
        self.assertEqual((code, code_dd), (0, 0))
        self.assertEqual((small.status, large.status), ("exit:0", "exit:0"))
        self.assertLess(small.maxrss_kib, 16 * 1024)
        self.assertGreaterEqual(large.maxrss_kib, 48 * 1024)
        self.assertGreater(small.wall_ns, 0)

    def test_status_of_the_command_is_reported_not_returned(self):
        with tempfile.TemporaryDirectory() as tmp:
            log = os.path.join(tmp, "log")
            cases = [
                (["sh", "-c", "echo out; echo err >&2; exit 3"], "exit:3", "out\nerr\n"),
                (["sh", "-c", "kill -TERM $$"], "signal:15", ""),
                ([os.path.join(tmp, "missing")], "exit:127", "bench_launch: cannot run"),
            ]
            for command, status, logged in cases:
                with self.subTest(command=command):
                    code, line = launch(*command, log=log)
                    self.assertEqual(code, 0)
                    self.assertEqual(bench.parse_launch_line(line).status, status)
                    self.assertIn(logged, Path(log).read_text())

    def test_unusable_log_fails_the_launch(self):
        code, line = launch("true", log="/nonexistent-dir/log")
        self.assertEqual((code, line), (127, ""))


def result(mode, size_mib, unlzon_ms, lzop_ms, peak_mib=1, in_mib=1, out_mib=None):
    """A SizeResult with the given wall times (ms) per round and unlzon's peak."""
    def runs(times, rss_mib):
        return [bench.Run(int(t * 1e6), rss_mib * 1024, 0, 0, 0, 0, "exit:0") for t in times]
    out_mib = size_mib if out_mib is None else out_mib
    return bench.SizeResult(mode, size_mib, in_mib * bench.MIB, out_mib * bench.MIB, 0,
                            runs(unlzon_ms, peak_mib), runs(lzop_ms, 1))


class RatiosTest(unittest.TestCase):
    def test_ratios_pair_rounds_and_report_median_and_range(self):
        # The median of the per-round ratios differs from the ratio of the
        # medians here (0.8 vs 1.0), so pairing by round is what is checked.
        cases = [
            ([80, 160, 400], [100, 200, 400], [0.8, 0.8, 1.0], 0.8, 0.8, 1.0),
            ([50, 300], [100, 200], [0.5, 1.5], 1.0, 0.5, 1.5),
            ([7], [7], [1.0], 1.0, 1.0, 1.0),
        ]
        for unlzon_ns, lzop_ns, rounds, median, low, high in cases:
            with self.subTest(unlzon=unlzon_ns, lzop=lzop_ns):
                r = bench.ratios_of(unlzon_ns, lzop_ns)
                self.assertEqual(r.rounds, rounds)
                self.assertEqual((r.median, r.low, r.high), (median, low, high))

    def test_unpaired_or_empty_series_are_rejected(self):
        for unlzon_ns, lzop_ns in (([1, 2], [1]), ([], [])):
            with self.subTest(unlzon=unlzon_ns, lzop=lzop_ns), self.assertRaises(ValueError):
                bench.ratios_of(unlzon_ns, lzop_ns)


class JudgementTest(unittest.TestCase):
    def test_ratio_limits_by_mode_are_inclusive_and_sizes_without_one_pass(self):
        cases = [
            ("warm", 1, 0.80, True), ("warm", 4, 0.801, False), ("warm", 16, 0.70, True),
            ("warm", 256, 0.701, False), ("cold", 1, 0.801, False), ("cold", 4, 0.80, True),
            ("cold", 16, 0.701, False), ("cold", 256, 0.70, True),
            ("tmpfs", 16, 0.80, True), ("tmpfs", 256, 0.81, False), ("tmpfs", 1, 0.81, False),
            ("warm", 2, 5.0, None), ("cold", 64, 5.0, None), ("replace", 4, 5.0, None),
        ]
        for mode, size_mib, median, met in cases:
            with self.subTest(mode=mode, size=size_mib, median=median):
                verdict = bench.ratio_verdict(mode, size_mib, median)
                self.assertEqual(None if verdict is None else verdict.met, met)
                if verdict is not None:
                    self.assertIn("met" if met else "MISSED", verdict.line())

    def test_peak_limit_is_8_mib_up_to_4_mib_images_and_none_above(self):
        limit = 8 * bench.MIB
        self.assertTrue(bench.peak_verdict(4, {"warm": limit}, 4 * bench.MIB).met)
        over = bench.peak_verdict(4, {"warm": 1, "cold": limit + 1024}, 4 * bench.MIB)
        self.assertFalse(over.met)
        self.assertIn("(cold)", over.text)
        self.assertIsNone(bench.peak_verdict(16, {"warm": 100 * bench.MIB}, 16 * bench.MIB))

    def test_judge_gives_one_ratio_verdict_per_judged_series_and_one_peak_per_size(self):
        results = [
            result("warm", 4, [70, 90, 100], [100, 100, 100]),  # median 0.90: missed
            result("cold", 4, [70, 80, 100], [100, 100, 100]),  # 0.80: met
            result("warm", 2, [500], [100]),  # no ratio target at 2 MiB
            result("cold", 2, [100], [100], peak_mib=9),  # over 8 MiB
        ]
        verdicts = bench.judge(results)
        self.assertEqual([v.met for v in verdicts], [False, True, True, False])
        self.assertEqual([v.text.split()[0] for v in verdicts], ["warm", "cold", "peak", "peak"])

    def test_batch_is_judged_on_its_median_ratio_and_the_largest_run_peak(self):
        def batch(unlzon_ms, peak_mib, largest_in_mib=3):
            runs = [bench.Run(int(t * 1e6), peak_mib * 1024, 0, 0, 0, 0, "exit:0")
                    for t in unlzon_ms]
            lzop = [bench.Run(int(100e6), 1024, 0, 0, 0, 0, "exit:0")] * len(unlzon_ms)
            return bench.BatchResult(200, 2, bench.MIB, 4 * bench.MIB,
                                     largest_in_mib * bench.MIB, runs, lzop)
        cases = [
            (batch([60, 80, 99], 8), [True, True]),  # both limits are inclusive
            (batch([81, 70, 90], 9), [False, False]),  # median 0.81; over 8 MiB
            (batch([80], 4, largest_in_mib=1), [True, True]),
        ]
        for result_, met in cases:
            with self.subTest(met=met):
                self.assertEqual([v.met for v in bench.batch_verdicts(result_)], met)

    def test_huge_image_is_judged_on_peak_median_time_and_blocks(self):
        def huge(walls_ms, peak_mib, blocks):
            runs = [bench.Run(int(t * 1e6), peak_mib * 1024, 0, 0, 0, 0, "exit:0")
                    for t in walls_ms]
            return bench.HugeResult(3, 1 << 30, runs, blocks)
        cases = [
            (huge([5, 6, 500], 4, 0), [True, True, True]),  # the median, not the worst, counts
            (huge([101, 120, 5], 17, 8), [False, False, False]),
            (huge([100], 16, 0), [True, True, True]),  # the limits are inclusive
        ]
        for result_, met in cases:
            with self.subTest(met=met):
                self.assertEqual([v.met for v in bench.huge_verdicts(result_)], met)

    def test_busy_machine_is_noted_above_the_threshold_only(self):
        for load, noted in (("0.02", False), ("0.50", False), ("0.51", True), ("?", False)):
            with self.subTest(load=load):
                self.assertEqual(bench.busy_note(load, "at the start") is not None, noted)

    def test_malformed_launch_line_is_rejected(self):
        with self.assertRaises(ValueError):
            bench.parse_launch_line("wall_ns=1 maxrss_kib=2")


class OptionsTest(unittest.TestCase):
    def test_modes_run_in_fixed_order_and_unknown_ones_are_rejected(self):
        self.assertEqual(bench.parse_modes("tmpfs,warm"), ("warm", "tmpfs"))
        self.assertEqual(bench.parse_modes("replace,cold"), ("cold", "replace"))
        self.assertEqual(bench.parse_modes(" cold "), ("cold",))
        for bad in ("", "hot", "warm,,tepid"):
            with self.subTest(modes=bad), self.assertRaises(ValueError):
                bench.parse_modes(bad)

    def test_sizes_are_whole_positive_mib(self):
        self.assertEqual(bench.parse_sizes("4,256"), (4, 256))
        for bad in ("", "0", "4,x"):
            with self.subTest(sizes=bad), self.assertRaises(ValueError):
                bench.parse_sizes(bad)


class BatchTest(unittest.TestCase):
    def test_sizes_are_fixed_by_the_seed_and_spread_over_the_range(self):
        for count in (1, 10, 200):
            with self.subTest(count=count):
                sizes = bench.batch_sizes(7, count)
                self.assertEqual(sizes, bench.batch_sizes(7, count))
                self.assertEqual(len(sizes), count)
                span = (bench.BATCH_MAX_SIZE - bench.BATCH_MIN_SIZE) / count
                # One size in each slice of the range, whatever the order.
                slices = sorted(int((s - bench.BATCH_MIN_SIZE) // span) for s in sizes)
                self.assertEqual(slices, list(range(count)))
        self.assertNotEqual(bench.batch_sizes(7, 10), bench.batch_sizes(8, 10))
        self.assertNotEqual(bench.batch_sizes(7, 10), sorted(bench.batch_sizes(7, 10)))

    def test_check_removes_every_output_and_names_a_missing_or_wrong_one(self):
        with tempfile.TemporaryDirectory() as tmp:
            image = b"demo image"
            manifest = {"a": [len(image), bench.zlib.crc32(image)],
                        "b": [len(image), bench.zlib.crc32(image)]}
            outputs = {name: Path(tmp, name) for name in manifest}
            cases = [
                ((image, image), None),
                ((image, b"demo imagE"), "b differs"),
                ((image, image + b"\0"), "b differs"),
                ((None, image), "wrote no"),
            ]
            for contents, error in cases:
                with self.subTest(error=error):
                    for path, content in zip(outputs.values(), contents):
                        if content is not None:
                            path.write_bytes(content)
                    if error is None:
                        bench.check_batch(manifest, outputs, "tool")
                    else:
                        with self.assertRaisesRegex(bench.BenchError, error):
                            bench.check_batch(manifest, outputs, "tool")
                    self.assertEqual([p for p in outputs.values() if p.exists()], [])


class FsTypeTest(unittest.TestCase):
    MOUNTINFO = "\n".join([
        "26 1 254:0 / / rw,relatime - ext4 /dev/vda rw",
        "24 23 0:22 / /dev/shm rw,relatime - tmpfs tmpfs rw,size=1k",
        "29 23 0:26 / /dev/shm rw,relatime - ramfs ramfs rw",
        "40 26 0:40 / /mnt/my\\040disk rw shared:1 - xfs /dev/vdb rw",
        "41 26 0:41 / /dev/shmx rw - btrfs /dev/vdc rw",
    ])

    def test_deepest_and_latest_mount_holds_the_path(self):
        cases = [
            ("/work/bench", "ext4"),
            ("/dev/shm/unlzon-bench-x", "ramfs"),  # the later mount hides the earlier
            ("/dev/shm", "ramfs"),
            ("/dev/shmx/y", "btrfs"),  # a name that only starts like a mount point
            ("/mnt/my disk/x", "xfs"),  # an escaped space in the mount point
        ]
        for path, kind in cases:
            with self.subTest(path=path):
                self.assertEqual(bench.fs_type(path, self.MOUNTINFO), kind)
        self.assertEqual(bench.fs_type("/x", ""), "?")


class TmpfsFolderTest(unittest.TestCase):
    @unittest.skipUnless(bench.fs_type("/dev/shm") == "tmpfs", "/dev/shm is no tmpfs here")
    def test_shm_folder_is_private_and_gone_after_a_failure_inside(self):
        with self.assertRaises(RuntimeError):
            with bench.tmpfs_folder("shm", bench.MIB) as folder:
                Path(folder, "left").write_bytes(b"x")
                self.assertEqual(bench.fs_type(folder), "tmpfs")
                self.assertEqual(folder.stat().st_mode & 0o777, 0o700)
                raise RuntimeError
        self.assertFalse(folder.exists())

    def test_mounting_without_root_or_room_fails_with_a_reason(self):
        with mock.patch.object(bench.os, "geteuid", return_value=1000):
            with self.assertRaisesRegex(bench.BenchError, "needs root"):
                with bench.tmpfs_folder("mount", bench.MIB):
                    pass
        if bench.fs_type("/dev/shm") == "tmpfs":
            with self.assertRaisesRegex(bench.BenchError, "MiB free"):
                with bench.tmpfs_folder("shm", 1 << 60):
                    pass


class FilesEqualTest(unittest.TestCase):
    def test_difference_past_the_first_chunk_or_in_length_is_found(self):
        with tempfile.TemporaryDirectory() as tmp:
            a, b, c = (os.path.join(tmp, n) for n in "abc")
            data = bytes(range(256)) * 64
            Path(a).write_bytes(data)
            Path(b).write_bytes(data[:-1] + b"\0")
            Path(c).write_bytes(data + b"\0")
            self.assertTrue(bench.files_equal(a, a, chunk=1000))
            self.assertFalse(bench.files_equal(a, b, chunk=1000))
            self.assertFalse(bench.files_equal(a, c, chunk=1000))

    def test_check_keeps_a_right_output_for_the_next_run_to_replace_only_when_asked(self):
        with tempfile.TemporaryDirectory() as tmp:
            image, output = Path(tmp, "image"), Path(tmp, "output")
            image.write_bytes(b"demo")
            output.write_bytes(b"demo")
            bench.Bench._check(output, image, "tool", keep=True)
            self.assertTrue(output.exists())
            output.write_bytes(b"dem0")
            with self.assertRaises(bench.BenchError):
                bench.Bench._check(output, image, "tool", keep=True)
            self.assertFalse(output.exists())

    def test_check_removes_the_output_and_rejects_wrong_or_missing_bytes(self):
        with tempfile.TemporaryDirectory() as tmp:
            image, output = Path(tmp, "image"), Path(tmp, "output")
            image.write_bytes(b"demo")
            for content, fails in ((b"demo", False), (b"dem0", True), (None, True)):
                with self.subTest(content=content):
                    if content is not None:
                        output.write_bytes(content)
                    if fails:
                        with self.assertRaises(bench.BenchError):
                            bench.Bench._check(output, image, "tool")
                    else:
                        bench.Bench._check(output, image, "tool")
                    self.assertFalse(output.exists())


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    LAUNCHER = sys.argv.pop(1)
    unittest.main()
