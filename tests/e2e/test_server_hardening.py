"""The alert server's workstation port and ledger against hostile or odd
stations: out of descriptors, connection and station caps, what the ledger
records and when. Python stations over real sockets; native only (no Wine).
"""
import json
import os
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_alert_server import (ALERTE, ALERTE_LUE, IDENTIFICATION, REPONSE_TEST_LIAISON,  # noqa: E402
                               TEST_LIAISON, FakeClient, ServerProcess, alert_server_path, frame)
from test_server_ledger import alert  # noqa: E402
from harness import wait_until  # noqa: E402


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
                                               "--new-stations-per-minute", "5", "--identify-seconds", "2"])
        # Past the newcomers' cap, the next waits in the queue until one leaves.
        silent = [self.keep(From(s.port, "127.0.0.2", identify=False)) for _ in range(3)]
        self.assertTrue(all(s.wait_event("connected", 3) for _ in silent))
        waiting = self.keep(From(s.port, "127.0.0.3", computer=b"W"))
        self.assertFalse(answers(waiting, 1))
        # Those that never identify are dropped, which lets the next one in.
        start = time.monotonic()
        self.assertTrue(all(c.closed_within(5) for c in silent), "silent newcomers are dropped")
        dropped = time.monotonic() - start + 1
        self.assertTrue(answers(waiting, 0.5) or waiting.read_frame(3)[0] == REPONSE_TEST_LIAISON)
        print(f"\n  silent newcomers dropped after {dropped:.1f} s (limit 2 s)", file=sys.stderr)
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
        expected = 1 + 4 + 1 + 1 + 5
        # The station list is written by the loop's writer, a moment after the answers.
        wait_until(lambda: s.api("GET", "/api/stations")[1]["total"] >= expected, 3)
        total = s.api("GET", "/api/stations")[1]["total"]
        reasons = {e["reason"]: e["count"] for e in drain(s, "refused", 0.5)}
        print(f"\n  new stations from one address in a minute: {made} of 8; stations {total}; "
              f"refused {reasons}", file=sys.stderr)
        self.assertEqual(made, 5)
        self.assertTrue(answers(again))
        self.assertEqual(total, expected)

    def test_a_balancers_proxy_header_names_the_station_and_a_bad_one_ends_the_connection(self):
        self.server = s = ServerProcess(extra=["--proxy-from", "127.0.0.9", "--max-per-address", "2",
                                               "--identify-seconds", "2"])

        def through_balancer(header, pieces=1, computer=None):
            c = self.keep(From(s.port, "127.0.0.9", identify=False))
            step = max(1, len(header) // pieces)
            for i in range(0, len(header), step):
                c.sock.sendall(header[i:i + step])
                time.sleep(0.02)
            if computer:
                c.send(IDENTIFICATION, b"NS=" + computer + b"\r\nNU=anne")
            return c

        first = through_balancer(proxy_v2("10.1.2.3", 4000), pieces=5, computer=b"P1")
        self.assertTrue(answers(first))
        connected = s.wait_event("connected", 3)
        self.assertEqual(connected["address"], "10.1.2.3:4000")
        self.assertTrue(connected["via"].startswith("127.0.0.9:"), connected)
        # The per-address limit (2) is the station's address, not the balancer's.
        second = through_balancer(proxy_v2("10.1.2.3", 4001), computer=b"P2")
        third = through_balancer(proxy_v2("10.1.2.3", 4002), computer=b"P3")
        v6 = through_balancer(proxy_v2("2001:db8::7", 4003), computer=b"P4")
        self.assertTrue(answers(second) and answers(v6))
        self.assertTrue(third.closed_within(2))
        wanted = {"P1": "10.1.2.3:4000", "P2": "10.1.2.3:4001", "P4": "[2001:db8::7]:4003"}

        def addresses():  # written by the loop's writer, a moment later
            return {st["computer"]: st["address"] for st in s.api("GET", "/api/stations")[1]["stations"]}
        deadline = time.monotonic() + 5
        while addresses() != wanted and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(addresses(), wanted)
        # LOCAL: the balancer's own health check, answered as a station's keep-alive.
        check = through_balancer(proxy_v2(None, 0))
        self.assertTrue(answers(check))
        check.close()

        bad = {"no PROXY header": b"", "PROXY header: not version 2": proxy_v2("10.1.2.3", 1, version=1)}
        for header in bad.values():
            c = through_balancer(header, computer=b"BAD")
            self.assertTrue(c.closed_within(2))
        silent = through_balancer(b"")
        self.assertTrue(silent.closed_within(4))
        # Not from a balancer, the header is no frame: dropped as any garbage is.
        stranger = self.keep(From(s.port, "127.0.0.5", identify=False))
        stranger.sock.sendall(proxy_v2("10.9.9.9", 1))
        self.assertTrue(stranger.closed_within(2))
        reasons = [(e["reason"], e.get("address", "")[:10]) for e in drain(s, "disconnected", 1)
                   if e["reason"] != "closed by client"]
        print(f"\n  through a balancer: stations seen from their own addresses {sorted(wanted.values())}; "
              f"dropped: {reasons}", file=sys.stderr)
        self.assertEqual(reasons, [("too many connections from one address", "10.1.2.3:4"),
                                   ("no PROXY header", "127.0.0.9:"),
                                   ("PROXY header: not version 2", "127.0.0.9:"),
                                   ("no PROXY header in time", "127.0.0.9:"),
                                   ("bad frame", "")])


def proxy_v2(source, port, version=2):
    """The PROXY v2 header of a balancer: TCP from `source`, or LOCAL when None."""
    if source is None:
        return PROXY_V2_SIGNATURE + bytes([version << 4, 0x00]) + struct.pack(">H", 0)
    family = socket.AF_INET6 if ":" in source else socket.AF_INET
    addresses = socket.inet_pton(family, source) + socket.inet_pton(family, "::1" if ":" in source else "10.0.0.1")
    body = addresses + struct.pack(">HH", port, 5088)
    return PROXY_V2_SIGNATURE + bytes([version << 4 | 1, 0x21 if ":" in source else 0x11]) + \
        struct.pack(">H", len(body)) + body


PROXY_V2_SIGNATURE = b"\r\n\r\n\x00\r\nQUIT\n"


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


class Ledger(Case):
    def ledger(self, alert_id):
        status, body = self.server.api("GET", f"/api/alerts/{alert_id}")
        self.assertEqual(status, 200, body)
        return {(r["computer"], r["user"]): r for r in body["receipts"]}

    def test_the_ledger_records_what_happened_and_where_from(self):
        self.server = s = ServerProcess()
        rogue = self.keep(FakeClient(s.port, computer=b"=HYPERLINK(1)", user=b"+cmd|x"))
        self.assertTrue(answers(rogue))
        status, a1 = s.api("POST", "/api/alerts", alert())
        # The answer counts the sends it made.
        self.assertEqual((status, a1["sent_now"], a1["counts"]["sent"], a1["counts"]["queued"]), (201, 1, 1, 0))
        self.assertEqual(rogue.read_frame()[0], ALERTE)
        csv = s.api("GET", f"/api/alerts/{a1['id']}/receipts.csv")[1].split("\r\n")
        self.assertTrue(csv[1].startswith("'=HYPERLINK(1),'+cmd|x,sent,"), csv[1])
        self.assertRegex(csv[1], r",127\.0\.0\.1:\d+,,$")

        # A group change while an alert is live reaches the connected stations at once.
        self.assertEqual(s.api("PUT", "/api/groups/salle", {"computers": []})[0], 200)
        g1 = self.keep(From(s.port, "127.0.0.2", computer=b"G1"))
        self.assertEqual(g1.read_frame()[0], ALERTE)  # a1, to everyone
        _, a2 = s.api("POST", "/api/alerts", {**alert(groups=["salle"]), "expires_in": 3})
        self.assertEqual(a2["sent_now"], 0)
        self.assertEqual(s.api("PUT", "/api/groups/salle", {"computers": ["g1"]})[0], 200)
        self.assertIn(b"I=%d\r\n" % a2["id"], g1.read_frame(2)[1])

        # Someone else claims G1 from another address and acknowledges: logged, and on record.
        claim = self.keep(From(s.port, "127.0.0.3", computer=b"G1"))
        self.assertIsNotNone(s.wait_event("duplicate_claim", 3))
        self.assertIn(b"I=%d\r\n" % a1["id"], claim.read_frame()[1])  # not acknowledged by G1 yet
        time.sleep(1.2)  # past the grace
        claim.send(ALERTE_LUE)
        deadline = time.monotonic() + 3
        while self.ledger(a1["id"])[("G1", "anne")]["state"] != "acknowledged" and time.monotonic() < deadline:
            time.sleep(0.05)
        g1_a1 = self.ledger(a1["id"])[("G1", "anne")]
        self.assertRegex(g1_a1["sent_address"], r"^127\.0\.0\.3:")
        self.assertRegex(g1_a1["acknowledged_address"], r"^127\.0\.0\.3:")

        # Expiry is final: a tick after it is no acknowledgement; no cancel after it, nor twice.
        _, a3 = s.api("POST", "/api/alerts", {**alert(computers=["G1"]), "expires_in": 2})
        self.assertIn(b"I=%d\r\n" % a3["id"], g1.read_frame()[1])
        time.sleep(2.5)
        g1.send(ALERTE_LUE)
        self.assertTrue(answers(g1))
        self.assertEqual(self.ledger(a3["id"])[("G1", "anne")]["state"], "expired")
        self.assertEqual(s.api("POST", f"/api/alerts/{a3['id']}/cancel")[0], 409)
        self.assertEqual(s.api("POST", f"/api/alerts/{a1['id']}/cancel")[0], 200)
        self.assertEqual(s.api("POST", f"/api/alerts/{a1['id']}/cancel")[0], 409)
        # A station first seen now does not join the ledgers of ended alerts.
        late = self.keep(FakeClient(s.port, computer=b"LATE"))
        self.assertTrue(answers(late))
        self.assertNotIn(("LATE", "anne"), self.ledger(a1["id"]))
        print(f"\n  G1 in the ledger of alert {a1['id']}: {g1_a1}", file=sys.stderr)

    def test_a_locked_database_still_serves_new_stations_and_writes_them_later(self):
        self.server = s = ServerProcess()
        _, a1 = s.api("POST", "/api/alerts", alert())
        lock = sqlite3.connect(os.path.join(s.data, "nivaxel.db"), isolation_level=None, timeout=10)
        lock.execute("BEGIN EXCLUSIVE")
        try:
            new = self.keep(FakeClient(s.port, computer=b"NEW1"))
            self.assertIn(b"I=%d\r\n" % a1["id"], new.read_frame()[1])
            time.sleep(1.2)
            new.send(ALERTE_LUE)
            self.assertTrue(answers(new))
        finally:
            lock.execute("ROLLBACK")
            lock.close()
        deadline = time.monotonic() + 5
        while self.ledger(a1["id"]).get(("NEW1", "anne"), {}).get("state") != "acknowledged":
            self.assertLess(time.monotonic(), deadline, "written once the database is back")
            time.sleep(0.1)

    def test_a_large_ledger_is_read_with_flat_memory_and_every_station_listed(self):
        data = __import__("tempfile").mkdtemp(prefix="nivaxel-big-")
        ServerProcess(data=data).stop(keep_data=True)  # the schema
        db = sqlite3.connect(os.path.join(data, "nivaxel.db"))
        db.executemany("INSERT INTO stations(computer, user, computer_key, user_key, first_seen, last_seen) "
                       "VALUES(?,?,?,?,0,0)", [(f"PC{i}", "u", f"pc{i}", "u") for i in range(10050)])
        db.commit()
        db.close()
        # A sanitised build holds freed memory in quarantine: without it, RSS tells what is kept.
        os.environ["ASAN_OPTIONS"] = "quarantine_size_mb=0:thread_local_quarantine_size_kb=0"
        try:
            self.server = s = ServerProcess(data=data)
        finally:
            del os.environ["ASAN_OPTIONS"]
        _, a = s.api("POST", "/api/alerts", alert())
        self.assertEqual(a["counts"]["queued"], 10050)
        listed = subprocess.run([str(alert_server_path()), "list", "--admin", s.admin, "--token", s.token],
                                capture_output=True, timeout=60)
        self.assertEqual(len(json.loads(listed.stdout)), 10050, "past one page of the API")
        s.api("GET", f"/api/alerts/{a['id']}")
        first = rss_kib(s.proc.pid)
        for _ in range(10):
            self.assertEqual(len(s.api("GET", f"/api/alerts/{a['id']}")[1]["receipts"]), 10050)
        after = rss_kib(s.proc.pid)
        print(f"\n  10,050-receipt ledger: RSS {first} KiB after one read, {after} KiB after ten more",
              file=sys.stderr)
        self.assertLess(after - first, 20 * 1024)


if __name__ == "__main__":
    unittest.main()
