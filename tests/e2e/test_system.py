"""The three programs together, through the real installer: the installed
client identifies itself, shows an alert sent by the reference server,
acknowledges it, and the uninstaller removes it all."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from client_alert_server import AlertServer, require_alert_server  # noqa: E402
from demo import walk_through  # noqa: E402

AUTHOR, DATE, SUBJECT, BODY = 114, 116, 118, 120


class SystemTest(unittest.TestCase):
    def setUp(self):
        harness.require_programs(self, "NivaxelSetup.exe", "Nivaxel.exe", "UninstallNivaxel.exe")
        require_alert_server(self)
        self.server = AlertServer()
        self.addCleanup(self.server.stop)
        self.wine = harness.Prefix(self.id())
        self.addCleanup(self.wine.close)

    def test_install_alert_acknowledge_uninstall(self):
        seen = walk_through(self.wine, self.server, shots="system")
        self.assertEqual(seen["installer_box"], "Le programme a bien \xe9t\xe9 install\xe9.")
        self.assertEqual(seen["installer_exit"], 0)
        self.assertIsNotNone(seen["identified"], "the installed client never identified itself")
        names = self.wine.run("cmd", "/c", "set", timeout=60).stdout.decode("cp1252")
        env = dict(line.split("=", 1) for line in names.splitlines() if "=" in line)
        if env.get("COMPUTERNAME"):
            self.assertEqual(seen["identified"]["computer"].upper(), env["COMPUTERNAME"].upper())
            self.assertEqual(seen["identified"]["user"], env["USERNAME"])
        self.assertEqual(seen["sent_to"], 1)
        self.assertTrue(seen["alert_visible"])
        self.assertTrue(seen["alert_topmost"])
        fields = seen["alert_fields"]
        self.assertEqual(fields[AUTHOR], "Accueil")
        self.assertEqual(fields[DATE], "12/03 10:42")
        self.assertEqual(fields[SUBJECT], "Exercice d'\xe9vacuation")
        self.assertEqual(fields[BODY].replace("\r\n", "\n").rstrip("\n"), "Evacuation du b\xe2timent A.\nMerci.")
        self.assertIsNotNone(seen["acknowledged"])
        self.assertTrue(seen["hidden_after_ack"])
        self.assertTrue(seen["uninstaller_gone"])
        self.assertTrue(seen["client_gone"])
        self.assertIsNone(seen["settings_after"])
        self.assertFalse(seen["client_file_after"])


if __name__ == "__main__":
    unittest.main()
