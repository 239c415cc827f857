#!/usr/bin/env python3
"""Figures of the alert client under Wine (x86_64 test build), printed, never asserted:

  - alert latency: from the server's send to the alert window visible, 20 times
    (median and worst; a uidriver waiting with a 50 ms poll sees the window, so
    the resolution is about 50 ms plus the pipe);
  - CPU time of the client process over 60 idle seconds, connected to the server;
  - its resident memory after that;
  - the sizes of the built programs (i686 product and x86_64 test build).

Usage: tests/bench/client_wine_bench.py [--alerts 20] [--idle 60]
Environment as for the end-to-end tests (NIVAXEL_WINE_BASE, NIVAXEL_BIN_DIR,
NIVAXEL_ALERT_SERVER, DISPLAY).
"""
import argparse
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "e2e"))
import harness  # noqa: E402
from client_alert_server import AlertServer, alert_server_path  # noqa: E402

TITLE = harness.CLIENT_TITLE


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks  # utime + stime


def rss_kib(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def wait_visible_after_send(wine, server, index):
    """Starts a waiting uidriver, sends one alert, returns the seconds until it saw the window."""
    argv = [harness.WINE, wine.unix_to_win(str(harness.uidriver_path().resolve())), "find",
            "--title", TITLE, "--visible", "--timeout", "20000"]
    waiter = subprocess.Popen(argv, env=wine.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        time.sleep(2.0)  # uidriver is up and polling
        if waiter.poll() is not None:
            raise RuntimeError("uidriver ended before the alert was sent")
        sent = time.monotonic()
        if server.send(author="Banc", subject=f"Mesure {index}", lines=["Latence"]) != 1:
            raise RuntimeError("the alert reached no client")
        line = waiter.stdout.readline()
        seen = time.monotonic()
        if b"hwnd" not in line:
            raise RuntimeError(f"uidriver did not see the window: {line!r}")
        # The server's own line, when it reports the send, is closer to the wire.
        event = server.wait_event("alert_sent", timeout=0.5)
        if event is not None and sent <= event["_received"] <= seen:
            sent = event["_received"]
        return seen - sent
    finally:
        waiter.kill()
        waiter.wait(10)
        waiter.stdout.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--alerts", type=int, default=20)
    parser.add_argument("--idle", type=int, default=60)
    args = parser.parse_args()

    root = HERE.parents[1]
    print("program sizes (bytes):")
    for folder in ("windows", "windows64", "F-w32", "F-w64"):
        exe = root / "build" / folder / "Nivaxel.exe"
        if exe.is_file():
            print(f"  build/{folder}/Nivaxel.exe: {exe.stat().st_size}")
    if not harness.program_path("Nivaxel.exe").is_file() or not alert_server_path().is_file():
        print("Nivaxel.exe or nivaxel-server not built: no Wine figures")
        return 1

    server = AlertServer()
    wine = harness.Prefix("client-bench")
    try:
        wine.reg_set(harness.SETTINGS_KEY, "NomServeur", "127.0.0.1")
        wine.reg_set(harness.SETTINGS_KEY, "Port", server.port, type="REG_DWORD")
        client = wine.start(harness.program_path("Nivaxel.exe"))
        wine.find_window(TITLE, timeout_ms=30000)
        if server.wait_event("identified", timeout=30) is None:
            print("the client never identified itself")
            return 1

        latencies = []
        for i in range(args.alerts):
            latencies.append(wait_visible_after_send(wine, server, i))
            wine.post(TITLE, 0x1C, 0, 0)  # WM_ACTIVATEAPP: hides it, unacknowledged
            deadline = time.monotonic() + 10
            while wine.find_window(TITLE)["visible"] and time.monotonic() < deadline:
                time.sleep(0.1)
        ms = sorted(x * 1000 for x in latencies)
        print(f"alert latency, send to window visible, {len(ms)} alerts: "
              f"median {statistics.median(ms):.0f} ms, worst {ms[-1]:.0f} ms, best {ms[0]:.0f} ms")

        time.sleep(2)
        before = cpu_seconds(client.pid)
        time.sleep(args.idle)
        used = cpu_seconds(client.pid) - before
        print(f"client CPU time over {args.idle} s idle: {used * 1000:.0f} ms "
              f"({100 * used / args.idle:.2f} % of one core)")
        print(f"client resident memory (Wine process): {rss_kib(client.pid) / 1024:.1f} MiB")
    finally:
        wine.close()
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
