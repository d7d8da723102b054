"""The "action" request: tarn passes a share-information notice to web_media
over ubusd, on a connection of its own, and answers nothing."""

import os
import subprocess
import unittest

from tarn_daemon import BIN, Bus, Daemon, connect, reap, set_device_mac, wait_until

WEB_MEDIA_LOG = "/var/log/web_media.log"
ACTION = b'{"action":"share"}'


def start_web_media():
    """Starts the stand-in; returns the pid of its background process."""
    pidfile = "/run/web_media.pid"
    subprocess.run([os.path.join(BIN, "web_media"), "-p", pidfile], check=True)
    with open(pidfile) as f:
        return int(f.read())


def recorded():
    try:
        with open(WEB_MEDIA_LOG) as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


class ShareInfo(unittest.TestCase):
    def setUp(self):
        set_device_mac("00:11:22:aa:bb:cc")
        if os.path.exists(WEB_MEDIA_LOG):
            os.unlink(WEB_MEDIA_LOG)

    def send(self, daemon, line):
        before = daemon.log().count(line)
        closed = daemon.log().count("connection closed")
        with connect() as s:
            s.sendall(ACTION)
            daemon.wait_log(line, count=before + 1)
            s.setblocking(False)
            with self.assertRaises(BlockingIOError):
                s.recv(1)  # handled without an answer, still open
        daemon.wait_log("connection closed", count=closed + 1)

    def test_each_request_notifies_web_media_once(self):
        with Bus():
            web_media = start_web_media()
            with Daemon() as d:
                self.send(d, "start to notify web_media. ")
                wait_until(lambda: len(recorded()) == 1, what="the first notice")
                self.send(d, "start to notify web_media. ")
                wait_until(lambda: len(recorded()) == 2, what="the second notice")
                self.assertEqual(recorded(), ["{}", "{}"])
                self.assertNotIn("failed", d.log())
                # Each notice closes its own bus connection again.
                fds = d.open_fds()
                self.send(d, "start to notify web_media. ")
                self.assertEqual(d.open_fds(), fds)
                self.assertEqual(d.stop(), 0)
        # The stand-in leaves with the bus.
        self.assertEqual(reap(web_media), 0)

    def test_missing_service_or_bus_is_logged(self):
        with Daemon() as d:
            self.send(d, "connect to ubusd failed!")
            with Bus():
                self.send(d, "ubus lookup id web_media failed.")
            self.assertEqual(recorded(), [])
            self.assertEqual(d.stop(), 0)


if __name__ == "__main__":
    unittest.main()
