"""The whole system once with the web console: the real client under Wine
receives an alert sent from the console in Chromium, the user acknowledges
it, and the console shows it acknowledged with the user's name."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from client_alert_server import AlertServer, require_alert_server  # noqa: E402
from console_demo import browser_ready, console_walk  # noqa: E402

AUTHOR, SUBJECT, BODY = 114, 118, 120


class ConsoleSystemTest(unittest.TestCase):
    def test_alert_from_the_console_acknowledged_on_the_workstation(self):
        harness.require_programs(self, "Nivaxel.exe")
        require_alert_server(self)
        if not browser_ready():
            self.skipTest("tests/browser not installed (npm ci) or /usr/bin/chromium missing")
        server = AlertServer()
        self.addCleanup(server.stop)
        wine = harness.Prefix(self.id())
        self.addCleanup(wine.close)
        seen = console_walk(wine, server)
        self.assertIsNotNone(seen.get("identified"), "the client never identified itself")
        self.assertEqual(seen["sent"].get("step"), "sent", seen["sent"])
        self.assertTrue(seen["alert_visible"])
        fields = seen["alert_fields"]
        self.assertEqual(fields[AUTHOR], "anne")
        self.assertEqual(fields[SUBJECT], "Exercice d'\xe9vacuation")
        self.assertEqual(fields[BODY].replace("\r\n", "\n").rstrip("\n"), "Evacuation du b\xe2timent A.\nMerci.")
        ack = seen["acknowledged"]
        self.assertEqual(ack.get("state"), "Lue", ack)
        self.assertEqual(ack["computer"].upper(), seen["identified"]["computer"].upper())
        self.assertEqual(ack["user"], seen["identified"]["user"])
        self.assertTrue(ack["acknowledged_at"])
        self.assertIsNotNone(seen["side_by_side"])


if __name__ == "__main__":
    unittest.main()
