#!/usr/bin/env python3
"""Recovery figures of the alert client under Wine, printed, never asserted:

  - time from the server coming back to the client identified again, after
    outages of 1 s, 15 s and 60 s (median of --runs each); during the outage the
    fault proxy refuses new connections, so the client meets its retry schedule;
  - time from a stall in the middle of an alert frame to the client identified
    again (the product's read limit, 30 s, unless --read-limit-ms is given).

The programs timed are the shipped i686 build where the kernel runs i386 code,
else the x86_64 test build (NIVAXEL_BIN_DIR chooses otherwise): emulated code
proves behaviour, not speed.

Usage: tests/bench/client_fault_bench.py [--runs 5]
       [--outages 1,15,60] [--stalls 5]   (in a Wine session: tests/wine/session.sh)
"""
import argparse
import os
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "e2e"))
import harness  # noqa: E402
from client_alert_server import AlertServer, alert_server_path  # noqa: E402
from fault_proxy import FaultProxy, server_outage  # noqa: E402

os.environ.setdefault("NIVAXEL_BIN_DIR", str(harness.timing_bin_dir()))

TITLE = harness.CLIENT_TITLE


class Rig:
    def __init__(self, read_limit_ms):
        self.server = AlertServer()
        self.proxy = FaultProxy(self.server.port)
        self.wine = harness.Prefix("fault-bench")
        view = harness.registry_view(harness.program_path("Nivaxel.exe"))
        self.wine.reg_set(harness.SETTINGS_KEY, "NomServeur", "127.0.0.1", view=view)
        self.wine.reg_set(harness.SETTINGS_KEY, "Port", self.proxy.port, type="REG_DWORD", view=view)
        env = {"NIVAXEL_TEST_LECTURE_MS": str(read_limit_ms)} if read_limit_ms else {}
        self.wine.start(harness.program_path("Nivaxel.exe"), env=env)
        self.wine.find_window(TITLE, timeout_ms=30000)
        if self.server.wait_event("identified", timeout=30) is None:
            raise RuntimeError("the client never identified itself")

    def outage(self, seconds):
        """Seconds from the server back to the client identified again."""
        self.server, back = server_outage(self.proxy, self.server, seconds, AlertServer)
        event = self.server.wait_event("identified", timeout=200)
        if event is None:
            raise RuntimeError(f"not identified again after a {seconds} s outage")
        return event["_received"] - back

    def stall(self):
        """Seconds from the cut alert frame to the client identified again."""
        # An identification left over from an earlier round must not count for this one.
        while self.server.wait_event("identified", timeout=0.5) is not None:
            pass
        self.proxy.cut_next_frame()
        # The server still holds the earlier stalled links, half-open behind the proxy.
        if self.server.send(author="Banc", subject="Coupure", lines=["x" * 400]) < 1:
            raise RuntimeError("the alert reached no client")
        cut = time.monotonic()
        event = self.server.wait_event("identified", timeout=120)
        if event is None:
            raise RuntimeError("not identified again after the stall")
        return event["_received"] - cut

    def close(self):
        self.wine.close()
        self.proxy.close()
        self.server.stop()


def line(label, values):
    v = sorted(values)
    return (f"{label}: median {statistics.median(v):.1f} s over {len(v)} "
            f"(best {v[0]:.1f}, worst {v[-1]:.1f})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--outages", default="1,15,60")
    parser.add_argument("--stalls", type=int, default=5)
    parser.add_argument("--read-limit-ms", type=int, default=0)
    args = parser.parse_args()
    if not harness.program_path("Nivaxel.exe").is_file() or not alert_server_path().is_file():
        print("Nivaxel.exe or alert-server not built: no figures")
        return 1
    print(f"client: {harness.program_path('Nivaxel.exe')}")

    rig = Rig(args.read_limit_ms)
    try:
        for seconds in (int(s) for s in args.outages.split(",") if s):
            times = [rig.outage(seconds) for _ in range(args.runs)]
            print(line(f"outage {seconds} s, server back to identified", times), flush=True)
        if args.stalls:
            times = []
            for _ in range(args.stalls):
                times.append(rig.stall())
                print(f"  stall {len(times)}: {times[-1]:.1f} s", flush=True)
            limit = args.read_limit_ms or 30000
            print(line(f"mid-frame stall to identified (read limit {limit} ms)", times), flush=True)
    finally:
        rig.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
