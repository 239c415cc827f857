// A real OpenLDAP server for the directory tests: Debian's slapd, started
// in a temporary folder on loopback ports with its own configuration, a
// test CA made with openssl, and the seed below; stopped by its pid.
#pragma once

#include "Loopback.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>
#include <unistd.h>

namespace nvtest {

inline const char kDirectoryBase[] = "dc=example,dc=org";
inline const char kDirectoryRoot[] = "cn=admin,dc=example,dc=org";
inline const char kDirectoryRootPassword[] = "root-secret";

// People, computers, nested groups (Engineering and Ops hold each other;
// LoopA and LoopB only each other) and the console's groups.
inline const char kSeedLdif[] = R"(dn: dc=example,dc=org
objectClass: dcObject
objectClass: organization
o: Example
dc: example

dn: ou=people,dc=example,dc=org
objectClass: organizationalUnit
ou: people

dn: ou=computers,dc=example,dc=org
objectClass: organizationalUnit
ou: computers

dn: ou=groups,dc=example,dc=org
objectClass: organizationalUnit
ou: groups

dn: cn=svc-nivaxel,dc=example,dc=org
objectClass: person
cn: svc-nivaxel
sn: service
userPassword: svc-secret
)";

inline std::string Person(const std::string& uid) {
    return "dn: uid=" + uid + ",ou=people,dc=example,dc=org\nobjectClass: inetOrgPerson\nuid: " + uid +
           "\ncn: " + uid + "\nsn: " + uid + "\nuserPassword: pw-" + uid + "\n\n";
}
inline std::string Computer(const std::string& cn) {
    return "dn: cn=" + cn + ",ou=computers,dc=example,dc=org\nobjectClass: device\ncn: " + cn + "\n\n";
}
inline std::string GroupEntry(const std::string& cn, const std::vector<std::string>& members) {
    std::string s = "dn: cn=" + cn + ",ou=groups,dc=example,dc=org\nobjectClass: groupOfNames\ncn: " + cn + "\n";
    for (const std::string& m : members)
        s += "member: " + m + "\n";
    return s + "\n";
}
inline std::string UserDn(const std::string& uid) { return "uid=" + uid + ",ou=people,dc=example,dc=org"; }
inline std::string ComputerDn(const std::string& cn) { return "cn=" + cn + ",ou=computers,dc=example,dc=org"; }
inline std::string GroupDn(const std::string& cn) { return "cn=" + cn + ",ou=groups,dc=example,dc=org"; }

inline std::string SeedLdif() {
    std::string s = std::string(kSeedLdif) + "\n";
    for (const char* u : {"alice", "bob", "carol", "dave", "eve"})
        s += Person(u);
    for (const char* c : {"PC01", "PC02", "PC03"})
        s += Computer(c);
    s += GroupEntry("Staff", {UserDn("alice"), GroupDn("Engineering")});
    s += GroupEntry("Engineering", {UserDn("bob"), ComputerDn("PC01"), GroupDn("Ops")});
    s += GroupEntry("Ops", {UserDn("carol"), GroupDn("Engineering")});
    s += GroupEntry("LoopA", {UserDn("dave"), GroupDn("LoopB")});
    s += GroupEntry("LoopB", {GroupDn("LoopA")});
    s += GroupEntry("AdminsInner", {UserDn("alice")});
    s += GroupEntry("ConsoleAdmins", {GroupDn("AdminsInner")});
    s += GroupEntry("ConsoleOperators", {UserDn("bob")});
    s += GroupEntry("ConsoleViewers", {UserDn("carol"), UserDn("dave")});
    return s;
}

inline std::string Run(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(("(" + command + ") 2>&1").c_str(), "r")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        if (::pclose(p) != 0)
            throw std::runtime_error(command + " failed: " + out);
    }
    return out;
}

inline std::uint16_t FreePort() {
    Listener l;
    return l.port();
}

