"""The SCPI server on the virtual instrument, judged by clients we did not
write (PyVISA with its pure-Python backend, and the PyMeasure example
class), and by raw sockets for what a library hides: bad, long and half
lines, clients that vanish in the middle of a response, too many clients,
a refused address, and SIGTERM with words held.

    scpi_server_test.py SERVER CONSOLE EXAMPLES_DIR

Every server listens on 127.0.0.1, on a port the kernel picks (port 0),
and every wait is bounded.
"""

import os
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import pyvisa

SERVER, CONSOLE, EXAMPLES = sys.argv[1], sys.argv[2], sys.argv[3]
del sys.argv[1:4]
sys.path.insert(0, EXAMPLES)

# Words the instrument holds at power-on in some tests: distinct, so that a
# word lost or delivered twice shows.
HELD = [-2000000000 - i for i in range(4095)]


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


class Server:
    """The server as a process, its log collected as it comes."""

    def __init__(self, *options, environment=None):
        env = dict(os.environ, **(environment or {}))
        self.spool = tempfile.mkdtemp(prefix="scpi-spool-")
        self.process = subprocess.Popen([SERVER, "--listen", "127.0.0.1:0", "--spool-dir", self.spool, *options],
                                        stderr=subprocess.PIPE, text=True, env=env)
        self.log = []
        self.port = None
        listening = threading.Event()

        def collect():
            for line in self.process.stderr:
                self.log.append(line)
                found = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
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

    def stop(self, sig=signal.SIGTERM):
        self.process.send_signal(sig)
        return self.process.wait(10)

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


class WithPyVISA(unittest.TestCase):
    def test_identification_settings_run_control_data_and_errors(self):
        with Server() as server:
            inst = server.resource()
            maker, model, serial, version = inst.query("*IDN?").split(",")
            self.assertEqual(serial, "0")
            self.assertTrue(version[0].isdigit(), version)

            self.assertEqual(inst.query("THR?"), "9.91E37")  # nothing set yet
            inst.write("THR 1000")
            inst.write("SENS:PER 8;POL 0")
            self.assertEqual(inst.query("THR?;PER?;POL?"), "1000;8;0")
            self.assertEqual(inst.query("STAT:OPER:COND?"), "0")
            inst.write("INIT")
            self.assertEqual(inst.query("STAT:OPER:COND?"), "16")
            time.sleep(0.3)
            self.assertGreater(int(inst.query("DATA:POIN?")), 0)

            inst.write("FORM INT,32")
            counts = inst.query_binary_values("DATA:REM? 50", datatype="i", is_big_endian=True)
            self.assertEqual(len(counts), 50)
            self.assertTrue(all(0 <= c <= 8 for c in counts), counts)
            inst.write("FORM:BORD SWAP")
            swapped = inst.query_binary_values("DATA:REM? 5", datatype="i", is_big_endian=False)
            self.assertEqual(len(swapped), 5)
            inst.write("FORM ASC")
            ascii_counts = inst.query_ascii_values("DATA:REM? 5", converter="d")
            self.assertEqual(len(ascii_counts), 5)
            inst.write("ABOR")
            self.assertEqual(inst.query("STAT:OPER:COND?"), "0")

            inst.write("THR 5000")
            inst.write("FROB")
            self.assertEqual(inst.query("SYST:ERR:COUN?"), "2")
            self.assertTrue(inst.query("SYST:ERR?").startswith('-222,"Data out of range'))
            self.assertTrue(inst.query("SYST:ERR?").startswith('-113,"Undefined header'))
            self.assertEqual(inst.query("SYST:ERR?"), '0,"No error"')
            self.assertEqual(inst.query("THR?"), "1000", "a refused setting changes nothing")
            self.assertEqual(int(inst.query("*ESR?")) & 0b110000, 0b110000)  # command and execution errors
            inst.write("*RST")
            self.assertEqual(inst.query("THR?;DATA:POIN?"), "9.91E37;0")
            inst.close()

    def test_the_pymeasure_example_class_runs_the_instrument(self):
        from counting_instrument import CountingInstrument

        with Server() as server:
            inst = CountingInstrument(f"TCPIP::127.0.0.1::{server.port}::SOCKET", visa_library="@py")
            inst.threshold = 1000
            inst.period = 8
            self.assertEqual((inst.threshold, inst.period), (1000, 8))
            inst.start()
            self.assertTrue(inst.running)
            time.sleep(0.2)
            counts = inst.counts(20)
            self.assertEqual(len(counts), 20)
            inst.stop()
            self.assertFalse(inst.running)
            self.assertEqual(inst.errors(), [])
            inst.adapter.connection.close()


