"""The alert server against small Python clients speaking the frames.

Native only (no Wine): serve, send, list, probes, acknowledgements and bad
input. The binary: $NIVAXEL_ALERT_SERVER, else the bench build, else the
native one; skipped when none is built.
"""
import json
import os
import queue
import resource
import re
import shutil
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def alert_server_path():
    override = os.environ.get("NIVAXEL_ALERT_SERVER")
    if override:
        return Path(override)
    for build in ("bench", "native"):
        path = ROOT / "build" / build / "server" / "nivaxel-server"
        if path.is_file():
            return path
    return ROOT / "build" / "bench" / "server" / "nivaxel-server"


def make_token(data, scope, name=None):
    argv = [str(alert_server_path()), "token", "create", "--data", data, "--scope", scope]
    if name:
        argv += ["--name", name]
    return subprocess.run(argv, capture_output=True, check=True, timeout=30).stdout.decode().strip()


class ServerProcess:
    """`nivaxel-server serve` on ports of the system's choosing, read from its
    `listening` event; every later event line is queued for wait_event. A
    fresh data directory and an admin token unless `data` is given."""

    def __init__(self, probe_interval=None, data=None, extra=(), port=0, max_files=None,
                 stderr=subprocess.DEVNULL):
        self.data = data or tempfile.mkdtemp(prefix="nivaxel-test-")
        self.token = make_token(self.data, "admin", "tests")
        argv = [str(alert_server_path()), "serve", "--data", self.data, "--port", str(port),
                "--admin", "127.0.0.1:0", *extra]
        if probe_interval:
            argv += ["--probe-interval", str(probe_interval)]
        limit = None if max_files is None else (
            lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (max_files, max_files)))
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=stderr, preexec_fn=limit)
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        first = self.wait_event("listening", 10)
        if first is None:
            self.stop()
            raise RuntimeError("nivaxel-server did not start")
        self.port = first["port"]
        self.admin = first["admin"]
        self.scheme = "https" if first.get("tls") else "http"
        self.ssl = None

    def api(self, method, path, body=None, token=None, raw=None):
        """(status, parsed JSON or text) of one API request."""
        data = raw if raw is not None else (None if body is None else json.dumps(body).encode())
        req = urllib.request.Request(f"{self.scheme}://{self.admin}{path}", data=data, method=method)
        token = self.token if token is None else token
        if token:
            req.add_header("Authorization", "Bearer " + token)
        try:
            with urllib.request.urlopen(req, timeout=30, context=self.ssl) as r:
                status, text, kind = r.status, r.read().decode(), r.headers.get("Content-Type", "")
        except urllib.error.HTTPError as e:
            status, text, kind = e.code, e.read().decode(), e.headers.get("Content-Type", "")
        return status, (json.loads(text) if kind.startswith("application/json") else text)

    def _read(self):
        for raw in self.proc.stdout:
            self.events.put(json.loads(raw))

    def wait_event(self, name, timeout):
        """The next event called `name` (others are skipped), or None."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            try:
                event = self.events.get(timeout=left)
            except queue.Empty:
                return None
            if event["event"] == name:
                return event

    def send(self, author, subject, lines, date=None, to=None):
        argv = [str(alert_server_path()), "send", "--admin", self.admin, "--token", self.token,
                "--author", author, "--subject", subject]
        if date is not None:
            argv += ["--date", date]
        for computer in to or []:
            argv += ["--to", computer]
        for line in lines:
            argv += ["--line", line]
        out = subprocess.run(argv, capture_output=True, timeout=30)
        if out.returncode != 0:
            raise RuntimeError(f"send failed ({out.returncode}): {out.stderr!r}")
        self.last_id = int(out.stdout.split()[-1])
        return int(re.match(rb"sent to (\d+) station", out.stdout).group(1))

    def stop(self, keep_data=False):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        self.proc.stdout.close()
        if not keep_data:
            shutil.rmtree(self.data, ignore_errors=True)

    def kill(self):
        self.proc.kill()
        self.proc.wait(10)


SIGNATURE = 123456
IDENTIFICATION, ALERTE, ALERTE_LUE, TEST_LIAISON = 4096, 4097, 4098, 4099
REPONSE_TEST_LIAISON, TEST_LIAISON_SERVEUR, REPONSE_TEST_LIAISON_SERVEUR = -4099, 4101, 4102


def frame(kind, block1=b"", block2=b"", signature=SIGNATURE, size1=None):
    size1 = len(block1) if size1 is None else size1
    return struct.pack("<6i", signature, kind, 0, 0, size1, len(block2)) + block1 + block2


class FakeClient:
    """One workstation: a socket that speaks the client's frames."""

    def __init__(self, port, computer=b"PC1", user=b"anne", identify=True):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        if identify:
            self.send(IDENTIFICATION, b"NS=" + computer + b"\r\nNU=" + user)

    def send(self, kind, block1=b""):
        self.sock.sendall(frame(kind, block1))

    def read_exact(self, n, timeout=5):
        self.sock.settimeout(timeout)
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise EOFError("closed by the server")
            data += chunk
        return data

    def read_frame(self, timeout=5):
        sig, kind, _, _, size1, size2 = struct.unpack("<6i", self.read_exact(24, timeout))
        assert sig == SIGNATURE, sig
        return kind, self.read_exact(size1, timeout), self.read_exact(size2, timeout)

    def nothing_within(self, seconds):
        self.sock.settimeout(seconds)
        try:
            return self.sock.recv(1) == b"" and False
        except socket.timeout:
            return True

    def closed_within(self, seconds):
        self.sock.settimeout(seconds)
        try:
            while True:
                if self.sock.recv(4096) == b"":
                    return True
        except socket.timeout:
            return False
        except ConnectionResetError:
            return True

    def close(self):
        self.sock.close()


