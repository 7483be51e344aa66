"""The server's web page and its JSON: what /api/status and /api/counts say,
that the page never takes a word, that changes need --web-control and the
page's own origin, that half-sent requests hold up no SCPI client, and the
page itself in Debian's headless Chromium (a screenshot kept in ARTIFACTS).

    web_page_test.py SCPI_SERVER WEB_ROOT ARTIFACTS
"""

import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import scpi_harness
from scpi_harness import HELD, Server, ask, instrument_state

scpi_harness.SERVER, WEB_ROOT, ARTIFACTS = sys.argv[1:4]
del sys.argv[1:4]
CHROMIUM = shutil.which("chromium")


def page_server(*options, environment=None):
    server = Server("--http", "127.0.0.1:0", "--web-root", WEB_ROOT, *options, environment=environment)
    assert server.http_port, "".join(server.log)
    return server


def request(server, method, path, body=None, origin=None, host=None, content_type="application/json"):
    c = http.client.HTTPConnection("127.0.0.1", server.http_port, timeout=10)
    headers = {"Content-Type": content_type}
    if origin:
        headers["Origin"] = origin
    if host:
        headers["Host"] = host
    c.request(method, path, body=body, headers=headers)
    r = c.getresponse()
    data = r.read()
    c.close()
    return r.status, data


def status(server):
    code, body = request(server, "GET", "/api/status")
    assert code == 200
    return json.loads(body)


class StatusAndCounts(unittest.TestCase):
    def test_status_names_the_instrument_and_how_to_reach_it(self):
        with page_server() as server:
            s = status(server)
            self.assertTrue(s["identity"].startswith("counter-console,counting-instrument,"))
            self.assertEqual(s["version"], s["identity"].rsplit(",", 1)[1])
            self.assertIn(f"TCPIP::127.0.0.1::{server.port}::SOCKET", s["resources"])
            for key in ("running", "points", "held", "lost", "settings", "clients"):
                self.assertIn(key, s)
            with server.connect() as c:
                ask(c, "PER 7;PER?")
                self.assertEqual(status(server)["settings"]["period"], 7)
                self.assertEqual(len(status(server)["clients"]), 1)

    def test_counts_are_shown_and_never_taken(self):
        with page_server(environment={"VIRTUAL_INSTRUMENT_STATE": instrument_state(HELD)}) as server:
            with server.connect() as c:
                ask(c, "INIT;ABOR;*OPC?")  # the words the instrument held, read into the hold
                points = int(ask(c, "DATA:POIN?"))
                code, body = request(server, "GET", "/api/counts?since=0")
                seen = json.loads(body)
                self.assertEqual(seen["next"], points)
                self.assertEqual([w for _, run in seen["batches"] for w in run][:len(HELD)], HELD)
                self.assertEqual(ask(c, "DATA:POIN?"), str(points))  # still all there for the clients
                code, body = request(server, "GET", f"/api/counts?since={points}")
                self.assertEqual(json.loads(body)["batches"], [])
                self.assertEqual(request(server, "GET", "/api/counts?since=-1")[0], 400)


class Control(unittest.TestCase):
    def test_without_web_control_a_post_changes_nothing(self):
        with page_server() as server:
            own = f"http://127.0.0.1:{server.http_port}"
            code, _ = request(server, "POST", "/api/run", b'{"action":"start"}', origin=own)
            self.assertEqual(code, 403)
            self.assertFalse(status(server)["running"])

    def test_only_the_pages_own_origin_may_change_anything(self):
        with page_server("--web-control") as server:
            own = f"http://127.0.0.1:{server.http_port}"
            code, _ = request(server, "POST", "/api/run", b'{"action":"start"}', origin="http://evil.example")
            self.assertEqual(code, 403)
            # No Origin: a script, not a page, if its body is declared JSON (no other site's page can send that).
            code, _ = request(server, "POST", "/api/run", b'{"action":"start"}', content_type="text/plain")
            self.assertEqual(code, 403)
            # A site whose name was rebound to the instrument's address is not its own page.
            code, _ = request(server, "POST", "/api/run", b'{"action":"start"}', origin="http://evil.example",
                              host="evil.example")
            self.assertEqual(code, 403)
            self.assertFalse(status(server)["running"])
            self.assertEqual(request(server, "POST", "/api/settings", b'{"period": 12}', origin=own)[0], 200)
            self.assertEqual(request(server, "POST", "/api/run", b'{"action":"start"}', origin=own)[0], 200)
            self.assertTrue(status(server)["running"])
            self.assertEqual(status(server)["settings"]["period"], 12)
            self.assertEqual(request(server, "POST", "/api/run", b'{"action":"start"}', origin=own)[0], 409)
            self.assertEqual(request(server, "POST", "/api/run", b"x" * 5000, origin=own)[0], 413)
            self.assertTrue(server.logged("web control from 127.0.0.1:"))
            self.assertEqual(request(server, "POST", "/api/run", b'{"action":"stop"}')[0], 200, "a script's")
            self.assertFalse(status(server)["running"])

    def test_bodies_and_headers_of_the_wrong_kind_are_refused_and_the_server_serves_on(self):
        with page_server("--web-control", "--allow", "127.0.0.0/8",
                         environment={"VIRTUAL_INSTRUMENT_STATE": instrument_state(HELD)}) as server:
            own = f"http://127.0.0.1:{server.http_port}"
            for body in (b'{"action":["start"]}', b'{"action":1}', b'{"action":null}', b"[1]", b'"start"'):
                self.assertEqual(request(server, "POST", "/api/run", body, origin=own)[0], 400, body)
            for body in (b'{"period":"12"}', b'{"period":1.5}', b'{"threshold":[1]}', b'{"polarity":{}}'):
                self.assertEqual(request(server, "POST", "/api/settings", body, origin=own)[0], 400, body)
            for host in (b"lab\xff", b"a b", b"x" * 300):
                with socket.create_connection(("127.0.0.1", server.http_port), timeout=10) as s:
                    s.sendall(b"GET /api/status HTTP/1.1\r\nHost: " + host + b"\r\nConnection: close\r\n\r\n")
                    answer = s.recv(4096)
                    self.assertTrue(answer.startswith(b"HTTP/1.1 400"), (host, answer[:40]))
            with server.connect() as c:
                ask(c, "INIT;ABOR;*OPC?")
                seen = status(server)["counts_seen"]
            for since in (2**64 - 1, 2**63, seen + 1):
                counts = json.loads(request(server, "GET", f"/api/counts?since={since}")[1])
                self.assertEqual((counts["from"], counts["next"], counts["batches"]), (seen, seen, []), since)
            self.assertFalse(status(server)["running"])
            self.assertEqual(server.process.poll(), None, "the server lives")


