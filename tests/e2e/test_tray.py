"""The client's icon in the notification area of Wine's explorer desktop, as
a person sees it: there after start-up, different when the connection to the
server is lost, and back when the shell announces a restart ("TaskbarCreated").

The icon is found on screenshots: what changes on the screen when the
hidden client starts is its icon and nothing else."""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from client_alert_server import AlertServer, require_alert_server  # noqa: E402

TRAY_CLASS = "Shell_TrayWnd"


class TrayIconTest(unittest.TestCase):
    def setUp(self):
        harness.require_programs(self, "Nivaxel.exe")
        require_alert_server(self)
        self.server = AlertServer()
        self.addCleanup(self.server.stop)
        self.wine = harness.Prefix(self.id())
        self.addCleanup(self.wine.close)

    def shot(self, name):
        return harness.Screen(self.wine.screenshot(name))

    def wait_shot(self, name, accept, timeout=30):
        """A screenshot once `accept` takes it, or the last one at the limit."""
        deadline = time.monotonic() + timeout
        while True:
            shot = self.shot(name)
            if accept(shot) or time.monotonic() >= deadline:
                return shot
            time.sleep(0.5)

    def test_icon_shows_state_and_survives_a_shell_restart(self):
        w = self.wine
        tray = w.ui("windows", window_class=TRAY_CLASS)
        self.assertTrue(tray, "no taskbar: the prefix has no explorer shell desktop")
        empty = self.shot("tray-empty")

        w.reg_set(harness.SETTINGS_KEY, "NomServeur", "127.0.0.1")
        w.reg_set(harness.SETTINGS_KEY, "Port", self.server.port, type="REG_DWORD")
        client = w.start(harness.program_path("Nivaxel.exe"))
        self.assertIsNotNone(self.server.wait_event("identified", timeout=60), "the client never identified itself")
        connected = self.wait_shot("tray-connected", lambda s: s.diff_box(empty) and not unplugged(s, s.diff_box(empty)))
        icon = connected.diff_box(empty)
        self.assertIsNotNone(icon, "nothing appeared on screen when the client started")
        self.assertLessEqual(max(icon[2], icon[3]), 32, f"more than an icon changed: {icon}")
        self.assertFalse(unplugged(connected, icon), "connected, but the icon still shows the unplugged plug")

        self.server.stop()
        lost = self.wait_shot("tray-disconnected", lambda s: unplugged(s, icon))
        self.assertTrue(unplugged(lost, icon), "the icon did not change when the server went away")
        self.assertTrue(harness.box_within(lost.diff_box(connected), icon))

        # Wine's taskbar lives in its desktop process, whose end takes every
        # window with it; so the shell's restart is played as a restarted
        # shell is seen by a program: its icon forgotten, then "TaskbarCreated"
        # sent to its window.
        window = w.find_window(harness.CLIENT_TITLE)
        w.ui("tray-delete", hwnd=window["hwnd"], id=1)
        gone = self.wait_shot("tray-forgotten", lambda s: s.diff_box(empty) is None)
        self.assertIsNone(gone.diff_box(empty), "the shell did not forget the icon")
        w.post(None, "registered:TaskbarCreated", hwnd=window["hwnd"])
        back = self.wait_shot("tray-after-shell-restart", lambda s: s.diff_box(lost) is None)
        self.assertIsNone(back.diff_box(lost), "the icon did not come back, as it stood, after TaskbarCreated")
        self.assertTrue(client.alive())


def unplugged(shot, box):
    """The not-connected icon: a red unplugged plug where the connected one has a grey disc."""
    return any(r > 180 and g < 90 and b < 90 for r, g, b in shot.pixels(box))


if __name__ == "__main__":
    unittest.main()
