"""A real PostgreSQL 15 for the end-to-end tests: initdb in a temporary
directory and the server on a free loopback port, both as an unprivileged
user when run as root, password in a client password file; stopped by pid.
Never the machine's own cluster."""
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

BIN = "/usr/lib/postgresql/15/bin"


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Postgres:
    def __init__(self):
        if not os.access(f"{BIN}/initdb", os.X_OK):
            raise unittest.SkipTest(f"PostgreSQL 15 is not installed ({BIN})")
        self.dir = tempfile.mkdtemp(prefix="nivaxel-pg-")
        self.proc = None
        ids = None
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            ids = (nobody.pw_uid, nobody.pw_gid)
        self._demote = (lambda: (os.setgid(ids[1]), os.setuid(ids[0]))) if ids else None
        os.makedirs(f"{self.dir}/data")
        with open(f"{self.dir}/pwfile", "w") as f:
            f.write("nivaxel-test-password\n")
        if ids:
            for p in (self.dir, f"{self.dir}/data", f"{self.dir}/pwfile"):
                os.chown(p, *ids)
        subprocess.run([f"{BIN}/initdb", "-D", f"{self.dir}/data", "-U", "nivaxel", f"--pwfile={self.dir}/pwfile",
                        "--auth=scram-sha-256", "-E", "UTF8", "--locale=C", "--no-sync"],
                       preexec_fn=self._demote, check=True, capture_output=True, timeout=120)
        self.passfile = f"{self.dir}/pgpass"
        with open(self.passfile, "w") as f:
            f.write("127.0.0.1:*:*:nivaxel:nivaxel-test-password\n")
        os.chmod(self.passfile, 0o600)
        self.port = _free_port()
        self.start()

    def conninfo(self):
        return (f"postgresql://nivaxel@127.0.0.1:{self.port}/postgres?passfile={self.passfile}"
                "&connect_timeout=5")

    def start(self):
        with open(f"{self.dir}/postgres.log", "ab") as log:
            self.proc = subprocess.Popen([f"{BIN}/postgres", "-D", f"{self.dir}/data", "-p", str(self.port),
                                          "-h", "127.0.0.1", "-k", self.dir, "-c", "fsync=off"],
                                         stdout=log, stderr=log, preexec_fn=self._demote)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if subprocess.run([f"{BIN}/pg_isready", "-h", "127.0.0.1", "-p", str(self.port)],
                              capture_output=True).returncode == 0:
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.1)
        raise RuntimeError(f"PostgreSQL did not start, see {self.dir}/postgres.log")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(2)  # fast shutdown
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self.proc = None

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

