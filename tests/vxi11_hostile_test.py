"""VXI-11 against clients that misbehave on purpose: one that never reads
its replies, one that piles up output, a lock whose holder is gone, calls
that trickle in, a create_link aborted, no descriptors left, and rpcbind
restarted or started late. Each attack is bounded in time and bytes; the
checks are that socket clients still answer within a second, the server's
memory stays small, the lock comes back, and the registration too.
Runs inside tests/in_private_network.sh (a network and an rpcbind of its own).

    vxi11_hostile_test.py SCPI_SERVER SEND_BUFFER_CAP

SEND_BUFFER_CAP is a library preloaded into the server that caps its send
buffers as a stock kernel's net.core.wmem_max does (212992 bytes), so that
the never-reading client meets here what it meets on a Pi.
"""

import os
import resource
import signal
import socket
import struct
import subprocess
import sys
import time
import unittest

import scpi_harness
from scpi_harness import HELD, Server, ask, instrument_state

scpi_harness.SERVER, SEND_BUFFER_CAP = sys.argv[1:3]
del sys.argv[1:3]

DEVICE_CORE, DEVICE_ASYNC = 395183, 395184
CREATE_LINK, DEVICE_WRITE, DEVICE_READ, DEVICE_LOCK, DEVICE_UNLOCK = 10, 11, 12, 18, 19
DEVICE_ABORT = 1
WAITLOCK, END = 1, 8


def rpcinfo():
    return subprocess.run(["rpcinfo", "-p", "127.0.0.1"], capture_output=True, text=True, timeout=10).stdout


def registered_port():
    for line in rpcinfo().splitlines():
        f = line.split()
        if f[:3] == [str(DEVICE_CORE), "1", "tcp"]:
            return int(f[3])
    return None


def core_port(server):
    """The server's core channel, once it says it is registered."""
    assert server.logged("registered with rpcbind", within=10), server.log
    return registered_port()


def opaque(data):
    return struct.pack(">I", len(data)) + data + b"\0" * (-len(data) % 4)


class Link:
    """A controller's side of VXI-11, by hand: every record as it goes on the wire."""

    def __init__(self, port, receive_buffer=None):
        self.s = socket.socket()
        if receive_buffer:
            self.s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.s.settimeout(10)
        self.s.connect(("127.0.0.1", port))
        self.xid = 0

    def send(self, procedure, arguments, program=DEVICE_CORE):
        self.xid += 1
        body = struct.pack(">6I", self.xid, 0, 2, program, 1, procedure) + struct.pack(">4I", 0, 0, 0, 0) + arguments
        self.s.sendall(struct.pack(">I", 0x80000000 | len(body)) + body)
        return self.xid

    def reply(self):
        """(xid, the result's words) of the next reply."""
        mark = self.exactly(4)
        body = self.exactly(struct.unpack(">I", mark)[0] & 0x7FFFFFFF)
        xid, kind, accepted, _, _, status = struct.unpack(">6I", body[:24])
        assert (kind, accepted, status) == (1, 0, 0), (kind, accepted, status)
        return xid, body[24:]

    def exactly(self, n):
        data = b""
        while len(data) < n:
            piece = self.s.recv(n - len(data))
            if not piece:
                raise ConnectionError("closed")
            data += piece
        return data

    def call(self, procedure, arguments, program=DEVICE_CORE):
        xid = self.send(procedure, arguments, program)
        got, result = self.reply()
        assert got == xid
        return result

    def create_link(self, lock=False, lock_timeout=0):
        r = self.call(CREATE_LINK, struct.pack(">iII", 1, int(lock), lock_timeout) + opaque(b"inst0"))
        error, lid, abort_port = struct.unpack(">iiI", r[:12])
        return error, lid, abort_port

    def write(self, lid, text, flags=END):
        return struct.unpack(">i", self.call(DEVICE_WRITE, struct.pack(">iIIi", lid, 1000, 0, flags) + opaque(text))[:4])[0]

    def read_arguments(self, lid, size=1 << 20):
        return struct.pack(">iIIIii", lid, size, 1000, 0, 0, 0)

    def lock_arguments(self, lid, flags, timeout):
        return struct.pack(">iiI", lid, flags, timeout)

    def close(self):
        self.s.close()


