"""Whole rotated runs and the Python loader: countctl merge of a rotated
run equals one unrotated run of the same words; a break in the indices is
said and nothing written; convert keeps words, settings and the gap rule
both ways; HDF5 datasets carry their units and gaps is always there; plot
draws a run's directory; and counting_instrument.load gives what h5py and
pandas read by hand, the gap rule included.

    count_files_test.py COUNTCTL PYTHON_DIR
"""

import os
import re
import subprocess
import sys
import tempfile
import unittest

COUNTCTL, PYTHON = sys.argv[1], sys.argv[2]
del sys.argv[1:3]
sys.path.insert(0, PYTHON)
from counting_instrument import load  # noqa: E402

try:
    import h5py
    import numpy as np
    import pandas as pd
except ImportError as missing:  # CI installs them; say what a machine lacks
    print(f"{missing.name} is missing (apt-get install python3-h5py python3-pandas): not checked")
    sys.exit(77)


def countctl(*args, ok=True):
    done = subprocess.run([COUNTCTL, *args], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, XDG_CONFIG_HOME="/nonexistent"))
    if ok:
        assert done.returncode == 0, (args, done.returncode, done.stderr)
    return done


def rows(path):
    with open(path) as f:
        return [line for line in f.read().splitlines() if line[:1].isdigit()]


class RotatedRuns(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="count-files-")
        cls.run_dir = os.path.join(cls.scratch, "run")
        os.mkdir(cls.run_dir)
        countctl("acquire", "--rotate", "1s", "--seconds", "2.5", "--output-dir", cls.run_dir, "--period", "4095",
                 "--threshold", "1000", "--tick", "1e-6", "-q")
        cls.files = sorted(os.listdir(cls.run_dir))
        cls.words = sum(len(rows(os.path.join(cls.run_dir, f))) for f in cls.files)

    def test_a_merged_run_is_one_unrotated_run_word_for_word(self):
        self.assertGreaterEqual(len(self.files), 3, self.files)
        one = os.path.join(self.scratch, "one.csv")
        countctl("acquire", "--words", str(self.words), "--period", "4095", "--threshold", "1000", "--tick", "1e-6",
                 "-q", "-o", one)
        merged = os.path.join(self.scratch, "merged.csv")
        countctl("merge", self.run_dir, "-o", merged)
        self.assertEqual(rows(merged), rows(one), "index, count and time_s, row for row")
        with open(merged) as f:
            text = f.read()
        self.assertIn(f"# words: {self.words}\n", text)
        self.assertIn("# settings sent: threshold 1000, period 4095\n", text)
        self.assertIn(f"# merged: {len(self.files)} files of a rotated run, from index 1\n", text)

    def test_a_break_in_the_indices_is_said_and_nothing_written(self):
        broken = os.path.join(self.scratch, "broken")
        os.mkdir(broken)
        for name in (self.files[0], self.files[2]):
            os.link(os.path.join(self.run_dir, name), os.path.join(broken, name))
        out = os.path.join(self.scratch, "broken.csv")
        done = countctl("merge", broken, "-o", out, ok=False)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("the indices break between", done.stderr)
        self.assertIn(self.files[2], done.stderr)
        self.assertFalse(os.path.exists(out))

    def test_hdf5_has_units_and_gaps_and_converts_back_unchanged(self):
        h5 = os.path.join(self.scratch, "run.h5")
        back = os.path.join(self.scratch, "back.csv")
        countctl("merge", self.run_dir, "-o", h5)
        countctl("convert", h5, back)
        merged = os.path.join(self.scratch, "merged-for-h5.csv")
        countctl("merge", self.run_dir, "-o", merged)
        self.assertEqual(rows(back), rows(merged))
        with h5py.File(h5) as f:
            for name in ("counts", "time_s", "entry/read_out/first_index", "entry/read_out/utc_s"):
                self.assertIn("units", f[name].attrs, name)
            self.assertEqual(f["entry"].attrs["gaps"], 0, "gaps always, 0 without a marker")
            self.assertEqual(f["entry"].attrs["threshold"], 1000)

    def test_plot_draws_a_runs_directory(self):
        picture = os.path.join(self.scratch, "run.svg")
        countctl("plot", self.run_dir, "-o", picture)
        with open(picture) as f:
            self.assertIn("<svg", f.read(2000))


