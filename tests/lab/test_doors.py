"""Doors a neighbour or a misbehaving viewer could walk through, tried in the
lab (docs/security.md): a media server that is absent or never accepts; a
viewer with smaller UDT segments; a viewer that stops reading."""

import json
import os
import socket
import unittest

from loop_probe import LoopProbe
from roads import MEDIA_PORT, Lab, Road, prepare_for, start_device, start_media
from tarn_daemon import BIN

MB = 1 << 20


class Doors(unittest.TestCase):
    def test_media_server_absent_or_never_accepting(self):
        for media in ("absent", "never accepts"):
            with self.subTest(media), Lab() as lab:
                daemon = start_device(lab)
                if media == "never accepts":
                    listening = lab.socket("dev", socket.SOCK_STREAM)
                    listening.bind(("127.0.0.1", MEDIA_PORT))
                    listening.listen(0)
                    # The one connection a backlog of 0 queues; later SYNs are dropped.
                    queued = lab.socket("dev", socket.SOCK_STREAM)
                    queued.connect(("127.0.0.1", MEDIA_PORT))
                    for s in (listening, queued):
                        self.addCleanup(s.close)
                with LoopProbe("media server " + media,
                               lambda: lab.socket("dev", kind=socket.SOCK_STREAM)) as probe:
                    road = Road(lab, "--seconds", "60")
                    # While that connect waits, another session is served.
                    daemon.wait_log("connecting to local server: streamd")
                    other = prepare_for(lab, "203.0.113.30:40000", "192.168.3.2:40000",
                                        "--wait", "5")
                    self.assertEqual(other["is_ready"], 1)
                    report = road.report()
                self.assertEqual((report["stage"], report["streamInfo"]["stopReason"]), (3, 3))
                # Only the viewer's session ended: the other one is still there.
                again = lab.run("dev", ["tarnctl", "ready", other["sid"]])
                self.assertEqual(json.loads(again.stdout).get("result", {}).get("is_ready"), 1)
                self.assertEqual(probe.failures, 0)
                self.assertLess(probe.worst_ms, 1000)  # generous: the old connect took minutes
                self.assertEqual(road.finish()["end"], "closed")

    def test_viewer_with_smaller_segments_gets_every_byte(self):
        # UDT on the device takes the viewer's 576-byte segments: its send
        # buffer then holds less than 1420 bytes a packet would say, and a send
        # that does not fit is taken only in part.
        with Lab() as lab:
            start_media(lab)
            start_device(lab)
            road = Road(lab, "--mss", "576", "--device-options", "--verify", "--bytes",
                        str(2 * MB))
            summary = road.finish()
            self.assertEqual((summary["exit"], summary["pattern_errors"]), (0, 0), summary)

    def test_viewer_that_stops_reading_is_ended(self):
        with Lab() as lab:
            start_media(lab)
            # tarn-test: the stall limit is 2 s instead of 60.
            daemon = start_device(lab, program=[os.path.join(BIN, "tarn-test")])
            road = Road(lab, "--stop-reading", str(MB), "--seconds", "120")
            report = road.report()
            stream = report["streamInfo"]
            self.assertEqual((report["stage"], stream["stopReason"]), (3, 2))
            self.assertGreaterEqual(int(stream["dataCountSent"]), MB)
            daemon.wait_log("udt send stalled for 2 s")
            summary = road.finish()
            self.assertEqual((summary["end"], summary["exit"]), ("closed", 0), summary)


if __name__ == "__main__":
    unittest.main(verbosity=2)
