"""The test slapd of the Python end-to-end tests, for the browser tests:
started from the JSON seed given as argument, then driven by JSON lines on
stdin ({"op": "stop" | "start" | "modify" | "quit"}), one answer line each."""
import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from slapd import Slapd, computer_dn, group_dn, seed, user_dn  # noqa: E402

KINDS = {"user": user_dn, "computer": computer_dn, "group": group_dn}


def dn(member):
    kind, name = member.split(":", 1)
    return KINDS[kind](name)


def main():
    entries = json.loads(sys.argv[1])
    groups = {g: [dn(m) for m in members] for g, members in entries["groups"].items()}
    ldap = Slapd(seed(entries["users"], entries.get("computers", []), groups))
    try:
        ldap.config(entries["config"], **entries.get("extra", {}))
        print(json.dumps({"url": ldap.url}), flush=True)
        for line in sys.stdin:
            cmd = json.loads(line)
            try:
                if cmd["op"] == "quit":
                    break
                if cmd["op"] == "stop":
                    ldap.stop()
                elif cmd["op"] == "start":
                    ldap.start()
                elif cmd["op"] == "modify":
                    ldap.modify(cmd["ldif"].replace("{group}", group_dn(cmd.get("group", "")))
                                .replace("{user}", user_dn(cmd.get("user", ""))))
                print(json.dumps({"ok": True}), flush=True)
            except Exception as e:  # the test reads the reason
                print(json.dumps({"ok": False, "error": str(e)}), flush=True)
    finally:
        ldap.close()


if __name__ == "__main__":
    main()
