"""The alert server on a real PostgreSQL started by the test: tokens made
with --database, an alert delivered and acknowledged, the ledger kept across
a SIGKILL, the database stopped and started under a running server,
console accounts shared by two nodes, and what two nodes share of their
stations' receipts."""
import json
import os
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from postgres import Postgres  # noqa: E402
from test_alert_server import ALERTE, ALERTE_LUE, FakeClient, ServerProcess, alert_server_path  # noqa: E402
from test_admin_listener import Console  # noqa: E402


def pg_token(conninfo, scope="admin"):
    return subprocess.run([str(alert_server_path()), "token", "create", "--database", conninfo, "--scope", scope],
                          capture_output=True, check=True, timeout=30).stdout.decode().strip()


class EventStream:
    """A node's GET /api/events, read in the background; receipts() parses
    what has come so far."""

    def __init__(self, server):
        host, port = server.admin.rsplit(":", 1)
        self.sock = socket.create_connection((host, int(port)), timeout=5)
        self.sock.sendall(f"GET /api/events HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer {server.token}\r\n\r\n"
                          .encode())
        self.raw = b""
        threading.Thread(target=self._read, daemon=True).start()
        deadline = time.monotonic() + 5  # the head comes once the node follows its hub
        while b"\r\n\r\n" not in self.raw and time.monotonic() < deadline:
            time.sleep(0.01)

    def _read(self):
        self.sock.settimeout(None)
        try:
            while chunk := self.sock.recv(65536):
                self.raw += chunk
        except OSError:
            pass

    def receipts(self):
        return self.events("receipt")

    def events(self, kind):
        body, rest = b"", self.raw.split(b"\r\n\r\n", 1)[-1]
        while b"\r\n" in rest:  # chunked
            size, rest = rest.split(b"\r\n", 1)
            n = int(size, 16)
            if len(rest) < n + 2:
                break
            body, rest = body + rest[:n], rest[n + 2:]
        head = f"event: {kind}\ndata: ".encode()
        return [json.loads(block[len(head):]) for block in body.split(b"\n\n") if block.startswith(head)]

    def close(self):
        self.sock.close()


