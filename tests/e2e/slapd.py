"""A real OpenLDAP server for the directory tests: Debian's slapd in a
temporary folder on a loopback port, seeded from an LDIF, stopped by pid."""
import os
import shutil
import socket
import subprocess
import tempfile
import time

BASE = "dc=example,dc=org"
ROOT_DN, ROOT_PW = "cn=admin," + BASE, "root-secret"
SERVICE_DN, SERVICE_PW = "cn=svc-nivaxel," + BASE, "svc-secret"


def user_dn(uid):
    return f"uid={uid},ou=people,{BASE}"


def computer_dn(cn):
    return f"cn={cn},ou=computers,{BASE}"


def group_dn(cn):
    return f"cn={cn},ou=groups,{BASE}"


def seed(users, computers, groups):
    """LDIF text: people (password pw-UID), devices, groupOfNames."""
    out = [f"dn: {BASE}\nobjectClass: dcObject\nobjectClass: organization\no: Example\ndc: example\n"]
    out += [f"dn: ou={ou},{BASE}\nobjectClass: organizationalUnit\nou: {ou}\n"
            for ou in ("people", "computers", "groups")]
    out.append(f"dn: {SERVICE_DN}\nobjectClass: person\ncn: svc-nivaxel\nsn: s\nuserPassword: {SERVICE_PW}\n")
    out += [f"dn: {user_dn(u)}\nobjectClass: inetOrgPerson\nuid: {u}\ncn: {u}\nsn: {u}\nuserPassword: pw-{u}\n"
            for u in users]
    out += [f"dn: {computer_dn(c)}\nobjectClass: device\ncn: {c}\n" for c in computers]
    for name, members in groups.items():
        out.append(f"dn: {group_dn(name)}\nobjectClass: groupOfNames\ncn: {name}\n"
                   + "".join(f"member: {m}\n" for m in members))
    return "\n".join(out)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Slapd:
    def __init__(self, ldif):
        self.dir = tempfile.mkdtemp(prefix="nivaxel-slapd-")
        self.port = free_port()
        self.url = f"ldap://127.0.0.1:{self.port}"
        self.proc = None
        with open(os.path.join(self.dir, "slapd.conf"), "w") as f:
            f.write("include /etc/ldap/schema/core.schema\ninclude /etc/ldap/schema/cosine.schema\n"
                    "include /etc/ldap/schema/inetorgperson.schema\n"
                    "modulepath /usr/lib/ldap\nmoduleload back_mdb\n"
                    f"pidfile {self.dir}/slapd.pid\n"
                    "sizelimit size.soft=100 size.hard=100 size.prtotal=unlimited\n"
                    f"database mdb\nmaxsize 1073741824\nsuffix \"{BASE}\"\n"
                    f"rootdn \"{ROOT_DN}\"\nrootpw {ROOT_PW}\ndirectory {self.dir}/db\n"
                    "index objectClass,member,uid,cn eq\n"
                    "access to attrs=userPassword by anonymous auth by * none\n"
                    "access to * by users read by * none\n")
        with open(os.path.join(self.dir, "seed.ldif"), "w") as f:
            f.write(ldif)
        os.mkdir(os.path.join(self.dir, "db"))
        subprocess.run(["slapadd", "-q", "-f", f"{self.dir}/slapd.conf", "-l", f"{self.dir}/seed.ldif"],
                       check=True, capture_output=True, timeout=600)
        self.start()

    def start(self):
        log = open(os.path.join(self.dir, "slapd.log"), "ab")
        self.proc = subprocess.Popen(["/usr/sbin/slapd", "-d", "0", "-f", f"{self.dir}/slapd.conf",
                                      "-h", self.url + "/"], stdout=log, stderr=log)
        log.close()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if subprocess.run(["ldapsearch", "-x", "-LLL", "-H", self.url, "-b", "", "-s", "base"],
                              capture_output=True, timeout=10).returncode == 0:
                return
            time.sleep(0.1)
        raise RuntimeError("slapd did not start")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self.proc = None

    def modify(self, ldif):
        subprocess.run(["ldapmodify", "-x", "-H", self.url, "-D", ROOT_DN, "-w", ROOT_PW],
                       input=ldif.encode(), check=True, capture_output=True, timeout=30)

    def config(self, path, **extra):
        """A server-side configuration file for this directory (OpenLDAP values)."""
        folder = os.path.dirname(path)
        with open(os.path.join(folder, "bind.pw"), "w") as f:
            f.write(SERVICE_PW + "\n")
        keys = {"url": self.url, "bind_dn": SERVICE_DN, "bind_password_file": "bind.pw", "base_dn": BASE,
                "user_attribute": "uid", "user_filter": "(objectClass=inetOrgPerson)",
                "computer_filter": "(objectClass=device)", "group_class": "groupOfNames",
                "domains": "EXAMPLE, example.org", "timeout_seconds": "2"}
        keys.update(extra)
        with open(path, "w") as f:
            f.write("".join(f"{k} = {v}\n" for k, v in keys.items()))
        return path

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)
