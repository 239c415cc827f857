#!/usr/bin/env python3
"""A simulated workstation speaking the client's frames to the alert server.

    station.py --port PORT --computer NAME --user NAME

Prints one JSON line per event on stdout ({"event": "identified"}, {"event":
"alert", "text": ...}); reads commands on stdin: "ack" sends AlerteLue,
"quit" closes the connection. Answers the server's probes by itself.
"""
import argparse
import json
import select
import socket
import struct
import sys

SIGNATURE = 123456
IDENTIFICATION, ALERTE, ALERTE_LUE = 0x1000, 0x1001, 0x1002
TEST_SERVEUR, REPONSE_TEST_SERVEUR = 0x1005, 0x1006
HEADER = struct.Struct("<iiiiii")


def frame(kind, block1=b""):
    return HEADER.pack(SIGNATURE, kind, 0, 0, len(block1), 0) + block1


def say(**event):
    print(json.dumps(event), flush=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--computer", required=True)
    p.add_argument("--user", required=True)
    a = p.parse_args()
    sock = socket.create_connection((a.host, a.port), timeout=10)
    sock.settimeout(None)
    ident = b"NS=" + a.computer.encode("cp1252") + b"\r\nNU=" + a.user.encode("cp1252")
    sock.sendall(frame(IDENTIFICATION, ident))
    say(event="identified")
    buf = b""
    while True:
        ready, _, _ = select.select([sock, sys.stdin], [], [], 30)
        if sys.stdin in ready:
            cmd = sys.stdin.readline().strip()
            if cmd in ("", "quit"):
                break
            if cmd == "ack":
                sock.sendall(frame(ALERTE_LUE))
                say(event="acked")
        if sock in ready:
            data = sock.recv(65536)
            if not data:
                say(event="closed")
                return
            buf += data
            while len(buf) >= HEADER.size:
                sig, kind, _, _, n1, n2 = HEADER.unpack_from(buf)
                if sig != SIGNATURE or n1 < 0 or n2 < 0:
                    say(event="bad frame")
                    return
                if len(buf) < HEADER.size + n1 + n2:
                    break
                block1 = buf[HEADER.size:HEADER.size + n1]
                buf = buf[HEADER.size + n1 + n2:]
                if kind == ALERTE:
                    say(event="alert", text=block1.decode("cp1252", "replace"))
                elif kind == TEST_SERVEUR:
                    sock.sendall(frame(REPONSE_TEST_SERVEUR))
    sock.close()


if __name__ == "__main__":
    main()
