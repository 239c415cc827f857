"""The alert client Nivaxel.exe under Wine, against the alert server.

One prefix per test class: the server on loopback, the client started with its
settings in the prefix's registry (or its command line), then driven through
uidriver: identification, the alert view, the acknowledgement, the menu view,
the single instance, the close permission and the unload question.
"""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from client_alert_server import AlertServer, require_alert_server  # noqa: E402

TITLE = harness.CLIENT_TITLE
WS_CAPTION, WS_MAXIMIZE, WS_VISIBLE = 0x00C00000, 0x01000000, 0x10000000

# Control numbers of the client's window.
AUTHOR, DATE, SUBJECT, BODY, SEEN, CLOSE_ALERT = 114, 116, 118, 120, 121, 122
PANEL_ALERT, PANEL_MENU, SERVER, UNLOAD, CLOSE_MENU = 110, 130, 133, 134, 135


def wait_for(predicate, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


class ClientCase(unittest.TestCase):
    def start_client(self, *args, settings=None):
        """Server, prefix, settings, client: ready once the server saw its identification.
        A setting given as "PORT" takes the server's port."""
        harness.require_programs(self, "Nivaxel.exe")
        require_alert_server(self)
        self.server = AlertServer()
        self.addCleanup(self.server.stop)
        self.wine = harness.Prefix(self.id())
        self.addCleanup(self.wine.close)
        for name, (kind, value) in (settings or {}).items():
            value = self.server.port if value == "PORT" else value
            self.wine.reg_set(harness.SETTINGS_KEY, name, value, type=kind)
        self.client = self.wine.start(harness.program_path("Nivaxel.exe"), *args)
        self.window = self.wine.find_window(TITLE, timeout_ms=30000)
        self.identity = self.server.wait_event("identified", timeout=30)
        self.assertIsNotNone(self.identity, "the client never identified itself")

    def check_not_topmost(self):
        # Wine (8.0) keeps WS_EX_TOPMOST on an owned window after
        # HWND_NOTOPMOST when only topmost windows lie above its owner: it
        # swaps HWND_NOTOPMOST for the window above the owner, to keep the
        # popup over it, and so never clears the style. The client's window is
        # owned by its hidden application window; a bare owned popup making
        # the same calls keeps the style too, an unowned one loses it. Inside
        # Wine's explorer desktop the client's window has always met that
        # case; outside it, it has not, and there the check holds.
        if self.wine.wine_desktop() is None:
            self.assertFalse(self.wine.is_topmost(TITLE))

    def ctl(self, ident):
        return self.wine.control(TITLE, id=ident)

    def win(self):
        return self.wine.find_window(TITLE)

    def prefix_names(self):
        for _ in range(3):  # cmd under a busy Wine now and then prints nothing
            out = self.wine.run("cmd", "/c", "set", timeout=60).stdout.decode("cp1252")
            names = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
            if names.get("COMPUTERNAME"):
                break
        return names.get("COMPUTERNAME", ""), names.get("USERNAME", "")

    def send_alert(self, **fields):
        self.assertEqual(self.server.send(**fields), 1)

    def wait_visible(self, visible=True, timeout=10):
        return wait_for(lambda: self.win()["visible"] == visible, timeout)


class ClientRoundTrip(ClientCase):
    def test_alert_menu_instance_close_unload(self):
        self.start_client(settings={"NomServeur": ("REG_SZ", "127.0.0.1"),
                                    "Port": ("REG_DWORD", "PORT")})
        computer, user = self.prefix_names()
        self.assertEqual(self.identity["computer"].upper(), computer.upper())
        self.assertEqual(self.identity["user"], user)
        self.assertFalse(self.window["visible"])  # hidden start

        # An alert: full screen, on top, frameless, panel centred, fields filled.
        self.send_alert(author="Accueil", date="12/03 10:42", subject="Exercice d'\u00e9vacuation",
                        lines=["Evacuation du b\u00e2timent A.", "Merci."])
        self.assertTrue(self.wait_visible())
        w = self.win()
        self.assertTrue(w["style"] & WS_MAXIMIZE)
        self.assertFalse(w["style"] & WS_CAPTION)
        self.assertTrue(self.wine.is_topmost(TITLE))
        screen_w, screen_h = w["rect"]["width"], w["rect"]["height"]
        self.assertEqual((w["rect"]["left"], w["rect"]["top"]), (0, 0))
        self.assertGreaterEqual(screen_w, 1024)
        panel = self.ctl(PANEL_ALERT)
        self.assertEqual((panel["pos"]["left"], panel["pos"]["top"]),
                         ((screen_w - 537) // 2, (screen_h - 314) // 2))
        self.assertEqual(self.ctl(AUTHOR)["text_hex"], harness.hexs("Accueil"))
        self.assertEqual(self.ctl(DATE)["text_hex"], harness.hexs("12/03 10:42"))
        self.assertEqual(self.ctl(SUBJECT)["text_hex"], harness.hexs("Exercice d'\u00e9vacuation"))
        self.assertEqual(self.ctl(BODY)["text_hex"],
                         harness.hexs("Evacuation du b\u00e2timent A.\r\nMerci."))
        self.assertFalse(self.ctl(PANEL_MENU)["visible"])
        self.assertFalse(self.ctl(CLOSE_ALERT)["enabled"])
        self.wine.screenshot("client-alert")

        # Enter and Escape do nothing while Fermer is disabled.
        self.wine.key(TITLE, "RETURN")
        self.wine.key(TITLE, "ESCAPE")
        time.sleep(0.5)
        self.assertTrue(self.win()["visible"])

        # The icon's click replaces the alert by the menu, unacknowledged.
        self.wine.post(TITLE, "WM_USER+1", 0, 0x201)
        self.assertTrue(wait_for(lambda: self.ctl(PANEL_MENU)["visible"], 10))
        w = self.win()
        self.assertFalse(w["style"] & WS_MAXIMIZE)
        self.assertEqual((w["rect"]["width"], w["rect"]["height"]), (200, 110))
        self.check_not_topmost()

        # A second alert: full screen again, box unticked; only it is acknowledged.
        self.send_alert(author="Direction", subject="Second", lines=["Deux"])
        self.assertTrue(wait_for(lambda: self.win()["style"] & WS_MAXIMIZE, 10))
        self.assertEqual(self.ctl(SUBJECT)["text_hex"], harness.hexs("Second"))
        self.assertFalse(self.ctl(SEEN)["checked"])
        self.wine.click(TITLE, id=SEEN, send=True)
        self.assertTrue(self.ctl(CLOSE_ALERT)["enabled"])
        self.assertIsNone(self.server.wait_event("acknowledged", timeout=0.5))
        # Sent: uidriver returns once the click was handled; starting it
        # under Wine takes longer than the acknowledgement itself.
        self.wine.click(TITLE, id=CLOSE_ALERT, send=True)
        clicked = time.monotonic()
        ack = self.server.wait_event("acknowledged", timeout=5)
        self.assertIsNotNone(ack, "no acknowledgement reached the server")
        self.assertLess(ack["_received"] - clicked, 1.0)
        self.assertFalse(self.win()["visible"])
        self.assertIsNone(self.server.wait_event("acknowledged", timeout=1))

        # From hidden: the menu, 200 x 110 at the work area's corner.
        self.wine.post(TITLE, "WM_USER+1", 0, 0x204)  # right button: nothing
        time.sleep(0.5)
        self.assertFalse(self.win()["visible"])
        self.wine.post(TITLE, "WM_USER+1", 0, 0x201)
        self.assertTrue(self.wait_visible())
        w = self.win()
        self.assertFalse(w["style"] & WS_MAXIMIZE)
        self.assertEqual((w["rect"]["width"], w["rect"]["height"]), (200, 110))
        # The work area's corner: the screen's, above the shell desktop's taskbar.
        self.assertEqual(w["rect"]["right"], screen_w)
        self.assertTrue(screen_h - 48 <= w["rect"]["bottom"] <= screen_h, w["rect"])
        self.check_not_topmost()
        self.assertTrue(self.ctl(PANEL_MENU)["visible"])
        self.assertFalse(self.ctl(PANEL_ALERT)["visible"])
        self.assertEqual(self.ctl(SERVER)["text_hex"], harness.hexs("127.0.0.1"))
        self.wine.screenshot("client-menu")

        # A second start by the same user ends at once, quietly.
        second = self.wine.start(harness.program_path("Nivaxel.exe"))
        self.assertEqual(second.wait(30), 0)
        self.assertTrue(self.client.alive())

        # WM_CLOSE alone is refused, and so is the end of the session.
        self.wine.send(TITLE, "WM_CLOSE")
        self.assertEqual(self.wine.send(TITLE, "WM_QUERYENDSESSION")["result"], 0)
        time.sleep(0.5)
        self.assertTrue(self.client.alive())

        # The unload question: No hides the menu, Yes ends the program.
        self.wine.click(TITLE, id=UNLOAD, send=True)
        self.wine.click(TITLE, id=CLOSE_MENU)
        box = self.wine.msgbox(wait_ms=10000)
        self.assertEqual(box["caption_hex"], harness.hexs("Attention"))
        self.assertEqual(box["text_hex"], harness.hexs(
            "Attention, les alertes ne pourront plus s'afficher si vous d\u00e9chargez ce programme"
            " de la m\u00e9moire\n\nD\u00e9charger quand m\u00eame ?"))
        self.wine.msgbox(wait_ms=5000, press="No")
        self.assertTrue(self.wait_visible(False))
        self.assertTrue(self.client.alive())
        self.wine.post(TITLE, "WM_USER+1", 0, 0x203)  # double click opens it too
        self.assertTrue(self.wait_visible())
        self.assertFalse(self.ctl(UNLOAD)["checked"])
        self.wine.click(TITLE, id=UNLOAD, send=True)
        self.wine.click(TITLE, id=CLOSE_MENU)
        self.wine.msgbox(wait_ms=10000, press="Yes")
        self.assertEqual(self.client.wait(15), 0)


class ClientWithoutIcon(ClientCase):
    def test_alerts_still_shown_and_end_session_closes(self):
        self.start_client("NS=127.0.0.1", settings={"CacheIcone": ("REG_DWORD", 1),
                                                    "Port": ("REG_DWORD", "PORT")})
        self.wine.post(TITLE, "WM_USER+1", 0, 0x201)  # no icon: no menu
        time.sleep(0.5)
        self.assertFalse(self.win()["visible"])

        self.send_alert(author="Direction", subject="Premier", lines=["Un", "Deux"])
        self.assertTrue(self.wait_visible())
        self.assertEqual(self.ctl(BODY)["text_hex"], harness.hexs("Un\r\nDeux"))
        self.wine.click(TITLE, id=SEEN, send=True)
        self.wine.key(TITLE, "RETURN")  # Enter presses the enabled Fermer
        self.assertTrue(self.wait_visible(False))
        self.assertIsNotNone(self.server.wait_event("acknowledged", timeout=5))

        self.wine.send(TITLE, "WM_ENDSESSION", 1, 0)
        self.assertEqual(self.wine.send(TITLE, "WM_QUERYENDSESSION")["result"], 1)
        self.wine.send(TITLE, "WM_CLOSE")
        self.assertEqual(self.client.wait(15), 0)


if __name__ == "__main__":
    unittest.main()
