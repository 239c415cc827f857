"""Roll-out without a window: the MSI package under Wine's own msiexec, and
the silent modes of NivaxelSetup.exe and UninstallNivaxel.exe, on the shipped
bytes in dist/. Each route must leave what the interactive installer leaves
(client bytes, settings in the programs' view, log-on entry in the 64-bit
view) and one entry in Windows' list; each removal must leave nothing.

Packages of other versions (for the upgrade and the downgrade) are built
here by msi/build-msi.sh from the same client and custom-action program.
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from client_alert_server import AlertServer, require_alert_server  # noqa: E402
from test_install import unused_port  # noqa: E402

MSI = harness.bin_dir() / "Nivaxel.msi"
MAKE_TRANSFORM = harness.ROOT / "msi" / "make-transform.py"
ACTION_EXE = harness.build_dir() / "NivaxelMsiAction.exe"
RUN_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
UNINSTALL_ROOT = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
SETUP_ENTRY = UNINSTALL_ROOT + "\\Nivaxel"
CLIENT_PATH = harness.PROGRAM_FILES + "\\meridale\\Nivaxel\\Nivaxel.exe"
CLIENT_PROCESS = "\\Nivaxel.exe"  # in a command line (not UninstallNivaxel.exe)
UNINSTALLER_PATH = harness.SYSTEM_DIR + "\\UninstallNivaxel.exe"
M2 = "Il manque le nom du serveur VESKA capable d'envoyer des alertes"
M9 = "Le programme a bien \xe9t\xe9 install\xe9."
PER_MACHINE = ("ERREUR = Nivaxel s'installe pour tout le poste : ALLUSERS=1 et des droits d'administrateur "
               "sont requis.")
SEEN, CLOSE_ALERT = 121, 122  # CheckBoxVu, ButtonFermerAlerte
# Windows Installer's failures as a Linux exit status shows them (the low
# byte): 1603, or 1627 where Wine's msiexec reports a failed custom action.
INSTALL_FAILURE = 1603 & 0xFF
INSTALL_FAILURES = {1603 & 0xFF, 1627 & 0xFF}


def product_code(msi):
    out = subprocess.run(["msiinfo", "export", str(msi), "Property"], capture_output=True, check=True,
                         timeout=30).stdout.decode()
    return re.search(r"^ProductCode\t(\S+)", out, re.MULTILINE).group(1)


def build_package(version, directory):
    out = Path(directory) / f"Nivaxel-{version}.msi"
    subprocess.run([str(harness.ROOT / "msi" / "build-msi.sh"), str(harness.program_path("Nivaxel.exe")),
                    str(ACTION_EXE), str(out), version], check=True, timeout=120,
                   env=dict(os.environ, SOURCE_DATE_EPOCH="1700000000"))
    return out


class DeployTest(unittest.TestCase):
    def setUp(self):
        harness.require_programs(self, "NivaxelSetup.exe", "Nivaxel.exe", "UninstallNivaxel.exe", "Nivaxel.msi")
        self.wine = harness.Prefix(self.id())
        self.addCleanup(self.wine.close)
        self.msi = self.wine.copy_into(MSI, "C:\\deploy\\Nivaxel.msi")

    # -- helpers --

    def msiexec(self, *args, log="C:\\deploy\\msi.log", timeout=180):
        """Exit code, seconds and the verbose log of one msiexec run."""
        log_unix = self.wine.win_to_unix(log)
        if log_unix.exists():
            log_unix.unlink()
        t0 = time.monotonic()
        rc = self.wine.run("msiexec", *args, "/l*v", log, timeout=timeout).returncode
        if rc == 0 and not log_unix.exists():
            # Now and then Wine's msiexec ends at once with 0 and neither
            # opens the package nor writes its log: that run did nothing.
            sys.stderr.write(f"\n  msiexec {args[0]} ended without a log; run again\n")
            t0 = time.monotonic()
            rc = self.wine.run("msiexec", *args, "/l*v", log, timeout=timeout).returncode
        elapsed = time.monotonic() - t0
        raw = log_unix.read_bytes() if log_unix.exists() else b""
        text = raw.decode("utf-16") if raw[:2] == b"\xff\xfe" else raw.decode("cp1252", errors="replace")
        return rc, elapsed, text

    def silent(self, exe, *args, log="C:\\deploy\\silent.log", timeout=120):
        """Exit code and log lines of a silent run (the log named by /LOG=)."""
        log_unix = self.wine.win_to_unix(log)
        if log_unix.exists():
            log_unix.unlink()
        rc = self.wine.run(exe, *args, f"/LOG={log}", timeout=timeout).returncode
        if rc == 0 and not log_unix.exists():  # the same Wine slip as msiexec's above
            sys.stderr.write(f"\n  {Path(exe).name} ended without a log; run again\n")
            rc = self.wine.run(exe, *args, f"/LOG={log}", timeout=timeout).returncode
        lines = log_unix.read_bytes().decode("cp1252").split("\r\n") if log_unix.exists() else []
        return rc, [ln for ln in lines if ln]

    def file(self, win_path):
        return self.wine.win_to_unix(win_path)

    def entries(self, *codes):
        """Which of the uninstall entries named (product codes, or the executable
        route's "Nivaxel") exist, in either registry view."""
        found = set()
        for code in codes:
            for view in ((32, 64) if harness.WOW64 else (None,)):
                if self.wine.reg_list(UNINSTALL_ROOT + "\\" + code, view=view) is not None:
                    found.add(code)
        return found

    def assert_installed(self, server=b"127.0.0.1", port=None, cache=None):
        w = self.wine
        settings = w.reg_list(harness.SETTINGS_KEY)
        self.assertIsNotNone(settings, "no settings key")
        expected = {"NomServeur": ("REG_SZ", server)}
        if port is not None:
            expected["Port"] = ("REG_DWORD", port)
        if cache is not None:
            expected["CacheIcone"] = ("REG_DWORD", cache)
        self.assertEqual(settings["values"], expected)
        self.assertEqual(w.reg_get(RUN_KEY, "Nivaxel", view=64), ("REG_SZ", b'"' + CLIENT_PATH.encode() + b'"'))
        if harness.WOW64:
            self.assertIsNone(w.reg_get(RUN_KEY, "Nivaxel", view=32))
            self.assertIsNone(w.reg_list(harness.SETTINGS_KEY, view=64))
        self.assertEqual(self.file(CLIENT_PATH).read_bytes(), harness.program_path("Nivaxel.exe").read_bytes())

    def assert_removed(self):
        w = self.wine
        self.assertIsNone(w.reg_list(harness.SETTINGS_KEY))
        self.assertIsNone(w.reg_get(RUN_KEY, "Nivaxel", view=64))
        self.assertFalse(self.file(harness.PROGRAM_FILES + "\\meridale").exists())
        self.assertIsNone(w.reg_list(SETUP_ENTRY))
        self.assertFalse(self.file(UNINSTALLER_PATH).exists())

    def start_client_as_at_logon(self):
        command = self.wine.reg_get(RUN_KEY, "Nivaxel", view=64)[1].decode("cp1252").strip('"')
        return self.wine.start(command)

    def program_pids(self, name):
        """Linux pids of this prefix's processes whose command line holds `name`
        (the launcher's process group does not hold them all)."""
        mark, pids = f"\0WINEPREFIX={self.wine.path}\0".encode(), []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if (name.lower().encode() in Path(f"/proc/{pid}/cmdline").read_bytes().lower()
                        and mark in b"\0" + Path(f"/proc/{pid}/environ").read_bytes()):
                    pids.append(int(pid))
            except OSError:
                pass
        return pids

    def kill_program(self, name):
        """SIGKILL to the prefix's processes running `name`; how many there were."""
        pids = self.program_pids(name)
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        return len(pids)

    def client_pids(self):
        return [w["pid"] for w in self.wine.ui("windows", title=harness.CLIENT_TITLE)]

    def wait_client_gone(self, timeout=20):
        deadline = time.monotonic() + timeout
        while self.client_pids() and time.monotonic() < deadline:
            time.sleep(0.5)
        return not self.client_pids()

    # -- tests --

    def test_package_installs_serves_an_alert_and_removes_everything(self):
        require_alert_server(self)
        server = AlertServer()
        self.addCleanup(server.stop)
        msi_win = self.wine.unix_to_win(self.msi)
        rc, seconds, log = self.msiexec("/i", msi_win, "/qn", "NOMSERVEUR=127.0.0.1", f"PORT={server.port}")
        sys.stderr.write(f"\n  package {MSI.stat().st_size} bytes; silent install {seconds:.2f} s "
                         f"({harness.PREFIX})\n")
        self.assertEqual(rc, 0, log[-3000:])
        self.assert_installed(port=server.port)
        code = product_code(MSI)
        self.assertEqual(self.entries(code, "Nivaxel"), {code})
        self.assertEqual(self.client_pids(), [], "a silent install starts nothing")

        self.start_client_as_at_logon()
        self.assertIsNotNone(server.wait_event("identified", 60), "the client never identified itself")
        self.assertEqual(server.send("Accueil", "Test de d\xe9ploiement", ["Une ligne."]), 1)
        self.wine.find_window(harness.CLIENT_TITLE, timeout_ms=20000, visible=True)
        self.wine.screenshot("deploy-msi-alert")
        self.wine.click(harness.CLIENT_TITLE, id=SEEN, send=True)
        self.wine.click(harness.CLIENT_TITLE, id=CLOSE_ALERT, send=True)
        self.assertIsNotNone(server.wait_event("acknowledged", 10))

        rc, seconds, log = self.msiexec("/x", msi_win, "/qn")
        sys.stderr.write(f"  removal with the client running {seconds:.2f} s\n")
        self.assertEqual(rc, 0, log[-3000:])
        self.assertIn("CloseClient", log)
        self.assertTrue(self.wait_client_gone())
        self.assert_removed()
        self.assertEqual(self.entries(code), set())

    def test_upgrade_keeps_settings_and_downgrade_is_refused(self):
        with tempfile.TemporaryDirectory() as tmp:
            older = self.wine.copy_into(build_package("0.9.0", tmp), "C:\\deploy\\older.msi")
        older_win, newer_win = self.wine.unix_to_win(older), self.wine.unix_to_win(self.msi)
        rc, _, log = self.msiexec("/i", older_win, "/qn", "NOMSERVEUR=srv-alertes", "PORT=6001", "CACHEICONE=1")
        self.assertEqual(rc, 0, log[-3000:])
        self.start_client_as_at_logon()
        self.wine.find_window(harness.CLIENT_TITLE, timeout_ms=30000)
        running = self.client_pids()

        rc, seconds, log = self.msiexec("/i", newer_win, "/qn")
        sys.stderr.write(f"\n  upgrade 0.9.0 -> {MSI.name} with the client running {seconds:.2f} s\n")
        self.assertEqual(rc, 0, log[-3000:])
        self.assertTrue(running and not set(running) & set(self.client_pids()), "the old client still runs")
        self.assert_installed(server=b"srv-alertes", port=6001, cache=1)
        self.assertEqual(self.entries(product_code(older), product_code(MSI), "Nivaxel"), {product_code(MSI)})

        rc, _, log = self.msiexec("/i", older_win, "/qn", "NOMSERVEUR=autre")
        self.assertEqual(rc, INSTALL_FAILURE)
        self.assertIn("ERREUR = Une version plus r\xe9cente de Nivaxel est d\xe9j\xe0 install\xe9e.", log)
        self.assert_installed(server=b"srv-alertes", port=6001, cache=1)
        self.assertEqual(self.entries(product_code(older), product_code(MSI)), {product_code(MSI)})

    def test_package_refuses_bad_properties_before_changing_anything(self):
        msi_win = self.wine.unix_to_win(self.msi)
        for props, says in ((["PORT=6000"], "ERREUR = La propri\xe9t\xe9 NOMSERVEUR (nom du serveur VESKA) est "
                                               "obligatoire."),
                            (["NOMSERVEUR=srv", "PORT=60a0"], "ERREUR = PORT invalide (un nombre de 0 \xe0 "
                                                              "2147483647 est attendu) : 60a0"),
                            (["NOMSERVEUR=srv\u4e00"], ": CheckInstall."),
                            # A file where the vendor folder goes (Wine's msiexec alone would retry for ever).
                            (["NOMSERVEUR=srv", "BLOCKED"], ": CheckInstall."),
                            # Per user: Wine takes ALLUSERS=2 MSIINSTALLPERUSER=1 as per machine, Windows not.
                            (["NOMSERVEUR=srv", "ALLUSERS="], PER_MACHINE),
                            (["NOMSERVEUR=srv", "ALLUSERS=2", "MSIINSTALLPERUSER=1"], PER_MACHINE)):
            blocker = self.file(harness.PROGRAM_FILES + "\\meridale")
            if "BLOCKED" in props:
                blocker.write_bytes(b"")
            rc, _, log = self.msiexec("/i", msi_win, "/qn", *(p for p in props if p != "BLOCKED"))
            if "BLOCKED" in props:
                blocker.unlink()
            sys.stderr.write(f"\n  {' '.join(props)!r}: exit {rc}")
            self.assertIn(rc, INSTALL_FAILURES, props)
            self.assertIn(says, log)
            self.assertNotIn("InstallFiles", log)
            self.assertIsNone(self.wine.reg_list(harness.SETTINGS_KEY))
            self.assertFalse(self.file(CLIENT_PATH).exists())
        # A port outside the client's range is written as given, and the log says what follows;
        # installed with the package's window (it has no dialogs of its own), the client is started.
        rc, _, log = self.msiexec("/i", msi_win, "NOMSERVEUR=srv", "PORT=70000")
        self.assertEqual(rc, 0, log[-3000:])
        self.wine.find_window(harness.CLIENT_TITLE, timeout_ms=30000)
        self.assertIn("AVERTISSEMENT_PORT = PORT 70000 hors de 5000 \xe0 65534 : \xe9crit tel quel, "
                      "le client utilisera 5088.", log)
        self.assert_installed(server=b"srv", port=70000)

    def test_silent_setup_and_uninstall(self):
        setup, uninstall = harness.program_path("NivaxelSetup.exe"), UNINSTALLER_PATH
        vendor = self.file(harness.PROGRAM_FILES + "\\meridale")
        for args, code, last in ((["/S", "/SERVEUR=127.0.0.1", "/X"], 2, "Option inconnue : /X"),
                                 (["/S"], 3, M2), (["/SERVEUR=127.0.0.1"], 2, "Option /S absente"),
                                 (["/S", "/SERVEUR=srv\u4e00"], 2,
                                  "Caract\xe8res hors de la page de code Windows : /S /SERVEUR=srv? /LOG="),
                                 # A file where the install folder goes: the folder cannot be made.
                                 (["/S", "/SERVEUR=127.0.0.1"], 5, None)):
            if code == 5:
                vendor.write_bytes(b"")
            rc, lines = self.silent(setup, *args)
            sys.stderr.write(f"\n  NivaxelSetup.exe {' '.join(args)}: exit {rc}")
            self.assertEqual((rc, lines[-1]), (code, f"Code de sortie : {code}"), lines)
            self.assertTrue(last is None or lines[-2].startswith(last), lines)
            self.assertIsNone(self.wine.reg_list(harness.SETTINGS_KEY))
            self.assertIsNone(self.wine.reg_get(RUN_KEY, "Nivaxel", view=64))
            self.assertIsNone(self.wine.reg_list(SETUP_ENTRY))
            self.assertFalse(vendor.is_dir())
        vendor.unlink()

        # An unreachable server only warns, as in the window; the default log is %TEMP%'s.
        port = unused_port()
        t0 = time.monotonic()
        rc = self.wine.run(setup, "/S", "/SERVEUR=127.0.0.1", f"/PORT={port}", timeout=120).returncode
        sys.stderr.write(f"\n  silent NivaxelSetup.exe {time.monotonic() - t0:.2f} s\n")
        self.assertEqual(rc, 0)
        temp = self.wine.run("cmd", "/c", "echo", "%TEMP%").stdout.decode().strip()
        lines = self.file(temp + "\\NivaxelSetup.log").read_bytes().decode("cp1252").split("\r\n")
        self.assertTrue(lines[1].startswith("Un test de connexion au serveur"), lines)
        self.assertEqual(lines[-3:], [M9, "Code de sortie : 0", ""])
        self.assert_installed(port=port)
        self.assertEqual(self.wine.reg_get(SETUP_ENTRY, "UninstallString"),
                         ("REG_SZ", b'"' + UNINSTALLER_PATH.encode() + b'"'))
        self.wine.find_window(harness.CLIENT_TITLE, timeout_ms=30000)

        rc, lines = self.silent(uninstall, "/S", "/Q")
        self.assertEqual((rc, lines[-1]), (2, "Code de sortie : 2"))
        self.assertIsNotNone(self.wine.reg_list(harness.SETTINGS_KEY))
        rc, lines = self.silent(uninstall, "/S")
        self.assertEqual((rc, lines[-1]), (0, "Code de sortie : 0"), lines)
        self.assertTrue(self.wait_client_gone())
        self.assertIsNone(self.wine.reg_list(harness.SETTINGS_KEY))
        self.assertIsNone(self.wine.reg_list(SETUP_ENTRY))
        self.assertFalse(self.file(harness.PROGRAM_FILES + "\\meridale").exists())

    def test_interrupted_installs_then_installs_that_finish(self):
        """Each route killed midway, then run again: one consistent install. The
        last one is the README's transform example."""
        setup = harness.program_path("NivaxelSetup.exe")
        client = self.file(CLIENT_PATH)
        self.wine.start(setup, "/S", "/SERVEUR=srv-coupe")
        # Stopped the moment the client appears: natively the rest takes milliseconds.
        deadline, running = time.monotonic() + 120, []
        while not client.exists() and time.monotonic() < deadline:
            running = running or self.program_pids("NivaxelSetup.exe")
            time.sleep(0.001)
        for pid in running:
            os.kill(pid, signal.SIGSTOP)
        self.assertTrue(self.kill_program("NivaxelSetup.exe"), "NivaxelSetup.exe ended before it could be killed")
        sys.stderr.write(f"\n  NivaxelSetup.exe killed, client written: {client.exists()}, "
                         f"settings: {self.wine.reg_list(harness.SETTINGS_KEY) is not None}\n")
        if self.program_pids(CLIENT_PROCESS):
            # Started just before the kill: the new install comes once it is up, as it would
            # later on (one still starting has no window to be closed through). Under Wine a
            # start cut short by the kill can leave a process that never runs: a restart's job.
            try:
                self.wine.find_window(harness.CLIENT_TITLE, timeout_ms=30000)
            except harness.UiDriverError:
                stuck = self.kill_program(CLIENT_PROCESS)
                sys.stderr.write(f"  a client start cut short: {stuck} process(es) killed\n")
        rc, lines = self.silent(setup, "/S", "/SERVEUR=srv-exe")
        self.assertEqual(rc, 0, lines)
        self.assert_installed(server=b"srv-exe")
        self.assertIsNotNone(self.wine.reg_list(SETUP_ENTRY))

        # The package killed while its deferred script runs: the client is
        # written, the registry and the product's registration are not yet.
        msi_win, log = self.wine.unix_to_win(self.msi), "C:\\deploy\\coupe.log"
        self.wine.start("msiexec", "/i", msi_win, "/qn", "NOMSERVEUR=srv-coupe", "/l*v", log)

        # Its action program, stopped as soon as it runs, holds msiexec in the deferred
        # script: natively the rest of the script takes a few milliseconds.
        deadline, held = time.monotonic() + 240, []
        while not held and time.monotonic() < deadline:
            held = self.program_pids("/ADOPTE")
        for pid in held:
            os.kill(pid, signal.SIGSTOP)
        self.assertTrue(held, "the deferred script's action program was not seen")
        self.assertTrue(self.kill_program("msiexec.exe"), "msiexec ended before it could be killed")
        self.kill_program("/ADOPTE")
        sys.stderr.write(f"  msiexec killed in its deferred script, settings: "
                         f"{self.wine.reg_list(harness.SETTINGS_KEY)}\n")

        # The README's example, word for word: \\fileserver\deploy is C:\deploy (Wine's UNC folder).
        unc = self.wine.path / "dosdevices" / "unc" / "fileserver"
        unc.mkdir(parents=True)
        (unc / "deploy").symlink_to(self.file("C:\\deploy"))
        subprocess.run([str(MAKE_TRANSFORM), str(MSI), "site.mst", "NOMSERVEUR=srv-alertes", "PORT=5088"],
                       check=True, timeout=60, cwd=self.file("C:\\deploy"))
        for args, says in ((["INSTALLDIR=C:\\x"], "expected NAME=value with NAME one of NOMSERVEUR, PORT, "
                                                   "CACHEICONE: INSTALLDIR=C:\\x"),
                           (["NOMSERVEUR=srv\u4e00"], "not Windows-1252 text: NOMSERVEUR=srv\u4e00"),
                           ([], "no property given")):
            refused = subprocess.run([str(MAKE_TRANSFORM), str(MSI), "x.mst", *args], capture_output=True,
                                     timeout=60, cwd=self.file("C:\\deploy"))
            self.assertEqual((refused.returncode, refused.stderr.decode()), (2, f"make-transform: {says}\n"))
            self.assertFalse(self.file("C:\\deploy\\x.mst").exists())
        rc, seconds, log = self.msiexec("/i", "\\\\fileserver\\deploy\\Nivaxel.msi",
                                        "TRANSFORMS=\\\\fileserver\\deploy\\site.mst", "/qn")
        sys.stderr.write(f"  install with a transform after the interrupted one {seconds:.2f} s\n")
        self.assertEqual(rc, 0, log[-3000:])
        self.assert_installed(server=b"srv-alertes", port=5088)
        code = product_code(MSI)
        self.assertEqual(self.entries(code, "Nivaxel"), {code})
        self.assertFalse(self.file(UNINSTALLER_PATH).exists())

    def test_each_route_over_the_other(self):
        setup = harness.program_path("NivaxelSetup.exe")
        rc, _ = self.silent(setup, "/S", "/SERVEUR=srv-exe", "/PORT=6002")
        self.assertEqual(rc, 0)
        self.wine.find_window(harness.CLIENT_TITLE, timeout_ms=30000)

        # The package takes over: settings kept, the executable route's entry and uninstaller gone.
        code = product_code(MSI)
        rc, _, log = self.msiexec("/i", self.wine.unix_to_win(self.msi), "/qn")
        self.assertEqual(rc, 0, log[-3000:])
        self.assert_installed(server=b"srv-exe", port=6002)
        self.assertEqual(self.entries(code, "Nivaxel"), {code})
        self.assertFalse(self.file(UNINSTALLER_PATH).exists())

        # The executable over the package: the client and settings updated, the package's entry stays alone.
        rc, lines = self.silent(setup, "/S", "/SERVEUR=srv-exe2")
        self.assertEqual(rc, 0, lines)
        self.assertTrue(any("paquet MSI" in ln for ln in lines), lines)
        self.assert_installed(server=b"srv-exe2", port=6002)
        self.assertEqual(self.entries(code, "Nivaxel"), {code})

        rc, _, log = self.msiexec("/x", self.wine.unix_to_win(self.msi), "/qn")
        self.assertEqual(rc, 0, log[-3000:])
        self.assertTrue(self.wait_client_gone())
        self.assert_removed()


if __name__ == "__main__":
    unittest.main()
