"""Whole roads: an application behind a NAT reaches the device's media through
tarn, and each session's end is reported to cloud_log."""

import signal
import unittest

from roads import REQUEST, Lab, Road, pattern, start_device, start_media
from tarn_daemon import inheritable_fds

MB = 1 << 20


class Roads(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for tool in ("tarn-peer", "tarn-media"):
            Lab.require_tool(tool)

    def test_port_restricted_both_sides_carries_media_both_ways(self):
        with Lab(device="port-restricted", app="port-restricted") as lab:
            start_media(lab)
            daemon = start_device(lab)
            # Both ways at once: with a viewer's receive settings the download
            # takes the device's UDP buffer and the upstream crawls (see
            # docs/performance.md), so this road uses the device's table.
            road = Road(lab, "--device-options", "--verify", "--send-bytes", str(MB),
                        "--seconds", "300")
            # The device relays toward the media server at its own pace: the
            # application stays until everything it sent has arrived there.
            record = road.media_record(len(REQUEST) + MB)
            self.assertEqual(record[:len(REQUEST)], REQUEST)
            self.assertTrue(record[len(REQUEST):] == pattern(MB), "upstream bytes differ")
            road.wait_received(8 * MB)
            summary = road.stop()
            self.assertEqual(summary["exit"], 0, summary)
            self.assertGreaterEqual(summary["bytes_recv"], 8 * MB)
            self.assertEqual((summary["pattern_errors"], summary["bytes_sent"]), (0, MB))

            # The application closed: UDT breaks and the session ends.
            report = road.report()
            self.assertEqual((report["stage"], report["errorCode"]), (3, 0))
            self.assertEqual(report["streamInfo"]["stopReason"], 2)
            self.assertEqual(report["streamInfo"]["dataCountRecv"], str(len(REQUEST) + MB))
            self.assertGreaterEqual(int(report["streamInfo"]["dataCountSent"]), 8 * MB)
            punch = report["punchInfo"]
            self.assertEqual(punch["srcIPRecv"], lab.public_addr("app"))
            self.assertGreater(punch["udtConnectedTimeOffset"], 0)
            self.assertEqual(len(punch["publicPorts"]), 7)
            self.assertEqual(daemon.stop(), 0)

    def test_device_first_ack_lost_still_streams(self):
        # A viewer probing faster than once a second used to restart the
        # device's one-second count with each SYN: the sweep that repeats a
        # lost ACK never came and the road died at the 20 s deadline.
        with Lab() as lab:
            start_media(lab)
            daemon = start_device(lab)
            # A lab device's sid starts with '0' (its MAC), so its ACKs with
            # '1'; the quota lets exactly one datagram of that size be hit.
            rule = ["OUTPUT", "-p", "udp", "-m", "u32", "--u32", "0>>22&0x3C@8>>24=0x31",
                    "-m", "quota", "--quota", "100", "-j", "DROP"]
            iptables = lab._iptables("dev")
            lab.run("dev", [iptables, "-A"] + rule, check=True)
            road = Road(lab, "--verify", "--bytes", str(MB), "--probe-interval", "0.3")
            summary = road.finish()
            self.assertEqual((summary["exit"], summary["pattern_errors"]), (0, 0), summary)
            listing = lab.run("dev", [iptables, "-nvxL", "OUTPUT"], check=True).stdout
            dropped = [int(line.split()[0]) for line in listing.splitlines() if "quota" in line]
            self.assertEqual(dropped, [1], listing)
            self.assertIn("Send ACK", daemon.log())
            self.assertEqual(road.report()["stage"], 3)

    def test_same_lan_takes_the_private_path(self):
        with Lab(device="port-restricted", app="same-lan") as lab:
            start_media(lab)
            start_device(lab)
            road = Road(lab, "--bytes", str(MB))
            self.assertEqual(road.finish()["exit"], 0)
            self.assertEqual(road.report()["punchInfo"]["srcIPRecv"], lab.addr("app"))

    def test_open_and_full_cone_sides_connect(self):
        for device, app in (("open", "port-restricted"), ("full-cone", "symmetric")):
            with self.subTest(device=device, app=app), Lab(device=device, app=app) as lab:
                start_media(lab)
                start_device(lab)
                road = Road(lab, "--verify", "--bytes", str(MB))
                summary = road.finish()
                self.assertEqual((summary["exit"], summary["pattern_errors"]), (0, 0), summary)
                self.assertEqual(road.report()["stage"], 3)

    def test_symmetric_both_sides_never_connect(self):
        with Lab(device="symmetric", app="symmetric") as lab:
            start_media(lab)
            start_device(lab)
            road = Road(lab, "--punch-timeout", "25")
            report = road.report(timeout=40)
            self.assertEqual((report["stage"], report["errorCode"]), (2, -52014))
            self.assertEqual(road.finish()["exit"], 4)

    def test_media_server_absent_then_closing(self):
        with Lab() as lab:
            daemon = start_device(lab)
            # Nobody listens: the first application bytes cannot reach it.
            road = Road(lab, "--seconds", "3")
            report = road.report()
            self.assertEqual((report["stage"], report["streamInfo"]["stopReason"]), (3, 3))
            road.finish()

            # The media server ends its stream: the session stays, and the
            # application's next bytes open a new connection.
            start_media(lab, "--close-after", "200000")
            road = Road(lab, "--send-bytes", str(MB), "--seconds", "30")
            daemon.wait_log("connection to local server is closed.")
            daemon.wait_log("connecting to local server: streamd", count=3)
            self.assertEqual(lab.run("dev", ["tarnctl", "clean"]).returncode, 0)
            report = road.report()
            self.assertEqual((report["stage"], report["streamInfo"]["stopReason"]), (3, 5))
            road.finish()

    def test_clean_and_sigterm_while_streaming(self):
        with Lab() as lab:
            start_media(lab, "--rate", "200000")
            daemon = start_device(lab)
            road = Road(lab, "--seconds", "60")
            daemon.wait_log("connecting to local server: streamd")
            # The media connection and the punched socket under UDT, like
            # every other descriptor, stay out of cloud_log and the shell.
            self.assertEqual(inheritable_fds(daemon.pid), [])
            self.assertEqual(lab.run("dev", ["tarnctl", "clean"]).returncode, 0)
            self.assertEqual(road.report()["streamInfo"]["stopReason"], 5)
            road.finish()

            road = Road(lab, "--seconds", "60")
            daemon.wait_log("connecting to local server: streamd", count=2)
            self.assertEqual(daemon.stop(signal.SIGTERM), 0)
            self.assertEqual(road.report()["streamInfo"]["stopReason"], 5)
            road.finish()

    def test_slow_application_does_not_stall_the_daemon(self):
        with Lab() as lab:
            lab.limit_rate("app", 1000)
            start_media(lab)
            daemon = start_device(lab)
            slow = Road(lab, "--seconds", "20")
            daemon.wait_log("connecting to local server: streamd")
            slow.wait_received(64 * 1024)
            # While the slow one streams, the control port answers and a
            # second application connects.
            info = lab.run("dev", ["tarnctl", "-t", "2", "info"])
            self.assertEqual(info.stdout.strip(), '{"error_code":0,"result":{"version":"1.1"}}')
            second = Road(lab, "--bytes", "65536")
            self.assertEqual(second.finish()["exit"], 0)
            summary = slow.finish()
            self.assertEqual((summary["exit"], summary["end"]), (0, "time"), summary)
            # Roughly what the link lets through, well below an unshaped run.
            self.assertLess(summary["bytes_recv"], 20 * 1000 * 1000 // 8 * 2)


if __name__ == "__main__":
    unittest.main(verbosity=2)
