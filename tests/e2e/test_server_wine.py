"""The real client under Wine and the alert server: an alert sent while the
client is off shows when it starts, and its acknowledgement reaches the
ledger under the Windows user's name."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from client_alert_server import AlertServer, require_alert_server  # noqa: E402
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


if __name__ == "__main__":
    unittest.main()