class Bounds(unittest.TestCase):
    def test_half_sent_requests_do_not_slow_an_scpi_query(self):
        with page_server() as server, server.connect() as c:
            ask(c, "*IDN?")
            stalled = []
            for _ in range(20):
                s = socket.create_connection(("127.0.0.1", server.http_port))
                s.sendall(b"GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ")
                stalled.append(s)
            time.sleep(0.2)
            began = time.monotonic()
            for _ in range(10):
                ask(c, "*IDN?")
            self.assertLess(time.monotonic() - began, 1.0)  # a bound, not a benchmark: 10 queries
            self.assertEqual(status(server)["running"], False)  # and the page still answers
            for s in stalled:
                s.close()

    def test_connections_that_trickle_a_request_are_closed_after_the_idle_time_out(self):
        with page_server("--idle-timeout", "2") as server:
            trickling = [socket.create_connection(("127.0.0.1", server.http_port)) for _ in range(32)]
            for s in trickling:
                s.sendall(b"GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n")
            began = time.monotonic()
            closed = 0
            while time.monotonic() - began < 6:  # a byte a second each: never a whole request
                for s in trickling:
                    try:
                        s.sendall(b"X")
                    except OSError:
                        closed += 1
                time.sleep(1)
                try:
                    if request(server, "GET", "/api/status")[0] == 200:
                        break
                except OSError:
                    pass
            self.assertLess(time.monotonic() - began, 6, "the page answers again once the trickles are closed")
            self.assertTrue(server.logged("no request completed in 2 s"), server.log)
            for s in trickling:
                s.close()


@unittest.skipUnless(CHROMIUM, "Debian's chromium is not installed")
class PageInChromium(unittest.TestCase):
    def chromium(self, url, *options):
        profile = tempfile.mkdtemp(prefix="chromium-")
        try:
            return subprocess.run(
                [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 f"--user-data-dir={profile}", "--virtual-time-budget=3000", *options, url],
                capture_output=True, text=True, timeout=90).stdout
        finally:
            shutil.rmtree(profile, ignore_errors=True)

    def test_the_page_names_the_instrument_and_its_plot_grows_during_a_run(self):
        with page_server(environment={"VIRTUAL_INSTRUMENT_CLOCK": "wall"}) as server, server.connect() as c:
            ask(c, "PER 100;INIT;*OPC?")
            url = f"http://127.0.0.1:{server.http_port}/"
            time.sleep(2.5)
            first = self.chromium(url, "--dump-dom")
            # The model heads the page; the maker, serial and version beneath it.
            self.assertEqual(re.search(r'id="identity"[^>]*>([^<]*)', first).group(1), "counting-instrument")
            self.assertIn("counter-console", re.search(r'id="maker"[^>]*>([^<]*)', first).group(1))
            points = lambda dom, plot: int(re.search(rf'id="{plot}"[^>]*data-points="(\d+)"', dom).group(1))
            self.assertGreater(points(first, "histogram"), 0)
            time.sleep(2.5)
            second = self.chromium(url, "--dump-dom")
            self.assertGreater(points(second, "rate"), points(first, "rate"))
            self.assertIn("<canvas", second)  # dygraphs drew
            os.makedirs(ARTIFACTS, exist_ok=True)
            shot = os.path.join(ARTIFACTS, "web-page.png")
            self.chromium(url, "--window-size=1000,1100", f"--screenshot={shot}")
            self.assertGreater(os.path.getsize(shot), 10000)


if __name__ == "__main__":
    unittest.main(verbosity=2)
