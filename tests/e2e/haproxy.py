"""Debian's haproxy for the end-to-end tests, run from the sample that
administrators install (server/deploy/haproxy.cfg) with only what a test
machine needs changed: loopback addresses and ports, a stats socket, log
and state in a temporary directory, no chroot, no daemon, no user switch
(it runs as nobody when the test runs as root), and maxconn within this
process's descriptor limit. Stopped by pid."""
import os
import pwd
import re
import resource
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

SAMPLE = Path(__file__).resolve().parents[2] / "server" / "deploy" / "haproxy.cfg"
HAPROXY = shutil.which("haproxy") or "/usr/sbin/haproxy"


def _replace(text, pattern, new, count=None):
    """re.subn that insists the sample still has what is replaced."""
    out, n = re.subn(pattern, new, text, flags=re.M)
    if n == 0 or (count is not None and n != count):
        raise AssertionError(f"the haproxy sample changed: {pattern!r} matched {n} times")
    return out


def derive(sample, bind_port, node_ports, socket_path, maxconn):
    cfg = _replace(sample, r"^\s*(chroot|user|group|daemon)\b.*\n", "")
    cfg = _replace(cfg, r"^(\s*)log /dev/log .*$", r"\1log stderr format raw local0 info", 1)
    cfg = _replace(cfg, r"stats socket \S+", f"stats socket {socket_path}", 1)
    cfg = _replace(cfg, r"maxconn \d+", f"maxconn {maxconn}")
    cfg = _replace(cfg, r"bind \S+:5088", f"bind 127.0.0.1:{bind_port}", 1)
    servers = "".join(f"    server node{i + 1} 127.0.0.1:{p} check\n" for i, p in enumerate(node_ports))
    return _replace(cfg, r"(^\s*server node\d+ \S+ check\n)+", servers, 1)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Haproxy:
    def __init__(self, node_ports):
        if not os.access(HAPROXY, os.X_OK):
            raise unittest.SkipTest(f"haproxy is not installed ({HAPROXY})")
        self.dir = tempfile.mkdtemp(prefix="nivaxel-haproxy-")
        self.port = free_port()
        self.socket = f"{self.dir}/admin.sock"
        # Two descriptors per connection, and a few of its own.
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        maxconn = 60000 if hard == resource.RLIM_INFINITY else min(60000, (hard - 200) // 2)
        self.config = f"{self.dir}/haproxy.cfg"
        Path(self.config).write_text(derive(SAMPLE.read_text(), self.port, node_ports, self.socket, maxconn))
        demote = None
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            os.chown(self.dir, nobody.pw_uid, nobody.pw_gid)
            demote = lambda: (os.setgid(nobody.pw_gid), os.setuid(nobody.pw_uid))  # noqa: E731
        check = subprocess.run([HAPROXY, "-c", "-q", "-f", self.config], capture_output=True, text=True, timeout=30)
        if check.returncode != 0:
            raise AssertionError(f"haproxy -c refused the derived configuration: {check.stderr}")
        self.log = open(f"{self.dir}/haproxy.log", "wb")
        self.proc = subprocess.Popen([HAPROXY, "-f", self.config], stdout=self.log, stderr=self.log,
                                     preexec_fn=demote)
        deadline = time.monotonic() + 20
        while not os.path.exists(self.socket):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise RuntimeError(f"haproxy did not start: {self.log_text()[-2000:]}")
            time.sleep(0.05)

    def command(self, line):
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(5)
            s.connect(self.socket)
            s.sendall(line.encode() + b"\n")
            out = b""
            while chunk := s.recv(65536):
                out += chunk
        return out.decode(errors="replace")  # the checks' last answers are binary

    def servers(self):
        """{name: (status, current sessions)} of the nodes as haproxy sees them."""
        rows = [r.split(",") for r in self.command("show stat").splitlines() if r.startswith("nodes,node")]
        return {r[1]: (r[17], int(r[4])) for r in rows}

    def wait_servers(self, wanted, timeout):
        """True once every node named in `wanted` has that status ("UP"/"DOWN")."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            now = self.servers()
            if all(now.get(n, ("?",))[0] == s for n, s in wanted.items()):
                return True
            time.sleep(0.1)
        return False

    def rss_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            return int(next(line for line in f if line.startswith("VmRSS:")).split()[1])

    def log_text(self):
        return Path(f"{self.dir}/haproxy.log").read_text(errors="replace")

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)
