"""What the SCPI server's tests share: the server as a process with its log
collected as it comes, a raw-socket question and answer, and a shared
virtual instrument's state file holding chosen words.

Every server listens on 127.0.0.1, on a port the kernel picks (port 0),
and every wait is bounded.
"""

import os
import re
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import pyvisa

SERVER = None  # set by the test program from its command line

# Words the instrument holds at power-on in some tests: distinct, so that a
# word lost or delivered twice shows.
HELD = [2000000000 + i for i in range(4095)]


def instrument_state(words, running=0, period=16):
    """A shared virtual instrument's state file holding `words`."""
    directory = tempfile.mkdtemp(prefix="scpi-test-")
    path = os.path.join(directory, "instrument")
    with open(path, "w") as f:
        f.write("counter virtual instrument state 1\n")
        for name, value in [("period", period), ("threshold", 2048), ("polarity", 0), ("running", running),
                            ("ticks", 0), ("next_close", period), ("overflow", 0), ("gap_pending", 0),
                            ("latched_size", 0), ("random_state", 1), ("fifo", len(words))]:
            f.write(f"{name} {value}\n")
        for w in words:
            f.write(f"{w & 0xFFFFFFFF}\n")
        f.write("end\n")
    return path


def eventually(condition, within=30, every=0.05):
    """True once `condition()` is; False when `within` seconds pass first."""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(every)
    return condition()


def generated(n, period=16, threshold=2048, polarity=0, state=1):
    """The counts the virtual instrument measures from a generator state:
    each of `period` pulses counts when its sign is the polarity's and its
    height is above the threshold."""
    out = []
    for _ in range(n):
        count = 0
        for _ in range(period):
            state ^= (state << 13) & 0xFFFFFFFF
            state ^= state >> 17
            state ^= (state << 5) & 0xFFFFFFFF
            negative = (state & 3) == 0
            if negative == (polarity == 1) and ((state >> 20) & 0xFFF) > threshold:
                count += 1
        out.append(count)
    return out


class Server:
    """The server as a process, its log collected as it comes."""

    def __init__(self, *options, environment=None, preexec=None, vxi11=False, listen="127.0.0.1:0"):
        env = dict(os.environ, **(environment or {}))
        self.spool = tempfile.mkdtemp(prefix="scpi-spool-")
        # VXI-11 only where a test asks: servers in parallel would share the
        # machine's rpcbind.
        extra = [] if vxi11 else ["--no-vxi11"]
        self.process = subprocess.Popen([SERVER, "--listen", listen, "--spool-dir", self.spool, *extra, *options],
                                        stderr=subprocess.PIPE, text=True, env=env,
                                        preexec_fn=preexec)
        self.log = []
        self.port = None
        self.http_port = None
        listening = threading.Event()

        def collect():
            for line in self.process.stderr:
                self.log.append(line)
                found = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
                page = re.search(r"the web page on http://127\.0\.0\.1:(\d+)/", line)
                if page:
                    self.http_port = int(page.group(1))
                if found:
                    self.port = int(found.group(1))
                    listening.set()
            listening.set()

        threading.Thread(target=collect, daemon=True).start()
        if not listening.wait(10) or self.port is None:
            self.process.kill()
            raise RuntimeError("the server did not start: " + "".join(self.log))

    def connect(self, receive_buffer=None):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if receive_buffer:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        s.settimeout(10)
        s.connect(("127.0.0.1", self.port))
        return s

    def resource(self):
        rm = pyvisa.ResourceManager("@py")
        inst = rm.open_resource(f"TCPIP::127.0.0.1::{self.port}::SOCKET", read_termination="\n",
                                write_termination="\n")
        inst.timeout = 10000
        return inst

    def stop(self, sig=signal.SIGTERM, within=10):
        self.process.send_signal(sig)
        return self.process.wait(within)

    def cpu_seconds(self):
        """The processor time the server has used, user and system."""
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def logged(self, text, within=5):
        deadline = time.monotonic() + within
        while time.monotonic() < deadline:
            if any(text in line for line in self.log):
                return True
            time.sleep(0.02)
        return False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def ask(s, line):
    """Sends a line and reads one response line."""
    s.sendall(line.encode() + b"\n")
    reply = b""
    while not reply.endswith(b"\n"):
        chunk = s.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        reply += chunk
    return reply[:-1].decode()


class SharedServer(unittest.TestCase):
    """Tests that share one server, started before the first."""

    @classmethod
    def setUpClass(cls):
        cls.server = Server().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
