"""The real installer under Wine: type a server name, press "Install", read
the messages, then look at what the machine holds.

A loopback listener stands for the alert server, on a free port that the
test writes to the settings key's Port value before the installer starts.

These are the shipped i686 programs. In a 64-bit prefix (WOW64) the
installer's program folder is "C:\\Program Files (x86)", the uninstaller
goes to SysWOW64, and the settings and the Uninstall entry land in the 32-bit
view, i.e. under Wow6432Node of the 64-bit one; the log-on start value alone
is written to the 64-bit view. In a 32-bit prefix there is one view and the
system's own folders.
"""

import os
import signal
import socket
import struct
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

BOX_CAPTION = "NivaxelSetup"
M2 = "Il manque le nom du serveur VESKA capable d'envoyer des alertes"
M3_HEAD = "Un test de connexion au serveur vient d'\xeatre fait et n'a pas r\xe9ussi.\n"
M3_TAIL = "\nL'installation va continuer mais le programme Nivaxel risque de ne pas fonctionner correctement."
M_COPY_ERROR = "Erreur en copiant le programme.\n"
M9 = "Le programme a bien \xe9t\xe9 install\xe9."

RUN_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
UNINSTALL_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Nivaxel"
CLIENT_PATH = harness.PROGRAM_FILES + "\\meridale\\Nivaxel\\Nivaxel.exe"
UNINSTALLER_PATH = harness.SYSTEM_DIR + "\\UninstallNivaxel.exe"
WOW64_SETTINGS_KEY = "HKLM\\SOFTWARE\\Wow6432Node\\Korlen\\VESKA\\Nivaxel"
WOW64_UNINSTALL_KEY = "HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Nivaxel"


class Listener:
    """A TCP listener on 127.0.0.1 that records, per accepted connection,
    the bytes it received and whether the peer closed it."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.connections = []  # dicts: data (bytes), closed (bool)
        self.lock = threading.Lock()
        self.stopping = False
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def _accept(self):
        while not self.stopping:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            record = {"data": b"", "closed": False}
            with self.lock:
                self.connections.append(record)
            t = threading.Thread(target=self._read, args=(conn, record), daemon=True)
            self.threads.append(t)
            t.start()

    def _read(self, conn, record):
        conn.settimeout(0.2)
        with conn:
            while not self.stopping:
                try:
                    chunk = conn.recv(4096)
                except socket.timeout:
                    continue
                except OSError:
                    break
                if not chunk:
                    break
                with self.lock:
                    record["data"] += chunk
            with self.lock:
                record["closed"] = not self.stopping

    def snapshot(self):
        with self.lock:
            return [dict(c) for c in self.connections]

    def close(self):
        self.stopping = True
        for t in self.threads:
            t.join(5)
        self.sock.close()


def unused_port():
    """A loopback port in 5000..65534 on which nothing listens."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def filetime_ns(header):
    """The container's time stamp (offset 8, FILETIME) as Unix nanoseconds."""
    (ticks,) = struct.unpack_from("<Q", header, 8)
    return ticks * 100 - 11644473600 * 10**9


