"""The harness's own pieces that need no Wine: how options reach uidriver,
how registry answers are decoded, how a PE file's imports are read, and how
a launcher that never reaps its ended program is seen through."""

import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


class OptionsTest(unittest.TestCase):
    def test_plain_hex_and_flags(self):
        opts = harness.Prefix._options({"title": "Installation de Nivaxel", "id": 103, "send": True,
                                        "visible": False, "press": None, "cls": "Edit",
                                        "window_class": "#32770"})
        self.assertEqual(opts, ["--title", "Installation de Nivaxel", "--id", "103", "--send",
                                "--class", "Edit", "--window-class", "#32770"])

    def test_non_ascii_and_bytes_go_as_windows_1252_hex(self):
        opts = harness.Prefix._options({"title": "D\xe9sinstallation", "value": b"\x80\x00", "text": "a\nb"})
        self.assertEqual(opts, ["--title-hex", "44e973696e7374616c6c6174696f6e", "--value-hex", "8000",
                                "--text-hex", "610a62"])

    def test_hexs_is_windows_1252(self):
        self.assertEqual(harness.hexs("\u20ac\xe9"), "80e9")  # the euro sign is 0x80 there
        with self.assertRaises(UnicodeEncodeError):
            harness.hexs("\u0101")


class RegistryDecodeTest(unittest.TestCase):
    def test_types(self):
        self.assertEqual(harness._reg_value({"type": 4, "data_hex": "88130000"}), ("REG_DWORD", 5000))
        self.assertEqual(harness._reg_value({"type": 1, "data_hex": "73727600"}), ("REG_SZ", b"srv"))
        # A string stored without its terminator comes back whole.
        self.assertEqual(harness._reg_value({"type": 1, "data_hex": "7372"}), ("REG_SZ", b"sr"))
        self.assertEqual(harness._reg_value({"type": 4, "data_hex": "8813"}), ("REG_DWORD", b"\x88\x13"))
        self.assertEqual(harness._reg_value({"type": 3, "data_hex": "00ff"}), ("REG_BINARY", b"\x00\xff"))


class WineDesktopTest(unittest.TestCase):
    """Which explorer desktop a prefix copy opens in, read from its user hive."""

    def desktop(self, text):
        class Copy:
            def reg_file(self, hive):
                return text
        return harness.Prefix.wine_desktop(Copy())

    def test_named_desktop_not_its_size_key_nor_the_shell_folder(self):
        hive = ('[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Explorer\\\\Shell Folders] 1\n'
                '"Desktop"="C:\\\\users\\\\root\\\\Desktop"\n\n'
                '[Software\\\\Wine\\\\Explorer] 1796801246\n#time=1dd\n"Desktop"="shell"\n\n'
                '[Software\\\\Wine\\\\Explorer\\\\Desktops] 1796801246\n"shell"="1024x768"\n')
        self.assertEqual(self.desktop(hive), "shell")
        without = hive.replace('"Desktop"="shell"\n', "")
        self.assertIsNone(self.desktop(without))


class PeImportsTest(unittest.TestCase):
    def test_built_uidriver_imports(self):
        exe = harness.uidriver_path()
        if not exe.is_file():
            self.skipTest(f"not built: {exe}")
        imports = harness.pe_imports(exe)
        self.assertIn("user32.dll", imports)
        self.assertIn("kernel32.dll", imports)
        self.assertNotIn("ws2_32.dll", imports)

    def test_not_a_pe_file(self):
        with self.assertRaises(ValueError):
            harness.pe_imports(__file__)


class LauncherThatNeverReapsTest(unittest.TestCase):
    """A process named start.exe whose one child has ended but was never waited for."""

    def test_exit_code_of_the_zombie_child_is_the_answer(self):
        code = "import os, time\nif os.fork() == 0:\n    os._exit(3)\ntime.sleep(30)\n"
        popen = subprocess.Popen(["bash", "-c", f"exec -a start.exe {sys.executable} -c '{code}'"],
                                 start_new_session=True)
        try:
            start = time.monotonic()
            self.assertEqual(harness._wait_exit(popen, 10), 3)
            self.assertLess(time.monotonic() - start, 10)
        finally:
            harness._kill_group(popen.pid)
            popen.wait(10)

    def test_a_running_program_is_waited_for_and_timed_out(self):
        popen = subprocess.Popen(["sleep", "30"], start_new_session=True)
        try:
            self.assertIsNone(harness._wait_exit(popen, 0.3))
        finally:
            harness._kill_group(popen.pid)
            popen.wait(10)
        popen = subprocess.Popen(["sh", "-c", "exit 7"])
        self.assertEqual(harness._wait_exit(popen, 10), 7)


if __name__ == "__main__":
    unittest.main()
