"""The real client under Wine with a fault-injection proxy before the alert server.

The client's keep-alive interval and read limit are shortened through its test
environment variables, so that a reset or a stall is noticed in seconds.
"""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from client_alert_server import AlertServer, require_alert_server  # noqa: E402
from fault_proxy import FaultProxy, server_outage  # noqa: E402
from test_client import wait_for  # noqa: E402

TITLE = harness.CLIENT_TITLE
PROBE_MS = 2000      # plus the client's own draw of 0 to 10 s
READ_LIMIT_MS = 3000
SUBJECT, SEEN, CLOSE_ALERT = 118, 121, 122


class FaultCase(unittest.TestCase):
    def start(self):
        harness.require_programs(self, "Nivaxel.exe")
        require_alert_server(self)
        self.server = AlertServer()
        self.addCleanup(lambda: self.server.stop())
        self.proxy = FaultProxy(self.server.port)
        self.addCleanup(self.proxy.close)
        self.wine = harness.Prefix(self.id())
        self.addCleanup(self.wine.close)
        self.wine.reg_set(harness.SETTINGS_KEY, "NomServeur", "127.0.0.1")
        self.wine.reg_set(harness.SETTINGS_KEY, "Port", self.proxy.port, type="REG_DWORD")
        self.client = self.wine.start(harness.program_path("Nivaxel.exe"), env={
            "NIVAXEL_TEST_SONDE_MS": str(PROBE_MS), "NIVAXEL_TEST_LECTURE_MS": str(READ_LIMIT_MS)})
        self.wine.find_window(TITLE, timeout_ms=30000)
        self.assertIsNotNone(self.server.wait_event("identified", timeout=30), "never identified")

    def restart_server(self, outage):
        self.server, back = server_outage(self.proxy, self.server, outage, AlertServer)
        return back


class ClientUnderFaults(FaultCase):
    def test_server_back_after_3_s_gets_the_retry_schedule_and_a_new_identification(self):
        self.start()
        lost = time.monotonic()
        back = self.restart_server(3)
        event = self.server.wait_event("identified", timeout=40)
        self.assertIsNotNone(event, "not identified again")
        # An immediate retry meets the refusal, the next one comes 10 s later.
        since_loss = event["_received"] - lost
        self.assertGreater(since_loss, 9, "the second attempt came before the 10 s wait")
        self.assertLess(since_loss, 10 + 5 + 5, "the second attempt did not come after 10 s")
        self.assertGreater(event["_received"], back)

    def test_stall_in_the_middle_of_an_alert_is_broken_and_the_client_identified_again(self):
        self.start()
        accepted = self.proxy.accepted
        self.proxy.cut_next_frame()
        self.assertEqual(self.server.send(author="Test", subject="Coupure", lines=["x" * 400]), 1)
        event = self.server.wait_event("identified", timeout=READ_LIMIT_MS / 1000 + 20)
        self.assertIsNotNone(event, "the stalled link held the client")
        self.assertEqual(self.proxy.accepted, accepted + 1)
        # Unacknowledged, the alert is sent again on the new link: if the
        # window shows, it is that whole alert, never the stalled half.
        if self.wine.find_window(TITLE)["visible"]:
            self.assertEqual(self.wine.control(TITLE, id=SUBJECT)["text_hex"], harness.hexs("Coupure"),
                             "half an alert was shown")

    def test_reset_while_idle_is_noticed_by_the_keep_alive(self):
        self.start()
        self.proxy.reset()
        # Windows notices it only when the next keep-alive fails; Wine's Winsock
        # may see the reset at once. Either way within one probe interval.
        event = self.server.wait_event("identified", timeout=PROBE_MS / 1000 + 10 + 10)
        self.assertIsNotNone(event, "the reset link was never replaced")

    def test_two_alerts_around_the_click_acknowledge_only_what_was_closed(self):
        self.start()
        self.assertEqual(self.server.send(author="A", subject="Un", lines=["premier"]), 1)
        self.assertTrue(wait_for(lambda: self.wine.find_window(TITLE)["visible"], 15))
        self.wine.click(TITLE, send=True, id=SEEN)
        # The second alert is on its way while the user closes the first.
        self.proxy.delay(0.05)
        self.assertEqual(self.server.send(author="A", subject="Deux", lines=["second"]), 1)
        self.wine.click(TITLE, send=True, id=CLOSE_ALERT)
        self.proxy.pass_traffic()
        shown_second = wait_for(
            lambda: self.wine.find_window(TITLE)["visible"] and
            self.wine.control(TITLE, id=SUBJECT)["text_hex"] == harness.hexs("Deux"), 15)
        self.assertTrue(shown_second, "the second alert was not shown")
        # Closing the first may acknowledge it (it was seen) at most once;
        # nothing may acknowledge the second before it is closed.
        early = 0
        while self.server.wait_event("acknowledged", timeout=1.5) is not None:
            early += 1
        self.assertLessEqual(early, 1)
        self.wine.click(TITLE, send=True, id=SEEN)
        self.wine.click(TITLE, send=True, id=CLOSE_ALERT)
        self.assertIsNotNone(self.server.wait_event("acknowledged", timeout=10),
                             "the second alert's close was not acknowledged")


if __name__ == "__main__":
    unittest.main()