class InstallTest(unittest.TestCase):
    def setUp(self):
        harness.require_programs(self, "NivaxelSetup.exe", "Nivaxel.exe", "UninstallNivaxel.exe")
        self.wine = harness.Prefix(self.id())
        self.addCleanup(self.wine.close)

    # -- helpers --

    def start_installer(self, port):
        self.wine.reg_set(harness.SETTINGS_KEY, "Port", port, type="REG_DWORD")
        proc = self.wine.start(harness.program_path("NivaxelSetup.exe"))
        self.wine.find_window(harness.INSTALLER_TITLE, timeout_ms=30000)
        return proc

    def press_install(self, name):
        self.wine.set_text(harness.INSTALLER_TITLE, name, cls="Edit", index=0)
        self.wine.click(harness.INSTALLER_TITLE, text="Install")

    def next_box(self, wait_ms=60000):
        box = self.wine.msgbox(wait_ms=wait_ms, title=BOX_CAPTION)
        self.assertEqual(box["caption_hex"], harness.hexs(BOX_CAPTION))
        self.assertEqual([b["text"] for b in box["buttons"]], ["OK"])
        return box

    def press_ok(self):
        self.wine.msgbox(wait_ms=5000, title=BOX_CAPTION, press="OK")

    def client_windows(self):
        return self.wine.ui("windows", title=harness.CLIENT_TITLE)

    def wait_client_windows(self, accept, timeout=15):
        """The client's windows once `accept` takes them, or as they are at the limit."""
        deadline = time.monotonic() + timeout
        while True:
            windows = self.client_windows()
            if accept(windows) or time.monotonic() >= deadline:
                return windows
            time.sleep(0.5)

    def file(self, win_path):
        return self.wine.win_to_unix(win_path)

    def install_completely(self, listener, name="127.0.0.1"):
        proc = self.start_installer(listener.port)
        self.press_install(name)
        box = self.next_box()
        self.assertEqual(box["text_hex"], harness.hexs(M9), box["text"])
        self.press_ok()
        self.assertEqual(proc.wait(30), 0)
        return proc

    def install_with_running_client(self):
        """A complete install whose client runs: the listener and the client's window."""
        listener = Listener()
        self.addCleanup(listener.close)
        self.install_completely(listener)
        first = self.wait_client_windows(lambda ws: len(ws) == 1)
        self.assertEqual(len(first), 1, first)
        return listener, first

    def assert_installed(self, server_name=b"127.0.0.1"):
        w = self.wine
        self.assertEqual(w.reg_get(harness.SETTINGS_KEY, "NomServeur"), ("REG_SZ", server_name))
        self.assertEqual(w.reg_get(RUN_KEY, "Nivaxel", view=64), ("REG_SZ", b'"' + CLIENT_PATH.encode() + b'"'))
        entry = w.reg_list(UNINSTALL_KEY)
        self.assertIsNotNone(entry)
        self.assertEqual(entry["values"], {
            "DisplayName": ("REG_SZ", b"Nivaxel"),
            "UninstallString": ("REG_SZ", b'"' + UNINSTALLER_PATH.encode() + b'"'),
            "Publisher": ("REG_SZ", b"MERIDALE"),
            "URLInfoAbout": ("REG_SZ", b"https://www.meridale.example/nivaxel"),
        })
        client = self.file(CLIENT_PATH)
        self.assertEqual(client.read_bytes(), harness.program_path("Nivaxel.exe").read_bytes())
        container = harness.build_dir() / "generated" / "NIVAXEL.bin"
        if container.is_file():
            self.assertEqual(client.stat().st_mtime_ns, filetime_ns(container.read_bytes()[:128]))
        uninstaller = self.file(UNINSTALLER_PATH)
        self.assertEqual(uninstaller.read_bytes(), harness.program_path("UninstallNivaxel.exe").read_bytes())
        if harness.WOW64:
            # Seen from the 64-bit side, as a 64-bit tool or Windows itself sees them.
            self.assertEqual(w.reg_get(WOW64_SETTINGS_KEY, "NomServeur", view=64), ("REG_SZ", server_name))
            self.assertIsNotNone(w.reg_list(WOW64_UNINSTALL_KEY, view=64))
            self.assertIsNone(w.reg_list(UNINSTALL_KEY, view=64))
            self.assertIsNone(w.reg_get(RUN_KEY, "Nivaxel", view=32))
            self.assertFalse(self.file("C:\\windows\\system32\\UninstallNivaxel.exe").exists())
            self.assertFalse(self.file("C:\\Program Files\\meridale").exists())

    # -- tests --

    def test_complete_install(self):
        listener = Listener()
        self.addCleanup(listener.close)
        proc = self.start_installer(listener.port)
        self.press_install("127.0.0.1")
        t0 = time.monotonic()
        box = self.next_box()
        elapsed = time.monotonic() - t0
        self.assertEqual(box["text_hex"], harness.hexs(M9), box["text"])
        # What the driver itself costs, asked again about the same box.
        t1 = time.monotonic()
        self.next_box(wait_ms=5000)
        overhead = time.monotonic() - t1
        self.wine.screenshot("install-complete")
        self.press_ok()
        self.assertEqual(proc.wait(30), 0)
        self.assertTrue(self.wine.wait_gone(harness.INSTALLER_TITLE, timeout_ms=5000))
        sys.stderr.write(f"\n  install: click to success message {elapsed:.2f} s "
                         f"(of which ~{overhead:.2f} s is one uidriver run)\n")

        # The probe came first: a connection opened and closed without a byte.
        first = listener.snapshot()[0]
        self.assertEqual(first["data"], b"")
        self.assertTrue(first["closed"])

        self.assert_installed()
        clients = self.wait_client_windows(lambda ws: len(ws) == 1)
        self.assertEqual(len(clients), 1, clients)

    def test_unreachable_server_warns_then_installs(self):
        proc = self.start_installer(unused_port())
        self.press_install("127.0.0.1")
        box = self.next_box()
        text = bytes.fromhex(box["text_hex"])
        head, tail = harness.cp1252(M3_HEAD), harness.cp1252(M3_TAIL)
        self.assertTrue(text.startswith(head) and text.endswith(tail), box["text"])
        system_text = text[len(head):len(text) - len(tail)]
        self.assertNotIn(b"\n", system_text)
        self.assertFalse(system_text.endswith((b".", b" ", b"\r")), system_text)
        sys.stderr.write(f"\n  refused probe's system text under Wine: {system_text!r}\n")
        self.press_ok()
        box = self.next_box()
        self.assertEqual(box["text_hex"], harness.hexs(M9), box["text"])
        self.press_ok()
        self.assertEqual(proc.wait(30), 0)
        self.assert_installed()

    def test_empty_name_stops_before_anything(self):
        proc = self.start_installer(unused_port())
        self.press_install("")
        box = self.next_box()
        self.assertEqual(box["text_hex"], harness.hexs(M2), box["text"])
        self.press_ok()
        # The window stays open, and nothing was written.
        self.assertTrue(proc.alive())
        self.wine.find_window(harness.INSTALLER_TITLE, timeout_ms=2000)
        self.assertIsNone(self.wine.reg_get(harness.SETTINGS_KEY, "NomServeur"))
        self.assertIsNone(self.wine.reg_get(RUN_KEY, "Nivaxel", view=64))
        self.assertIsNone(self.wine.reg_list(UNINSTALL_KEY))
        self.assertFalse(self.file(harness.PROGRAM_FILES + "\\meridale").exists())
        self.assertFalse(self.file(UNINSTALLER_PATH).exists())
        self.assertEqual(self.client_windows(), [])
        self.wine.key(harness.INSTALLER_TITLE, "ESCAPE")
        self.assertEqual(proc.wait(30), 0)

    def test_second_install_replaces_the_running_client(self):
        listener, first = self.install_with_running_client()

        proc = self.start_installer(listener.port)
        # The settings written by the first run fill the box.
        edit = self.wine.control(harness.INSTALLER_TITLE, cls="Edit", index=0)
        self.assertEqual(edit["text"], "127.0.0.1")
        self.wine.click(harness.INSTALLER_TITLE, text="Install")
        box = self.next_box()
        self.assertEqual(box["text_hex"], harness.hexs(M9), box["text"])
        self.press_ok()
        self.assertEqual(proc.wait(30), 0)
        self.assert_installed()
        second = self.wait_client_windows(lambda ws: len(ws) == 1 and ws[0]["pid"] != first[0]["pid"])
        self.assertEqual(len(second), 1, second)
        self.assertNotEqual(second[0]["pid"], first[0]["pid"])

    def test_second_install_ends_despite_an_unanswering_client(self):
        listener, _ = self.install_with_running_client()
        frozen = self.wine.host_pids("Nivaxel.exe")
        self.assertTrue(frozen, "the running client's process was not found")
        for pid in frozen:
            os.kill(pid, signal.SIGSTOP)
        self.addCleanup(lambda: [os.kill(pid, signal.SIGCONT) for pid in frozen])

        proc = self.start_installer(listener.port)
        self.wine.click(harness.INSTALLER_TITLE, text="Install")
        t0 = time.monotonic()
        # Each message to the hung window is abandoned after its limit and the
        # wait for the process ends after its own: a box comes, the installer
        # does not hang. The running program cannot be replaced, so it says so.
        box = self.next_box(wait_ms=90000)
        elapsed = time.monotonic() - t0
        text = bytes.fromhex(box["text_hex"])
        self.assertTrue(text.startswith(harness.cp1252(M_COPY_ERROR)), box["text"])
        self.press_ok()
        self.wine.key(harness.INSTALLER_TITLE, "ESCAPE")
        self.assertEqual(proc.wait(30), 0)
        sys.stderr.write(f"\n  second install beside a hung client: click to message {elapsed:.1f} s\n")


if __name__ == "__main__":
    unittest.main()
