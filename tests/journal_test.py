"""Reading by index, judged with PyVISA readers: many readers each get
every word of a run, in order, once, a reader killed and started again
included; one that falls behind a small journal is told exactly what it
missed; a restart of the server is told from a gap; the rates are the
counts read. The words are compared with the virtual instrument's own
sequence, worked out here from its generator.

    journal_test.py SERVER PYTHON_DIR
"""

import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import scpi_harness
from scpi_harness import Server, ask, eventually, generated, instrument_state

SERVER, PYTHON = sys.argv[1], sys.argv[2]
scpi_harness.SERVER = SERVER
del sys.argv[1:3]
sys.path.insert(0, PYTHON)
from counting_instrument import JournalReader  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def lines_of(path):
    try:
        with open(path) as f:
            return [line for line in f.read().splitlines() if line and not line.startswith("#")]
    except FileNotFoundError:
        return []


class Readers(unittest.TestCase):
    def test_two_readers_one_killed_and_started_again_each_get_every_word_once_in_order(self):
        state = instrument_state([])
        with Server(environment={"VIRTUAL_INSTRUMENT_STATE": state}) as server, server.connect() as control:
            resource = f"TCPIP::127.0.0.1::{server.port}::SOCKET"
            path = os.path.join(tempfile.mkdtemp(prefix="journal-reader-"), "words")
            start = lambda: subprocess.Popen([sys.executable, os.path.join(HERE, "journal_reader_process.py"),
                                              PYTHON, resource, path])
            a = start()
            b_words, b_chunks, stop = [], [], threading.Event()

            def b_reads():
                with JournalReader(resource, start="oldest", wait_ms=200) as reader:
                    while not stop.is_set():
                        chunk = reader.read()
                        b_chunks.append(chunk)
                        b_words.extend(chunk.words)

            b = threading.Thread(target=b_reads)
            b.start()
            try:
                ask(control, "INIT;:DATA:POIN?")
                self.assertTrue(eventually(lambda: len(lines_of(path)) > 3000), "reader A reads")
                a.send_signal(signal.SIGKILL)  # mid-run, mid-line perhaps
                a.wait(10)
                self.assertTrue(eventually(lambda: len(b_words) > len(lines_of(path)) + 2000), "the run goes on")
                a = start()
                self.assertTrue(eventually(lambda: int(ask(control, "DATA:SEEN?")) > 40000))
                ask(control, "ABOR;:DATA:SEEN?")
                final = int(ask(control, "DATA:SEEN?"))
                self.assertTrue(eventually(lambda: len(lines_of(path)) >= final and len(b_words) >= final))
            finally:
                stop.set()
                b.join(10)
                a.send_signal(signal.SIGTERM)
                a.wait(10)
            expected = generated(final)
            self.assertEqual(b_words, expected, "reader B: every word, in order, once")
            self.assertFalse(any(c.missed or c.restarted for c in b_chunks))
            a_lines = [line.split() for line in lines_of(path)]
            self.assertEqual([int(i) for i, _ in a_lines], list(range(final)), "reader A: each index once")
            self.assertEqual([int(w) for _, w in a_lines], expected)
            self.assertEqual(ask(control, "DATA:POIN?"), str(final), "and no word was taken from the hold")

    def test_a_reader_behind_a_small_journal_is_told_exactly_what_it_missed(self):
        words = list(range(1, 4096))
        with Server("--journal-words", "1000", environment={"VIRTUAL_INSTRUMENT_STATE": instrument_state(words)}) \
                as server, server.connect() as control:
            ask(control, "DATA:REM? 1")  # the instrument's 4095 words read out: into the hold and the journal
            inst = server.resource()
            first, missed, *rest = inst.query("DATA:READ? 10,5000").split(",")
            self.assertEqual((int(first), int(missed)), (3095, 3085), "the oldest held, and the words between")
            self.assertEqual([int(w) for w in rest], words[3095:])
            inst.close()

    def test_a_restart_is_a_new_life_not_a_gap(self):
        words = list(range(1, 101))
        state = instrument_state(words)
        lives = []
        for _ in range(2):
            with Server(environment={"VIRTUAL_INSTRUMENT_STATE": state}) as server, server.connect() as s:
                ask(s, "DATA:REM? 1")
                lives.append(ask(s, "DATA:JOUR?"))
                if len(lives) == 2:  # an index of the first life is none of the second's
                    self.assertEqual(ask(s, "DATA:READ? 100;:SYST:ERR?").split(",")[0], "-222")
                server.stop()
        (first_id, _, first_next), (second_id, second_oldest, _) = (life.split(",") for life in lives)
        self.assertNotEqual(first_id, second_id)
        self.assertEqual((first_next, second_oldest), ("100", "0"), "each life counts from its start")

    def test_the_rates_are_the_counts_and_the_words_read_in_the_last_second(self):
        words = list(range(1, 4096))
        with Server(environment={"VIRTUAL_INSTRUMENT_STATE": instrument_state(words)}) \
                as server, server.connect() as s:
            # One message: the read-out and the rates in the same second.
            taken, counts, read = ask(s, "DATA:REM? 1;:DATA:RATE?;RATE:WORD?").split(";")
            self.assertEqual((int(counts), int(read)), (sum(words), len(words)))
            self.assertEqual(int(taken), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
