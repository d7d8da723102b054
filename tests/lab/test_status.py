"""During a road, tarn's bus object shows the live session with the
application's address and bytes moving both ways, and tarnctl prints it."""

import json
import signal
import unittest

from roads import REQUEST, Lab, Road, start_device, start_media
from tarn_daemon import wait_until

MB = 1 << 20


class Status(unittest.TestCase):
    def test_status_shows_a_streaming_session(self):
        with Lab() as lab:
            start_media(lab)
            daemon = start_device(lab)
            road = Road(lab, "--seconds", "300")
            road.wait_received(MB)

            def streaming():
                out = lab.run("dev", ["ubus", "-t", "5", "call", "tarn", "status"])
                sessions = json.loads(out.stdout)["sessions"] if out.returncode == 0 else []
                # From the peer: its request, which opened the media server.
                return [s for s in sessions if s["sid"] == road.sid and s["bytes_to_peer"] >= MB
                        and s["bytes_from_peer"] == len(REQUEST)]
            (session,) = wait_until(streaming, 60, "the session's bytes on the bus")
            peer = lab.public_addr("app") + ":"
            self.assertEqual(session["state"], "streaming")
            self.assertIs(session["private"], False)
            self.assertTrue(session["peer"].startswith(peer), session)
            shown = lab.run("dev", ["tarnctl", "status"])
            self.assertEqual(shown.returncode, 0, shown.stderr)
            self.assertRegex(shown.stdout, "%s +streaming +%s" % (road.sid, peer))
            road.peer.send_signal(signal.SIGINT)
            self.assertEqual(road.finish()["exit"], 0)
            self.assertEqual(daemon.stop(), 0)


if __name__ == "__main__":
    unittest.main()