class AlertServerTest(unittest.TestCase):
    def setUp(self):
        if not alert_server_path().is_file():
            self.skipTest(f"not built: {alert_server_path()}")
        self.server = None
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.close()
        if self.server:
            self.server.stop()

    def start(self, probe_interval=None):
        self.server = ServerProcess(probe_interval=probe_interval)
        return self.server

    def client(self, **kw):
        c = FakeClient(self.server.port, **kw)
        self.clients.append(c)
        event = self.server.wait_event("identified", 5)
        self.assertIsNotNone(event)
        c.id = event["client"]
        return c

    def cli(self, *args):
        return subprocess.run([str(alert_server_path()), *args], capture_output=True, timeout=30)

    def list(self, online_only=True):
        out = self.cli("list", "--admin", self.server.admin, "--token", self.server.token)
        self.assertEqual(out.returncode, 0, out.stderr)
        return [s for s in json.loads(out.stdout) if s["online"] or not online_only]

    def test_identification_is_recorded_and_listed(self):
        self.start()
        self.client(computer=b"PC1", user=b"Ren\xe9")
        clients = self.list()
        self.assertEqual(len(clients), 1)
        c = clients[0]
        self.assertEqual((c["computer"], c["user"]), ("PC1", "Ren\u00e9"))
        self.assertTrue(c["address"].startswith("127.0.0.1:"))
        self.assertRegex(c["last_seen"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertEqual((c["alerts_sent"], c["acknowledged"]), (0, 0))

    def test_alert_reaches_every_client_in_windows_1252(self):
        self.start()
        a = self.client(computer=b"PC1")
        b = self.client(computer=b"PC2")
        sent = self.server.send("Accueil", "R\u00e9union \u20ac", ["Salle \u00e0 14h", ""],
                                date="12/03 10:42")
        self.assertEqual(sent, 2)
        expected = (b"[Accueil]\r\nD=12/03 10:42\r\nO=R\xe9union \x80\r\nI=1\r\n"
                    b"M=Salle \xe0 14h\r\nM= \r\n")
        for c in (a, b):
            kind, text, extra = c.read_frame()
            self.assertEqual(kind, ALERTE)
            self.assertEqual(text, expected)
            self.assertEqual(extra, b"")
        self.assertIsNotNone(self.server.wait_event("alert_sent", 5))

        a.send(ALERTE_LUE)
        event = self.server.wait_event("acknowledged", 5)
        self.assertEqual(event["computer"], "PC1")
        time.sleep(0.3)  # the ledger is written at the end of the loop's turn
        acks = {c["computer"]: (c["alerts_sent"], c["acknowledged"]) for c in self.list()}
        self.assertEqual(acks, {"PC1": (1, 1), "PC2": (1, 0)})

    def test_named_computers_only_and_text_cleaned(self):
        self.start()
        a = self.client(computer=b"PC1")
        b = self.client(computer=b"PC2")
        sent = self.server.send("A", "S", ["one\r\ntwo"], to=["pc1", "NOBODY"])
        self.assertEqual(sent, 1)
        kind, text, _ = a.read_frame()
        self.assertEqual(kind, ALERTE)
        self.assertIn(b"M=one  two\r\n", text)  # no line break survives inside a field
        self.assertRegex(text.decode("latin-1"), r"^\[A\]\r\nD=\d\d/\d\d/\d{4} \d\d:\d\d\r\nO=S\r\nI=\d+\r\n")
        self.assertTrue(b.nothing_within(0.3))

    def test_keepalive_is_answered_and_probes_drop_the_silent(self):
        self.start(probe_interval=1)
        talker = self.client(computer=b"TALK")
        silent = self.client(computer=b"MUTE")
        talker.send(TEST_LIAISON)
        kind, _, _ = talker.read_frame()
        self.assertEqual(kind, REPONSE_TEST_LIAISON)

        kind, _, _ = talker.read_frame(timeout=3)
        self.assertEqual(kind, TEST_LIAISON_SERVEUR)
        talker.send(REPONSE_TEST_LIAISON_SERVEUR)
        self.assertEqual(self.server.wait_event("probe_answered", 3)["client"], talker.id)
        gone = self.server.wait_event("disconnected", 4)
        self.assertEqual((gone["computer"], gone["reason"]), ("MUTE", "no answer to probe"))
        self.assertTrue(silent.closed_within(2))
        self.assertEqual([c["computer"] for c in self.list()], ["TALK"])

    def test_bad_input_drops_only_that_client(self):
        self.start()
        good = self.client(computer=b"GOOD")
        for bad in (frame(ALERTE, signature=1), frame(ALERTE, size1=-1),
                    frame(IDENTIFICATION, size1=64 * 1024 * 1024)):
            c = FakeClient(self.server.port, identify=False)
            self.clients.append(c)
            c.sock.sendall(bad)
            event = self.server.wait_event("disconnected", 5)
            self.assertEqual(event["reason"], "bad frame")
            self.assertTrue(c.closed_within(2))
        self.assertEqual([c["computer"] for c in self.list()], ["GOOD"])
        self.assertEqual(self.server.send("A", "S", ["x"]), 1)
        self.assertEqual(good.read_frame()[0], ALERTE)

    def test_api_bad_bodies_and_command_line_errors(self):
        self.start()
        c = self.client(computer=b"PC1")
        for raw, status in ((b"not json", 400), (b'{"author":"a","subject":"s","lines":[],"everyone":true}', 400),
                            (b'{"author":"a","subject":"s","lines":["x"]}', 400)):
            self.assertEqual(self.server.api("POST", "/api/alerts", raw=raw)[0], status, raw)
        status, alert = self.server.api("POST", "/api/alerts", {"author": "a", "subject": "s",
                                                                 "lines": ["x\u0000y"], "everyone": True})
        self.assertEqual((status, alert["sent_now"]), (201, 1))
        kind, text, _ = c.read_frame()
        self.assertTrue(text.endswith(b"I=%d\r\nM=x y\r\n" % alert["id"]), text)  # a NUL would end the text
        self.assertEqual(self.server.api("GET", "/api/alerts/999")[0], 404)

        refused = self.cli("serve", "--data", self.server.data, "--port", "0", "--admin", "192.168.1.2:5089")
        self.assertEqual(refused.returncode, 2)
        self.assertIn(b"loopback", refused.stderr)
        self.assertEqual(self.cli("send", "--admin", self.server.admin, "--token", "t", "--author", "a",
                                  "--subject", "s").returncode, 2)
        self.assertEqual(self.cli("list", "--admin", "127.0.0.1:1", "--token", "t").returncode, 1)
        env = {k: v for k, v in os.environ.items() if k != "NIVAXEL_TOKEN"}
        missing = subprocess.run([str(alert_server_path()), "list", "--admin", self.server.admin],
                                 capture_output=True, timeout=30, env=env)
        self.assertEqual(missing.returncode, 2)
        self.assertIn(b"no token", missing.stderr)
        wrong = self.cli("list", "--admin", self.server.admin, "--token", "nvx_wrong")
        self.assertEqual(wrong.returncode, 1)
        self.assertIn(b"refused (401)", wrong.stderr)

    def test_one_server_per_data_directory(self):
        first = self.start()
        # The commands working on the store itself are not held off.
        self.assertTrue(make_token(first.data, "read").startswith("nvx_"))
        second = self.cli("serve", "--data", first.data, "--port", "0", "--admin", "127.0.0.1:0")
        print(f"\nsecond server: exit {second.returncode}: {second.stderr.decode().strip()}")
        self.assertEqual(second.returncode, 1)
        self.assertIn(b"in use by another nivaxel-server (pid %d)" % first.proc.pid, second.stderr)
        self.assertIn(b"PostgreSQL", second.stderr)
        # A killed server leaves its lock file behind, not its lock.
        first.proc.kill()
        first.proc.wait(10)
        self.server = ServerProcess(data=first.data)
        self.assertIsNone(self.server.proc.poll())

if __name__ == "__main__":
    unittest.main()