class PostgresServerCase(unittest.TestCase):
    def setUp(self):
        if not alert_server_path().is_file():
            self.skipTest(f"not built: {alert_server_path()}")
        self.pg = Postgres()
        self.servers, self.clients = [], []

    def tearDown(self):
        for c in self.clients:
            c.close()
        for s in self.servers:
            s.stop()
        self.pg.close()

    def serve(self):
        return self.serve_with()

    def serve_with(self, *options):
        server = ServerProcess(extra=["--database", self.pg.conninfo(), *options])
        server.token = self.token
        self.servers.append(server)
        return server

    def post(self, server, **extra):
        return server.api("POST", "/api/alerts", {"author": "Accueil", "subject": "Essai", "lines": ["Ligne"],
                                                  "everyone": True, **extra})

    def station(self, server, computer):
        c = FakeClient(server.port, computer=computer)
        self.clients.append(c)
        return c

    def test_ledger_survives_a_kill_and_the_database_coming_back(self):
        self.token = pg_token(self.pg.conninfo())
        server = self.serve()
        station = FakeClient(server.port, computer=b"PC1")
        self.clients.append(station)
        time.sleep(0.3)
        status, body = self.post(server)
        self.assertEqual(status, 201, body)
        alert_id = body["id"]
        kind, _, _ = station.read_frame()
        self.assertEqual(kind, ALERTE)
        station.send(ALERTE_LUE)
        deadline = time.monotonic() + 5
        state = None
        while time.monotonic() < deadline and state != "acknowledged":
            state = server.api("GET", f"/api/alerts/{alert_id}")[1]["receipts"][0]["state"]
            time.sleep(0.05)
        self.assertEqual(state, "acknowledged")

        server.proc.kill()
        server.proc.wait(10)
        again = self.serve()
        receipts = again.api("GET", f"/api/alerts/{alert_id}")[1]["receipts"]
        self.assertEqual([(r["computer"], r["state"]) for r in receipts], [("PC1", "acknowledged")])

        self.pg.stop()
        down = time.monotonic()
        status, _ = self.post(again)
        self.assertEqual(status, 503)
        self.pg.start()
        recovered = None
        while recovered is None and time.monotonic() - down < 30:
            status, body = self.post(again)
            if status == 201:
                recovered = time.monotonic() - down
            time.sleep(0.1)
        self.assertIsNotNone(recovered)
        status, listing = again.api("GET", "/api/alerts")
        print(f"\n  PostgreSQL: ledger kept across SIGKILL; API 503 while down, 201 again "
              f"{recovered:.2f} s after it stopped; {listing['total']} alerts kept")
        self.assertEqual(listing["total"], 2)

    def test_an_identification_that_came_in_time_is_read_though_the_database_held_the_loop(self):
        from postgres import BIN
        from test_alert_server import IDENTIFICATION
        self.token = pg_token(self.pg.conninfo())
        server = self.serve_with("--identify-seconds", "1")
        waiting = FakeClient(server.port, identify=False)
        self.clients.append(waiting)
        time.sleep(0.3)
        # A new station's row cannot be written while this lock is held, so
        # the loop waits in the database for 3 s.
        locker = subprocess.Popen([f"{BIN}/psql", self.pg.conninfo(), "-qAt"], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE)
        locker.stdin.write(b"BEGIN;\nLOCK TABLE stations IN SHARE MODE;\nSELECT 'held';\nSELECT pg_sleep(3);\nCOMMIT;\n")
        locker.stdin.close()
        self.assertEqual(locker.stdout.readline().strip(), b"held")
        held = time.monotonic()
        self.station(server, b"PC-NEW")
        time.sleep(0.3)
        waiting.send(IDENTIFICATION, b"NS=PC-WAIT\r\nNU=anne")
        locker.wait(10)
        locker.stdout.close()
        dropped = waiting.closed_within(1.5)
        print(f"\n  a station identified 0.3 s after it connected, the loop held {time.monotonic() - held:.1f} s "
              f"by the database: {'dropped' if dropped else 'kept'}")
        self.assertFalse(dropped)

    def test_stations_that_move_to_a_node_do_not_count_as_new_there(self):
        self.token = pg_token(self.pg.conninfo())
        a, b = self.serve(), self.serve_with("--new-stations-per-minute", "1")
        for name in (b"PC1", b"PC2"):
            self.station(a, name)
        deadline = time.monotonic() + 5
        while len(a.api("GET", "/api/stations")[1]["stations"]) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        moved = [self.station(b, name) for name in (b"PC1", b"PC2", b"PC3", b"PC4")]
        closed = [c.closed_within(1) for c in moved]
        print(f"\n  a node allowing 1 new station a minute, 2 stations moving to it then 2 new: closed {closed}")
        self.assertEqual(closed, [False, False, False, True])

    def test_an_alert_accepted_by_one_node_reaches_the_stations_of_another(self):
        self.token = pg_token(self.pg.conninfo())
        a, b = self.serve(), self.serve()
        on_a = FakeClient(a.port, computer=b"PC1")
        on_b = FakeClient(b.port, computer=b"PC2")
        self.clients += [on_a, on_b]
        time.sleep(0.3)
        posted = time.monotonic()
        status, body = self.post(a)
        self.assertEqual(status, 201, body)
        kind, _, _ = on_b.read_frame()
        reached = time.monotonic() - posted
        self.assertEqual(kind, ALERTE)
        self.assertEqual(on_a.read_frame()[0], ALERTE)
        on_b.send(ALERTE_LUE)
        deadline = time.monotonic() + 5
        states = {}
        while time.monotonic() < deadline and states.get("PC2") != "acknowledged":
            states = {r["computer"]: r["state"] for r in a.api("GET", f"/api/alerts/{body['id']}")[1]["receipts"]}
            time.sleep(0.05)
        print(f"\n  two nodes: posted on A, on B's station {reached * 1000:.0f} ms later (API call included); "
              f"A's ledger: {states}")
        self.assertEqual(states, {"PC1": "sent", "PC2": "acknowledged"})

        # Moved to A after acknowledging on B: not sent again, counted once.
        on_b.close()
        moved = FakeClient(a.port, computer=b"PC2")
        self.clients.append(moved)
        self.assertTrue(moved.nothing_within(1.0))
        receipts = {r["computer"]: r for r in a.api("GET", f"/api/alerts/{body['id']}")[1]["receipts"]}
        self.assertEqual(receipts["PC2"]["sent_count"], 1)

    def test_an_account_made_on_the_database_signs_in_on_any_node_and_follows_changes_made_on_another(self):
        self.token = pg_token(self.pg.conninfo())

        def user(*args, stdin=b""):
            return subprocess.run([str(alert_server_path()), "user", *args, "--database", self.pg.conninfo()],
                                  input=stdin, capture_output=True, timeout=60)

        for name in ("root", "eve"):
            made = user("add", name, "--role", "admin", stdin=b"good-password\ngood-password\n")
            self.assertEqual(made.returncode, 0, made.stderr)
        a, b = self.serve(), self.serve()
        on_a, on_b = Console(a), Console(b)
        root_status, root = on_a.sign_in("root", "good-password")
        eve_status, eve = on_b.sign_in("eve", "good-password")
        self.assertEqual((root_status, eve_status), (200, 200))
        self.assertEqual(on_b.call("GET", "/api/users", headers=eve)[0], 200)

        # Demoted through A's console: B refuses her next admin request.
        status, _, body = on_a.call("PUT", "/api/users/eve", {"role": "viewer"}, headers=root)
        self.assertEqual(status, 200, body)
        status, _, body = on_b.call("GET", "/api/users", headers=eve)
        refused_b = (status, body)
        self.assertEqual(status, 401, body)
        # As a viewer she is refused the admin pages; `user role` run on the
        # database ends that session at B's next request as well.
        eve = on_b.sign_in("eve", "good-password")[1]
        self.assertEqual(on_b.call("GET", "/api/users", headers=eve)[0], 403)
        last = user("role", "root", "--role", "operator")
        self.assertEqual(last.returncode, 1)
        self.assertIn(b"last administrator: root is the only admin", last.stderr)
        self.assertEqual(user("role", "eve", "--role", "admin").returncode, 0)
        refused_cli = on_b.call("GET", "/api/users", headers=eve)[0]
        self.assertEqual(refused_cli, 401)
        status, _, listing = on_b.call("GET", "/api/users", headers=on_b.sign_in("eve", "good-password")[1])
        self.assertEqual(status, 200, listing)
        listed = user("list")
        print(f"\n  accounts on PostgreSQL, two nodes: demoted through A, B's next admin request {refused_b}; "
              f"promoted by user role --database, B's next request {refused_cli}; "
              f"user list: {listed.stdout.decode().split()}")
        self.assertEqual({u["name"]: u["role"] for u in listing["users"]}, {"root": "admin", "eve": "admin"})
        self.assertEqual(listed.stdout, b"eve admin\nroot admin\n")

    def test_every_node_streams_every_nodes_receipts_once(self):
        self.token = pg_token(self.pg.conninfo())
        a, b = self.serve(), self.serve()
        streams = [EventStream(a), EventStream(b)]
        self.clients += streams
        on_a, on_b = self.station(a, b"PC1"), self.station(b, b"PC2")
        time.sleep(0.3)
        status, body = self.post(a)
        self.assertEqual(status, 201, body)
        for st in (on_a, on_b):
            self.assertEqual(st.read_frame()[0], ALERTE)
        acked = time.monotonic()
        on_a.send(ALERTE_LUE)
        on_b.send(ALERTE_LUE)

        def acknowledged(stream):
            return [(r["computer"], r["node"]) for r in stream.receipts()
                    if r["alert"] == body["id"] and r["state"] == "acknowledged"]
        seen = {}
        while time.monotonic() - acked < 5 and len(seen) < 2:
            for i, stream in enumerate(streams):
                if i not in seen and len(acknowledged(stream)) == 2:
                    seen[i] = time.monotonic() - acked
            time.sleep(0.02)
        time.sleep(0.5)  # a double would have come by now
        got = [sorted(acknowledged(stream)) for stream in streams]
        alert_events = [sum(e["id"] == body["id"] for e in stream.events("alert")) for stream in streams]
        stations = [sorted({(e["computer"], e["online"]) for e in stream.events("station")}) for stream in streams]
        print(f"\n  both acknowledgements on A's stream after {seen.get(0, -1) * 1000:.0f} ms, "
              f"on B's after {seen.get(1, -1) * 1000:.0f} ms; receipts: {got[0]}; the alert's events on A, B: {alert_events}; stations on A's stream {stations[0]}")
        self.assertEqual(alert_events, [1, 1])
        self.assertEqual(stations, [[("PC1", True), ("PC2", True)]] * 2)
        self.assertEqual(got[0], got[1])
        self.assertEqual([computer for computer, _ in got[0]], ["PC1", "PC2"])
        self.assertNotEqual(got[0][0][1], got[0][1][1], "each receipt names the node that took it")

    def test_an_alert_replaced_on_one_node_is_not_sent_again_by_another(self):
        self.token = pg_token(self.pg.conninfo())
        a, b = self.serve(), self.serve()
        on_b = self.station(b, b"PC2")
        time.sleep(0.3)
        first = self.post(a, resend_replaced=False)[1]["id"]
        self.assertEqual(on_b.read_frame()[0], ALERTE)
        second = self.post(a, subject="Suite")[1]["id"]
        self.assertEqual(on_b.read_frame()[0], ALERTE)
        time.sleep(1.1)  # read after the grace: the second was read, the first replaced
        on_b.send(ALERTE_LUE)
        deadline = time.monotonic() + 5
        states = None
        while time.monotonic() < deadline and states != ["replaced", "acknowledged"]:
            states = [a.api("GET", f"/api/alerts/{i}")[1]["receipts"][0]["state"] for i in (first, second)]
            time.sleep(0.05)
        self.assertEqual(states, ["replaced", "acknowledged"])
        on_b.close()
        # To a node that was running (told by notification), then to one started since (read from the ledger).
        quiet = {}
        for name, node in (("running", a), ("started since", self.serve())):
            moved = self.station(node, b"PC2")
            quiet[name] = moved.nothing_within(1.0)
            moved.close()
        counts = [a.api("GET", f"/api/alerts/{i}")[1]["receipts"][0]["sent_count"] for i in (first, second)]
        print(f"\n  replaced on B, then moved: nothing sent again by {quiet}; sends counted {counts}")
        self.assertEqual(quiet, {"running": True, "started since": True})
        self.assertEqual(counts, [1, 1])

    def test_a_station_on_two_nodes_is_served_on_both_and_each_node_marks_only_its_own_offline(self):
        self.token = pg_token(self.pg.conninfo())
        a, b = self.serve(), self.serve()
        pc1, pc2 = self.station(a, b"PC1"), self.station(b, b"PC2")
        # Two screens under one name (a cloned image): one on each node.
        twin_a = self.station(a, b"PC3")
        time.sleep(0.3)
        twin_b = self.station(b, b"PC3")
        time.sleep(0.3)
        alert = self.post(a)[1]["id"]
        for c in (pc1, pc2, twin_a, twin_b):
            self.assertEqual(c.read_frame()[0], ALERTE)
        twin_b.send(ALERTE_LUE)
        time.sleep(0.5)
        twin_a.send(ALERTE_LUE)
        deadline = time.monotonic() + 5
        twin = {}
        while time.monotonic() < deadline and twin.get("state") != "acknowledged":
            twin = {r["computer"]: r for r in a.api("GET", f"/api/alerts/{alert}")[1]["receipts"]}.get("PC3", {})
            time.sleep(0.05)
        time.sleep(0.5)
        rows = [r for r in a.api("GET", f"/api/alerts/{alert}")[1]["receipts"] if r["computer"] == "PC3"]

        def online(node):
            return {s["computer"]: s["online"] for s in node.api("GET", "/api/stations")[1]["stations"]}
        twin_b_address = "%s:%d" % twin_b.sock.getsockname()
        twin_a.close()  # B holds PC3 since its later claim: still online
        time.sleep(0.5)
        after_close = online(a)
        b.proc.kill()
        b.proc.wait(10)
        time.sleep(0.5)
        after_kill = online(a)
        self.serve()  # a starting node marks offline the stations of nodes that have ended, and only those
        after_start = online(a)
        print(f"\n  PC3 on two nodes: {len(rows)} ledger row, {rows[0]['sent_count']} sends, "
              f"{rows[0]['state']} from {rows[0]['acknowledged_address']}; online after A's PC3 left {after_close}, "
              f"after B's SIGKILL {after_kill}, once C started {after_start}")
        self.assertEqual(len(rows), 1)
        self.assertEqual((rows[0]["sent_count"], rows[0]["acknowledged_at"]), (2, twin["acknowledged_at"]))
        self.assertEqual(rows[0]["acknowledged_address"], twin_b_address)
        self.assertEqual(after_close, {"PC1": True, "PC2": True, "PC3": True})
        self.assertEqual(after_kill, {"PC1": True, "PC2": True, "PC3": True})
        self.assertEqual(after_start, {"PC1": True, "PC2": False, "PC3": False})


if __name__ == "__main__":
    unittest.main()
