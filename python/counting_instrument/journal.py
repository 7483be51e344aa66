"""Reading a network instrument's journal by index, as many readers may at
once: every word counter-scpi-server read, whole, with its index, and
nothing taken by reading.

    from counting_instrument import JournalReader
    reader = JournalReader("TCPIP::pi.local::5025::SOCKET", start="next")
    for chunk in reader:                  # waits for words, no polling
        if chunk.missed:                  # a reader too slow for the journal's size
            print(chunk.missed, "words missed before", chunk.first)
        if chunk.restarted:               # the server started again: its indices with it
            print("the server restarted; its new life is", reader.identity)
        handle(chunk.words)

The reader keeps its place (`reader.next`): a connection that drops is
opened again at the next read, and the read made again, so no reply lost
on the way loses a word. A server that restarted is told from a gap by its
journal's identity. Needs PyVISA with a backend (Debian: python3-pyvisa,
python3-pyvisa-py).
"""

from dataclasses import dataclass, field


@dataclass
class JournalChunk:
    first: int                     # the index of words[0]
    missed: int = 0                # words that had left the journal before `first`
    words: list = field(default_factory=list)
    restarted: bool = False        # the server's life changed before this chunk


class JournalReader:
    """Every word of a server's journal, in order, once, from `start`:
    "oldest" (all it still holds), "next" (what comes from now on), or an index."""

    def __init__(self, resource, start="oldest", most=65536, wait_ms=1000, timeout_ms=10000,
                 visa_library="@py", identity=None):
        self.resource, self.most, self.wait_ms = resource, int(most), int(wait_ms)
        self.timeout_ms, self.visa_library = timeout_ms, visa_library
        self.start, self.identity, self.next = start, identity, None
        self._inst = None
        self._restarted = False

    def _connect(self):
        import pyvisa
        self._inst = pyvisa.ResourceManager(self.visa_library).open_resource(
            self.resource, read_termination="\n", write_termination="\n")
        self._inst.timeout = max(self.timeout_ms, self.wait_ms + 5000)
        self._inst.write("FORM ASC")
        identity, oldest, following = self._inst.query("DATA:JOUR?").rsplit(",", 2)
        identity = identity.strip('"')
        if self.identity is not None and identity != self.identity:
            self._restarted, self.next = True, 0  # a new life counts from its start
        elif self.next is None:
            self.next = {"oldest": int(oldest), "next": int(following)}.get(self.start, self.start)
            self.next = int(self.next)
        self.identity = identity

    def close(self):
        if self._inst is not None:
            try:
                self._inst.close()
            except Exception:  # noqa: BLE001 - a connection already gone
                pass
        self._inst = None

    def read(self):
        """The next words (none when its wait ran out first). A dropped
        connection raises; the next read opens it again."""
        if self._inst is None:
            self._connect()
        try:
            fields = self._inst.query(f"DATA:READ? {self.next},{self.most},{self.wait_ms}").split(",")
        except Exception:
            self.close()
            raise
        if len(fields) < 2 or not fields[0].lstrip("-").isdigit():
            self.close()  # an error answered with nothing: the place may be another life's
            raise ConnectionError(f"the server refused DATA:READ? {self.next}")
        chunk = JournalChunk(int(fields[0]), int(fields[1]), [int(w) for w in fields[2:]], self._restarted)
        self._restarted = False
        self.next = chunk.first + len(chunk.words)
        return chunk

    def __iter__(self):
        while True:
            yield self.read()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
