"""The counting instrument, as PyMeasure drives it through counter-scpi-server.

    from counting_instrument import CountingInstrument
    inst = CountingInstrument("TCPIP::pi.local::5025::SOCKET", visa_library="@py")
    inst.threshold = 1000
    inst.period = 64
    inst.start()
    counts = inst.counts()          # every word the server holds, oldest first (the hold: one taker)
    inst.stop()

counts() takes words from the server's hold: the door for one taker. A
script that shares the instrument with others (a GUI, an archiver) reads
the journal instead (read() here, or JournalReader), which takes nothing.

Needs PyMeasure and PyVISA with a backend (Debian: python3-pymeasure,
python3-pyvisa, python3-pyvisa-py; then pass visa_library="@py").
"""

from pymeasure.instruments import Instrument
from pymeasure.instruments.validators import strict_discrete_set, strict_range


def _setting(value):
    """A setting's query: None until the server has set it (SCPI's NaN)."""
    return None if float(value) > 1e37 else int(value)


class CountingInstrument(Instrument):
    """A counting instrument on a Raspberry Pi, served over SCPI."""

    threshold = Instrument.control(
        "THR?", "THR %d", "Pulse height above which a pulse counts, 0 to 4095 (read back by the instrument).",
        validator=strict_range, values=[0, 4095], get_process=_setting)
    polarity = Instrument.control(
        "POL?", "POL %d", "Pulses counted: 0 positive, 1 negative.",
        validator=strict_discrete_set, values=[0, 1], get_process=_setting)
    period = Instrument.control(
        "PER?", "PER %d", "Ticks per measurement, 1 to 4095.",
        validator=strict_range, values=[1, 4095], get_process=_setting)
    running = Instrument.measurement(
        "STAT:OPER:COND?", "True while a run is on.", get_process=lambda v: int(v) == 16)
    points = Instrument.measurement(
        "DATA:POIN?", "Words available: those the server holds and those the instrument holds.",
        get_process=int)

    def __init__(self, adapter, name="Counting instrument", **kwargs):
        kwargs.setdefault("read_termination", "\n")
        kwargs.setdefault("write_termination", "\n")
        super().__init__(adapter, name, includeSCPI=True, **kwargs)

    def start(self):
        """Starts a run; the server drains the instrument while it is on."""
        self.write("INIT")

    def stop(self):
        self.write("ABOR")

    def counts(self, most=None):
        """Takes up to `most` words (all when None), oldest first, as 32-bit integers."""
        self.write("FORM INT,32;:FORM:BORD NORM")
        command = "DATA:REM?" if most is None else f"DATA:REM? {int(most)}"
        return list(self.adapter.connection.query_binary_values(command, datatype="i", is_big_endian=True))

    def journal(self):
        """The server's journal: (identity of its life, oldest index held, next index)."""
        identity, oldest, following = self.ask("DATA:JOUR?").rsplit(",", 2)
        return identity.strip('"'), int(oldest), int(following)

    def read(self, first, most=65536, wait_ms=0):
        """Words from index `first`, none taken: (their first index, words missed before it, words)."""
        self.write("FORM ASC")
        fields = self.ask(f"DATA:READ? {int(first)},{int(most)},{int(wait_ms)}").split(",")
        return int(fields[0]), int(fields[1]), [int(w) for w in fields[2:]]

    def errors(self):
        """The errors the server queued for this connection, oldest first; empties the queue."""
        found = []
        while True:
            code, text = self.ask("SYST:ERR?").split(",", 1)
            if int(code) == 0:
                return found
            found.append((int(code), text.strip('"')))
