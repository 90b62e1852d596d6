#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Checks of the benchmark's own parts: the launcher's figures and the judgement.

Usage: test_bench.py PATH/TO/bench_launch
"""

import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

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


class JudgementTest(unittest.TestCase):
    def test_ratio_limits_are_inclusive_and_sizes_without_one_pass(self):
        small, image = 1 * bench.MIB, 4 * bench.MIB
        self.assertEqual(bench.judge(4, 0.90, 0, small, image), [])
        self.assertEqual(len(bench.judge(16, 0.901, 0, small, image)), 1)
        self.assertEqual(bench.judge(256, 1.00, 0, small, image), [])
        self.assertEqual(len(bench.judge(256, 1.01, 0, small, image)), 1)
        self.assertEqual(bench.judge(1, 5.0, 0, small, image), [])

    def test_peak_limit_is_both_buffers_plus_16_mib(self):
        limit = 3 * bench.MIB + 5 * bench.MIB + 16 * bench.MIB
        self.assertEqual(bench.judge(1, 0, limit, 3 * bench.MIB, 5 * bench.MIB), [])
        self.assertEqual(len(bench.judge(1, 0, limit + 1024, 3 * bench.MIB, 5 * bench.MIB)), 1)

    def test_malformed_launch_line_is_rejected(self):
        with self.assertRaises(ValueError):
            bench.parse_launch_line("wall_ns=1 maxrss_kib=2")


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
