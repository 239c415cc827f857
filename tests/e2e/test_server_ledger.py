"""The alert server's durable side against Python stations speaking the
frames: delivery to stations that were off, the receipt ledger, kills with
SIGKILL, the API's tokens, scopes, audit log and TLS rule, and a flooding
station that must not hold the others up. Native only (no Wine).
"""
import os
import random
import socket
import sqlite3
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_alert_server import (ALERTE, ALERTE_LUE, IDENTIFICATION, REPONSE_TEST_LIAISON,  # noqa: E402
                               TEST_LIAISON, FakeClient, ServerProcess, alert_server_path, frame,
                               make_token)


def alert(**target):
    body = {"author": "Accueil", "subject": "Essai", "lines": ["Ligne"]}
    body.update(target or {"everyone": True})
    return body


class LedgerCase(unittest.TestCase):
    def setUp(self):
        if not alert_server_path().is_file():
            self.skipTest(f"not built: {alert_server_path()}")
        self.clients = []
        self.server = None

    def tearDown(self):
        for c in self.clients:
            c.close()
        if self.server:
            self.server.stop()

    def station(self, computer, user=b"anne"):
        c = FakeClient(self.server.port, computer=computer, user=user)
        self.clients.append(c)
        return c

    def receipts(self, alert_id):
        status, body = self.server.api("GET", f"/api/alerts/{alert_id}")
        self.assertEqual(status, 200, body)
        return {(r["computer"], r["user"]): r for r in body["receipts"]}

    def wait_state(self, alert_id, key, state, timeout=5):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.receipts(alert_id).get(key, {}).get("state") == state:
                return True
            time.sleep(0.05)
        return False


