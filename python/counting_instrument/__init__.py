"""The counting instrument from Python: its network instrument
(counter-scpi-server) and the files countctl writes.

    from counting_instrument import CountingInstrument   # PyMeasure's instrument class
    from counting_instrument import JournalReader        # every word by index, for many readers
    from counting_instrument import load                 # a CSV or HDF5 file of countctl's

Each part imports what it needs when it is first used: PyMeasure for the
class, PyVISA for the reader, numpy, pandas and h5py for the files.
"""

__all__ = ["CountingInstrument", "JournalReader", "JournalChunk", "load", "Counts"]

_WHERE = {"CountingInstrument": "instrument", "JournalReader": "journal", "JournalChunk": "journal",
          "load": "files", "Counts": "files"}


def __getattr__(name):
    if name not in _WHERE:
        raise AttributeError(f"module 'counting_instrument' has no attribute '{name}'")
    import importlib
    return getattr(importlib.import_module(f".{_WHERE[name]}", __name__), name)
