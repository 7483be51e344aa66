"""countctl acquire --server: a recording by index through a dropped
connection and a restart of the server. Between countctl and the server
stands a relay the test can cut; the server behind it is stopped and
started again on the same instrument. The file's words are compared with
the virtual instrument's own sequence: each word of the first life once,
in order; after the restart, said in the file, the sequence goes on with
none written twice.

    countctl_server_test.py SERVER COUNTCTL
"""

import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import scpi_harness
from scpi_harness import Server, eventually, generated, instrument_state

SERVER, COUNTCTL = sys.argv[1], sys.argv[2]
scpi_harness.SERVER = SERVER
del sys.argv[1:3]


class Relay:
    """Forwards connections to the server of the moment; cut() drops them all."""

    def __init__(self, backend):
        self.backend = backend
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.pairs, self.lock = [], threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            try:
                server = socket.create_connection(("127.0.0.1", self.backend), timeout=5)
            except OSError:  # no server behind it for now: the client tries again
                client.close()
                continue
            with self.lock:
                self.pairs.append((client, server))
            for a, b in ((client, server), (server, client)):
                threading.Thread(target=self._pump, args=(a, b), daemon=True).start()

    @staticmethod
    def _pump(a, b):
        try:
            while data := a.recv(65536):
                b.sendall(data)
        except OSError:
            pass
        for s in (a, b):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def cut(self):
        with self.lock:
            pairs, self.pairs = self.pairs, []
        for pair in pairs:
            for s in pair:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                s.close()


def rows(path):
    try:
        with open(path) as f:
            return sum(1 for line in f if line[:1].isdigit())
    except FileNotFoundError:
        return 0


class ThroughALostConnectionAndARestart(unittest.TestCase):
    def test_every_word_once_in_order_with_the_loss_and_the_restart_said(self):
        scratch = tempfile.mkdtemp(prefix="countctl-server-")
        state = instrument_state([])
        # The instrument on the wall clock, 20 us a tick: 3125 words a second at period 16.
        env = {"VIRTUAL_INSTRUMENT_STATE": state, "VIRTUAL_INSTRUMENT_CLOCK": "wall", "VIRTUAL_INSTRUMENT_TICK": "20e-6"}
        first = Server(environment=env)
        relay = Relay(first.port)
        out = os.path.join(scratch, "run.csv")
        target = 15000
        countctl = subprocess.Popen(
            [COUNTCTL, "acquire", "--server", f"127.0.0.1:{relay.port}", "--period", "16", "--threshold", "2048",
             "--words", str(target), "-o", out],
            stderr=subprocess.PIPE, text=True,
            env=dict(os.environ, XDG_CONFIG_HOME=scratch, COUNTER_BUS_LOCK=os.path.join(scratch, "lock")))
        said = []
        threading.Thread(target=lambda: said.extend(countctl.stderr), daemon=True).start()
        second = None
        try:
            # The file is written in place under a temporary name until it is done.
            partial = lambda: sum(rows(os.path.join(scratch, n)) for n in os.listdir(scratch) if n.startswith("run.csv.tmp-"))
            self.assertTrue(eventually(lambda: partial() > 2000), "countctl records")
            relay.cut()
            self.assertTrue(eventually(lambda: any("connected to" in line for line in said)), "".join(said))
            self.assertTrue(eventually(lambda: partial() > 5000), "and records on")
            first.stop()
            second = Server(environment=env)
            relay.backend = second.port
            relay.cut()
            self.assertEqual(countctl.wait(60), 0, "".join(said))
        finally:
            if countctl.poll() is None:
                countctl.kill()
            for s in (first, second):
                if s and s.process.poll() is None:
                    s.stop()
        with open(out) as f:
            lines = f.read().splitlines()
        notes = [line for line in lines if line.startswith("#")]
        table = [line.split(",") for line in lines if line[:1].isdigit()]
        self.assertEqual([int(i) for i, _ in table], list(range(1, target + 1)), "each index once")
        words = [int(w) for _, w in table]
        dropped = [n for n in notes if n.startswith("# connection to ") and "made again" in n]
        restart = [n for n in notes if n.startswith("# server restarted after word ")]
        self.assertEqual(len(dropped), 1, notes)
        self.assertEqual(len(restart), 1, notes)
        self.assertIn("# the run was started again, with the settings sent again", notes)
        self.assertIn("# stopped: target reached", notes)
        at = int(restart[0].split()[5])
        expected = generated(target + 20000)
        self.assertEqual(words[:at], expected[:at], "the first life: every word once, in order, the drop lost none")
        # The old server read on past what countctl had; the instrument's
        # sequence goes on from there, with nothing written twice.
        later = words[at:]
        resumed = next((j for j in range(at, len(expected) - len(later) + 1)
                        if expected[j:j + 64] == later[:64]), None)
        self.assertIsNotNone(resumed, "the second life continues the instrument's sequence")
        self.assertEqual(later, expected[resumed:resumed + len(later)])


if __name__ == "__main__":
    unittest.main(verbosity=2)
