"""The whole system under Wine: the alert server, an install through
the real installer, an alert on screen, its acknowledgement, the uninstall.

``walk_through`` is shared by ./demo.sh (which narrates it for a newcomer)
and by test_system.py (which checks every fact it gathers). Screenshots land
in artifacts/screenshots/<prefix>-*.png.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from client_alert_server import AlertServer, alert_server_path  # noqa: E402

BOX = "NivaxelSetup"
SEEN, CLOSE_ALERT = 121, 122  # CheckBoxVu, ButtonFermerAlerte
ALERT = dict(author="Accueil", subject="Exercice d'\u00e9vacuation", date="12/03 10:42",
             lines=["Evacuation du b\u00e2timent A.", "Merci."])


def _wait(predicate, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def walk_through(wine, server, say=lambda text: None, shots="demo"):
    """Runs every step and returns what was seen at each, for the caller to check."""
    seen = {}
    wine.reg_set(harness.SETTINGS_KEY, "Port", server.port, type="REG_DWORD")

    say("running NivaxelSetup.exe, typing the server name, pressing Install")
    installer = wine.start(harness.program_path("NivaxelSetup.exe"))
    wine.find_window(harness.INSTALLER_TITLE, timeout_ms=30000)
    wine.set_text(harness.INSTALLER_TITLE, "127.0.0.1", cls="Edit", index=0)
    wine.screenshot(f"{shots}-installer")
    wine.click(harness.INSTALLER_TITLE, text="Install")
    box = wine.msgbox(wait_ms=60000, title=BOX)
    seen["installer_box"] = box["text"]
    say(f"the installer says: {box['text']}")
    wine.msgbox(wait_ms=5000, title=BOX, press="OK")
    seen["installer_exit"] = installer.wait(30)

    say("the installer started the client; waiting for its identification")
    seen["identified"] = server.wait_event("identified", 60)
    if not seen["identified"]:
        return seen
    say(f"computer {seen['identified'].get('computer')}, user {seen['identified'].get('user')}")

    say("sending an alert with `nivaxel-server send`")
    seen["sent_to"] = server.send(**ALERT)
    wine.find_window(harness.CLIENT_TITLE, timeout_ms=20000)
    seen["alert_visible"] = _wait(lambda: wine.find_window(harness.CLIENT_TITLE)["visible"], 20)
    time.sleep(0.5)
    seen["alert_fields"] = {c["id"]: c["text"] for c in wine.controls(harness.CLIENT_TITLE)}
    seen["alert_topmost"] = wine.is_topmost(harness.CLIENT_TITLE)
    seen["screenshot"] = wine.screenshot(f"{shots}-alert")
    say(f"screenshot of the alert: {seen['screenshot']}")

    say('ticking "J\'ai pris connaissance de ce message" and closing the alert')
    wine.click(harness.CLIENT_TITLE, id=SEEN, send=True)
    wine.click(harness.CLIENT_TITLE, id=CLOSE_ALERT, send=True)
    seen["acknowledged"] = server.wait_event("acknowledged", 10)
    seen["hidden_after_ack"] = _wait(lambda: not wine.find_window(harness.CLIENT_TITLE)["visible"], 5)
    say("the server recorded the acknowledgement" if seen["acknowledged"] else "no acknowledgement!")

    say("uninstalling with UninstallNivaxel.exe from the system folder")
    uninstaller = wine.start(harness.SYSTEM_DIR + "\\UninstallNivaxel.exe")
    wine.find_window(harness.UNINSTALLER_TITLE, timeout_ms=30000)
    wine.screenshot(f"{shots}-uninstaller")  # the client's icon still in the notification area
    wine.click(harness.UNINSTALLER_TITLE, text="D\u00e9sinstaller...")
    wine.msgbox(wait_ms=10000, press_id=1)
    seen["uninstaller_gone"] = wine.wait_gone(harness.UNINSTALLER_TITLE, timeout_ms=30000)
    seen["uninstaller_exit"] = uninstaller.wait(30)
    seen["client_gone"] = wine.wait_gone(harness.CLIENT_TITLE, timeout_ms=15000)
    seen["settings_after"] = wine.reg_list(harness.SETTINGS_KEY)
    seen["client_file_after"] = os.path.exists(
        wine.win_to_unix(harness.PROGRAM_FILES + "\\meridale\\Nivaxel\\Nivaxel.exe"))
    say("settings key after the uninstall: " + ("gone" if seen["settings_after"] is None else "still there"))
    return seen


def main():
    for name in ("NivaxelSetup.exe", "Nivaxel.exe", "UninstallNivaxel.exe"):
        if not harness.program_path(name).is_file():
            sys.exit(f"not built: {harness.program_path(name)} (run ./build.sh)")
    if not alert_server_path().is_file():
        sys.exit(f"not built: {alert_server_path()} (run ./build.sh)")
    say = lambda text: print(f"-- {text}", flush=True)  # noqa: E731
    say("starting the alert server on loopback")
    server = AlertServer()
    wine = harness.Prefix("demo")
    try:
        say(f"nivaxel-server serve --data {server.data} --port {server.port} --admin {server.admin}")
        seen = walk_through(wine, server, say)
        ok = bool(seen.get("acknowledged")) and seen.get("settings_after") is None
        say("done" if ok else "something went wrong: " + repr(seen))
        sys.exit(0 if ok else 1)
    finally:
        wine.close()
        server.stop()


if __name__ == "__main__":
    main()