class Delivery(LedgerCase):
    def test_offline_station_gets_it_on_connect_and_ledger_tells_the_truth(self):
        self.server = ServerProcess(extra=["--ack-grace-ms", "150"])
        s = self.server
        self.assertEqual(s.api("PUT", "/api/groups/Accueil", {"computers": ["PC2"], "users": []})[0], 200)
        status, a1 = s.api("POST", "/api/alerts", alert(groups=["accueil"], users=["Never"]))
        self.assertEqual((status, a1["sent_now"], a1["counts"]["not reached"]), (201, 0, 2))

        # PC2 was off: it gets the alert when it connects, then acknowledges.
        pc2 = self.station(b"PC2", b"Ren\xe9")
        kind, text, _ = pc2.read_frame()
        self.assertEqual(kind, ALERTE)
        self.assertIn(b"I=%d\r\n" % a1["id"], text)
        pc2.send(ALERTE_LUE)
        self.assertTrue(self.wait_state(a1["id"], ("PC2", "Ren\u00e9"), "acknowledged"))
        self.assertEqual(self.receipts(a1["id"])[("", "Never")]["state"], "not reached")

        # Two alerts before any acknowledgement: the first was replaced unseen,
        # and is sent again once the second is acknowledged.
        _, a2 = s.api("POST", "/api/alerts", alert(computers=["pc2"]))
        _, a3 = s.api("POST", "/api/alerts", alert(computers=["pc2"], resend_replaced=False))
        _, a4 = s.api("POST", "/api/alerts", alert(computers=["pc2"]))
        for expected in (a2, a3, a4):
            self.assertIn(b"I=%d\r\n" % expected["id"], pc2.read_frame()[1])
        time.sleep(0.3)  # past the grace: the acknowledgement is for what is on screen
        pc2.send(ALERTE_LUE)
        self.assertIn(b"I=%d\r\n" % a2["id"], pc2.read_frame()[1])  # a3 asked not to be resent
        self.assertTrue(self.wait_state(a4["id"], ("PC2", "Ren\u00e9"), "acknowledged"))
        self.assertEqual(self.receipts(a3["id"])[("PC2", "Ren\u00e9")]["state"], "replaced")
        r2 = self.receipts(a2["id"])[("PC2", "Ren\u00e9")]
        self.assertEqual((r2["state"], r2["sent_count"]), ("replaced", 2))

        # A connection that ends before its acknowledgement: sent again next time.
        pc2.close()
        again = self.station(b"pc2", b"REN\xc9")
        self.assertIn(b"I=%d\r\n" % a2["id"], again.read_frame()[1])
        again.send(ALERTE_LUE)
        self.assertTrue(self.wait_state(a2["id"], ("PC2", "Ren\u00e9"), "acknowledged"))
        self.assertTrue(again.nothing_within(0.3))

        # Cancelled: no further delivery; shown as cancelled in the ledger.
        _, a5 = s.api("POST", "/api/alerts", alert(computers=["PC9"]))
        self.assertEqual(s.api("POST", f"/api/alerts/{a5['id']}/cancel")[1]["state"], "cancelled")
        pc9 = self.station(b"PC9")
        self.assertTrue(pc9.nothing_within(0.5))
        # First seen after the cancel: it never entered the ledger.
        self.assertEqual(list(self.receipts(a5["id"]).values())[0]["state"], "not reached")

        csv = subprocess.run([str(alert_server_path()), "receipts", str(a1["id"]), "--csv", "--admin",
                              s.admin, "--token", s.token], capture_output=True, timeout=30)
        lines = csv.stdout.decode().splitlines()
        self.assertEqual(lines[0], "computer,user,state,sent_at,acknowledged_at,sent_address,acknowledged_address,directory_group")
        self.assertRegex(lines[1], r"^PC2,Ren\u00e9,acknowledged,\d{4}-.+Z,\d{4}-.+Z,127\.0\.0\.1:\d+,127\.0\.0\.1:\d+,$")

    def test_bad_alerts_are_refused_and_nothing_is_written(self):
        self.server = ServerProcess()
        s = self.server
        status, body = s.api("POST", "/api/alerts", {**alert(), "subject": "\u2603 et \U0001F600"})
        self.assertEqual(status, 422)
        self.assertIn("\u2603 \U0001F600", body["error"])
        status, _ = s.api("POST", "/api/alerts", {**alert(), "lines": ["x" * (1 << 20)]})
        self.assertEqual(status, 413)
        self.assertEqual(s.api("POST", "/api/alerts", alert(groups=["nope"]))[1]["error"], "unknown group: nope")
        self.assertEqual(s.api("GET", "/api/alerts")[1]["total"], 0)
        pc = self.station(b"PC1")
        status, body = s.api("POST", "/api/alerts", {**alert(), "subject": "\u2603", "unsupported": "replace"})
        self.assertEqual(status, 201)
        self.assertIn(b"O=?\r\n", pc.read_frame()[1])

    def test_locked_database_gives_503_and_known_stations_are_still_served(self):
        self.server = ServerProcess()
        s = self.server
        self.station(b"PC1").close()  # known from now on
        _, a1 = s.api("POST", "/api/alerts", alert(computers=["PC1"]))
        lock = sqlite3.connect(os.path.join(s.data, "nivaxel.db"), isolation_level=None, timeout=10)
        lock.execute("BEGIN EXCLUSIVE")
        try:
            status, body = s.api("POST", "/api/alerts", alert())
            self.assertEqual(status, 503)
            self.assertIn("database unavailable", body["error"])
            pc1 = self.station(b"PC1")
            self.assertIn(b"I=%d\r\n" % a1["id"], pc1.read_frame()[1])
            pc1.send(ALERTE_LUE)
            self.assertIsNotNone(s.wait_event("store_error", 5))
        finally:
            lock.execute("ROLLBACK")
            lock.close()
        # What could not be written then is written once the lock is gone.
        self.assertTrue(self.wait_state(a1["id"], ("PC1", "anne"), "acknowledged"))
        self.assertEqual(s.api("GET", "/api/alerts")[1]["total"], 1)

    def test_stopping_writes_what_waits_and_says_what_the_database_still_refuses(self):
        errors = tempfile.TemporaryFile()
        self.addCleanup(errors.close)
        self.server = ServerProcess(stderr=errors)
        data = self.server.data
        _, a = self.server.api("POST", "/api/alerts", alert(computers=["PC1", "PC2"]))
        db = sqlite3.connect(os.path.join(data, "nivaxel.db"), isolation_level=None, timeout=10)
        # The lock outlives the stop by less than the server's patience, then by more.
        for name, locked_after_stop in ((b"PC1", 1.0), (b"PC2", 8.0)):
            pc = self.station(name)
            self.assertIn(b"I=%d\r\n" % a["id"], pc.read_frame()[1])
            self.assertIsNotNone(self.server.wait_event("alert_sent", 5))
            db.execute("BEGIN EXCLUSIVE")
            pc.send(ALERTE_LUE)
            self.assertIsNotNone(self.server.wait_event("store_error", 5))
            self.server.proc.terminate()
            time.sleep(locked_after_stop)
            db.execute("ROLLBACK")
            self.assertEqual(self.server.proc.wait(10), 0)
            self.server.stop(keep_data=True)
            pc.close()
            self.server = ServerProcess(data=data, stderr=errors)
            state = self.receipts(a["id"])[(name.decode(), "anne")]["state"]
            print(f"{name.decode()}: lock held {locked_after_stop} s after SIGTERM -> {state}")
            self.assertEqual(state, "acknowledged" if name == b"PC1" else "sent")
        db.close()
        errors.seek(0)
        lines = errors.read().decode().splitlines()
        print(lines)
        given_up = [line for line in lines if "refused the last writes until the server stopped" in line]
        self.assertEqual(len(given_up), 1, lines)
        self.assertRegex(given_up[0], r": [1-9]\d* ledger changes and \d+ sightings are given up$")

    def test_a_flooding_station_does_not_hold_the_others(self):
        self.server = ServerProcess()
        flood = FakeClient(self.server.port, computer=b"FLOOD")
        self.clients.append(flood)
        stop = time.monotonic() + 3
        filler = frame(12345) * 4096
        other = self.station(b"CALM")

        def pump():
            try:
                while time.monotonic() < stop:
                    flood.sock.sendall(filler)
            except OSError:
                pass
        import threading
        t = threading.Thread(target=pump)
        t.start()
        time.sleep(0.5)
        started = time.monotonic()
        other.send(TEST_LIAISON)
        self.assertEqual(other.read_frame(timeout=2)[0], REPONSE_TEST_LIAISON)
        answered = time.monotonic() - started
        t.join()
        self.assertLess(answered, 2.0)  # bounded wait; the figure itself is not the point


