"""The server as a VXI-11 instrument, opened as VISA opens a LAN instrument
by default: TCPIP::127.0.0.1::INSTR through pyvisa-py, with no termination
set, found through a real rpcbind. Runs inside tests/in_private_network.sh,
which gives it a network and an rpcbind of its own.

    vxi11_test.py SCPI_SERVER
"""

import os
import signal
import socket
import subprocess
import sys
import time
import unittest

import pyvisa
from pyvisa_py.protocols import vxi11 as vxi11_protocol

import scpi_harness
from scpi_harness import HELD, Server, ask, instrument_state

scpi_harness.SERVER = sys.argv[1]
del sys.argv[1:2]

DEVICE_CORE = 395183


def registered():
    listing = subprocess.run(["rpcinfo", "-p", "127.0.0.1"], capture_output=True, text=True, timeout=10).stdout
    return any(line.split()[:1] == [str(DEVICE_CORE)] for line in listing.splitlines())


def instr():
    inst = pyvisa.ResourceManager("@py").open_resource("TCPIP::127.0.0.1::INSTR")
    inst.timeout = 5000
    return inst


class Vxi11Instrument(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server(vxi11=True, environment={"VIRTUAL_INSTRUMENT_CLOCK": "wall"}).__enter__()
        assert cls.server.logged("registered with rpcbind"), "".join(cls.server.log)

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)

    def test_queries_settings_and_a_binary_read_out_need_no_termination(self):
        self.assertTrue(registered())
        inst = instr()
        self.assertTrue(inst.query("*IDN?").startswith("counter-console,counting-instrument,"))
        inst.write("PER 10;:POL 1")
        self.assertEqual(inst.query("PER?;:POL?").strip(), "10;1")
        inst.write("INIT")
        time.sleep(0.3)
        inst.write("ABOR")
        points = int(inst.query("DATA:POIN?"))
        self.assertGreater(points, 0)
        inst.write("FORM INT,32")
        words = inst.query_binary_values("DATA:REM?", datatype="i", is_big_endian=True)
        self.assertEqual(len(words), points)
        self.assertEqual(int(inst.query("DATA:POIN?")), 0)
        inst.close()

    def test_each_link_has_its_own_error_queue_and_clear_keeps_it(self):
        a, b = instr(), instr()
        a.write("NO:SUCH:COMMAND")
        a.write("*IDN?")
        a.clear()  # the unread answer goes; the error stays
        self.assertEqual(b.query("SYST:ERR?").strip(), '0,"No error"')
        self.assertTrue(a.query("SYST:ERR?").startswith("-113,"))
        self.assertEqual(int(a.query("*STB?")), 0)
        a.close()
        b.close()

    def test_a_lock_holds_off_other_links_and_socket_clients(self):
        holder, other = instr(), instr()
        holder.lock_excl()
        with self.assertRaises(pyvisa.VisaIOError):  # pyvisa-py does not wait: refused at once
            other.query("*IDN?")
        waiting = self.server.connect()
        waiting.sendall(b"*IDN?\n")
        waiting.settimeout(0.5)
        with self.assertRaises(socket.timeout):
            waiting.recv(100)
        # A link that asks to wait for the lock waits its lock_timeout, then is refused.
        core = vxi11_protocol.CoreClient("127.0.0.1")
        _, link, _, _ = core.create_link(1, 0, 0, "inst0")
        began = time.monotonic()
        self.assertEqual(core.device_lock(link, vxi11_protocol.OP_FLAG_WAIT_BLOCK, 400), 11)
        self.assertGreaterEqual(time.monotonic() - began, 0.35)
        # So does a link made with the lock asked for.
        error, _, _, _ = vxi11_protocol.CoreClient("127.0.0.1").create_link(2, 1, 300, "inst0")
        self.assertEqual(error, 11)
        holder.unlock()
        waiting.settimeout(5)
        self.assertTrue(waiting.recv(100).startswith(b"counter-console,"))
        self.assertTrue(other.query("*IDN?").startswith("counter-console,"))
        self.assertEqual(core.device_lock(link, 0, 0), 0)
        core.destroy_link(link)  # a destroyed link gives the lock back
        self.assertTrue(other.query("*IDN?").startswith("counter-console,"))
        for i in (holder, other):
            i.close()
        waiting.close()


class Vxi11Turns(unittest.TestCase):
    def test_half_sent_calls_delay_no_socket_client(self):
        with Server(vxi11=True) as server:
            self.assertTrue(server.logged("registered with rpcbind"))
            port = int(subprocess.run(["rpcinfo", "-p", "127.0.0.1"], capture_output=True, text=True)
                       .stdout.split(f"{DEVICE_CORE}    1   tcp")[1].split()[0])
            stalled = []
            for _ in range(5):  # a record mark promising 100 bytes, and 3 of them
                s = socket.create_connection(("127.0.0.1", port))
                s.sendall(b"\x80\x00\x00\x64abc")
                stalled.append(s)
            with server.connect() as c:
                began = time.monotonic()
                for _ in range(10):
                    self.assertTrue(ask(c, "*IDN?").startswith("counter-console,"))
                self.assertLess(time.monotonic() - began, 1.0)  # a bound, not a benchmark
            for s in stalled:
                s.close()


class Vxi11Words(unittest.TestCase):
    def test_a_link_that_dies_mid_read_loses_no_word(self):
        state = instrument_state(HELD)
        with Server(vxi11=True, environment={"VIRTUAL_INSTRUMENT_STATE": state}) as server:
            self.assertTrue(server.logged("registered with rpcbind"))
            # A client that asks for every word and dies before reading them.
            code = ("import os, pyvisa\n"
                    "i = pyvisa.ResourceManager('@py').open_resource('TCPIP::127.0.0.1::INSTR')\n"
                    "i.write('FORM ASC'); i.write('DATA:REM?'); os._exit(0)\n")
            subprocess.run(["/usr/bin/python3", "-c", code], check=True, timeout=30)
            self.assertTrue(server.logged("words it did not show it received are held again"))
            with server.connect() as s:
                self.assertEqual([int(w) for w in ask(s, "DATA:REM?").split(",")], HELD)

    def test_without_rpcbind_the_socket_still_serves_and_the_log_says_why(self):
        os.kill(int(os.environ["RPCBIND_PID"]), signal.SIGTERM)
        time.sleep(0.2)
        with Server(vxi11=True) as server:
            self.assertTrue(server.logged("rpcbind does not answer"))
            with server.connect() as s:
                self.assertTrue(ask(s, "*IDN?").startswith("counter-console,"))


class Vxi11Registration(unittest.TestCase):
    def test_the_registration_goes_with_the_server(self):
        with Server(vxi11=True) as server:
            self.assertTrue(server.logged("registered with rpcbind"))
            self.assertTrue(registered())
            self.assertEqual(server.stop(), 0)
        self.assertFalse(registered())


if __name__ == "__main__":
    # The registration test before the one that stops rpcbind.
    loader = unittest.TestLoader()
    suite = unittest.TestSuite([loader.loadTestsFromTestCase(c) for c in (Vxi11Instrument, Vxi11Turns, Vxi11Registration, Vxi11Words)])
    sys.exit(0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1)
