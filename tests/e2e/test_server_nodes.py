"""Three nodes on one real PostgreSQL behind Debian's haproxy, run from the
sample configuration that administrators install: stations spread over the
nodes, an alert taken by one node reaches the stations of all, and a node
killed during a fan-out to thousands of stations loses none of them."""
import os
import resource
import signal
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import wait_until  # noqa: E402
from haproxy import Haproxy, free_port  # noqa: E402
from postgres import Postgres  # noqa: E402
from stations import IDENTIFICATION, Swarm, frame  # noqa: E402
from test_alert_server import TEST_LIAISON, ServerProcess, alert_server_path  # noqa: E402
from test_server_postgres import EventStream, pg_token  # noqa: E402

# haproxy (here on 127.0.0.1) names each station's address in a PROXY header, so
# the per-address limits hold per station's machine: 20 here, to be reached.
MAX_PER_ADDRESS = 20
NODE_OPTIONS = ["--proxy-from", "127.0.0.1", "--max-per-address", str(MAX_PER_ADDRESS),
                "--offline-sweep-seconds", "2"]
# The stations' machines: 250 loopback addresses, none of them haproxy's.
MACHINES = [f"127.0.1.{i}" for i in range(1, 251)]


# Figures are read off these waits: a finer step than the Wine tests'.
def wait_for(predicate, timeout, step=0.05):
    return wait_until(predicate, timeout, step)


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(next(line for line in f if line.startswith("VmRSS:")).split()[1])


class Node:
    """One `serve --database` process; which stations it identified, from its event lines."""

    def __init__(self, name, conninfo, token, port=0, data=None):
        self.name = name
        self.server = ServerProcess(data=data, port=port, extra=["--database", conninfo, *NODE_OPTIONS])
        self.server.token = token
        self.stations = set()
        self.dropped = []
        self.claims = []

    def drain(self):
        while not self.server.events.empty():
            event = self.server.events.get_nowait()
            if event["event"] == "identified":
                self.stations.add(event["computer"])
            elif event["event"] == "disconnected" and event.get("address"):
                self.dropped.append((event["address"].rsplit(":", 1)[0], event["reason"]))
            elif event["event"] == "duplicate_claim":
                self.claims.append(event)
        return self.stations

    def drain_refusals(self, machine):
        """Why this node dropped connections from `machine` before they were
        in, since the last call (haproxy's own checks come and go meanwhile)."""
        self.drain()
        out, self.dropped = self.dropped, []
        return [reason for source, reason in out if source == machine]