class Durability(LedgerCase):
    def test_sigkill_during_fanout_and_acks_loses_nothing_accepted(self):
        data = tempfile.mkdtemp(prefix="nivaxel-kill-")
        rng = random.Random(12)
        accepted = []
        acked_by = {}  # computer -> ids that were on its screen when it sent AlerteLue
        names = [b"K%02d" % i for i in range(12)]
        grace = ["--ack-grace-ms", "150"]
        for _ in range(4):
            self.server = ServerProcess(data=data, extra=grace)
            stations = {n: Station(self.server.port, n) for n in names}
            deadline = time.monotonic() + rng.uniform(1.0, 2.0)
            while time.monotonic() < deadline:
                if rng.random() < 0.3:
                    status, body = self.server.api("POST", "/api/alerts", alert())
                    if status == 201:
                        accepted.append(body["id"])
                for n, st in stations.items():
                    st.poll()
                    # Like a person: only what has been on screen a while.
                    if st.screen and time.monotonic() - st.since > 0.25 and rng.random() < 0.3:
                        st.client.send(ALERTE_LUE)
                        acked_by.setdefault(n.decode(), set()).add(st.screen)
                        st.screen = None
            self.server.kill()
            self.server.proc.stdout.close()
            for st in stations.values():
                st.client.close()
        self.server = ServerProcess(data=data, extra=grace)
        status, listed = self.server.api("GET", "/api/alerts?limit=1000")
        self.assertEqual(status, 200)
        self.assertTrue(set(accepted) <= {a["id"] for a in listed["alerts"]})
        ledgers = {a: self.receipts(a) for a in accepted}
        for alert_id, ledger in ledgers.items():
            for (computer, _), r in ledger.items():
                if r["state"] == "acknowledged":
                    self.assertIn(alert_id, acked_by.get(computer, set()), computer)
        # A station that connects now is given every accepted alert it has not acknowledged.
        st = Station(self.server.port, names[0])
        self.clients.append(st.client)
        owed = {a for a, ledger in ledgers.items() if ledger[("K00", "anne")]["state"] != "acknowledged"}
        got = set()
        deadline = time.monotonic() + 20
        while got != owed and time.monotonic() < deadline:
            st.poll(0.2)
            if st.screen:
                got.add(st.screen)
                time.sleep(0.2)
                st.client.send(ALERTE_LUE)
                st.screen = None
        self.assertEqual(got, owed)


