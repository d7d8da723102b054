"""Ending streaming sessions never stalls tarn's loop: the viewer gone, or
alive but no longer reading, when do_tarn_clean arrives; and SIGTERM with
eight streams. A loop probe asks get_tarn_info every 50 ms meanwhile; the
bound is generous on purpose (docs/reliability.md has the real figures)."""

import signal
import socket
import time
import unittest

from loop_probe import LoopProbe, record
from roads import Lab, Road, start_device, start_media

MB = 1 << 20
WORST_MS = 1000


def probe_in(lab, fault):
    return LoopProbe(fault, lambda: lab.socket("dev", kind=socket.SOCK_STREAM))


class Liveness(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for tool in ("tarn-peer", "tarn-media"):
            Lab.require_tool(tool)

    def test_clean_with_the_viewer_gone_or_not_reading(self):
        for fault, sig in (("vanished", signal.SIGKILL), ("stalled", signal.SIGSTOP)):
            with self.subTest(fault), Lab() as lab:
                start_media(lab)
                daemon = start_device(lab)
                road = Road(lab, "--seconds", "300")
                road.wait_received(2 * MB)
                road.peer.send_signal(sig)
                with probe_in(lab, "do_tarn_clean, viewer " + fault) as probe:
                    self.assertEqual(lab.run("dev", ["tarnctl", "clean"]).returncode, 0)
                    report = road.report()
                    time.sleep(0.5)
                self.assertEqual(report["streamInfo"]["stopReason"], 5)
                self.assertEqual(probe.failures, 0)
                self.assertLess(probe.worst_ms, WORST_MS, fault)
                road.peer.kill()
                self.assertEqual(daemon.stop(), 0)

    def test_sigterm_with_eight_streams_ends_at_once(self):
        with Lab() as lab:
            start_media(lab)
            daemon = start_device(lab)
            roads = [Road(lab, "--seconds", "300") for _ in range(8)]
            for road in roads:
                road.wait_received(MB)
            started = time.monotonic()
            self.assertEqual(daemon.stop(), 0)
            took = time.monotonic() - started
            record("SIGTERM with 8 streams", exit_ms=round(took * 1000))
            self.assertLess(took, 10)
            for road in roads:
                self.assertEqual(road.report()["streamInfo"]["stopReason"], 5)


if __name__ == "__main__":
    unittest.main()
