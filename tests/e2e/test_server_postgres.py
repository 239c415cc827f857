"""The alert server on a real PostgreSQL started by the test: tokens made
with --database, an alert delivered and acknowledged, the ledger kept across
a SIGKILL, the database stopped and started under a running server, and
console accounts shared by two nodes."""
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from postgres import Postgres  # noqa: E402
from test_alert_server import ALERTE, ALERTE_LUE, FakeClient, ServerProcess, alert_server_path  # noqa: E402
from test_admin_listener import Console  # noqa: E402


def pg_token(conninfo, scope="admin"):
    return subprocess.run([str(alert_server_path()), "token", "create", "--database", conninfo, "--scope", scope],
                          capture_output=True, check=True, timeout=30).stdout.decode().strip()


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
        server = ServerProcess(extra=["--database", self.pg.conninfo()])
        server.token = self.token
        self.servers.append(server)
        return server

    def post(self, server):
        return server.api("POST", "/api/alerts", {"author": "Accueil", "subject": "Essai", "lines": ["Ligne"],
                                                  "everyone": True})

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

if __name__ == "__main__":
    unittest.main()
