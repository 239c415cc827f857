"""Many simulated workstations in one thread: each connects, identifies,
answers the server's probes, acknowledges every alert it is sent (unless
it is one of the readers that never tick the box) and, like the client,
reconnects at once when its connection ends. What each one received is
kept with its time, for the tests to read once the swarm is stopped or
through snapshot()."""
import errno
import selectors
import socket
import struct
import threading
import time

from test_alert_server import (ALERTE, ALERTE_LUE, IDENTIFICATION, REPONSE_TEST_LIAISON_SERVEUR,
                               TEST_LIAISON_SERVEUR, frame)

HEADER = struct.Struct("<6i")


class Station:
    def __init__(self, name, acknowledges):
        self.name = name
        self.acknowledges = acknowledges
        self.sock = None
        self.inbuf = b""
        self.connections = 0
        self.alerts = []  # (time received, connection number, text)
        self.acks_sent = 0


class Swarm:
    def __init__(self, address, count, silent_every=0, prefix="PC", sources=("127.0.0.1",)):
        self.address = address
        self.stations = [Station(f"{prefix}{i}", not silent_every or i % silent_every) for i in range(count)]
        # Station i's machine: connections leave from sources[i % len(sources)].
        for i, s in enumerate(self.stations):
            s.source = sources[i % len(sources)]
        self.sel = selectors.DefaultSelector()
        self.lock = threading.Lock()
        self.on_alert = None  # called in the swarm's thread with the station
        self._stop = False
        self._retry = []  # (when, station): connections that failed
        self._thread = threading.Thread(target=self._run, daemon=True)

    def start(self):
        for s in self.stations:
            self._connect(s)
        self._thread.start()
        return self

    def stop(self):
        self._stop = True
        self._thread.join(10)
        for s in self.stations:
            if s.sock:
                s.sock.close()
        self.sel.close()

    def snapshot(self):
        with self.lock:
            return [(s.name, s.connections, list(s.alerts), s.acks_sent) for s in self.stations]

    def _connect(self, s):
        s.sock = socket.socket()
        s.sock.setblocking(False)
        s.sock.bind((s.source, 0))
        s.inbuf = b""
        err = s.sock.connect_ex(self.address)
        if err not in (0, errno.EINPROGRESS):
            self._fail(s)
            return
        s.connections += 1
        # The identification waits in the socket's buffer until the connection is made.
        self.sel.register(s.sock, selectors.EVENT_WRITE, s)

    def _fail(self, s, delay=0.2):
        if s.sock:
            try:
                self.sel.unregister(s.sock)
            except (KeyError, ValueError):
                pass
            s.sock.close()
        s.sock = None
        self._retry.append((time.monotonic() + delay, s))

    def _run(self):
        while not self._stop:
            now = time.monotonic()
            due = [s for when, s in self._retry if when <= now]
            self._retry = [(w, s) for w, s in self._retry if w > now]
            for s in due:
                self._connect(s)
            for key, mask in self.sel.select(0.05):
                s = key.data
                try:
                    if mask & selectors.EVENT_WRITE:
                        s.sock.sendall(frame(IDENTIFICATION, f"NS={s.name}\r\nNU=user".encode()))
                        self.sel.modify(s.sock, selectors.EVENT_READ, s)
                        continue
                    data = s.sock.recv(65536)
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    data = b""
                if not data:
                    self._fail(s, 0)  # the client reconnects at once after a connection that worked
                    continue
                s.inbuf += data
                self._frames(s)

    def _frames(self, s):
        while len(s.inbuf) >= HEADER.size:
            _, kind, _, _, size1, size2 = HEADER.unpack_from(s.inbuf)
            end = HEADER.size + size1 + size2
            if len(s.inbuf) < end:
                return
            block1 = s.inbuf[HEADER.size:HEADER.size + size1]
            s.inbuf = s.inbuf[end:]
            try:
                if kind == ALERTE:
                    with self.lock:
                        s.alerts.append((time.monotonic(), s.connections, block1))
                    if self.on_alert:
                        self.on_alert(s)
                    if s.acknowledges:
                        s.sock.sendall(frame(ALERTE_LUE))
                        s.acks_sent += 1
                elif kind == TEST_LIAISON_SERVEUR:
                    s.sock.sendall(frame(REPONSE_TEST_LIAISON_SERVEUR))
            except OSError:
                self._fail(s)
                return
