"""Other systems and the alert server, with the real programs: Debian's
prometheus-alertmanager sending its webhook, CAP documents posted and the
CAP feed checked with xmllint against the schema, and the outgoing signed
webhooks received by a receiver that is down for a while, across a server
restart. Native only.
"""
import hashlib
import hmac
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request
import xml.etree.ElementTree as ET
from datetime import datetime, timedelta, timezone
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_alert_server import ALERTE, ALERTE_LUE, FakeClient, ServerProcess, alert_server_path  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
SCHEMA = ROOT / "server" / "cap" / "CAP-v1.2.xsd"
ALERTMANAGER = shutil.which("prometheus-alertmanager")
CAP_NS = "urn:oasis:names:tc:emergency:cap:1.2"
SECRET = "s3cr3t-for-the-receiver"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(check, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(step)
    return None


def cap_time(t):
    return t.astimezone(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S-00:00")


def cap_document(identifier, area, msg_type="Alert", references=None):
    now = datetime.now(timezone.utc)
    refs = f"<references>{references}</references>" if references else ""
    return f"""<?xml version="1.0" encoding="UTF-8"?>
<alert xmlns="{CAP_NS}"><identifier>{identifier}</identifier><sender>prefecture@example.org</sender>
<sent>{cap_time(now)}</sent><status>Actual</status><msgType>{msg_type}</msgType><scope>Public</scope>{refs}
<info><language>fr-FR</language><category>Met</category><event>Inondation</event><urgency>Immediate</urgency>
<severity>Extreme</severity><certainty>Observed</certainty><expires>{cap_time(now + timedelta(hours=2))}</expires>
<senderName>Pr\u00e9fecture</senderName><headline>Crue de la rivi\u00e8re</headline>
<description>Montez aux \u00e9tages.</description><area><areaDesc>{area}</areaDesc></area></info></alert>""".encode()


class Receiver:
    """A webhook receiver on a fixed loopback port that checks each signature."""

    def __init__(self, port):
        self.events, self.bad = [], []
        outer = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                expected = "sha256=" + hmac.new(SECRET.encode(), body, hashlib.sha256).hexdigest()
                if hmac.compare_digest(expected, self.headers.get("X-Nivaxel-Signature", "")):
                    outer.events.append(json.loads(body))
                else:
                    outer.bad.append(body)
                self.send_response(204)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def named(self, event):
        return [e for e in self.events if e["event"] == event]

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class IntegrationCase(unittest.TestCase):
    def setUp(self):
        if not alert_server_path().is_file():
            self.skipTest(f"not built: {alert_server_path()}")
        self.tmp = tempfile.mkdtemp(prefix="nivaxel-integrations-")
        self.cleanups = []

    def tearDown(self):
        for c in reversed(self.cleanups):
            c()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def server(self, config, data=None):
        path = os.path.join(self.tmp, "integrations.conf")
        with open(path, "w") as f:
            f.write(config)
        s = ServerProcess(data=data, extra=["--integrations", path])
        self.cleanups.append(lambda: s.stop(keep_data=True))
        return s

    def station(self, server, computer):
        c = FakeClient(server.port, computer=computer, user=b"anne")
        self.cleanups.append(c.close)
        return c


class AlertmanagerToStations(IntegrationCase):
    def test_a_firing_group_reaches_the_stations_once_and_resolving_cancels_it(self):
        if not ALERTMANAGER:
            self.skipTest("prometheus-alertmanager is not installed")
        s = self.server("alertmanager.subject = {labels.alertname} sur {labels.instance}\n"
                        "alertmanager.line = {annotations.summary}\n")
        self.assertEqual(s.api("PUT", "/api/groups/exploitation", {"computers": ["PC1", "PC2"]})[0], 200)
        pcs = [self.station(s, b"PC1"), self.station(s, b"PC2")]
        am_port = free_port()
        config = os.path.join(self.tmp, "alertmanager.yml")
        with open(config, "w") as f:
            f.write(f"""route:
  receiver: nivaxel
  group_by: [alertname]
  group_wait: 1s
  group_interval: 1s
  repeat_interval: 1s
receivers:
  - name: nivaxel
    webhook_configs:
      - url: http://{s.admin}/api/hooks/alertmanager
        send_resolved: true
        http_config:
          authorization:
            type: Bearer
            credentials: {s.token}
""")
        am = subprocess.Popen([ALERTMANAGER, f"--config.file={config}", f"--storage.path={self.tmp}/am",
                               f"--web.listen-address=127.0.0.1:{am_port}", "--cluster.listen-address=",
                               "--log.level=warn"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def stop_am():
            am.send_signal(signal.SIGTERM)
            try:
                am.wait(10)
            except subprocess.TimeoutExpired:
                am.kill()
                am.wait(5)
        self.cleanups.append(stop_am)
        base = f"http://127.0.0.1:{am_port}"
        self.assertTrue(wait_for(lambda: self._get(base + "/-/ready"), 20), "alertmanager did not start")

        labels = {"alertname": "DisquePlein", "instance": "db1", "nivaxel_target": "exploitation"}
        pushed = time.monotonic()
        self._push(base, labels, ends=None)
        for pc in pcs:
            kind, text, _ = pc.read_frame(timeout=20)
            self.assertEqual(kind, ALERTE)
            self.assertIn(b"DisquePlein sur db1", text)
            self.assertIn(b"disque presque plein", text)
        print(f"alertmanager push to both stations: {time.monotonic() - pushed:.2f} s")
        # repeat_interval is 1 s: Alertmanager sends the group again, the stations see nothing new.
        self.assertTrue(pcs[0].nothing_within(3))
        status, alerts = s.api("GET", "/api/alerts")
        self.assertEqual(alerts["total"], 1, alerts)
        alert_id = alerts["alerts"][0]["id"]

        self._push(base, labels, ends=datetime.now(timezone.utc) - timedelta(seconds=1))
        cancelled = wait_for(lambda: s.api("GET", f"/api/alerts/{alert_id}")[1]["state"] == "cancelled", 20)
        self.assertTrue(cancelled, "resolving the group did not cancel the alert")
        print(f"resolved to cancelled: {time.monotonic() - pushed:.2f} s after the push")

    @staticmethod
    def _get(url):
        try:
            with urllib.request.urlopen(url, timeout=2) as r:
                return r.status == 200
        except OSError:
            return False

    @staticmethod
    def _push(base, labels, ends):
        alert = {"labels": labels, "annotations": {"summary": "disque presque plein"},
                 "startsAt": (datetime.now(timezone.utc) - timedelta(seconds=5)).isoformat()}
        if ends:
            alert["endsAt"] = ends.isoformat()
        req = urllib.request.Request(base + "/api/v2/alerts", data=json.dumps([alert]).encode(), method="POST",
                                     headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=10) as r:
            assert r.status == 200, r.status


class CapInAndOut(IntegrationCase):
    def test_documents_reach_stations_and_the_feed_passes_the_schema(self):
        s = self.server("cap.map.area = Vall\u00e9e du Rh\u00f4ne -> riverains\n")
        self.assertEqual(s.api("PUT", "/api/groups/riverains", {"computers": ["PC1"]})[0], 200)
        pc = self.station(s, b"PC1")
        status, made = s.api("POST", "/api/cap", raw=cap_document("crue-1", "vall\u00e9e du rh\u00f4ne"))
        self.assertEqual(status, 201, made)
        kind, text, _ = pc.read_frame()
        self.assertEqual(kind, ALERTE)
        self.assertIn("Crue de la rivi\u00e8re".encode("cp1252"), text)
        status, again = s.api("POST", "/api/cap", raw=cap_document("crue-1", "vall\u00e9e du rh\u00f4ne"))
        self.assertEqual((status, again["duplicate"]), (200, True))
        status, updated = s.api("POST", "/api/cap", raw=cap_document(
            "crue-2", "Vall\u00e9e du Rh\u00f4ne", "Update", "prefecture@example.org,crue-1,x"))
        self.assertEqual((status, updated["cancelled"]), (201, [made["alert"]["id"]]), updated)
        status, refused = s.api("POST", "/api/cap", raw=cap_document("crue-3", "Ailleurs"))
        self.assertEqual(status, 422)
        self.assertIn("no group matches", refused["error"])
        status, refused = s.api("POST", "/api/cap", raw=b"<alert>")
        self.assertEqual(status, 400)

        status, feed = s.api("GET", "/api/cap/feed")
        self.assertEqual(status, 200)
        entries = ET.fromstring(feed.encode()).findall(f".//{{{CAP_NS}}}alert")
        self.assertEqual(len(entries), 2)
        for i, entry in enumerate(entries):
            path = os.path.join(self.tmp, f"entry{i}.xml")
            ET.ElementTree(entry).write(path, xml_declaration=True, encoding="UTF-8")
            check = subprocess.run(["xmllint", "--noout", "--schema", str(SCHEMA), path],
                                   capture_output=True, timeout=30)
            self.assertEqual(check.returncode, 0, check.stderr.decode())
        print(f"feed: {len(entries)} CAP entries valid against the schema")


class SignedWebhooks(IntegrationCase):
    def test_events_are_signed_and_survive_a_receiver_outage_and_a_restart(self):
        port = free_port()
        config = (f"webhook.url = http://127.0.0.1:{port}/hook\nwebhook.secret = {SECRET}\n"
                  "webhook.retry_min_ms = 200\nwebhook.retry_max_ms = 1000\nwebhook.timeout_ms = 1000\n")
        s = self.server(config)
        status, made = s.api("POST", "/api/alerts", {"author": "Accueil", "subject": "Essai", "lines": ["L"],
                                                     "computers": ["PC1"]})
        self.assertEqual(status, 201)
        self.assertIsNotNone(s.wait_event("webhook_failed", 10), "no failed attempt was logged")
        s.stop(keep_data=True)

        s = self.server(config, data=s.data)
        receiver = Receiver(port)
        self.cleanups.append(receiver.close)
        self.assertTrue(wait_for(lambda: receiver.named("alert.created"), 15),
                        "the queued event was not delivered after the restart")
        self.assertEqual(receiver.named("alert.created")[0]["data"]["id"], made["id"])

        pc = self.station(s, b"PC1")
        self.assertEqual(pc.read_frame()[0], ALERTE)
        pc.send(ALERTE_LUE)
        self.assertTrue(wait_for(lambda: receiver.named("alert.acknowledged"), 15), receiver.events)
        self.assertEqual(receiver.named("receipt.acknowledged")[0]["data"]["computer"], "PC1")
        # An alert that expires before anyone reads it is reported once.
        status, short = s.api("POST", "/api/alerts", {"author": "Accueil", "subject": "Court", "lines": ["L"],
                                                      "computers": ["PC-absent"], "expires_in": 1})
        self.assertEqual(status, 201)
        expired = wait_for(lambda: receiver.named("alert.expired"), 15)
        self.assertTrue(expired, receiver.events)
        self.assertEqual([e["data"]["id"] for e in expired], [short["id"]])
        self.assertEqual(receiver.bad, [])
        print(f"webhooks received with a valid signature: {len(receiver.events)}, bad: {len(receiver.bad)}")


if __name__ == "__main__":
    unittest.main()