def send_queue(port):
    """Bytes the server's end of the connection on `port` has not had acknowledged."""
    out = subprocess.run(["ss", "-tnH", "state", "established", f"sport = :{port}"],
                         capture_output=True, text=True, timeout=10).stdout
    return int(out.split()[1])


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Hostile(unittest.TestCase):
    def quick(self, server, c, queries=10):
        began = time.monotonic()
        for _ in range(queries):
            self.assertTrue(ask(c, "*IDN?").startswith("counter-console,"))
        return time.monotonic() - began

    def test_a_reader_that_never_reads_delays_nobody_and_its_output_is_bounded(self):
        # (Under AddressSanitizer, freed memory waits in a small quarantine, as it is soon reused here.)
        capped = {"LD_PRELOAD": SEND_BUFFER_CAP,
                  "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0:quarantine_size_mb=8"}
        with Server(vxi11=True, environment=capped) as server, server.connect() as c:
            port = core_port(server)
            before = rss_kib(server.process.pid)
            hog = Link(port, receive_buffer=4096)
            _, lid, _ = hog.create_link()
            # Half a megabyte of answers a write, asked for by twenty reads sent at once and never read.
            self.assertEqual(hog.write(lid, b";".join([b"*IDN?"] * 10000)), 0)
            for _ in range(20):
                hog.send(DEVICE_READ, hog.read_arguments(lid))
            time.sleep(0.5)
            self.assertLess(self.quick(server, c), 1.0)  # a bound, not a benchmark
            # A link that writes queries and never reads: past a bound, its writes are refused (I/O time-out).
            piler = Link(port)
            _, plid, _ = piler.create_link()
            errors = [piler.write(plid, b";".join([b"*IDN?"] * 10000)) for _ in range(40)]
            self.assertIn(15, errors)
            self.assertEqual(errors[0], 0)
            self.assertLess(rss_kib(server.process.pid) - before, 64 * 1024, "grown by less than 64 MiB")
            self.assertLess(self.quick(server, c), 1.0)
            hog.close()
            piler.close()

    def test_replies_never_acknowledged_stop_the_calls_at_the_output_bound(self):
        # Uncapped: where the kernel lets a send buffer grow to megabytes (net.core.wmem_max),
        # only the server stops reading the calls, at 1 MiB unacknowledged and one reply past it.
        with Server(vxi11=True) as server:
            port = core_port(server)
            hog = Link(port, receive_buffer=4096)
            _, lid, _ = hog.create_link()
            pile = struct.pack(">iIIi", lid, 1000, 0, END) + opaque(b";".join([b"*IDN?"] * 10000))
            for _ in range(20):  # some 9 MB of replies asked for, never read
                hog.send(DEVICE_WRITE, pile)
                hog.send(DEVICE_READ, hog.read_arguments(lid))
            most = 0
            for _ in range(10):
                time.sleep(0.1)
                most = max(most, send_queue(port))
            self.assertGreater(most, 0)
            self.assertLess(most, 2.5 * (1 << 20), "unacknowledged: 1 MiB and a reply of at most 1 MiB")
            hog.close()

    def test_a_lock_on_a_connection_that_waits_on_itself_is_given_back(self):
        with Server("--idle-timeout", "1", vxi11=True) as server:
            port = core_port(server)
            both = Link(port)
            _, a, _ = both.create_link()
            _, b, _ = both.create_link()
            self.assertEqual(struct.unpack(">i", both.call(DEVICE_LOCK, both.lock_arguments(a, 0, 0)))[0], 0)
            waiting = both.send(DEVICE_LOCK, both.lock_arguments(b, WAITLOCK, 0xFFFFFFFF))
            # The holder's unlock, on the same connection, is read and answered; then the waiting lock is granted.
            unlocking = both.send(DEVICE_UNLOCK, struct.pack(">i", a))
            answers = dict(both.reply() for _ in range(2))
            self.assertEqual(struct.unpack(">i", answers[unlocking])[0], 0)
            self.assertEqual(struct.unpack(">i", answers[waiting])[0], 0)
            # Now b holds it, and a waits on its own connection's lock; the client goes silent.
            both.send(DEVICE_LOCK, both.lock_arguments(a, WAITLOCK, 0xFFFFFFFF))
            with server.connect() as c:
                c.settimeout(10)
                began = time.monotonic()
                self.assertTrue(ask(c, "*IDN?").startswith("counter-console,"))  # waits for the lock's end
                self.assertLess(time.monotonic() - began, 4)
            self.assertTrue(server.logged("idle: no call in 1 s"), server.log)
            both.close()

    def test_a_socket_clients_next_message_waiting_for_the_lock_settles_its_words(self):
        state = instrument_state(HELD)
        with Server("--idle-timeout", "1", vxi11=True, environment={"VIRTUAL_INSTRUMENT_STATE": state}) as server:
            reader = server.connect()
            first = [int(w) for w in ask(reader, "DATA:REM? 100").split(",")]
            holder = Link(core_port(server))
            _, lid, _ = holder.create_link(lock=True)
            reader.sendall(b"*IDN?\n")  # shows it has the 100 words; waits for the lock
            for _ in range(8):  # past the idle time-out: a client that waits is not idle
                holder.call(DEVICE_LOCK, holder.lock_arguments(lid, 0, 0))  # the holder is busy
                time.sleep(0.3)
            holder.call(DEVICE_UNLOCK, struct.pack(">i", lid))
            reader.settimeout(5)
            self.assertTrue(reader.recv(200).startswith(b"counter-console,"))
            with server.connect() as other:
                rest = [int(w) for w in ask(other, "DATA:REM?").split(",")]
            self.assertEqual(first + rest, HELD, "every word once")
            holder.close()
            reader.close()

    def test_trickled_calls_are_closed_after_the_idle_time_out(self):
        with Server("--idle-timeout", "2", vxi11=True) as server:
            port = core_port(server)
            trickles = [socket.create_connection(("127.0.0.1", port)) for _ in range(16)]
            for t in trickles:
                t.sendall(b"\x80\x00\x10\x00")  # a record of 4096 bytes, a byte a second
            began = time.monotonic()
            opened = None
            while time.monotonic() - began < 8 and opened is None:
                for t in trickles:
                    try:
                        t.sendall(b"x")
                    except OSError:
                        pass
                time.sleep(1)
                try:
                    link = Link(port)
                    if link.create_link()[0] == 0:
                        opened = time.monotonic() - began
                    link.close()
                except (OSError, ConnectionError):
                    pass
            self.assertIsNotNone(opened, server.log)
            self.assertLess(opened, 6)
            for t in trickles:
                t.close()

    def test_an_aborted_create_link_leaves_no_link(self):
        with Server("--max-clients", "3", vxi11=True) as server:
            port = core_port(server)
            holder = Link(port)
            _, held, abort_port = holder.create_link(lock=True)
            for _ in range(4):
                waiter = Link(port)
                waiter.send(CREATE_LINK, struct.pack(">iII", 1, 1, 60000) + opaque(b"inst0"))
                time.sleep(0.1)
                aborter = Link(abort_port)
                # The link made for the waiting call is the next one.
                self.assertEqual(struct.unpack(">i", aborter.call(DEVICE_ABORT, struct.pack(">i", held + 1),
                                                                 program=DEVICE_ASYNC))[0], 0)
                error = struct.unpack(">i", waiter.reply()[1][:4])[0]
                self.assertEqual(error, 23)
                held += 1
                waiter.close()
                aborter.close()
            other = Link(port)
            self.assertEqual(other.create_link()[0], 0, "no link was left behind")
            for link in (holder, other):
                link.close()

    def test_out_of_descriptors_accepting_waits_instead_of_spinning(self):
        def few_descriptors():
            resource.setrlimit(resource.RLIMIT_NOFILE, (16, 16))

        with Server(vxi11=True, preexec=few_descriptors) as server, server.connect() as c:
            port = core_port(server)
            held = []
            for _ in range(30):
                try:
                    held.append(socket.create_connection(("127.0.0.1", port), timeout=2))
                except OSError:
                    break
            time.sleep(0.3)
            before = cpu_seconds(server.process.pid)
            time.sleep(2)
            self.assertLess(cpu_seconds(server.process.pid) - before, 0.5, "no busy loop")
            self.assertTrue(server.logged("accepting waits a second"), server.log)
            for s in held:
                s.close()
            time.sleep(1.5)
            self.assertEqual(Link(port).create_link()[0], 0)
            self.assertLess(self.quick(server, c), 1.0)


