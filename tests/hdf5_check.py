"""countctl's HDF5 files, read by h5py (Debian's python3-h5py): the counts
the same run writes as CSV, their time axis, the layout and the attributes
analysis relies on, and no file left when the output cannot be made.

    hdf5_check.py COUNTCTL        (exit 77: h5py or HDF5 support missing)
"""

import os
import subprocess
import sys
import tempfile

try:
    import h5py
except ImportError:
    print("h5py is missing (apt-get install python3-h5py): not checked")
    sys.exit(77)

countctl = sys.argv[1]
work = tempfile.mkdtemp(prefix="hdf5-check-")
# The virtual instrument marks gaps with bit 31: the lab's configuration says so.
marker = os.path.join(tempfile.mkdtemp(prefix="hdf5-config-"), "bit31.toml")
with open(marker, "w") as f:
    f.write('gap_marker = "bit31"\n')
run = ["--config", marker, "acquire", "--period", "4", "--threshold", "1000", "--tick", "2e-6", "--words", "6000", "-q"]
h5 = subprocess.run([countctl, *run, "-o", os.path.join(work, "run.h5")], capture_output=True, text=True)
if "writes no HDF5" in h5.stderr:
    print("this countctl was built without HDF5: not checked")
    sys.exit(77)
assert h5.returncode == 0, h5.stderr
csv = subprocess.run([countctl, *run, "--format", "plain"], capture_output=True, text=True, check=True)
# Every program powers on its own virtual instrument: the same run, the same counts.
expected = [int(c) for c in csv.stdout.split()]

with h5py.File(os.path.join(work, "run.h5"), "r") as f:
    counts = f["counts"]
    assert counts.dtype == "int32" and counts.shape == (6000,), (counts.dtype, counts.shape)
    assert counts.chunks is not None and counts.compression == "gzip", (counts.chunks, counts.compression)
    assert list(counts[:]) == expected
    assert f["entry/data/counts"].id == counts.id, "the NXdata group holds the same dataset"
    time_s = f["time_s"][:]
    assert abs(time_s[0] - 8e-6) < 1e-12 and abs(time_s[-1] - 6000 * 8e-6) < 1e-9, (time_s[0], time_s[-1])
    entry = f["entry"].attrs
    for key in ("program", "version", "platform", "command_line", "started", "ended", "settings_sent", "words", "gaps", "stopped"):
        assert key in entry, (key, dict(entry))
    # Numbers as numbers, text as str: dict(attrs) is usable as it comes.
    assert entry["settings_sent"] == "threshold 1000, period 4", entry["settings_sent"]
    assert (entry["threshold"], entry["period"], entry["threshold_read_back"]) == (1000, 4, 1000), dict(entry)
    assert entry["words"] == 6000 and entry["gaps"] >= 0 and entry["first_index"] == 1, dict(entry)
    assert abs(entry["tick_s"] - 2e-6) < 1e-15 and entry["target_words"] == 6000, dict(entry)
    for key in ("threshold", "period", "words", "gaps", "threshold_read_back", "first_index"):
        assert entry[key].dtype.kind == "i", (key, entry[key].dtype)
    assert entry["platform"] == "virtual instrument" and isinstance(entry["started"], str)
    assert f["entry"].attrs["NX_class"] == "NXentry" and f["entry/data"].attrs["signal"] == "counts"
    read_out = f["entry/read_out/first_index"][:]
    assert read_out[0] == 1 and (read_out[1:] > read_out[:-1]).all(), read_out
    assert f["entry/read_out/utc_s"][0] > 1.7e9

# A rotated run's HDF5 files say where each stands in the run, as the CSV does.
rotated = tempfile.mkdtemp(prefix="hdf5-rotated-")
subprocess.run([countctl, "acquire", "--rotate", "1s", "--seconds", "2.5", "--output-dir", rotated, "--format", "hdf5",
                "--period", "16", "-q"], check=True, timeout=60)
files = sorted(os.listdir(rotated))
assert len(files) >= 2 and all(name.endswith(".h5") for name in files), files
for number, name in enumerate(files, 1):
    with h5py.File(os.path.join(rotated, name), "r") as f:
        assert f["entry"].attrs["file_of_the_run"] == number and f["entry"].attrs["rotate_s"] == 1, dict(f["entry"].attrs)

# A disk that fills during the run: status 3 with the words lost counted,
# no crash at exit, and no file left that h5py could not open.
def small_files():
    import resource, signal
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (30000, 30000))

full = os.path.join(tempfile.mkdtemp(prefix="hdf5-full-"), "run.h5")
for ending in (["--words", "400000"], ["--seconds", "600"]):
    cut = subprocess.Popen([countctl, "acquire", "--period", "1", *ending, "-o", full], stderr=subprocess.PIPE,
                           text=True, preexec_fn=small_files)
    _, err = cut.communicate(timeout=60)
    assert cut.returncode == 3, (cut.returncode, err)
    assert "words read from the instrument were not written" in err, err
    assert os.listdir(os.path.dirname(full)) == [], os.listdir(os.path.dirname(full))

# HDF5 goes to a regular file: a FIFO or a device is refused before the bus is taken.
for stream in ("/dev/null", os.path.join(work, "fifo")):
    if not os.path.exists(stream):
        os.mkfifo(stream)
    refused = subprocess.run([countctl, *run, "-o", stream, "--format", "hdf5"], capture_output=True, text=True,
                             timeout=30)
    assert refused.returncode == 3 and "regular file" in refused.stderr, (refused.returncode, refused.stderr)
os.remove(os.path.join(work, "fifo"))

# No half file when the directory cannot take one.
missing = subprocess.run([countctl, *run, "-o", os.path.join(work, "no", "run.h5")], capture_output=True, text=True)
assert missing.returncode == 3 and not os.path.exists(os.path.join(work, "no")), missing.stderr
assert sorted(os.listdir(work)) == ["run.h5"], os.listdir(work)
print("HDF5: counts as the CSV's, their time axis, NeXus layout and attributes; nothing left on failure")
