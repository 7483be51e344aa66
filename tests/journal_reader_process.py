"""A reader by index as a process of its own, for tests that kill it: it
appends "INDEX WORD" lines to FILE as it reads, and started again over the
same file it goes on after the last whole line.

    journal_reader_process.py PYTHON_DIR RESOURCE FILE
"""

import os
import signal
import sys

sys.path.insert(0, sys.argv[1])
from counting_instrument import JournalReader  # noqa: E402

resource, path = sys.argv[2], sys.argv[3]
start = 0
if os.path.exists(path):
    with open(path, "rb+") as f:
        data = f.read()
        whole = data[: data.rfind(b"\n") + 1]  # a line cut short by a kill is read again
        f.seek(len(whole))
        f.truncate()
        lines = [line for line in whole.decode().splitlines() if not line.startswith("#")]
        if lines:
            start = int(lines[-1].split()[0]) + 1

signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
with JournalReader(resource, start=start, wait_ms=300) as reader, open(path, "a") as out:
    while True:
        chunk = reader.read()
        if chunk.missed:
            out.write(f"# missed {chunk.missed} before {chunk.first}\n")
        out.write("".join(f"{chunk.first + i} {w}\n" for i, w in enumerate(chunk.words)))
        out.flush()