class Registration(unittest.TestCase):
    def test_rpcbind_started_late_or_restarted_without_its_state_gets_the_registration_again(self):
        os.kill(int(os.environ["RPCBIND_PID"]), signal.SIGTERM)
        time.sleep(0.3)
        with Server(vxi11=True) as server:
            self.assertTrue(server.logged("rpcbind does not answer"), server.log)
            with server.connect() as s:
                self.assertTrue(ask(s, "*IDN?").startswith("counter-console,"))
            for restart in range(2):
                for leftover in ("/run/rpcbind/rpcbind.xdr", "/run/rpcbind/portmap.xdr"):
                    if os.path.exists(leftover):
                        os.remove(leftover)  # no warm state: it knows nothing
                rpcbind = subprocess.Popen(["rpcbind", "-f"])
                began = time.monotonic()
                while registered_port() is None and time.monotonic() - began < 10:
                    time.sleep(0.5)
                self.assertIsNotNone(registered_port(), server.log)
                self.assertLess(time.monotonic() - began, 8)
                rpcbind.send_signal(signal.SIGTERM)
                rpcbind.wait(10)
            self.assertTrue(server.logged("rpcbind answers now"), server.log)
            self.assertTrue(server.logged("registered again"), server.log)


if __name__ == "__main__":
    loader = unittest.TestLoader()
    suite = unittest.TestSuite([loader.loadTestsFromTestCase(c) for c in (Hostile, Registration)])
    sys.exit(0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1)
