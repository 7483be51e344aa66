"""The SCPI server on the virtual instrument, judged by clients we did not
write (PyVISA with its pure-Python backend, and the PyMeasure example
class), and by raw sockets for what a library hides: bad, long and half
lines, clients that vanish in the middle of a response, too many clients,
a refused address, and SIGTERM with words held.

    scpi_server_test.py SERVER CONSOLE EXAMPLES_DIR
"""

import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import scpi_harness
from scpi_harness import HELD, Server, SharedServer, ask, instrument_state

SERVER, CONSOLE, EXAMPLES = sys.argv[1], sys.argv[2], sys.argv[3]
scpi_harness.SERVER = SERVER
del sys.argv[1:4]
sys.path.insert(0, EXAMPLES)

class WithPyVISA(SharedServer):
    """PyVISA over the raw socket, one concern a test, so a failure names it."""

    def setUp(self):
        self.inst = self.server.resource()
        self.inst.write("*RST;*CLS")

    def tearDown(self):
        self.inst.close()

    def test_identification(self):
        maker, model, serial, version = self.inst.query("*IDN?").split(",")
        self.assertEqual(serial, "0")
        self.assertTrue(version[0].isdigit(), version)

    def test_settings_are_said_as_set_and_forgotten_at_rst(self):
        inst = self.inst
        self.assertEqual(inst.query("THR?"), "9.91E37")  # nothing set yet
        inst.write("THR 1000")
        inst.write("SENS:PER 8;POL 0")
        self.assertEqual(inst.query("THR?;PER?;POL?"), "1000;8;0")
        inst.write("*RST")
        self.assertEqual(inst.query("THR?;DATA:POIN?"), "9.91E37;0")

    def test_run_control(self):
        inst = self.inst
        self.assertEqual(inst.query("STAT:OPER:COND?"), "0")
        inst.write("INIT")
        self.assertEqual(inst.query("STAT:OPER:COND?"), "16")
        inst.write("ABOR")
        self.assertEqual(inst.query("STAT:OPER:COND?"), "0")

    def test_data_in_both_formats_and_byte_orders(self):
        inst = self.inst
        inst.write("PER 8;:INIT")
        time.sleep(0.3)
        self.assertGreater(int(inst.query("DATA:POIN?")), 0)
        inst.write("FORM INT,32")
        counts = inst.query_binary_values("DATA:REM? 50", datatype="i", is_big_endian=True)
        self.assertEqual(len(counts), 50)
        self.assertTrue(all(0 <= c <= 8 for c in counts), counts)
        inst.write("FORM:BORD SWAP")
        self.assertEqual(len(inst.query_binary_values("DATA:REM? 5", datatype="i", is_big_endian=False)), 5)
        inst.write("FORM ASC")
        self.assertEqual(len(inst.query_ascii_values("DATA:REM? 5", converter="d")), 5)
        inst.write("ABOR")

    def test_the_error_queue_and_event_status(self):
        inst = self.inst
        inst.write("THR 1000")
        inst.write("THR 5000")
        inst.write("FROB")
        self.assertEqual(inst.query("SYST:ERR:COUN?"), "2")
        self.assertTrue(inst.query("SYST:ERR?").startswith('-222,"Data out of range'))
        self.assertTrue(inst.query("SYST:ERR?").startswith('-113,"Undefined header'))
        self.assertEqual(inst.query("SYST:ERR?"), '0,"No error"')
        self.assertEqual(inst.query("THR?"), "1000", "a refused setting changes nothing")
        self.assertEqual(int(inst.query("*ESR?")) & 0b110000, 0b110000)  # command and execution errors

    def test_the_pymeasure_class_runs_the_instrument(self):
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
            for _ in range(3):
                gone = server.connect(receive_buffer=4096)
                gone.sendall(b"DATA:REM?\n")
                gone.recv(100)
                gone.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                gone.close()  # a reset: the rest of its response cannot be sent
                self.assertTrue(server.logged("are held again"), server.log)
                server.log.clear()
            received = []
            while True:
                reply = ask(s, "DATA:REM? 5000")
                if not reply:
                    break
                received += [int(w) for w in reply.split(",")]
            self.assertEqual(len(received), total)
            self.assertEqual(received[: len(HELD)], HELD)

    def test_a_configuration_that_is_no_file_or_holds_nan_is_refused_at_once(self):
        d = tempfile.mkdtemp(prefix="scpi-config-")
        os.mkfifo(os.path.join(d, "fifo"))  # no writer: opening it would wait for ever
        with open(os.path.join(d, "nan.toml"), "w") as f:
            f.write("tick = nan\n")
        for path in (d, os.path.join(d, "fifo"), os.path.join(d, "nan.toml")):
            r = subprocess.run([scpi_harness.SERVER, "--config", path, "--listen", "127.0.0.1:0", "--no-vxi11"],
                               capture_output=True, text=True, timeout=10)
            self.assertEqual(r.returncode, 2, (path, r.stderr))
            self.assertIn(path, r.stderr)

    def test_words_are_whole_unless_a_gap_marker_is_named(self):
        # A stand-in instrument whose counts include negative ones.
        state = {"VIRTUAL_INSTRUMENT_STATE": instrument_state([10, -20, 30, 0x80000007])}
        with Server(environment=state) as server:
            c = server.connect()
            self.assertEqual(ask(c, "DATA:REM? 10"), "10,-20,30,-2147483641")
            ask(c, "DATA:REM? 1")  # a loss is told at the next
            self.assertEqual(ask(c, "SYST:ERR?"), '0,"No error"', "no loss is invented")
            self.assertEqual(ask(c, "DATA:LOST?"), "0,0")
        state = {"VIRTUAL_INSTRUMENT_STATE": instrument_state([10, -20, 30, 0x80000007])}
        with Server("--gap-marker", "bit31", environment=state) as server:
            c = server.connect()
            self.assertEqual(ask(c, "DATA:REM? 10"), "10,2147483628,30,7", "bit 31 marks a gap; the count is the rest")
            ask(c, "DATA:REM? 1")
            self.assertTrue(ask(c, "SYST:ERR?").startswith("-363,"))
            self.assertEqual(ask(c, "DATA:LOST?"), "0,2")

    def test_more_clients_than_allowed_and_a_refused_address_are_closed_and_logged(self):
        with Server("--max-clients", "2") as server:
            kept = [server.connect(), server.connect()]
            for s in kept:
                ask(s, "*IDN?")
            extra = server.connect()
            told = extra.recv(200)
            self.assertTrue(told.startswith(b'-310,"System error;2 clients already'), told)
            self.assertEqual(extra.recv(10), b"", "then closed")
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

    def test_the_labs_settings_are_sent_at_start_and_after_rst(self):
        config = os.path.join(tempfile.mkdtemp(prefix="scpi-config-"), "lab.toml")
        with open(config, "w") as f:
            f.write("bogus = 1\n")
        unread = subprocess.run([SERVER, "--listen", "127.0.0.1:0", "--config", config], capture_output=True,
                                text=True, timeout=10)
        self.assertEqual(unread.returncode, 2)
        if "this build reads no configuration files" in unread.stderr:  # built without toml++: refused, said
            return
        with open(config, "w") as f:
            f.write("threshold = 1200\nperiod = 8\ntick = 1e-6\n")
        with Server("--config", config) as server:
            s = server.connect()
            self.assertEqual(ask(s, "THR?;PER?;POL?"), "1200;8;9.91E37")
            self.assertEqual(ask(s, "THR 5;*RST;THR?"), "1200")
        with open(config, "w") as f:
            f.write("threshold = 9999\n")
        refused = subprocess.run([SERVER, "--listen", "127.0.0.1:0", "--config", config], capture_output=True,
                                 text=True, timeout=10)
        self.assertEqual(refused.returncode, 2)
        self.assertIn("lab.toml:1: 'threshold'", refused.stderr)

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
