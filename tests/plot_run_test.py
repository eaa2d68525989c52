"""tools/plot-run: what it reads from a run's output, what it refuses, and
that it draws a PNG."""

import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "tools", "plot-run")
CAPTURED = os.path.join(HERE, "data", "run-12-files.txt")  # a real run: 12 files of 256 MiB on tmpfs

loader = importlib.machinery.SourceFileLoader("plot_run", SCRIPT)
spec = importlib.util.spec_from_loader("plot_run", loader)
plot_run = importlib.util.module_from_spec(spec)
loader.exec_module(plot_run)


def captured():
    with open(CAPTURED, encoding="utf-8") as file:
        return file.read()


REPORT_3 = """Memory status: 3
                    Using memory size:               14%
                Total physical memory:         24683676KiB
            Available physical memory:         21119244KiB
               Committed memory limit:         12341836KiB
          Available commitable memory:          9129448KiB
     Total virtual address space size:     137438953468KiB
 Available virtual address space size:     137435804272KiB
"""


class ReadsARun(unittest.TestCase):
    def test_captured_run_gives_every_figure_of_every_report(self):
        run = plot_run.parse(captured())
        self.assertEqual([index for index, _ in run["reports"]], list(range(13)))
        self.assertIsNone(run["failure"])
        first, last = run["reports"][0][1], run["reports"][-1][1]
        self.assertEqual(first, {
            "load": 1, "total_phys": 24683676, "avail_phys": 24267332, "commit_limit": 12341836,
            "avail_commit": 12275176, "total_virtual": 137438953468, "avail_virtual": 137438950000,
        })
        self.assertEqual(last["load"], 14)
        self.assertEqual(last["avail_virtual"], 137435804272)
        # Each view takes 256 MiB of address space.
        virtual = plot_run.series(run, "avail_virtual")
        self.assertTrue(all(a - b >= 262144 for a, b in zip(virtual, virtual[1:])))

    def test_windows_line_ends_read_the_same(self):
        self.assertEqual(plot_run.parse(captured().replace("\n", "\r\n")), plot_run.parse(captured()))

    def test_missing_report_is_a_gap_and_a_failed_run_is_noted(self):
        text = ("Creating file: 0\nFailed to get memory status: 0: No such file or directory\n"
                "Created file: 0\nwaiting (1s)\nCreating file: 1\n" + REPORT_3.replace("status: 3", "status: 1")
                + "failed to MapViewOfFile: 1: Cannot allocate memory\n")
        run = plot_run.parse(text)
        self.assertEqual(plot_run.series(run, "load"), [None, 14])
        self.assertEqual(run["failure"], "failed to MapViewOfFile: 1: Cannot allocate memory")

    def test_text_that_is_not_the_tools_output_is_refused_at_its_first_bad_line(self):
        cases = [
            ("", "line 1: a memory status report"),
            ("Usage: map-view-of-file map_size n_maps write_gap\n", "line 1: a line of map-view-of-file's output"),
            ("Creating file: 0\nhello\n", "line 2: a line of"),
            (REPORT_3.replace("21119244", "2111924x"), "line 4: the 'Available physical memory' line of report 3"),
            (REPORT_3.replace("       21119244", "21119244"), "line 4: the 'Available physical memory' line"),
            ("\n".join(REPORT_3.split("\n")[:5]) + "\n", "line 6: the 'Available commitable memory' line"),
            (REPORT_3 + REPORT_3, "line 9: a report after report 3"),
            (REPORT_3 + "failed to CreateFile: 3: File exists\nwaiting (1s)\n",
             "line 10: nothing may follow the line that ended the run"),
        ]
        for text, message in cases:
            with self.subTest(text=text[:40]):
                with self.assertRaises(plot_run.NotToolOutput) as caught:
                    plot_run.parse(text)
                self.assertIn(message, str(caught.exception))


class DrawsAPicture(unittest.TestCase):
    def test_draws_a_png_from_a_captured_run(self):
        with tempfile.TemporaryDirectory() as scratch:
            picture = os.path.join(scratch, "run.png")
            result = subprocess.run([sys.executable, SCRIPT, "-o", picture, CAPTURED],
                                    capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(picture, "rb") as file:
                self.assertEqual(file.read(8), b"\x89PNG\r\n\x1a\n")
            self.assertGreater(os.path.getsize(picture), 10000)

    def test_refuses_other_text_with_a_message_and_no_picture(self):
        with tempfile.TemporaryDirectory() as scratch:
            picture = os.path.join(scratch, "run.png")
            result = subprocess.run([sys.executable, SCRIPT, "-o", picture], input="total 0\n",
                                    capture_output=True, text=True)
            self.assertEqual(result.returncode, 2)
            self.assertIn("standard input: not map-view-of-file's output: line 1", result.stderr)
            self.assertFalse(os.path.exists(picture))


if __name__ == "__main__":
    unittest.main()
