"""The whole system under Wine, for a newcomer (run through ./demo.sh).

Starts the reference alert server, installs through the real installer,
sends an alert and keeps a screenshot of it, acknowledges it, then
uninstalls. Every step says what it does; screenshots land in
artifacts/screenshots/demo-*.png.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from client_alert_server import AlertServer, alert_server_path  # noqa: E402

BOX = "NivaxelSetup"


def step(text):
    print(f"-- {text}", flush=True)


def main():
    for name in ("NivaxelSetup.exe", "Nivaxel.exe", "UninstallNivaxel.exe"):
        if not harness.program_path(name).is_file():
            sys.exit(f"not built: {harness.program_path(name)} (run ./build.sh)")
    if not alert_server_path().is_file():
        sys.exit(f"not built: {alert_server_path()} (run ./build.sh)")

    step("starting the reference alert server on loopback")
    server = AlertServer()
    wine = harness.Prefix("demo")
    try:
        print(f"   alert-server serve --port {server.port} --admin {server.admin}")
        wine.reg_set(harness.SETTINGS_KEY, "Port", server.port, type="REG_DWORD")

        step("running NivaxelSetup.exe, typing the server name, pressing Install")
        wine.start(harness.program_path("NivaxelSetup.exe"))
        wine.find_window(harness.INSTALLER_TITLE, timeout_ms=30000)
        wine.set_text(harness.INSTALLER_TITLE, "127.0.0.1", cls="Edit", index=0)
        wine.screenshot("demo-installer")
        wine.click(harness.INSTALLER_TITLE, text="Install")
        box = wine.msgbox(wait_ms=60000, title=BOX)
        print(f"   the installer says: {box['text']!s}")
        wine.msgbox(wait_ms=5000, title=BOX, press="OK")

        step("the client started; waiting for it to identify itself to the server")
        ident = server.wait_event("identified", 60)
        if not ident:
            sys.exit("the client never identified itself")
        print(f"   computer {ident.get('computer')!s}, user {ident.get('user')!s}")

        step("sending an alert with `alert-server send`")
        sent = server.send("Accueil", "Exercice d'\u00e9vacuation",
                           ["Evacuation du b\u00e2timent A.", "Merci."], date="12/03 10:42")
        print(f"   the alert went to {sent} client(s)")
        wine.find_window(harness.CLIENT_TITLE, timeout_ms=20000)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and not wine.window_rect(harness.CLIENT_TITLE)["visible"]:
            time.sleep(0.1)
        time.sleep(0.5)
        shot = wine.screenshot("demo-alert")
        print(f"   screenshot of the alert: {shot}")

        step('ticking "J\'ai pris connaissance de ce message" and closing the alert')
        wine.click(harness.CLIENT_TITLE, cls="Button", text="J'ai pris connaissance de ce message", send=True)
        wine.click(harness.CLIENT_TITLE, cls="Button", text="Fermer", index=0, send=True)
        if not server.wait_event("acknowledged", 10):
            sys.exit("the server never received the acknowledgement")
        print("   the server recorded the acknowledgement")

        step("uninstalling with UninstallNivaxel.exe from the system folder")
        wine.start("C:\\windows\\system32\\UninstallNivaxel.exe")
        wine.find_window(harness.UNINSTALLER_TITLE, timeout_ms=30000)
        wine.screenshot("demo-uninstaller")
        wine.click(harness.UNINSTALLER_TITLE, text="D\u00e9sinstaller...")
        wine.msgbox(wait_ms=10000, press_id=1)
        if not wine.wait_gone(harness.UNINSTALLER_TITLE, timeout_ms=30000):
            sys.exit("the uninstaller did not finish")
        left = wine.reg_get(harness.SETTINGS_KEY, "NomServeur")
        print(f"   settings key after uninstall: {'gone' if left is None else 'still there'}")
        step("done")
    finally:
        wine.close()
        server.stop()


if __name__ == "__main__":
    main()
