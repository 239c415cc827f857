"""The alert server with the organisation's directory: a real slapd, the
server started with --ldap, and small Python clients as stations."""
import json
import os
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.request

from slapd import Slapd, computer_dn, group_dn, seed, user_dn
from test_alert_server import ALERTE, FakeClient, ServerProcess, alert_server_path

GROUPS = {
    "AdminsInner": [user_dn("alice")],
    "ConsoleAdmins": [group_dn("AdminsInner")],
    "ConsoleViewers": [user_dn("carol")],
    "Staff": [user_dn("alice"), group_dn("Engineering")],
    "Engineering": [user_dn("bob"), computer_dn("PC01"), group_dn("Ops")],
    "Ops": [user_dn("carol"), group_dn("Engineering")],  # a loop with Engineering
}


class DirectoryServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not alert_server_path().is_file():
            raise unittest.SkipTest(f"not built: {alert_server_path()}")
        cls.ldap = Slapd(seed(["alice", "bob", "carol", "dave", "eve"], ["PC01", "PC02", "PC09"], GROUPS))

    @classmethod
    def tearDownClass(cls):
        cls.ldap.close()

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="nivaxel-ldapconf-")
        conf = self.ldap.config(os.path.join(self.folder, "ldap.conf"), admin_group="ConsoleAdmins",
                                viewer_group="ConsoleViewers", role_check_seconds=1)
        self.server = ServerProcess(extra=("--ldap", conf))
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.close()
        self.server.stop()

    def station(self, computer, user):
        c = FakeClient(self.server.port, computer=computer, user=user)
        self.clients.append(c)
        self.assertIsNotNone(self.server.wait_event("identified", 5))
        return c

    def cli(self, *args):
        return subprocess.run([str(alert_server_path()), *args, "--admin", self.server.admin,
                               "--token", self.server.token], capture_output=True, timeout=60)

    def received(self, stations):
        got = []
        for name, c in stations.items():
            try:
                kind, _, _ = c.read_frame(timeout=1.5)
                got.append(name) if kind == ALERTE else None
            except (TimeoutError, OSError):
                pass
        return sorted(got)

    def via(self, alert_id):
        status, alert = self.server.api("GET", f"/api/alerts/{alert_id}")
        return {r["computer"]: r["directory_group"] for r in alert["receipts"] if r["state"] != "not reached"}

    def test_alert_to_a_nested_group_reaches_exactly_its_members(self):
        out = self.cli("directory", "sync")
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn(b"users: 5, computers: 3, groups: 6", out.stdout)
        status, groups = self.server.api("GET", "/api/groups?q=eng")
        self.assertEqual(groups["groups"], [{"name": "Engineering", "source": "directory",
                                             "computer_count": 1, "user_count": 2}])
        stations = {
            "alice": self.station(b"PC05", b"alice"),
            "bob-qualified": self.station(b"PC06", b"EXAMPLE\\bob"),
            "pc01": self.station(b"PC01", b"zoe"),
            "other-carol": self.station(b"PC07", b"OTHER\\carol"),
            "dave": self.station(b"PC08", b"dave"),
        }
        status, reach = self.server.api("POST", "/api/reach", {"groups": ["staff"]})
        self.assertEqual((status, reach["stations"], reach["online"]), (200, 3, 3))
        status, alert = self.server.api("POST", "/api/alerts", {"author": "A", "subject": "S", "lines": ["x"],
                                                                 "groups": ["Engineering", "Staff"]})
        self.assertEqual((status, alert["sent_now"]), (201, 3), alert)
        self.assertEqual(self.received(stations), ["alice", "bob-qualified", "pc01"])
        # Each receipt names the first of the alert's groups that brought its station in.
        self.assertEqual(self.via(alert["id"]), {"PC05": "Staff", "PC06": "Engineering", "PC01": "Engineering"})

        # A member added in the directory and synced gets an alert sent after.
        self.ldap.modify(f"dn: {group_dn('Ops')}\nchangetype: modify\nadd: member\nmember: {user_dn('dave')}\n")
        try:
            self.assertEqual(self.cli("directory", "sync").returncode, 0)
            status, alert = self.server.api("POST", "/api/alerts", {"author": "A", "subject": "T",
                                                                     "lines": ["y"], "groups": ["Staff"]})
            self.assertEqual(self.received({"dave": stations["dave"]}), ["dave"])
            late = self.station(b"PC10", b"EXAMPLE\\dave")  # enters the ledger as it connects
            self.assertEqual(self.received({"late": late}), ["late"])
            self.assertEqual(self.via(alert["id"]), {"PC05": "Staff", "PC06": "Staff", "PC01": "Staff",
                                                     "PC08": "Staff", "PC10": "Staff"})
        finally:
            self.ldap.modify(f"dn: {group_dn('Ops')}\nchangetype: modify\ndelete: member\n"
                             f"member: {user_dn('dave')}\n")
        print(f"nested group: 3 of 5 stations reached, then the added member")

    def test_names_faults_and_the_last_good_sync(self):
        self.assertEqual(self.cli("directory", "sync").returncode, 0)
        # Server groups are listed beside, and may not take a directory group's name.
        status, _ = self.server.api("PUT", "/api/groups/Front", {"computers": ["PC02"]})
        self.assertEqual(status, 200)
        status, body = self.server.api("PUT", "/api/groups/OPS", {"computers": ["PC02"]})
        self.assertEqual((status, body["error"]), (409, "OPS is a directory group: a server group needs another name"))
        status, body = self.server.api("DELETE", "/api/groups/ops")
        self.assertEqual(status, 409)
        status, groups = self.server.api("GET", "/api/groups")
        self.assertEqual(sorted((g["name"], g["source"]) for g in groups["groups"]),
                         [("AdminsInner", "directory"), ("ConsoleAdmins", "directory"),
                          ("ConsoleViewers", "directory"), ("Engineering", "directory"), ("Front", "server"),
                          ("Ops", "directory"), ("Staff", "directory")])
        # The directory down: the sync fails and says so, the groups stay.
        self.ldap.stop()
        try:
            out = self.cli("directory", "sync")
            self.assertEqual(out.returncode, 1)
            self.assertIn(b"refused (502): directory sync failed: cannot reach", out.stderr)
            status, state = self.server.api("GET", "/api/directory")
            self.assertRegex(state["error"], "^cannot reach ldap://127.0.0.1")
            self.assertGreaterEqual(state["error_age_seconds"], 0)
            self.assertIsNotNone(state["last_success"])
            self.assertEqual(state["groups"], 6)
            self.station(b"PC01", b"x")
            status, reach = self.server.api("POST", "/api/reach", {"groups": ["Engineering"]})
            self.assertEqual((reach["stations"], reach["online"]), (1, 1))
        finally:
            self.ldap.start()
        # Without a directory the requests say so; a bad file stops the start.
        plain = ServerProcess()
        try:
            status, body = plain.api("POST", "/api/directory/sync")
            self.assertEqual((status, body["error"]), (404, "no directory is configured (serve --ldap FILE)"))
        finally:
            plain.stop()
        bad = os.path.join(self.folder, "bad.conf")
        with open(bad, "w") as f:
            f.write("url = http://x\nbase_dn = dc=x\n")
        out = subprocess.run([str(alert_server_path()), "serve", "--data", self.folder, "--ldap", bad],
                             capture_output=True, timeout=30)
        self.assertEqual(out.returncode, 1)
        self.assertIn(b"url must start with ldap:// or ldaps://", out.stderr)

    def sign_in(self, name, password):
        req = urllib.request.Request(f"http://{self.server.admin}/api/session", method="POST",
                                     data=json.dumps({"name": name, "password": password}).encode(),
                                     headers={"Content-Type": "application/json"})
        start = time.monotonic()
        try:
            with urllib.request.urlopen(req, timeout=30) as r:
                body, cookie = json.loads(r.read()), r.headers["Set-Cookie"].split(";")[0]
                return r.status, body, cookie, time.monotonic() - start
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read()), None, time.monotonic() - start

    def as_session(self, cookie, path):
        req = urllib.request.Request(f"http://{self.server.admin}{path}", headers={"Cookie": cookie})
        try:
            with urllib.request.urlopen(req, timeout=30) as r:
                return r.status, json.loads(r.read())
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read())

    def test_console_sign_in_with_directory_accounts(self):
        cases = [("alice", "pw-alice", 200, "admin"), ("EXAMPLE\\carol", "pw-carol", 200, "viewer"),
                 ("alice", "pw-bob", 401, "wrong name or password"),
                 ("bob", "pw-bob", 403, "not a member of any of the console's directory groups"),
                 ("*", "pw-alice", 401, "wrong name or password")]
        for name, password, status, what in cases:
            got, body, _, seconds = self.sign_in(name, password)
            self.assertEqual(got, status, (name, body))
            self.assertEqual(body.get("role") or body.get("error"), what)
            print(f"console sign-in {name}: {got} in {seconds * 1000:.0f} ms")
        _, _, cookie, _ = self.sign_in("alice", "pw-alice")
        self.assertEqual(self.as_session(cookie, "/api/audit")[0], 200)
        # Out of the group: the session's rights end at the next look.
        self.ldap.modify(f"dn: {group_dn('AdminsInner')}\nchangetype: modify\nreplace: member\n"
                         f"member: {user_dn('eve')}\n")
        try:
            time.sleep(1.2)
            status, body = self.as_session(cookie, "/api/audit")
            self.assertEqual((status, body["error"]), (401, "your directory groups no longer give access to the console"))
        finally:
            self.ldap.modify(f"dn: {group_dn('AdminsInner')}\nchangetype: modify\nreplace: member\n"
                             f"member: {user_dn('alice')}\n")
        # The directory down: its accounts cannot sign in, local ones still can.
        subprocess.run([str(alert_server_path()), "user", "add", "root", "--role", "admin", "--data",
                        self.server.data], input=b"local-password-1\nlocal-password-1\n", check=True,
                       capture_output=True, timeout=30)
        self.ldap.stop()
        try:
            status, body, _, _ = self.sign_in("alice", "pw-alice")
            self.assertEqual(status, 503)
            self.assertRegex(body["error"], "^the directory cannot be reached: .*; local accounts can still sign in$")
            self.assertEqual(self.sign_in("root", "local-password-1")[0], 200)
        finally:
            self.ldap.start()


if __name__ == "__main__":
    unittest.main()
