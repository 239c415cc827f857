"""A TCP proxy that puts network faults between the client and the alert server.

FaultProxy(upstream_port) listens on a free loopback port (.port) and forwards
each accepted connection to the server. On command it can:
  pass_traffic()   forward everything (the default), ending any stall or delay
  delay(seconds)   hold every chunk that long before forwarding it
  stall()          keep the open connections' sockets open and forward nothing
  cut_next_frame() forward the first half of the server's next frame, then stall
                   that connection (later connections pass)
  reset()          abort every open connection with a TCP reset
  refuse()         close the listening socket: new connections are refused
  accept()         listen again on the same port (after refuse)
  set_upstream(p)  forward new connections to another server port
Counters: .accepted (connections taken), .frames_to_client (whole frames passed).
"""
import select
import socket
import struct
import threading
import time

HEADER = 24


def _abort(sock):
    """Close with a reset instead of an orderly close."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    sock.close()


class _Link:
    def __init__(self, proxy, client, server):
        self.proxy, self.client, self.server = proxy, client, server
        self.closed = False
        self.stalled = False
        self.to_client = bytearray()  # server bytes not yet forwarded, frame-aligned at the front

    def run(self):
        try:
            self._pump()
        finally:
            self.close()

    def _pump(self):
        while not self.closed:
            try:
                ready, _, _ = select.select([self.client, self.server], [], [], 0.05)
            except (OSError, ValueError):
                return
            if self.stalled:
                time.sleep(0.05)
                continue  # bytes stay in the kernel: both sides see an open, silent link
            for sock in ready:
                try:
                    data = sock.recv(65536)
                except OSError:
                    return
                if not data:
                    # Pass the orderly close on.
                    other = self.server if sock is self.client else self.client
                    try:
                        other.shutdown(socket.SHUT_WR)
                    except OSError:
                        pass
                    return
                if self.proxy._delay:
                    time.sleep(self.proxy._delay)
                if sock is self.client:
                    self.server.sendall(data)
                else:
                    self._to_client(data)

    def _to_client(self, data):
        self.to_client += data
        while len(self.to_client) >= HEADER:
            size1, size2 = struct.unpack_from("<ii", self.to_client, 16)
            whole = HEADER + max(size1, 0) + max(size2, 0)
            if self.proxy._cut_armed:
                self.proxy._cut_armed = False
                half = max(HEADER + 1, whole // 2)
                self.client.sendall(bytes(self.to_client[:half]))
                self.to_client.clear()
                self.stalled = True
                return
            if len(self.to_client) < whole:
                return
            self.client.sendall(bytes(self.to_client[:whole]))
            del self.to_client[:whole]
            self.proxy.frames_to_client += 1

    def close(self, reset=False):
        if self.closed:
            return
        self.closed = True
        for sock in (self.client, self.server):
            if reset:
                _abort(sock)
            else:
                sock.close()


class FaultProxy:
    def __init__(self, upstream_port, host="127.0.0.1"):
        self.host, self.upstream_port = host, upstream_port
        self.accepted = 0
        self.frames_to_client = 0
        self._delay = 0.0
        self._cut_armed = False
        self._links = []
        self._lock = threading.Lock()
        self._listener = None
        self.port = 0
        self._stopping = False
        self.accept()

    # --- commands --------------------------------------------------------------
    def pass_traffic(self):
        self._delay, self._cut_armed = 0.0, False
        with self._lock:
            for link in self._links:
                link.stalled = False

    def delay(self, seconds):
        self._delay = seconds

    def stall(self):
        with self._lock:
            for link in self._links:
                link.stalled = True

    def cut_next_frame(self):
        self._cut_armed = True

    def reset(self):
        with self._lock:
            links, self._links = self._links, []
        for link in links:
            link.close(reset=True)

    def refuse(self):
        listener, self._listener = self._listener, None
        if listener is None:
            return
        try:
            listener.shutdown(socket.SHUT_RDWR)  # stops the kernel accepting at once
        except OSError:
            pass
        self._acceptor.join(2)
        listener.close()

    def accept(self):
        if self._listener is not None:
            return
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((self.host, self.port))
        listener.listen(16)
        self.port = listener.getsockname()[1]
        self._listener = listener
        self._acceptor = threading.Thread(target=self._accept_loop, args=(listener,), daemon=True)
        self._acceptor.start()

    def set_upstream(self, port):
        self.upstream_port = port

    def close(self):
        self._stopping = True
        self.refuse()
        self.reset()

    # --- inside ----------------------------------------------------------------
    def _accept_loop(self, listener):
        while not self._stopping and self._listener is listener:
            try:
                ready, _, _ = select.select([listener], [], [], 0.1)
                if not ready:
                    continue
                client, _ = listener.accept()
            except (OSError, ValueError):
                return
            try:
                server = socket.create_connection((self.host, self.upstream_port), timeout=5)
                server.settimeout(None)
            except OSError:
                _abort(client)  # no server behind: the client meets a reset
                continue
            self.accepted += 1
            link = _Link(self, client, server)
            with self._lock:
                self._links.append(link)
            threading.Thread(target=link.run, daemon=True).start()


def server_outage(proxy, server, seconds, start_server):
    """The server goes away (the proxy refuses new connections meanwhile) and a
    new one, from start_server(), comes back after `seconds`. Returns it and the
    monotonic time at which it is back."""
    proxy.refuse()
    server.stop()
    time.sleep(seconds)
    server = start_server()
    proxy.set_upstream(server.port)
    proxy.accept()
    return server, time.monotonic()
