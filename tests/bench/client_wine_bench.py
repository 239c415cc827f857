#!/usr/bin/env python3
"""Figures of the alert client under Wine, printed, never asserted:

  - alert latency: from the send to the alert window mapped on the X display and
    to its silver painted, for the client (send by the alert server) and, in the
    same run, for a floor program (tests/bench/floor: a pre-made maximised
    topmost silver window shown when a byte arrives), with the client's ratios
    to the floor; timed by a native X11 observer polling every millisecond;
  - CPU time of the client process over 60 idle seconds, connected to the server;
  - its resident memory after that;
  - the sizes of the built programs (i686 product and x86_64 test build).

Usage: tests/bench/client_wine_bench.py [--alerts 50] [--idle 60]
Environment as for the end-to-end tests (NIVAXEL_WINE_BASE, NIVAXEL_BIN_DIR,
NIVAXEL_ALERT_SERVER, DISPLAY). The floor program and the observer are built
when missing (presets windows or windows64, and bench). The build timed is the
shipped i686 one where the kernel runs i386 code, else the x86_64 test build:
figures must not come from emulated code.
"""
import argparse
import os
import socket
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
os.environ.setdefault("NIVAXEL_PREFIX", "win64")
sys.path.insert(0, str(HERE.parent / "e2e"))
import harness  # noqa: E402
from client_alert_server import AlertServer, alert_server_path  # noqa: E402

os.environ.setdefault("NIVAXEL_BIN_DIR", str(harness.timing_bin_dir()))

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


class Observer:
    """The X11 observer (tests/bench/floor/alert_observer.c) as a child process."""

    def __init__(self, path):
        self.proc = subprocess.Popen([str(path)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1)

    def ask(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def answer(self):
        line = self.proc.stdout.readline().strip()
        if line in ("", "timeout"):
            raise RuntimeError(f"observer: {line or 'ended'}")
        return line

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(10)


def timed_show(observer, send):
    """Arms the observer, calls send() (which returns the send's monotonic time)
    and returns (seconds to mapped, seconds to painted)."""
    observer.ask("gone")
    observer.answer()
    observer.ask("wait")
    time.sleep(0.05)  # the observer is polling
    sent = send()
    mapped, painted = (float(x) for x in observer.answer().split())
    return mapped - sent, painted - sent


def client_show(server, index):
    def send():
        sent = time.monotonic()
        if server.send(author="Banc", subject=f"Mesure {index}", lines=["Latence"]) != 1:
            raise RuntimeError("the alert reached no client")
        # The server's own line, when it reports the send, is closer to the wire.
        event = server.wait_event("alert_sent", timeout=0.5)
        return event["_received"] if event is not None and event["_received"] >= sent else sent
    return send


def measure_floor(wine, observer, floor_exe, count):
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(30)
    floor = wine.start(floor_exe, str(listener.getsockname()[1]))
    conn, _ = listener.accept()
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    time.sleep(1.0)  # its window exists before the first byte

    def send():
        sent = time.monotonic()
        conn.sendall(b"a")
        return sent
    try:
        results = []
        for _ in range(count):
            results.append(timed_show(observer, send))
            conn.sendall(b"h")
        return results
    finally:
        conn.close()
        listener.close()
        try:
            floor.wait(10)
        except subprocess.TimeoutExpired:
            floor.kill()


def built(path, preset, target):
    if not path.is_file():
        subprocess.run(["cmake", "--build", "--preset", preset, "--target", target],
                       cwd=HERE.parents[1], check=False)
    return path.is_file()


def summary(name, results):
    mapped = statistics.median(r[0] for r in results) * 1000
    painted = statistics.median(r[1] for r in results) * 1000
    print(f"  {name:7} {len(results)} alerts: mapped median {mapped:.1f} ms, "
          f"painted median {painted:.1f} ms")
    return mapped, painted


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--alerts", type=int, default=50)
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

    view = harness.registry_view(harness.program_path("Nivaxel.exe"))
    print(f"timed: {harness.program_path('Nivaxel.exe')} ({'x86_64' if view == 64 else 'i686'})")
    observer_path = root / "build" / "bench" / "tests" / "bench" / "alert_observer"
    floor_exe = harness.bin_dir() / "tests" / "bench" / "floor_alert.exe"
    if not built(observer_path, "bench", "alert_observer") or \
            not built(floor_exe, "windows64" if view == 64 else "windows", "floor_alert"):
        print("alert_observer or floor_alert.exe not built: no Wine figures")
        return 1

    server = AlertServer()
    observer = Observer(observer_path)
    # The observer watches the X root's own windows; inside Wine's explorer
    # desktop the alert would be a child of the desktop's window.
    wine = harness.Prefix("client-bench", shell_desktop=False)
    try:
        wine.reg_set(harness.SETTINGS_KEY, "NomServeur", "127.0.0.1", view=view)
        wine.reg_set(harness.SETTINGS_KEY, "Port", server.port, type="REG_DWORD", view=view)
        client = wine.start(harness.program_path("Nivaxel.exe"))
        wine.find_window(TITLE, timeout_ms=30000)
        if server.wait_event("identified", timeout=30) is None:
            print("the client never identified itself")
            return 1

        results = []
        for i in range(args.alerts):
            results.append(timed_show(observer, client_show(server, i)))
            wine.post(TITLE, 0x1C, 0, 0)  # WM_ACTIVATEAPP: hides it, unacknowledged
        print("alert latency, send to window mapped and painted (X11 observer, 1 ms polling):")
        client_map, client_paint = summary("client", results)
        floor = measure_floor(wine, observer, floor_exe, args.alerts)
        floor_map, floor_paint = summary("floor", floor)
        print(f"  client / floor: mapped {client_map / floor_map:.2f}, "
              f"painted {client_paint / floor_paint:.2f}")

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
        observer.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