class Slapd {
public:
    // extraLdif is appended to the seed (a benchmark's generated people).
    explicit Slapd(const std::string& extraLdif = "") {
        char path[] = "/tmp/nivaxel-slapd-XXXXXX";
        if (!::mkdtemp(path))
            throw std::runtime_error("mkdtemp");
        dir_ = path;
        ldapPort_ = FreePort();
        ldapsPort_ = FreePort();
        try {
            MakeCertificates();
            Write("slapd.conf", Config());
            Write("seed.ldif", SeedLdif() + extraLdif);
            Run("mkdir -p " + dir_ + "/db && slapadd -q -f " + dir_ + "/slapd.conf -l " + dir_ + "/seed.ldif");
            Start();
        } catch (...) {
            Stop();
            std::system(("rm -rf " + dir_).c_str());
            throw;
        }
    }
    ~Slapd() {
        Stop();
        Run("rm -rf " + dir_);
    }

    void Start() {
        if (pid_ > 0)
            return;
        const std::string urls = "ldap://127.0.0.1:" + std::to_string(ldapPort_) + "/ ldaps://127.0.0.1:" +
                                 std::to_string(ldapsPort_) + "/";
        pid_ = ::fork();
        if (pid_ == 0) {
            const int log = ::open((dir_ + "/slapd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(log, 1);
            ::dup2(log, 2);
            ::execl("/usr/sbin/slapd", "slapd", "-d", "0", "-f", (dir_ + "/slapd.conf").c_str(), "-h",
                    urls.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Ready once it answers a search.
        for (int i = 0; i < 100; ++i) {
            if (std::system(("ldapsearch -x -LLL -H " + Url() + " -b '' -s base >/dev/null 2>&1").c_str()) == 0)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        throw std::runtime_error("slapd did not start: " + Run("cat " + dir_ + "/slapd.log"));
    }
    void Stop() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    // Applies an LDIF of changes as the directory's administrator.
    void Modify(const std::string& ldif) {
        Write("change.ldif", ldif);
        Run("ldapmodify -x -H " + Url() + " -D " + kDirectoryRoot + " -w " + kDirectoryRootPassword + " -f " +
            dir_ + "/change.ldif");
    }

    std::string Url() const { return "ldap://127.0.0.1:" + std::to_string(ldapPort_); }
    std::string SecureUrl() const { return "ldaps://127.0.0.1:" + std::to_string(ldapsPort_); }
    std::string Dir() const { return dir_; }
    std::string CaFile() const { return dir_ + "/ca.pem"; }
    std::string OtherCaFile() const { return dir_ + "/other-ca.pem"; }
    std::uint16_t SecurePort() const { return ldapsPort_; }
    void Write(const std::string& name, const std::string& text) const {
        std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
    }

private:
    void MakeCertificates() {
        const std::string d = dir_;
        // The server's certificate names 127.0.0.1 only: "localhost" is a
        // name that does not match.
        Run("cd " + d +
            " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=test-ca -keyout ca.key -out ca.pem"
            " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=other-ca -keyout other-ca.key"
            " -out other-ca.pem"
            " && openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key -out server.csr"
            " && printf 'subjectAltName=IP:127.0.0.1\\n' > san.ext"
            " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2"
            " -extfile san.ext -out server.pem && chmod 644 server.key");
    }
    std::string Config() const {
        const std::string d = dir_;
        return "include /etc/ldap/schema/core.schema\n"
               "include /etc/ldap/schema/cosine.schema\n"
               "include /etc/ldap/schema/inetorgperson.schema\n"
               "modulepath /usr/lib/ldap\nmoduleload back_mdb\n"
               "pidfile " + d + "/slapd.pid\n"
               "TLSCACertificateFile " + d + "/ca.pem\n"
               "TLSCertificateFile " + d + "/server.pem\n"
               "TLSCertificateKeyFile " + d + "/server.key\n"
               // Unpaged searches stop at 100 entries; paged ones may read all.
               "sizelimit size.soft=100 size.hard=100 size.prtotal=unlimited\n"
               "database mdb\nmaxsize 1073741824\n"
               "suffix \"" + std::string(kDirectoryBase) + "\"\n"
               "rootdn \"" + kDirectoryRoot + "\"\nrootpw " + kDirectoryRootPassword + "\n"
               "directory " + d + "/db\n"
               "index objectClass,member,uid,cn eq\n"
               "access to attrs=userPassword by anonymous auth by * none\n"
               "access to * by users read by * none\n";
    }

    std::string dir_;
    std::uint16_t ldapPort_ = 0, ldapsPort_ = 0;
    pid_t pid_ = -1;
};

} // namespace nvtest
