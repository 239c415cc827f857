"""The alert server's workstation port and ledger against hostile or odd
stations: out of descriptors, connection and station caps, what the ledger
records and when. Python stations over real sockets; native only (no Wine).
"""
import os
import signal
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_alert_server import (IDENTIFICATION, REPONSE_TEST_LIAISON, TEST_LIAISON, FakeClient,  # noqa: E402
                               ServerProcess, alert_server_path, frame)


class From(FakeClient):
    """A station whose connection leaves from a chosen loopback address."""

    def __init__(self, port, source, computer=b"PC1", user=b"anne", identify=True):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5, source_address=(source, 0))
        if identify:
            self.send(IDENTIFICATION, b"NS=" + computer + b"\r\nNU=" + user)


def answers(station, timeout=3):
    try:
        station.send(TEST_LIAISON)
        return station.read_frame(timeout)[0] == REPONSE_TEST_LIAISON
    except (OSError, EOFError):
        return False


def drain(server, name, seconds):
    """Every `name` event within `seconds`."""
    found, deadline = [], time.monotonic() + seconds
    while (left := deadline - time.monotonic()) > 0:
        e = server.wait_event(name, left)
        if e:
            found.append(e)
    return found


class Case(unittest.TestCase):
    def setUp(self):
        if not alert_server_path().is_file():
            self.skipTest(f"not built: {alert_server_path()}")
        self.socks, self.server = [], None

    def tearDown(self):
        for s in self.socks:
            s.close()
        if self.server:
            self.server.stop()

    def keep(self, station):
        self.socks.append(station)
        return station


class WorkstationPort(Case):
    def test_out_of_descriptors_pauses_accepting_serves_the_connected_and_stops_on_sigterm(self):
        self.server = s = ServerProcess(max_files=64)
        first = self.keep(FakeClient(s.port, computer=b"FIRST"))
        self.assertTrue(answers(first))
        crowd = [self.keep(FakeClient(s.port, computer=b"C%03d" % i)) for i in range(120)]
        lines = [e for e in drain(s, "refused", 3) if e["reason"] == "no file descriptors left"]
        self.assertTrue(lines)
        self.assertLessEqual(len(lines), 2)
        self.assertTrue(answers(first), "a connected station is still served")
        for c in crowd:
            c.close()
        self.socks = [first]
        late = self.keep(FakeClient(s.port, computer=b"LATE"))
        deadline = time.monotonic() + 10
        while not answers(late, 1) and time.monotonic() < deadline:
            late.close()
            late = self.keep(FakeClient(s.port, computer=b"LATE"))
        self.assertLess(time.monotonic(), deadline, "accepting again once descriptors are back")
        s.proc.send_signal(signal.SIGTERM)
        self.assertEqual(s.proc.wait(10), 0)
        last = [e for e in drain(s, "refused", 0.5) if e["reason"] == "no file descriptors left"]
        total = (last or lines)[-1]["total"]
        print(f"\n  out of descriptors: {len(lines) + len(last)} refused line(s) for {total} "
              f"connection(s) refused, a connected station served throughout", file=sys.stderr)

    def test_caps_on_newcomers_addresses_identifications_and_new_stations(self):
        self.server = s = ServerProcess(extra=["--max-unidentified", "3", "--max-per-address", "4",
                                               "--new-stations-per-minute", "5"])
        # Past the newcomers' cap, the next waits in the queue until one leaves.
        silent = [self.keep(From(s.port, "127.0.0.2", identify=False)) for _ in range(3)]
        self.assertTrue(all(s.wait_event("connected", 3) for _ in silent))
        waiting = self.keep(From(s.port, "127.0.0.3", computer=b"W"))
        self.assertFalse(answers(waiting, 1))
        for c in silent:
            c.close()
        self.assertTrue(answers(waiting, 0.5) or waiting.read_frame(3)[0] == REPONSE_TEST_LIAISON)
        waiting.close()
        same = [self.keep(From(s.port, "127.0.0.4", computer=b"A%d" % i)) for i in range(4)]
        self.assertTrue(all(answers(c) for c in same))
        self.assertTrue(self.keep(From(s.port, "127.0.0.4", computer=b"A9")).closed_within(2))
        self.assertTrue(answers(self.keep(From(s.port, "127.0.0.5", computer=b"B0"))))

        # One identification per connection: the second ends it, making no station.
        twice = self.keep(From(s.port, "127.0.0.6", computer=b"T1"))
        self.assertTrue(answers(twice))
        twice.sock.sendall(frame(IDENTIFICATION, b"NS=T2\r\nNU=x") * 50)
        self.assertTrue(twice.closed_within(2))

        # Stations never seen before: a bounded number per address and minute.
        made = 0
        for i in range(8):
            c = self.keep(From(s.port, "127.0.0.7", computer=b"N%d" % i))
            made += answers(c, 2)
            c.close()
        again = self.keep(From(s.port, "127.0.0.7", computer=b"N0"))  # known: still served
        total = s.api("GET", "/api/stations")[1]["total"]
        reasons = {e["reason"]: e["count"] for e in drain(s, "refused", 0.5)}
        print(f"\n  new stations from one address in a minute: {made} of 8; stations {total}; "
              f"refused {reasons}", file=sys.stderr)
        self.assertEqual(made, 5)
        self.assertTrue(answers(again))
        self.assertEqual(total, 1 + 4 + 1 + 1 + 5)


if __name__ == "__main__":
    unittest.main()
