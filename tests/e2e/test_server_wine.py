"""The real client under Wine and the alert server: an alert sent while the
client is off shows when it starts, and its acknowledgement reaches the
ledger under the Windows user's name."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from client_alert_server import AlertServer, alert_server_path, require_alert_server  # noqa: E402
from slapd import Slapd, computer_dn, group_dn, seed, user_dn  # noqa: E402
from test_client import CLOSE_ALERT, SEEN, SUBJECT, TITLE, wait_for  # noqa: E402


class OfflineDelivery(unittest.TestCase):
    def test_alert_sent_while_off_shows_at_start_and_is_acknowledged_by_name(self):
        harness.require_programs(self, "Nivaxel.exe")
        require_alert_server(self)
        self.server = AlertServer()
        self.addCleanup(self.server.stop)
        self.assertEqual(self.server.send(author="Accueil", subject="Pendant votre absence",
                                          lines=["Message en attente."]), 0)
        alert_id = self.server.last_id

        wine = harness.Prefix(self.id())
        self.addCleanup(wine.close)
        wine.reg_set(harness.SETTINGS_KEY, "NomServeur", "127.0.0.1", type="REG_SZ")
        wine.reg_set(harness.SETTINGS_KEY, "Port", self.server.port, type="REG_DWORD")
        client = wine.start(harness.program_path("Nivaxel.exe"))
        wine.find_window(TITLE, timeout_ms=30000)
        identity = self.server.wait_event("identified", timeout=30)
        self.assertIsNotNone(identity, "the client never identified itself")

        self.assertTrue(wait_for(lambda: wine.find_window(TITLE)["visible"], 15))
        self.assertEqual(wine.control(TITLE, id=SUBJECT)["text_hex"], harness.hexs("Pendant votre absence"))
        self.assertEqual(self.server.receipts(alert_id)[0]["state"], "sent")
        wine.click(TITLE, id=SEEN, send=True)
        wine.click(TITLE, id=CLOSE_ALERT, send=True)
        self.assertIsNotNone(self.server.wait_event("acknowledged", timeout=10))

        def acknowledged():
            rows = self.server.receipts(alert_id)
            return rows if rows and rows[0]["state"] == "acknowledged" else None
        rows = wait_for(acknowledged, 5)
        self.assertIsNotNone(rows)
        self.assertEqual((rows[0]["computer"].upper(), rows[0]["user"]),
                         (identity["computer"].upper(), identity["user"]))
        self.assertRegex(rows[0]["acknowledged_at"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")

        wine.send(TITLE, "WM_ENDSESSION", 1, 0)
        wine.send(TITLE, "WM_CLOSE")
        self.assertEqual(client.wait(15), 0)


class DirectoryGroupDelivery(unittest.TestCase):
    def test_alert_to_a_nested_directory_group_reaches_the_client(self):
        harness.require_programs(self, "Nivaxel.exe")
        require_alert_server(self)
        if not os.path.exists("/usr/sbin/slapd"):
            self.skipTest("slapd is not installed")
        # The station's names are known once it identifies: its computer joins the inner group then.
        ldap = Slapd(seed(["nobody-yet"], [], {"Inner": [user_dn("nobody-yet")], "Site": [group_dn("Inner")]}))
        self.addCleanup(ldap.close)
        folder = tempfile.mkdtemp(prefix="nivaxel-ldapconf-")
        self.addCleanup(shutil.rmtree, folder, True)
        self.server = AlertServer(extra=("--ldap", ldap.config(os.path.join(folder, "ldap.conf"))))
        self.addCleanup(self.server.stop)

        wine = harness.Prefix(self.id())
        self.addCleanup(wine.close)
        wine.reg_set(harness.SETTINGS_KEY, "NomServeur", "127.0.0.1", type="REG_SZ")
        wine.reg_set(harness.SETTINGS_KEY, "Port", self.server.port, type="REG_DWORD")
        client = wine.start(harness.program_path("Nivaxel.exe"))
        identity = self.server.wait_event("identified", timeout=60)
        self.assertIsNotNone(identity, "the client never identified itself")
        computer = identity["computer"]
        ldap.modify(f"dn: {computer_dn(computer)}\nchangetype: add\nobjectClass: device\ncn: {computer}\n\n"
                    f"dn: {group_dn('Inner')}\nchangetype: modify\nadd: member\nmember: {computer_dn(computer)}\n")
        sync = subprocess.run([str(alert_server_path()), "directory", "sync", "--admin", self.server.admin,
                               "--token", self.server.token], capture_output=True, timeout=60)
        self.assertEqual(sync.returncode, 0, sync.stderr)

        self.assertEqual(self.server.send(author="Accueil", subject="Par l'annuaire", lines=["Groupe imbriqu\u00e9."],
                                          groups=["site"]), 1)
        self.assertTrue(wait_for(lambda: wine.find_window(TITLE)["visible"], 30))
        self.assertEqual(wine.control(TITLE, id=SUBJECT)["text_hex"], harness.hexs("Par l'annuaire"))
        rows = self.server.receipts(self.server.last_id)
        self.assertEqual([(r["computer"].upper(), r["state"], r["directory_group"]) for r in rows],
                         [(computer.upper(), "sent", "Site")])
        print(f"{computer} reached through Site > Inner under Wine")
        wine.send(TITLE, "WM_ENDSESSION", 1, 0)
        wine.send(TITLE, "WM_CLOSE")
        self.assertEqual(client.wait(15), 0)


if __name__ == "__main__":
    unittest.main()
