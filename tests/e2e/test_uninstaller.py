"""UninstallNivaxel.exe under Wine: its window, the confirmation, and what a
confirmed run removes from a machine set up as an installation leaves it.

The installed state is laid out by hand where the installer puts it (the
client in the 32-bit program folder, the uninstaller in SysWOW64 under WOW64
and in system32 in a 32-bit prefix, the settings key and the uninstall entry
in the 32-bit view), so that these tests do not depend on the installer.
"""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

TITLE = harness.UNINSTALLER_TITLE
UNINSTALLER = harness.SYSTEM_DIR + "\\UninstallNivaxel.exe"
RENAMED = harness.SYSTEM_DIR + "\\UninstallNivaxel.old"
RUN_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
UNINSTALL_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Nivaxel"
SETTINGS_KEY = harness.SETTINGS_KEY
SESSION_MANAGER = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager"
VENDOR_DIR = harness.PROGRAM_FILES + "\\meridale"
CLIENT_DIR = VENDOR_DIR + "\\Nivaxel"
CLIENT = CLIENT_DIR + "\\Nivaxel.exe"

LABEL = "Apr\xe8s d\xe9sinstallation vous ne recevrez plus les alertes du serveur VESKA."
BUTTON_UNINSTALL = "D\xe9sinstaller..."
QUESTION = "Veuillez confirmer la d\xe9installation de Nivaxel"
IDOK, IDCANCEL = 1, 2


