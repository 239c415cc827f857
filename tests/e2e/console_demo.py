"""The whole system with the web console: the real client under Wine, an
alert sent from the console in Chromium, acknowledged on the workstation, and
the console showing it acknowledged with the user's name, live.

``console_walk`` is shared by ./demo.sh and test_console_system.py.
Screenshots: artifacts/screenshots/console-preview.png (the console's preview),
console-wine-alert.png (the real alert window), console-preview-vs-alert.png
(both side by side) and console-wine-ledger.png.
"""
import json
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from client_alert_server import AlertServer, alert_server_path  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
BROWSER = ROOT / "tests" / "browser"
SEEN, CLOSE_ALERT = 121, 122  # CheckBoxVu, ButtonFermerAlerte
SHOTS = ROOT / "artifacts" / "screenshots"


def browser_ready():
    return (BROWSER / "node_modules" / "playwright-core").is_dir() and Path("/usr/bin/chromium").is_file()


def _wait(predicate, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def console_walk(wine, server, say=lambda text: None):
    """Runs every step and returns what was seen, for the caller to check."""
    seen = {}
    password = "console-demo-pw"
    subprocess.run([str(alert_server_path()), "user", "add", "anne", "--role", "operator", "--data", server.data],
                   input=f"{password}\n{password}\n".encode(), check=True, capture_output=True, timeout=30)
    say("console user anne (operator) added with `nivaxel-server user add`")

    wine.reg_set(harness.SETTINGS_KEY, "Port", server.port, type="REG_DWORD")
    wine.start(harness.program_path("Nivaxel.exe"), "NS=127.0.0.1")
    seen["identified"] = server.wait_event("identified", 60)
    if not seen["identified"]:
        return seen
    computer, user = seen["identified"]["computer"], seen["identified"]["user"]
    say(f"the client is connected: computer {computer}, user {user}")

    say("signing in to the console in Chromium and sending an alert to " + computer)
    driver = subprocess.Popen(["node", str(BROWSER / "console-walk.js"), f"http://{server.admin}", "anne", password,
                               computer], cwd=BROWSER, stdout=subprocess.PIPE, text=True)
    try:
        steps = (json.loads(line) for line in driver.stdout if line.startswith("{"))
        sent = next(steps, {})
        seen["sent"] = sent
        if sent.get("step") != "sent":
            return seen
        wine.find_window(harness.CLIENT_TITLE, timeout_ms=20000)
        seen["alert_visible"] = _wait(lambda: wine.find_window(harness.CLIENT_TITLE)["visible"], 20)
        time.sleep(0.5)
        seen["alert_fields"] = {c["id"]: c["text"] for c in wine.controls(harness.CLIENT_TITLE)}
        alert_shot = wine.screenshot("console-wine-alert")
        say("the alert is on the workstation's screen; the user acknowledges it")
        wine.click(harness.CLIENT_TITLE, id=SEEN, send=True)
        wine.click(harness.CLIENT_TITLE, id=CLOSE_ALERT, send=True)
        seen["acknowledged"] = next(steps, {})
        driver.wait(timeout=30)
        say(f"the console shows: {seen['acknowledged']}")
        side = SHOTS / "console-preview-vs-alert.png"
        # The real panel sits at the centre of the screen: cut the same 600 x 362 around it as the preview.
        subprocess.run(["convert", str(SHOTS / "console-preview.png"), "(", str(alert_shot), "-gravity", "center",
                        "-crop", "600x362+0+0", "+repage", ")", "-background", "white", "+append", str(side)],
                       timeout=60, check=False)
        seen["side_by_side"] = side if side.is_file() else None
    finally:
        if driver.poll() is None:
            driver.kill()
            driver.wait(timeout=10)
        driver.stdout.close()
    return seen


def main():
    if not harness.program_path("Nivaxel.exe").is_file() or not alert_server_path().is_file():
        sys.exit("not built: run ./build.sh")
    if not browser_ready():
        sys.exit("tests/browser is not installed: run ./build.sh")
    say = lambda text: print(f"-- {text}", flush=True)  # noqa: E731
    server = AlertServer()
    wine = harness.Prefix("console-demo")
    try:
        say(f"alert server on loopback, console at http://{server.admin}/")
        seen = console_walk(wine, server, say)
        ok = seen.get("acknowledged", {}).get("state") == "Lue"
        say("done: screenshots in artifacts/screenshots/console-*.png" if ok else "something went wrong: " + repr(seen))
        sys.exit(0 if ok else 1)
    finally:
        wine.close()
        server.stop()


if __name__ == "__main__":
    main()