class WithRawSockets(unittest.TestCase):
    def test_bad_long_and_half_lines_keep_the_connection_and_delay_nobody(self):
        with Server() as server:
            half = server.connect()
            half.sendall(b"*IDN")  # and never the rest of the line
            s = server.connect()
            s.sendall(b"X" * (70 * 1024) + b"\n")  # longer than a line may be: dropped, said once
            self.assertTrue(ask(s, "*IDN?").startswith("counter-console,"))
            self.assertTrue(ask(s, "SYST:ERR?").startswith('-223,"Too much data'))
            self.assertEqual(ask(s, "*IDN? 5;:DIAG:INT?;A::B;:SYST:ERR:COUN?"), "3")
            self.assertTrue(ask(s, "SYST:ERR?").startswith("-108,"))
            self.assertTrue(ask(s, "SYST:ERR?").startswith("-109,"))
            self.assertTrue(ask(s, "SYST:ERR?").startswith("-102,"))
            half.close()
            s.close()

    def test_words_of_a_client_that_vanishes_mid_response_are_received_once_in_order(self):
        # The distinct words first, then a run at period 1 fills the hold
        # with far more than a socket takes at once.
        state = instrument_state(HELD, period=1)
        with Server("--hold-words", "100000", environment={"VIRTUAL_INSTRUMENT_STATE": state}) as server:
            s = server.connect()
            ask(s, "INIT;*OPC?")
            self.assertTrue(server.logged("words, all it may", within=10), server.log)  # the hold filled: said
            total = int(ask(s, "ABOR;DATA:POIN?"))  # stopped: no word is measured from here on
            self.assertGreaterEqual(total, 100000)
            self.assertTrue(ask(s, "SYST:ERR?").startswith('-363,"Input buffer overrun;'))
            for _ in range(3):
                gone = server.connect(receive_buffer=4096)
                gone.sendall(b"DATA:REM?\n")
                gone.recv(100)
                gone.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                gone.close()  # a reset: the rest of its response cannot be sent
                self.assertTrue(server.logged("words it did not receive are held again"), server.log)
                server.log.clear()
            received = []
            while True:
                reply = ask(s, "DATA:REM? 5000")
                if not reply:
                    break
                received += [int(w) for w in reply.split(",")]
            self.assertEqual(len(received), total)
            self.assertEqual(received[: len(HELD)], HELD)

    def test_more_clients_than_allowed_and_a_refused_address_are_closed_and_logged(self):
        with Server("--max-clients", "2") as server:
            kept = [server.connect(), server.connect()]
            for s in kept:
                ask(s, "*IDN?")
            extra = server.connect()
            self.assertEqual(extra.recv(10), b"", "closed at once")
            self.assertTrue(server.logged("refused (2 clients already"), server.log)
            self.assertTrue(ask(kept[0], "*IDN?").startswith("counter-console,"))
        with Server("--allow", "10.0.0.0/8") as server:
            outsider = server.connect()
            self.assertEqual(outsider.recv(10), b"")
            self.assertTrue(server.logged("refused (not in --allow)"), server.log)
        refused = subprocess.run([SERVER, "--listen", "0.0.0.0:0"], capture_output=True, text=True, timeout=10)
        self.assertEqual(refused.returncode, 2)
        self.assertIn("--allow", refused.stderr)

    def test_sigterm_writes_the_words_held_to_the_spool_file(self):
        state = instrument_state(HELD, running=1, period=4095)
        with Server(environment={"VIRTUAL_INSTRUMENT_STATE": state}) as server:
            s = server.connect()
            ask(s, "INIT;*OPC?")  # the run goes on: the server drains the instrument
            deadline = time.monotonic() + 5
            while int(ask(s, "DATA:POIN?")) < len(HELD) and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertEqual(server.stop(), 0, server.log)
            self.assertTrue(server.logged(" words held are in "), server.log)
            (spooled,) = os.listdir(server.spool)
            with open(os.path.join(server.spool, spooled)) as f:
                rows = [line.strip().split(",") for line in f if not line.startswith("#")]
            self.assertEqual(rows[0], ["index", "count"])
            counts = [int(c) for _, c in rows[1:]]
            self.assertEqual(counts[: len(HELD)], HELD)

    def test_a_console_started_meanwhile_is_refused_and_told_where_the_server_listens(self):
        lock = os.path.join(tempfile.mkdtemp(prefix="scpi-lock-"), "bus.lock")
        with Server(environment={"COUNTER_BUS_LOCK": lock}) as server:
            console = subprocess.run([CONSOLE], input="0\n", capture_output=True, text=True, timeout=10,
                                     env=dict(os.environ, COUNTER_BUS_LOCK=lock))
            self.assertEqual(console.returncode, 4)
            self.assertIn(f"listening on 127.0.0.1:{server.port}", console.stderr)
            self.assertEqual(console.stdout, "")


if __name__ == "__main__":
    unittest.main(verbosity=2)