class Loader(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="loader-")
        # A file as countctl writes it with gap_marker = "bit31": two words after gaps.
        cls.csv = os.path.join(cls.scratch, "marked.csv")
        marked = [5, -2147483641, 7, 0, -2147483648, 12]  # bit 31 set: counts 7 and 0 after gaps
        with open(cls.csv, "w") as f:
            f.write("# countctl 1.0.0: acquire --words 6 --threshold 900 --period 8 --tick 1e-06\n"
                    "# settings sent: threshold 900, period 8\n# threshold read back: 900\n"
                    "# tick: 1e-06 s; time_s is index x period x tick = index x 8e-06 s, from the run's start\n"
                    "# gap marker: bit31 (a word with bit 31 set follows a gap; its count is bits 30..0)\n"
                    "index,count,time_s\n")
            for i, w in enumerate(marked, 1):
                f.write(f"{i},{w},{i * 8e-6:.6f}\n")
            f.write("# ended: 2026-12-10T00:00:00Z\n# words: 6\n# gaps: 2 (...)\n# stopped: target reached\n")
        cls.h5 = os.path.join(cls.scratch, "marked.h5")
        countctl("convert", cls.csv, cls.h5)

    def test_csv_and_hdf5_give_what_pandas_and_h5py_read_by_hand(self):
        by_hand = pd.read_csv(self.csv, comment="#")
        with h5py.File(self.h5) as f:
            h5_words, h5_times = f["counts"][()], f["time_s"][()]
            h5_threshold = f["entry"].attrs["threshold"]
        for path in (self.csv, self.h5):
            run = load(path)
            np.testing.assert_array_equal(run.words, by_hand["count"].to_numpy())
            np.testing.assert_array_equal(run.words, h5_words)
            np.testing.assert_allclose(run.time_s, by_hand["time_s"].to_numpy(), rtol=1e-6)
            np.testing.assert_allclose(run.time_s, h5_times, rtol=1e-6)
            np.testing.assert_array_equal(run.index, np.arange(1, 7))
            self.assertEqual(run.gap_marker, "bit31", path)
            np.testing.assert_array_equal(run.gaps, [False, True, False, False, True, False])
            np.testing.assert_array_equal(run.counts, [5, 7, 7, 0, 0, 12])
            self.assertEqual((run.settings["threshold"], run.settings["period"]), (900, 8))
            self.assertEqual(run.settings["threshold"], h5_threshold)
            self.assertAlmostEqual(run.settings["tick_s"], 1e-6)
            self.assertEqual(run.units["time_s"], "s")
            frame = run.frame()
            self.assertEqual(list(frame["count"]), [5, 7, 7, 0, 0, 12])
            self.assertEqual(frame.attrs["gap_marker"], "bit31")

    def test_plot_reads_the_files_own_gap_rule_and_keeps_its_axes_from_zero(self):
        def tick_labels(path):
            picture = os.path.join(self.scratch, os.path.basename(path) + ".svg")
            countctl("plot", path, "-o", picture)
            with open(picture) as f:
                return [label.strip() for label in re.findall(r'<tspan font-family="sans" >([^<]*)</tspan>', f.read())]

        marked = tick_labels(self.csv)  # no configuration names the marker: the file does
        self.assertIn("12", marked)
        self.assertFalse([label for label in marked if label.startswith("-")], marked)
        unmarked = os.path.join(self.scratch, "unmarked.csv")
        with open(self.csv) as f, open(unmarked, "w") as out:
            out.writelines(line for line in f if not line.startswith("# gap marker"))
        self.assertTrue([label for label in tick_labels(unmarked) if label.startswith("-")],
                        "words read whole are negative, and the axis goes below zero for them")

    def test_a_file_without_a_marker_reads_every_word_as_its_count(self):
        plain = os.path.join(self.scratch, "plain.csv")
        with open(self.csv) as f, open(plain, "w") as out:
            out.writelines(line for line in f if not line.startswith("# gap marker"))
        run = load(plain)
        self.assertEqual(run.gap_marker, "none")
        self.assertFalse(run.gaps.any())
        self.assertEqual(int(run.counts[1]), -2147483641, "a word is what the instrument sent")


if __name__ == "__main__":
    unittest.main(verbosity=2)