class ThreeNodesBehindHaproxy(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not alert_server_path().is_file():
            raise unittest.SkipTest(f"not built: {alert_server_path()}")
        cls.pg = Postgres()
        cls.nodes, cls.proxy = [], None
        # A station is a descriptor here and in a node, two in haproxy: the
        # soft limit (often 1024) goes up to the hard one for the class.
        cls.limits = resource.getrlimit(resource.RLIMIT_NOFILE)
        hard = cls.limits[1] if cls.limits[1] != resource.RLIM_INFINITY else 1 << 20
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, cls.limits[1]))
        cls.stations = min(3000, (hard - 300) // 2)
        try:
            cls.token = pg_token(cls.pg.conninfo())
            cls.nodes = [Node(n, cls.pg.conninfo(), cls.token) for n in ("node1", "node2", "node3")]
            cls.proxy = Haproxy([n.server.port for n in cls.nodes])
            if not cls.proxy.wait_servers({n.name: "UP" for n in cls.nodes}, 20):
                raise RuntimeError(f"haproxy never saw the nodes up: {cls.proxy.servers()}")
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.proxy:
            cls.proxy.close()
        for n in cls.nodes:
            n.server.stop()
        cls.pg.close()
        resource.setrlimit(resource.RLIMIT_NOFILE, cls.limits)

    def setUp(self):
        self.swarms = []

    def tearDown(self):
        for s in self.swarms:
            s.stop()

    def swarm(self, count, prefix, silent_every=0):
        s = Swarm(("127.0.0.1", self.proxy.port), count, silent_every, prefix, MACHINES)
        self.swarms.append(s)
        return s

    def on_nodes(self, names):
        """{node: those of `names` it has identified} (before any station moves)."""
        where = {}
        for n in self.nodes:
            for name in n.drain() & names:
                where[name] = n.name
        return {n.name: {s for s, w in where.items() if w == n.name} for n in self.nodes}

    def post(self, node, subject):
        status, body = node.server.api("POST", "/api/alerts", {"author": "Accueil", "subject": subject,
                                                                "lines": ["Restez dans les salles."],
                                                                "everyone": True})
        self.assertEqual(status, 201, body)
        # Live alerts would reach the next test's stations.
        self.addCleanup(node.server.api, "POST", f"/api/alerts/{body['id']}/cancel")
        return body["id"]

    def receipts(self, node, alert_id):
        status, body = node.server.api("GET", f"/api/alerts/{alert_id}")
        self.assertEqual(status, 200, body)
        return {r["computer"]: r for r in body["receipts"]}

    def test_an_alert_posted_to_one_node_reaches_the_stations_of_all_and_their_acks_its_ledger(self):
        # leastconn spreads newcomers evenly only over nodes equally loaded.
        self.assertTrue(wait_for(lambda: all(n == 0 for _, n in self.proxy.servers().values()), 20))
        swarm = self.swarm(30, "S").start()
        names = {s.name for s in swarm.stations}
        self.assertTrue(wait_for(lambda: sum(map(len, self.on_nodes(names).values())) == 30, 20))
        spread = self.on_nodes(names)
        self.assertTrue(all(len(v) >= 5 for v in spread.values()), {k: len(v) for k, v in spread.items()})

        a = self.nodes[0]
        stream = EventStream(a.server)
        self.addCleanup(stream.close)
        posted = time.monotonic()
        alert_id = self.post(a, "Exercice")
        self.assertTrue(wait_for(lambda: all(s.alerts for s in swarm.stations), 10))
        self.assertTrue(all(b"Exercice" in s.alerts[0][2] for s in swarm.stations))
        last = max(s.alerts[0][0] for s in swarm.stations) - posted
        self.assertTrue(wait_for(lambda: all(self.receipts(a, alert_id).get(n, {}).get("state") == "acknowledged"
                                             for n in names), 10))
        on_c = spread["node3"]
        # Each station's own machine in the ledger, not haproxy's address.
        machine = {st.name: st.source for st in swarm.stations}
        seen_from = {n: (r["sent_address"].rsplit(":", 1)[0], r["acknowledged_address"].rsplit(":", 1)[0])
                     for n, r in self.receipts(a, alert_id).items() if n in names}
        self.assertEqual(seen_from, {n: (machine[n], machine[n]) for n in names})

        def streamed():
            return {r["computer"] for r in stream.receipts() if r["alert"] == alert_id and r["state"] == "acknowledged"}
        self.assertTrue(wait_for(lambda: on_c <= streamed(), 10), on_c - streamed())
        connections = subprocess.run(
            ["psql", self.pg.conninfo(), "-Atc", "SELECT count(*) FROM pg_stat_activity WHERE usename='nivaxel'"],
            capture_output=True, text=True, timeout=30).stdout.strip()
        crowd_served = self.one_machine_past_its_limit()
        self.assertEqual([st.name for st in swarm.stations if st.connections != 1], [])
        print(f"\n  3 nodes behind haproxy: stations per node {[len(spread[n.name]) for n in self.nodes]}; "
              f"posted on node1, the last of 30 stations had it {last * 1000:.0f} ms later; node3's "
              f"{len(on_c)} acknowledgements in node1's ledger and event stream; {int(connections) - 1} database "
              f"connections for 3 nodes")
        print(f"  the ledger names each station's own machine; one machine opening 80 connections through "
              f"haproxy was served {crowd_served} (limit {MAX_PER_ADDRESS} per node and machine), the others "
              f"untouched")

    def restart(self, node):
        """The node again on its port and data, UP in haproxy."""
        node.server.proc.stdout.close()
        node.server = ServerProcess(data=node.server.data, port=node.server.port,
                                    extra=["--database", self.pg.conninfo(), *NODE_OPTIONS])
        node.server.token = self.token
        self.assertTrue(self.proxy.wait_servers({node.name: "UP"}, 20), self.proxy.servers())

    def newcomers_land_on(self, node, prefix, survivor, alert_id):
        """A node back after the others took its stations gets the next
        ones (it holds the fewest), and serves them the live alert."""
        late = self.swarm(5, prefix).start()
        late_names = {s.name for s in late.stations}
        self.assertTrue(wait_for(lambda: len(self.on_nodes(late_names)[node.name]) == 5, 20))
        self.assertTrue(wait_for(lambda: all(s.alerts for s in late.stations), 10))
        self.assertTrue(wait_for(lambda: all(self.receipts(survivor, alert_id).get(n, {}).get("state")
                                             == "acknowledged" for n in late_names), 10))
        self.assertTrue(all(n.server.proc.poll() is None for n in self.nodes))

    def test_a_hung_node_loses_its_stations_to_the_others_and_rejoins_when_it_resumes(self):
        swarm = self.swarm(150, "H").start()
        names = {s.name for s in swarm.stations}
        self.assertTrue(wait_for(lambda: sum(map(len, self.on_nodes(names).values())) == len(names), 30))
        victim, survivor = self.nodes[2], self.nodes[0]
        lost = self.on_nodes(names)[victim.name]
        self.assertTrue(lost)
        victim.server.proc.send_signal(signal.SIGSTOP)
        stopped = time.monotonic()
        self.addCleanup(victim.server.proc.send_signal, signal.SIGCONT)
        alert_id = self.post(survivor, "Intrusion")
        # haproxy's check fails, it closes the hung node's connections, and
        # the stations come back through it to the others.
        self.assertTrue(wait_for(lambda: all(s.alerts for s in swarm.stations), 60, 0.2),
                        f"{sum(1 for s in swarm.stations if not s.alerts)} stations never got the alert")
        moved = [s for s in swarm.stations if s.name in lost]
        self.assertTrue(all(s.connections >= 2 for s in moved))
        all_moved = max(s.alerts[0][0] for s in moved) - stopped
        victim.server.proc.send_signal(signal.SIGCONT)
        resumed = time.monotonic()
        self.assertTrue(self.proxy.wait_servers({victim.name: "UP"}, 20), self.proxy.servers())
        rejoined = time.monotonic() - resumed
        self.newcomers_land_on(victim, "R", survivor, alert_id)
        print(f"\n  node3 hung (SIGSTOP) with {len(lost)} of 150 stations: all of them held the alert through "
              f"the others {all_moved:.1f} s later; after SIGCONT it was UP in haproxy in {rejoined:.1f} s and "
              f"took new stations")

    def test_the_stations_of_a_killed_node_are_marked_offline_by_a_surviving_nodes_sweep(self):
        victim, survivor = self.nodes[2], self.nodes[0]
        # Straight to the node, not through haproxy: once it is gone they reach no other.
        direct = Swarm(("127.0.0.1", victim.server.port), 5, prefix="D", sources=MACHINES[:5])
        self.swarms.append(direct)
        direct.start()

        def online():
            stations = survivor.server.api("GET", "/api/stations?q=D&limit=10000")[1]["stations"]
            return {st["computer"] for st in stations if st["online"] and st["computer"] in names}
        names = {s.name for s in direct.stations}
        self.assertTrue(wait_for(lambda: online() == names, 20))
        victim.server.proc.send_signal(signal.SIGKILL)
        killed = time.monotonic()
        victim.server.proc.wait(10)
        self.assertTrue(wait_for(lambda: not online(), 20), online())
        swept = time.monotonic() - killed
        direct.stop()
        self.swarms.remove(direct)
        self.restart(victim)
        print(f"\n  node3 SIGKILLed with 5 stations of its own: marked offline by a surviving node's sweep "
              f"(every 2 s here) {swept:.1f} s later")

    def test_two_machines_claiming_one_station_on_two_nodes_are_logged_by_the_node_that_held_it(self):
        first, second = self.nodes[0], self.nodes[1]
        first.drain()
        first.claims.clear()

        def station(node, machine, name):
            c = socket.create_connection(("127.0.0.1", node.server.port), timeout=5, source_address=(machine, 0))
            self.addCleanup(c.close)
            c.sendall(frame(IDENTIFICATION, b"NS=" + name + b"\r\nNU=user"))
            return c

        def online_from(name):
            stations = second.server.api("GET", f"/api/stations?q={name}")[1]["stations"]
            return next((st["address"].rsplit(":", 1)[0] for st in stations if st["online"]), None)
        held = [station(first, "127.0.2.1", b"TWIN"), station(first, "127.0.2.3", b"MOVER")]
        self.assertTrue(wait_for(lambda: online_from("TWIN") and online_from("MOVER"), 10))
        # Another machine claims TWIN on another node; MOVER's own machine reconnects there.
        claims = [station(second, "127.0.2.2", b"TWIN"), station(second, "127.0.2.3", b"MOVER")]
        self.assertTrue(wait_for(lambda: online_from("TWIN") == "127.0.2.2" and online_from("MOVER"), 10))
        self.assertTrue(wait_for(lambda: first.drain() and first.claims, 5))
        time.sleep(1)
        first.drain()
        seen = [(e["computer"], e["address"].rsplit(":", 1)[0], e["online_from"]) for e in first.claims]
        print(f"\n  one station claimed on two nodes: node1 logged {seen} (a station moving from its own "
              f"machine is not)")
        self.assertEqual(seen, [("TWIN", "127.0.2.2", "127.0.2.1")])
        self.assertTrue(first.claims[0]["node"])
        # Both screens stay served.
        for c in held + claims:
            c.sendall(frame(TEST_LIAISON))
            self.assertEqual(len(c.recv(24)), 24)

    def one_machine_past_its_limit(self):
        """How many of 80 connections from one machine the nodes keep; the
        other machines' stations stay served throughout."""
        for n in self.nodes:
            n.drain_refusals("127.0.9.9")
        crowd = []
        for i in range(80):
            c = socket.create_connection(("127.0.0.1", self.proxy.port), timeout=5, source_address=("127.0.9.9", 0))
            self.addCleanup(c.close)
            c.sendall(frame(IDENTIFICATION, b"NS=CROWD%d\r\nNU=user" % i))
            crowd.append(c)

        def alive(c):
            c.sendall(frame(TEST_LIAISON))
            try:
                return len(c.recv(24)) > 0
            except OSError:
                return False
        served = sum(alive(c) for c in crowd)
        self.assertLessEqual(served, MAX_PER_ADDRESS * len(self.nodes))
        self.assertGreaterEqual(served, MAX_PER_ADDRESS)
        refused = []

        def collect():  # event lines come once their turn is written
            refused.extend(r for n in self.nodes for r in n.drain_refusals("127.0.9.9"))
            return len(refused) >= len(crowd) - served
        self.assertTrue(wait_for(collect, 5), refused)
        self.assertEqual(len(refused), len(crowd) - served)
        self.assertTrue(all(r == "too many connections from one address" for r in refused), refused)
        return served

    def test_a_node_killed_during_a_fan_out_loses_no_station_and_rejoins(self):
        count = self.stations
        log_start = len(self.proxy.log_text())  # an earlier test took node3 down on purpose
        swarm = self.swarm(count, "K", silent_every=10)  # one reader in ten never ticks the box
        names = {s.name for s in swarm.stations}
        idle = {n.name: rss_kib(n.server.proc.pid) for n in self.nodes}
        connecting = time.monotonic()
        swarm.start()
        self.assertTrue(wait_for(lambda: sum(map(len, self.on_nodes(names).values())) == count, 60, 0.2))
        connected = time.monotonic() - connecting
        spread = self.on_nodes(names)
        victim, survivor = self.nodes[0], self.nodes[1]
        lost = spread[victim.name]
        per_station = [(rss_kib(n.server.proc.pid) - idle[n.name]) * 1024 / len(spread[n.name]) for n in self.nodes]
        proxy_kib = self.proxy.rss_kib()

        # SIGKILL as soon as the first of its stations reads the alert: the
        # rest of its fan-out, its acknowledgements and its ledger are cut.
        killed = {}

        def kill_on_first(station):
            if station.name in lost and not killed:
                victim.server.proc.send_signal(signal.SIGKILL)
                killed["at"] = time.monotonic()
                killed["holding"] = sum(1 for s in swarm.stations if s.name in lost and s.alerts)
        swarm.on_alert = kill_on_first
        posted = time.monotonic()
        alert_id = self.post(survivor, "Confinement")
        answered = time.monotonic() - posted
        self.assertTrue(wait_for(lambda: killed, 10), "no station of the victim got the alert")
        victim.server.proc.wait(10)

        acknowledging = {s.name for s in swarm.stations if s.acknowledges}
        silent = names - acknowledging

        def settled():
            receipts = self.receipts(survivor, alert_id)
            return all(receipts.get(n, {}).get("state") == "acknowledged" for n in acknowledging)
        self.assertTrue(wait_for(lambda: all(s.alerts for s in swarm.stations), 60, 0.2),
                        f"{sum(1 for s in swarm.stations if not s.alerts)} stations never got the alert")
        self.assertTrue(wait_for(settled, 60, 0.5))
        settled_after = time.monotonic() - posted
        ledger = self.receipts(survivor, alert_id)
        self.assertEqual({n: ledger[n]["state"] for n in silent}, {n: "sent" for n in silent})
        ticked = {s.name for s in swarm.stations if s.acks_sent}
        self.assertEqual([n for n, r in ledger.items() if r["state"] == "acknowledged" and n not in ticked], [])
        # Its silent readers had it again on their new connection, through another node.
        first_moved = {n: next((t for t, conn, _ in swarm.stations[int(n[1:])].alerts if conn > 1), None)
                       for n in lost & silent}
        self.assertNotIn(None, first_moved.values())
        redelivered = max(first_moved.values()) - killed["at"]
        reached = max(swarm.stations[int(n[1:])].alerts[0][0] for n in lost) - killed["at"]

        # Back on its port and data: haproxy takes it in again, the others run on.
        restarted = time.monotonic()
        self.restart(victim)
        rejoined = time.monotonic() - restarted
        self.newcomers_land_on(victim, "L", survivor, alert_id)
        # Busy with the moved stations, the survivors still answered haproxy's checks in time.
        self.assertNotRegex(self.proxy.log_text()[log_start:], r"nodes/node[23] is DOWN")
        print(f"\n  {count} stations through haproxy, per node {[len(spread[n.name]) for n in self.nodes]}, "
              f"connected and identified in {connected:.1f} s; memory per station: nodes "
              f"{', '.join(f'{b:.0f}' for b in per_station)} B, haproxy {proxy_kib * 1024 / count:.0f} B")
        print(f"  the API call to node2 answered in {answered * 1000:.0f} ms; node1 SIGKILLed "
              f"{(killed['at'] - posted) * 1000:.0f} ms after it, when {killed['holding']} of its {len(lost)} "
              f"stations held the alert; all held it {max(reached, 0):.2f} s after the kill, its silent readers "
              f"had it again through another node {redelivered:.2f} s after; the ledger had all "
              f"{len(acknowledging)} acknowledgements {settled_after:.2f} s after the call, the {len(silent)} "
              f"silent still 'sent'")
        print(f"  node1 restarted: UP in haproxy after {rejoined:.1f} s; 5 new stations on it got the alert and "
              f"their acknowledgements reached the ledger; node2 and node3 never restarted")

class EveryNodeDown(unittest.TestCase):
    def test_a_station_is_held_while_no_node_is_up_and_passed_to_the_first_that_comes_back(self):
        if not alert_server_path().is_file():
            self.skipTest(f"not built: {alert_server_path()}")
        port = free_port()
        proxy = Haproxy([port])
        self.addCleanup(proxy.close)
        self.assertTrue(proxy.wait_servers({"node1": "DOWN"}, 20), proxy.servers())
        station = socket.create_connection(("127.0.0.1", proxy.port), timeout=5)
        self.addCleanup(station.close)
        opened = time.monotonic()
        station.sendall(frame(IDENTIFICATION, b"NS=HELD\r\nNU=user"))
        node = ServerProcess(port=port, extra=["--proxy-from", "127.0.0.1"])
        self.addCleanup(node.stop)
        identified = node.wait_event("identified", 20)
        held = time.monotonic() - opened
        print(f"\n  every node down: the station's connection held {held:.1f} s, then passed to the node "
              f"that came back")
        # Closed at once instead, it would never have reached the node.
        self.assertEqual((identified or {}).get("computer"), "HELD")


if __name__ == "__main__":
    unittest.main()
