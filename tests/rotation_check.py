"""countctl acquire --rotate: one file per interval, named by its start time
in UTC so that they sort, the index unbroken from file to file (no word
lost or doubled at a boundary), each file whole, and a stop signal ending
the last one cleanly.

    rotation_check.py COUNTCTL
"""

import os
import signal
import subprocess
import sys
import tempfile
import time

countctl = sys.argv[1]
out = tempfile.mkdtemp(prefix="rotation-")
run = subprocess.Popen([countctl, "acquire", "--rotate", "1s", "--output-dir", out, "--period", "16", "-q"],
                       stderr=subprocess.PIPE, text=True)
time.sleep(3.4)
run.send_signal(signal.SIGTERM)
_, err = run.communicate(timeout=20)
assert run.returncode == 128 + signal.SIGTERM, (run.returncode, err)

files = sorted(os.listdir(out))
assert len(files) >= 3, files
assert all(f.endswith("Z.csv") and len(f) == len("20261208T220325Z.csv") for f in files), files
expected_index = 1
for number, name in enumerate(files, 1):
    with open(os.path.join(out, name)) as f:
        lines = f.read().splitlines()
    rows = [line for line in lines if line[:1].isdigit()]
    indexes = [int(row.split(",")[0]) for row in rows]
    assert indexes == list(range(expected_index, expected_index + len(rows))), (name, indexes[:3])
    assert f"# file {number} of the run, from index {expected_index};" in "\n".join(lines), name
    assert f"# words: {len(rows)}" in lines, name
    last = name == files[-1]
    assert lines[-1] == ("# stopped: SIGTERM" if last else "# stopped: rotated; the run goes on in the next file"), lines[-1]
    expected_index += len(rows)
assert not [f for f in os.listdir(out) if ".tmp-" in f]
print(f"rotation: {len(files)} files, {expected_index - 1} words, the index unbroken, the last ended by SIGTERM")

# Back-to-back runs whose end meets a rotation: one file each, never a file
# of a few words after the last, never a name collision.
loop = tempfile.mkdtemp(prefix="rotation-loop-")
for _ in range(3):
    done = subprocess.run([countctl, "acquire", "--rotate", "2s", "--seconds", "2", "--output-dir", loop,
                           "--period", "16", "-q"], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, (done.returncode, done.stderr)
files = sorted(os.listdir(loop))
assert len(files) == 3 and not [f for f in files if ".tmp-" in f], files

# A name already taken (a file of an earlier run, a clock stepped back):
# the next in sequence, as the server's spool does.
taken = tempfile.mkdtemp(prefix="rotation-taken-")
now = time.time()
for ahead in range(4):
    open(os.path.join(taken, time.strftime("%Y%m%dT%H%M%SZ.csv", time.gmtime(now + ahead))), "w").close()
done = subprocess.run([countctl, "acquire", "--rotate", "1s", "--seconds", "1.5", "--output-dir", taken,
                       "--period", "16", "-q"], capture_output=True, text=True, timeout=30)
assert done.returncode == 0, (done.returncode, done.stderr)
numbered = [f for f in os.listdir(taken) if f.endswith("Z-2.csv")]
assert numbered and all(os.path.getsize(os.path.join(taken, f)) > 0 for f in numbered), os.listdir(taken)

# A directory that is not there is refused before the bus is taken.
missing = subprocess.run([countctl, "acquire", "--rotate", "1s", "--seconds", "1", "--output-dir",
                          os.path.join(taken, "missing")], capture_output=True, text=True, timeout=30)
assert missing.returncode == 2 and "No such file or directory" in missing.stderr, (missing.returncode, missing.stderr)
