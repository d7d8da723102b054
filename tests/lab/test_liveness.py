"""Ending streaming sessions never stalls tarn's loop: the viewer gone, or
alive but no longer reading, when do_tarn_clean arrives (the bus showing the
session streaming before); and SIGTERM with eight streams. A loop probe asks
get_tarn_info every 50 ms meanwhile; the bound is generous on purpose
(docs/reliability.md has the real figures)."""

import signal
import socket
import time
import unittest

from loop_probe import LoopProbe, record
from roads import REQUEST, Lab, Road, bus_session, start_device, start_media
from tarn_daemon import inheritable_fds, wait_until

MB = 1 << 20


class Liveness(unittest.TestCase):
    def assert_shown_streaming(self, lab, road):
        """tarn's bus object and tarnctl show the session with the viewer's
        address and bytes moving both ways (from the viewer: its request)."""
        session = bus_session(lab, road.sid, lambda s: s["bytes_to_peer"] >= MB
                              and s["bytes_from_peer"] == len(REQUEST))
        peer = lab.public_addr("app") + ":"
        self.assertEqual((session["state"], session["private"]), ("streaming", False))
        self.assertTrue(session["peer"].startswith(peer), session)
        shown = lab.run("dev", ["tarnctl", "status"])
        self.assertRegex(shown.stdout, "%s +streaming +%s" % (road.sid, peer))

    def test_clean_with_the_viewer_gone_or_not_reading(self):
        for fault, sig in (("vanished", signal.SIGKILL), ("stalled", signal.SIGSTOP)):
            with self.subTest(fault), Lab() as lab:
                start_media(lab)
                daemon = start_device(lab)
                road = Road(lab, "--seconds", "300")
                road.wait_progress(received=2 * MB)
                if fault == "vanished":
                    self.assert_shown_streaming(lab, road)
                # The media connection and the punched socket under UDT, like
                # every other descriptor, stay out of cloud_log and the shell.
                self.assertEqual(inheritable_fds(daemon.pid), [])
                road.peer.send_signal(sig)
                with LoopProbe("do_tarn_clean, viewer " + fault,
                               lambda: lab.socket("dev", kind=socket.SOCK_STREAM)) as probe:
                    self.assertEqual(lab.run("dev", ["tarnctl", "clean"]).returncode, 0)
                    report = road.report()
                    # Half a second of probing after the session ended.
                    count = len(probe.latencies)
                    wait_until(lambda: len(probe.latencies) >= count + 10, what="10 answers")
                self.assertEqual(report["streamInfo"]["stopReason"], 5)
                self.assertEqual(probe.failures, 0)
                self.assertLess(probe.worst_ms, 1000, fault)
                road.peer.kill()
                self.assertEqual(daemon.stop(), 0)

    def test_sigterm_with_eight_streams_reports_each(self):
        with Lab() as lab:
            start_media(lab)
            daemon = start_device(lab)
            roads = [Road(lab, "--seconds", "300") for _ in range(8)]
            for road in roads:
                road.wait_progress(received=MB)
            started = time.monotonic()
            self.assertEqual(daemon.stop(), 0)
            record("SIGTERM with 8 streams", exit_ms=round((time.monotonic() - started) * 1000))
            for road in roads:
                self.assertEqual(road.report()["streamInfo"]["stopReason"], 5)


if __name__ == "__main__":
    unittest.main()
