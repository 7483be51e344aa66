"""countctl's files (CSV or HDF5, one file or a rotated run's) as numpy
arrays or a pandas frame, with the settings, gap rule and units the files
carry.

    from counting_instrument import load
    run = load("run.h5")                 # or "run.csv", a list of files, or a run's directory
    run.counts, run.index, run.time_s    # numpy arrays; time_s is None without a tick
    run.settings["threshold"]            # what the file says it was made with
    frame = run.frame()                  # pandas: index, word, count, gap (and time_s)

A word is what the instrument sent: 32 bits, signed (`words`). Only a file
that says its words were marked ("gap marker: bit31") reads a word with
bit 31 set as a gap: `gap` is then True and `counts` holds bits 30..0.
Needs numpy; pandas for frame(), h5py for HDF5 files.
"""

import os
import re
from dataclasses import dataclass, field

UNITS = {"index": "1", "word": "counts", "count": "counts", "time_s": "s"}


@dataclass
class Counts:
    index: object                    # numpy int64: each word's index in the run, from 1
    words: object                    # numpy int32: the words, whole and signed
    counts: object                   # numpy int64: each word's count, by the gap rule
    gaps: object                     # numpy bool: the word follows a gap (bit31 rule only)
    time_s: object = None            # numpy float64: index x period x tick, with a tick
    settings: dict = field(default_factory=dict)    # threshold, polarity, period, tick_s, ...
    attributes: dict = field(default_factory=dict)  # every "key: value" the file says
    gap_marker: str = "none"
    units: dict = field(default_factory=lambda: dict(UNITS))
    files: list = field(default_factory=list)

    def __len__(self):
        return len(self.words)

    def frame(self):
        """A pandas DataFrame of the words, its attrs the settings, gap rule and units."""
        import pandas as pd
        columns = {"index": self.index, "word": self.words, "count": self.counts, "gap": self.gaps}
        if self.time_s is not None:
            columns["time_s"] = self.time_s
        frame = pd.DataFrame(columns)
        frame.attrs.update(settings=dict(self.settings), gap_marker=self.gap_marker, units=dict(self.units),
                           files=list(self.files))
        return frame


def _number(text):
    match = re.match(r"\s*([-+]?\d+(?:\.\d*)?(?:[eE][-+]?\d+)?)", str(text))
    if not match:
        return None
    value = match.group(1)
    return float(value) if any(c in value for c in ".eE") else int(value)


def _settings(said):
    out = {}
    sent = str(said.get("settings sent", ""))
    for name in ("threshold", "polarity", "period"):
        found = re.search(rf"\b{name} (\d+)", sent)
        if found:
            out[name] = int(found.group(1))
        elif name in said and _number(said[name]) is not None:
            out[name] = _number(said[name])
    if "threshold read back" in said:
        out["threshold_read_back"] = _number(said["threshold read back"])
    for key, name in (("tick", "tick_s"), ("tick s", "tick_s")):
        if key in said and _number(said[key]) is not None:
            out[name] = float(_number(said[key]))
    return out


def _read_csv(path):
    import numpy as np
    said, notes, index, words, times, columns = {}, [], [], [], [], None
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("# "):
                key, colon, value = line[2:].partition(": ")
                if columns is None and colon:
                    said.setdefault(key, value)
                elif columns is not None:
                    notes.append(line[2:])
                continue
            if columns is None:
                columns = line.split(",")
                if columns[:2] != ["index", "count"]:
                    raise ValueError(f"{path} is not a file of counts countctl wrote (its header row is {line!r})")
                continue
            cells = line.split(",")
            index.append(int(cells[0]))
            words.append(int(cells[1]))
            if len(columns) > 2:
                times.append(float(cells[2]))
    if columns is None:
        raise ValueError(f"{path} is not a file of counts countctl wrote (no header row)")
    for note in notes:
        key, colon, value = note.partition(": ")
        if colon and key in ("ended", "words", "gaps", "stopped"):
            said[key] = value
    return (said, np.array(index, dtype=np.int64), np.array(words, dtype=np.int32),
            np.array(times, dtype=np.float64) if len(columns) > 2 else None)


def _read_h5(path):
    import h5py
    import numpy as np
    with h5py.File(path, "r") as f:
        words = np.asarray(f["counts"][()], dtype=np.int32)
        times = np.asarray(f["time_s"][()], dtype=np.float64) if "time_s" in f else None
        said = {}
        for key, value in f["entry"].attrs.items():
            if isinstance(value, bytes):
                value = value.decode("utf-8", "replace")
            elif hasattr(value, "item"):
                value = value.item()
            said[key.replace("_", " ")] = value
    first = int(said.pop("first index", 1))
    return said, np.arange(first, first + len(words), dtype=np.int64), words, times


def _paths(source):
    if isinstance(source, (list, tuple)):
        return [p for s in source for p in _paths(s)]
    source = os.fspath(source)
    if os.path.isdir(source):
        inside = sorted(n for n in os.listdir(source) if not n.startswith(".") and n.endswith((".csv", ".h5", ".hdf5")))
        if not inside:
            raise ValueError(f"{source} holds no .csv or .h5 file")
        return [os.path.join(source, n) for n in inside]
    return [source]


def load(source):
    """A file countctl wrote (CSV or HDF5), several files of one rotated run,
    or its directory, as one Counts. Indices that break between files raise
    ValueError, naming where."""
    import numpy as np
    parts = []
    for path in _paths(source):
        said, index, words, times = _read_h5(path) if path.endswith((".h5", ".hdf5")) else _read_csv(path)
        if parts and len(parts[-1][1]) and len(index) and index[0] != parts[-1][1][-1] + 1:
            raise ValueError(f"the indices break between {parts[-1][4]} (last {parts[-1][1][-1]}) "
                             f"and {path} (first {index[0]})")
        parts.append((said, index, words, times, path))
    said = dict(parts[0][0])
    for key in ("ended", "stopped"):
        if key in parts[-1][0]:
            said[key] = parts[-1][0][key]
    index = np.concatenate([p[1] for p in parts])
    words = np.concatenate([p[2] for p in parts])
    times = None if any(p[3] is None for p in parts) else np.concatenate([p[3] for p in parts])
    marker = str(said.get("gap marker", "none")).split(" ")[0]
    if marker not in ("none", "bit31"):
        raise ValueError(f"{parts[0][4]} names a gap marker this loader does not know: {marker!r}")
    if marker == "bit31":
        bits = words.view(np.uint32)
        gaps = (bits & np.uint32(0x80000000)) != 0
        counts = np.where(gaps, bits & np.uint32(0x7FFFFFFF), words).astype(np.int64)
    else:
        gaps = np.zeros(len(words), dtype=bool)
        counts = words.astype(np.int64)
    return Counts(index=index, words=words, counts=counts, gaps=gaps, time_s=times, settings=_settings(said),
                  attributes=said, gap_marker=marker, files=[p[4] for p in parts])
