"""The installer's window under Wine: its controls, texts and geometry as
uidriver reads them back, the settings it shows, its keyboard, its splitter,
and where it takes its DLLs from."""

import os
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

TITLE = harness.INSTALLER_TITLE
SETUP = "NivaxelSetup.exe"
MEMO, PANEL, LABEL, EDIT, INSTALL, CANCEL, SPLITTER = range(100, 107)

INFO = ("Ce programme va installer et ex\xe9cuter Nivaxel sur cette station.\r\n"
        "Nivaxel sera ensuite ex\xe9cut\xe9 automatiquement d\xe8s qu'une session sera ouverte.\r\n"
        "Nivaxel se connecte au serveur VESKA et attend que celui-ci envoie une alerte.\r\n")

ES_MULTILINE, ES_READONLY = 0x4, 0x800
BS_TYPEMASK, BS_DEFPUSHBUTTON = 0xF, 0x1
WS_TABSTOP, WS_EX_CONTROLPARENT = 0x10000, 0x10000


class InstallerWindowTest(unittest.TestCase):
    """One prefix for the class; every test starts its own installer and ends it."""

    @classmethod
    def setUpClass(cls):
        harness.require_programs(cls, SETUP)
        cls.wine = harness.Prefix("installer-window")

    @classmethod
    def tearDownClass(cls):
        cls.wine.close()

    def setUp(self):
        self.procs = []
        self.wine.reg_delete(harness.SETTINGS_KEY)

    def tearDown(self):
        for p in self.procs:
            p.kill()
        self.wine.wait_gone(TITLE, timeout_ms=5000)

    def start(self, exe=None):
        proc = self.wine.start(exe or harness.program_path(SETUP))
        self.procs.append(proc)
        self.wine.control(TITLE, id=MEMO, timeout_ms=30000)  # window and controls exist
        self.assertTrue(self.wine.wait_active(TITLE), "the window never became active")
        return proc

    def assert_closes(self, proc):
        self.assertTrue(self.wine.wait_gone(TITLE, timeout_ms=10000), "the window stayed")
        self.assertEqual(proc.wait(15), 0)

    def test_window_controls_texts_geometry_and_look(self):
        proc = self.start()
        win = self.wine.find_window(TITLE)
        self.assertEqual(win["text_hex"], harness.hexs(TITLE))
        self.assertEqual((win["client"]["width"], win["client"]["height"]), (476, 161))
        screen = self.wine.screen()
        self.assertEqual(win["rect"]["left"], (screen["width"] - win["rect"]["width"]) // 2)
        self.assertEqual(win["rect"]["top"], (screen["height"] - win["rect"]["height"]) // 2)

        controls = {c["id"]: c for c in self.wine.controls(TITLE)}
        expected = {  # id: (class, text, left, top, width, height) in the parent's client area
            MEMO: ("Edit", INFO, 0, 0, 476, 73),
            SPLITTER: ("TSplitter", "", 0, 73, 476, 3),
            PANEL: ("TPanel", "", 0, 76, 476, 85),
            LABEL: ("Static", "Nom du serveur VESKA", 57, 19, 104, 13),
            EDIT: ("Edit", "", 181, 16, 165, 21),
            INSTALL: ("Button", "Install", 181, 43, 75, 25),
            CANCEL: ("Button", "Annuler", 271, 47, 75, 25),
        }
        for cid, (cls, text, left, top, width, height) in expected.items():
            c = controls[cid]
            with self.subTest(control=cid):
                self.assertEqual(c["class"].lower(), cls.lower())
                self.assertEqual(c["text_hex"], harness.hexs(text))
                pos = c["pos"]
                self.assertEqual((pos["left"], pos["top"], pos["width"], pos["height"]), (left, top, width, height))
                self.assertTrue(c["visible"] and c["enabled"])
        for cid in (LABEL, EDIT, INSTALL, CANCEL):
            self.assertEqual(controls[cid]["parent"], controls[PANEL]["hwnd"])
        self.assertEqual(controls[MEMO]["style"] & (ES_MULTILINE | ES_READONLY), ES_MULTILINE | ES_READONLY)
        self.assertEqual(controls[INSTALL]["style"] & BS_TYPEMASK, BS_DEFPUSHBUTTON)
        self.assertNotEqual(controls[CANCEL]["style"] & BS_TYPEMASK, BS_DEFPUSHBUTTON)
        self.assertTrue(controls[PANEL]["exstyle"] & WS_EX_CONTROLPARENT)

        shot = self.wine.screenshot("installer-window")
        origin = self.wine.ui("client-rect", title=TITLE)
        x0, y0 = origin["screen_x"], origin["screen_y"]
        face = self.wine.sys_color(15)  # COLOR_BTNFACE
        self.assertEqual(harness.pixel(shot, x0 + 10, y0 + 76 + 60), face)   # the panel
        self.assertEqual(harness.pixel(shot, x0 + 400, y0 + 60), (255, 255, 255))  # the text box
        self.wine.key(TITLE, "ESCAPE", id=EDIT)
        self.assert_closes(proc)

    def test_tab_order_runs_edit_install_cancel_text(self):
        proc = self.start()
        seen = [self.wine.focus(TITLE)["id"]]
        for _ in range(4):
            self.wine.key(TITLE, "TAB", id=seen[-1])
            time.sleep(0.2)
            seen.append(self.wine.focus(TITLE)["id"])
        self.assertEqual(seen, [EDIT, INSTALL, CANCEL, MEMO, EDIT])
        self.wine.key(TITLE, "ESCAPE", id=EDIT)
        self.assert_closes(proc)

    def test_settings_name_is_shown_byte_for_byte(self):
        for name in ("srv-alertes", "serveur-\xe9t\xe9"):
            with self.subTest(name=name):
                self.wine.reg_set(harness.SETTINGS_KEY, "NomServeur", name)
                proc = self.start()
                edit = self.wine.control(TITLE, id=EDIT)
                self.assertEqual(edit["text_hex"], harness.hexs(name))
                self.wine.post(TITLE, "WM_CLOSE")
                self.assert_closes(proc)

    def test_cancel_button_and_close_box_end_the_program(self):
        proc = self.start()
        self.wine.click(TITLE, id=CANCEL)
        self.assert_closes(proc)
        proc = self.start()
        self.wine.post(TITLE, "WM_SYSCOMMAND", 0xF060)  # SC_CLOSE: the close box
        self.assert_closes(proc)
        self.assertIsNone(self.wine.reg_list(harness.SETTINGS_KEY), "closing wrote settings")

    def test_enter_in_the_name_box_presses_install(self):
        # With no server name the sequence stops at once with its message,
        # in a box captioned with the executable's name.
        proc = self.start()
        self.wine.key(TITLE, "RETURN", id=EDIT)
        box = self.wine.msgbox(wait_ms=20000, pid=self.wine.pid_of_window(TITLE))
        self.assertEqual(box["caption_hex"], harness.hexs("NivaxelSetup"))
        self.assertEqual(box["text_hex"], harness.hexs("Il manque le nom du serveur VESKA capable d'envoyer des alertes"))
        self.assertEqual([b["text"].replace("&", "") for b in box["buttons"] if b["visible"]], ["OK"])
        self.wine.msgbox(press="OK")
        self.wine.find_window(TITLE, timeout_ms=2000)  # still there
        self.wine.key(TITLE, "ESCAPE", id=EDIT)
        self.assert_closes(proc)

    def test_splitter_drag_resizes_text_and_panel(self):
        proc = self.start()

        def drag(dy):
            lp = lambda y: ((y & 0xFFFF) << 16) | 10  # noqa: E731
            self.wine.post(TITLE, "WM_LBUTTONDOWN", 1, lp(1), id=SPLITTER)
            self.wine.post(TITLE, "WM_MOUSEMOVE", 1, lp(1 + dy), id=SPLITTER)
            self.wine.post(TITLE, "WM_LBUTTONUP", 0, lp(1 + dy), id=SPLITTER)
            time.sleep(0.3)
            return {cid: self.wine.control(TITLE, id=cid)["pos"] for cid in (MEMO, SPLITTER, PANEL)}

        bands = drag(-20)
        self.assertEqual(bands[MEMO]["height"], 53)
        self.assertEqual((bands[SPLITTER]["top"], bands[SPLITTER]["height"]), (53, 3))
        self.assertEqual((bands[PANEL]["top"], bands[PANEL]["height"]), (56, 105))
        bands = drag(200)  # far down: the panel keeps its minimum
        self.assertEqual(bands[PANEL]["height"], 30)
        self.assertEqual(bands[MEMO]["height"], 161 - 30 - 3)
        self.wine.screenshot("installer-window-split")
        self.wine.key(TITLE, "ESCAPE", id=EDIT)
        self.assert_closes(proc)

    def test_no_dll_is_taken_from_the_installer_folder(self):
        # Loaded before the first line runs, these would escape any later care.
        imports = harness.pe_imports(harness.program_path(SETUP))
        for dll in ("version.dll", "ws2_32.dll", "wsock32.dll"):
            self.assertNotIn(dll, imports)

        folder = "C:\\plant"
        planted = harness.build_dir() / "tools" / "uidriver" / "planted"
        self.wine.copy_into(planted / "ws2_32.dll", folder + "\\ws2_32.dll")
        self.wine.copy_into(harness.build_dir() / "tools" / "uidriver" / "uidriver.exe", folder + "\\uidriver.exe")
        self.wine.copy_into(harness.program_path(SETUP), folder + "\\" + SETUP)
        marker = self.wine.win_to_unix(folder + "\\ws2_32.dll.loaded")
        # Wine prefers its own ws2_32 unless told otherwise; Windows takes what it finds.
        env = {"WINEDLLOVERRIDES": "mscoree,mshtml=;ws2_32=n,b"}

        # The stand-in works: a plain load by name from that folder leaves the marker.
        control = self.wine.start(folder + "\\uidriver.exe", "load-library", "--name", "ws2_32.dll", env=env)
        self.assertEqual(control.wait(60), 0, control.log())
        self.assertTrue(marker.exists(), f"the stand-in DLL was not loaded by a plain LoadLibraryA: {control.log()}")
        marker.unlink()

        proc = self.wine.start(folder + "\\" + SETUP, env=env)
        self.procs.append(proc)
        self.wine.control(TITLE, id=MEMO, timeout_ms=30000)
        time.sleep(1)
        self.assertFalse(marker.exists(), "the installer loaded ws2_32.dll from its own folder")
        self.wine.key(TITLE, "ESCAPE", id=EDIT)
        self.assert_closes(proc)
        self.assertFalse(marker.exists())


if __name__ == "__main__":
    unittest.main()
