"""The alert server (server/, nivaxel-server) as the client's tests use it.

AlertServer() makes a token in a fresh data directory, runs
``nivaxel-server serve`` on free loopback ports and reads its JSON event lines
in the background; ``wait_event(name)`` gives the next event of that name
(with ``_received``, the monotonic time it was read); ``send()`` runs
``nivaxel-server send`` and returns how many stations the alert went to at
once (``last_id`` keeps the new alert's id). Alerts are sent once, as the
client's own tests expect: one replaced on screen is not sent again unless
``resend_replaced=True``.
The binary: $NIVAXEL_ALERT_SERVER, else the bench build, else the native one.
"""
import json
import os
import queue
import re
import shutil
import subprocess
import tempfile
import threading
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def alert_server_path():
    if os.environ.get("NIVAXEL_ALERT_SERVER"):
        return Path(os.environ["NIVAXEL_ALERT_SERVER"])
    for build in ("bench", "native"):
        path = ROOT / "build" / build / "server" / "nivaxel-server"
        if path.is_file():
            return path
    return ROOT / "build" / "bench" / "server" / "nivaxel-server"


def require_alert_server(testcase):
    if not alert_server_path().is_file():
        raise unittest.SkipTest(f"not built: {alert_server_path()}")


class AlertServer:
    def __init__(self, data=None, bind="127.0.0.1", extra=()):
        self.data = data or tempfile.mkdtemp(prefix="nivaxel-server-")
        self._own_data = data is None
        self.token = subprocess.run([str(alert_server_path()), "token", "create", "--data", self.data,
                                     "--scope", "admin", "--name", "tests"],
                                    capture_output=True, check=True, timeout=30).stdout.decode().strip()
        self.last_id = None
        self.proc = subprocess.Popen([str(alert_server_path()), "serve", "--data", self.data,
                                      "--bind", bind, "--port", "0", "--admin", "127.0.0.1:0", *extra],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        listening = self.wait_event("listening", timeout=10)
        if listening is None:
            self.stop()
            raise RuntimeError("nivaxel-server did not start listening")
        self.port, self.admin = listening["port"], listening["admin"]

    def _read(self):
        for raw in self.proc.stdout:
            try:
                event = json.loads(raw)
            except ValueError:
                continue
            event["_received"] = time.monotonic()
            self.events.put(event)

    def wait_event(self, name, timeout):
        """The next event called `name` (others are dropped), or None after `timeout` s."""
        deadline = time.monotonic() + timeout
        while (left := deadline - time.monotonic()) > 0:
            try:
                event = self.events.get(timeout=left)
            except queue.Empty:
                return None
            if event.get("event") == name:
                return event
        return None

    def send(self, author, subject, lines, date=None, resend_replaced=False, groups=()):
        argv = [str(alert_server_path()), "send", "--admin", self.admin, "--token", self.token,
                "--author", author, "--subject", subject]
        for g in groups:
            argv += ["--to-group", g]
        if date is not None:
            argv += ["--date", date]
        if not resend_replaced:
            argv.append("--no-resend-replaced")
        for line in lines:
            argv += ["--line", line]
        out = subprocess.run(argv, capture_output=True, timeout=30)
        if out.returncode != 0:
            raise RuntimeError(f"nivaxel-server send failed ({out.returncode}): {out.stdout!r} {out.stderr!r}")
        self.last_id = int(out.stdout.split()[-1])
        return int(re.search(rb"\d+", out.stdout).group(0))

    def receipts(self, alert_id):
        """The alert's ledger as the CSV export gives it: a list of dicts."""
        out = subprocess.run([str(alert_server_path()), "receipts", str(alert_id), "--csv",
                              "--admin", self.admin, "--token", self.token],
                             capture_output=True, check=True, timeout=30)
        lines = out.stdout.decode().splitlines()
        head = lines[0].split(",")
        return [dict(zip(head, line.split(","))) for line in lines[1:]]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        self.proc.stdout.close()
        if self._own_data:
            shutil.rmtree(self.data, ignore_errors=True)