class UninstallerTest(unittest.TestCase):
    def setUp(self):
        harness.require_programs(self, "UninstallNivaxel.exe")
        self.wine = harness.Prefix(self.id())
        self.addCleanup(self.wine.close)
        self.wine.copy_into(harness.program_path("UninstallNivaxel.exe"), UNINSTALLER)
        self.client = None

    # -- set-up and observation --

    def exists(self, win_path):
        return self.wine.win_to_unix(win_path).exists()

    def install_by_hand(self, start_client=True):
        w = self.wine
        real_client = harness.program_path("Nivaxel.exe")
        if real_client.is_file():
            w.copy_into(real_client, CLIENT)
        else:
            path = w.win_to_unix(CLIENT)
            path.parent.mkdir(parents=True)
            path.write_bytes(b"MZ stand-in for the client")
        w.reg_set(RUN_KEY, "Nivaxel", CLIENT, view=64)
        w.reg_set(RUN_KEY, "AutreProgramme", "C:\\autre.exe", view=64)
        w.reg_set(SETTINGS_KEY, "NomServeur", "127.0.0.1")
        w.reg_set(SETTINGS_KEY + "\\AjoutManuel", "Note", "ajout\xe9e")
        for name, value in (("DisplayName", "Nivaxel"), ("UninstallString", UNINSTALLER),
                            ("Publisher", "MERIDALE"), ("URLInfoAbout", "http://www.meridale.fr")):
            w.reg_set(UNINSTALL_KEY, name, value)
        if start_client and real_client.is_file():
            self.client = w.start(CLIENT, "NS=127.0.0.1")
            w.find_window(harness.CLIENT_TITLE, timeout_ms=30000)

    def installed_state(self):
        w = self.wine
        return {
            "run": w.reg_get(RUN_KEY, "Nivaxel", view=64),
            "settings": w.reg_list(SETTINGS_KEY),
            "uninstall": w.reg_list(UNINSTALL_KEY),
            "client": self.exists(CLIENT),
            "uninstaller": self.exists(UNINSTALLER),
            "renamed": self.exists(RENAMED),
        }

    def start_uninstaller(self):
        proc = self.wine.start(UNINSTALLER)
        self.wine.find_window(TITLE, timeout_ms=30000)
        return proc

    def confirm(self, answer):
        self.wine.click(TITLE, text=BUTTON_UNINSTALL)
        box = self.wine.msgbox(wait_ms=10000)
        self.assertEqual(box["caption_hex"], harness.hexs("Confirmation"))
        self.assertEqual(box["text_hex"], harness.hexs(QUESTION))
        self.assertEqual([b["id"] for b in box["buttons"]], [IDOK, IDCANCEL])
        self.wine.msgbox(wait_ms=5000, press_id=answer)
        return box

    def run_confirmed(self):
        proc = self.start_uninstaller()
        self.confirm(IDOK)
        self.assertEqual(proc.wait(60), 0, "the uninstaller did not end")
        rc, _ = self.wine.ui_rc("msgbox", wait=1500)
        self.assertEqual(rc, 1, "a message box was shown after the confirmation")

    # -- tests --

    def test_window_and_refused_confirmation(self):
        self.install_by_hand(start_client=False)
        before = self.installed_state()
        proc = self.start_uninstaller()
        w = self.wine

        win = w.find_window(TITLE)
        self.assertEqual(win["text_hex"], harness.hexs(TITLE))
        client = w.client_rect(TITLE)
        self.assertEqual((client["width"], client["height"]), (469, 85))
        label = w.control(TITLE, cls="Static")
        self.assertEqual(label["text_hex"], harness.hexs(LABEL))
        self.assertEqual((label["pos"]["left"], label["pos"]["top"], label["pos"]["height"]), (44, 16, 13))
        self.assertGreaterEqual(label["pos"]["width"], 346)  # wider only if the font needs it
        buttons = [c for c in w.controls(TITLE) if c["class"] == "Button"]
        self.assertEqual([b["text_hex"] for b in buttons], [harness.hexs(BUTTON_UNINSTALL), harness.hexs("Annuler")])
        self.assertEqual([(b["pos"]["left"], b["pos"]["top"], b["pos"]["width"], b["pos"]["height"])
                          for b in buttons], [(96, 44, 121, 25), (236, 44, 121, 25)])
        self.assertEqual(w.focus(TITLE)["text_hex"], harness.hexs(BUTTON_UNINSTALL))  # tab order 0
        w.screenshot("uninstaller-window")

        w.key(TITLE, "ESCAPE")  # no cancel button
        time.sleep(1)
        self.assertTrue(proc.alive())

        w.key(TITLE, "RETURN", text=BUTTON_UNINSTALL)  # Enter presses the focused button
        box = w.msgbox(wait_ms=10000)
        self.assertEqual(box["text_hex"], harness.hexs(QUESTION))
        print(f"\nconfirmation buttons under Wine: {[b['text'] for b in box['buttons']]}", file=sys.stderr)
        w.screenshot("uninstaller-confirmation")
        w.msgbox(wait_ms=5000, press_id=IDCANCEL)
        time.sleep(1)
        self.assertTrue(proc.alive())
        w.find_window(TITLE)
        self.assertEqual(self.installed_state(), before)

        w.click(TITLE, text="Annuler")
        self.assertEqual(proc.wait(30), 0)
        self.assertEqual(self.installed_state(), before)

    def test_confirmed_uninstall_removes_everything(self):
        self.install_by_hand(start_client=True)
        self.assertTrue(self.exists(CLIENT))
        if self.client:
            self.assertTrue(self.client.alive())
        self.run_confirmed()
        w = self.wine

        self.assertIsNone(w.reg_get(RUN_KEY, "Nivaxel", view=64))
        self.assertIsNotNone(w.reg_get(RUN_KEY, "AutreProgramme", view=64))
        self.assertIsNone(w.reg_list(SETTINGS_KEY))
        self.assertIsNotNone(w.reg_list("HKLM\\SOFTWARE\\Korlen\\VESKA"))
        self.assertIsNone(w.reg_list(UNINSTALL_KEY))
        if self.client:
            self.assertIsNotNone(self.client.wait(15), "the client is still running")
        self.assertFalse(self.exists(CLIENT))
        self.assertFalse(self.exists(CLIENT_DIR))
        self.assertFalse(self.exists(VENDOR_DIR))
        self.assertTrue(self.exists(harness.PROGRAM_FILES))

        self.assertFalse(self.exists(UNINSTALLER))
        self.assertTrue(self.exists(RENAMED))
        kind, data = w.reg_get(SESSION_MANAGER, "PendingFileRenameOperations")
        self.assertEqual(kind, "REG_MULTI_SZ")
        entries = data.split(b"\0")
        marked = [i for i, e in enumerate(entries) if e.lower() == b"\\??\\" + RENAMED.lower().encode()]
        self.assertTrue(marked, entries)
        self.assertEqual(entries[marked[0] + 1], b"")  # no new name: deleted at restart

    def test_vendor_folder_holding_another_product_stays(self):
        self.install_by_hand(start_client=False)
        other = self.wine.win_to_unix(VENDOR_DIR + "\\AutreProduit\\lisezmoi.txt")
        other.parent.mkdir(parents=True)
        other.write_bytes(b"x")
        self.run_confirmed()
        self.assertFalse(self.exists(CLIENT_DIR))
        self.assertTrue(other.exists())
        self.assertIsNone(self.wine.reg_list(SETTINGS_KEY))

    def test_nothing_installed_runs_to_its_end(self):
        self.run_confirmed()
        self.assertFalse(self.exists(UNINSTALLER))
        self.assertTrue(self.exists(RENAMED))


if __name__ == "__main__":
    unittest.main()