class Station:
    """A fake client that keeps what the real one would show: the last alert received."""

    def __init__(self, port, computer):
        self.client = FakeClient(port, computer=computer)
        self.buf, self.screen, self.since = b"", None, 0

    def poll(self, timeout=0.005):
        self.client.sock.settimeout(timeout)
        try:
            self.buf += self.client.sock.recv(1 << 16)
        except (socket.timeout, OSError):
            pass
        while len(self.buf) >= 24:
            _, kind, _, _, size1, size2 = struct.unpack("<6i", self.buf[:24])
            if len(self.buf) < 24 + size1 + size2:
                break
            text, self.buf = self.buf[24:24 + size1], self.buf[24 + size1 + size2:]
            if kind == ALERTE:
                self.screen = int(text.split(b"I=")[1].split(b"\r\n")[0])
                self.since = time.monotonic()


class Security(LedgerCase):
    def test_tokens_scopes_audit_and_refused_requests_write_nothing(self):
        self.server = ServerProcess()
        s = self.server
        reader, sender = make_token(s.data, "read", "lecteur"), make_token(s.data, "send", "envoi")
        audit_before = s.api("GET", "/api/audit")[1]["total"]
        for token in ("", "nvx_bad", "Basic x"):
            status, body = s.api("POST", "/api/alerts", alert(), token=token)
            self.assertEqual(status, 401)
            self.assertIn("token", body["error"])
        self.assertEqual(s.api("POST", "/api/alerts", alert(), token=reader)[0], 403)
        self.assertEqual(s.api("GET", "/api/audit", token=sender)[0], 403)
        self.assertEqual(s.api("PUT", "/api/groups/g", {"computers": []}, token=sender)[0], 403)
        self.assertEqual(s.api("GET", "/api/alerts", token=reader)[1]["total"], 0)
        status, created = s.api("POST", "/api/alerts", alert(), token=sender)
        self.assertEqual(status, 201)
        self.assertEqual(created["created_by"], "envoi")
        entries = s.api("GET", "/api/audit")[1]
        self.assertEqual(entries["total"], audit_before + 1)
        e = entries["entries"][0]
        self.assertEqual((e["who"], e["action"], e["address"]), ("envoi", "create alert", "127.0.0.1"))

        # Repeated failures are slowed down.
        started = time.monotonic()
        for _ in range(6):
            s.api("GET", "/api/alerts", token="nvx_bad")
        self.assertGreater(time.monotonic() - started, 0.5)

        revoke = subprocess.run([str(alert_server_path()), "token", "revoke", "--data", s.data, "2"],
                                capture_output=True, timeout=30)
        self.assertEqual(revoke.returncode, 0, revoke.stderr)
        self.assertEqual(s.api("GET", "/api/alerts", token=reader)[0], 401)

    def test_admin_listener_off_loopback_needs_tls(self):
        tmp = tempfile.mkdtemp(prefix="nivaxel-tls-")
        cert, key = os.path.join(tmp, "cert.pem"), os.path.join(tmp, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
        refused = subprocess.run([str(alert_server_path()), "serve", "--data", tmp, "--port", "0",
                                  "--admin", "0.0.0.0:0"], capture_output=True, timeout=30)
        self.assertEqual(refused.returncode, 2)
        self.assertIn(b"loopback", refused.stderr)

        self.server = ServerProcess(extra=["--tls-cert", cert, "--tls-key", key])
        s = self.server
        self.assertEqual(s.scheme, "https")
        s.ssl = ssl.create_default_context(cafile=cert)
        self.assertEqual(s.api("GET", "/api/alerts")[0], 200)
        self.assertEqual(s.api("GET", "/api/alerts", token="nvx_bad")[0], 401)
        out = subprocess.run([str(alert_server_path()), "send", "--admin", "https://" + s.admin, "--ca", cert,
                              "--token", s.token, "--author", "a", "--subject", "s", "--line", "x"],
                             capture_output=True, timeout=30)
        self.assertEqual(out.returncode, 0, out.stderr)
        plain = ServerProcess.api.__get__(s)
        s.scheme = "http"
        with self.assertRaises(Exception):
            plain("GET", "/api/alerts")


if __name__ == "__main__":
    unittest.main()
