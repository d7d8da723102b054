"""Whole roads: an application behind a NAT reaches the device's media through
tarn, and each session's end is reported to cloud_log."""

import json
import signal
import unittest

from nat_lab import STUN_ADDRS
from roads import (REQUEST, Lab, Road, device_reports, pattern, prepare_for, start_device,
                   start_media)
from tarn_daemon import wait_until

MB = 1 << 20
UP = 256 << 10  # upstream is paced at 2 KB per 15 ms


class Roads(unittest.TestCase):
    def test_port_restricted_both_sides_carries_talkback(self):
        with Lab(device="port-restricted", app="port-restricted") as lab:
            # The stream idles at a byte a second while the viewer talks back:
            # under a running stream UDT4 resends a lost upstream packet only
            # once the stream pauses (docs/performance.md).
            start_media(lab, "--rate", "1")
            daemon = start_device(lab)
            # With the device's socket table on both ends; a viewer's receive
            # settings make the upstream crawl.
            road = Road(lab, "--device-options", "--verify", "--send-bytes", str(UP),
                        "--seconds", "300")
            record = road.media_record(len(REQUEST) + UP)
            self.assertTrue(record == REQUEST + pattern(UP), "upstream bytes differ")
            road.wait_progress(received=2)
            road.peer.send_signal(signal.SIGINT)  # tarn-peer closes its UDT connection
            summary = road.finish()
            self.assertEqual((summary["exit"], summary["pattern_errors"], summary["bytes_sent"]),
                             (0, 0, UP), summary)
            self.assertGreaterEqual(summary["bytes_recv"], 2)

            # The application closed: UDT breaks and the session ends.
            report = road.report()
            stream, punch = report["streamInfo"], report["punchInfo"]
            self.assertEqual((report["stage"], report["errorCode"], stream["stopReason"],
                              stream["dataCountRecv"]), (3, 0, 2, str(len(REQUEST) + UP)))
            self.assertGreaterEqual(int(stream["dataCountSent"]), summary["bytes_recv"])
            self.assertEqual(punch["srcIPRecv"], lab.public_addr("app"))
            self.assertGreater(punch["udtConnectedTimeOffset"], 0)
            self.assertEqual(len(punch["publicPorts"]), 7)
            self.assertEqual(daemon.stop(), 0)

    def test_other_nat_pairs_connect(self):
        # (device, application, the source the device's punch accepted)
        for device, app, source in (("port-restricted", "same-lan", "app"),
                                    ("open", "port-restricted", "app-nat"),
                                    ("full-cone", "symmetric", "app-nat")):
            with self.subTest(device=device, app=app), Lab(device=device, app=app) as lab:
                start_media(lab)
                start_device(lab)
                road = Road(lab, "--verify", "--bytes", str(MB))
                summary = road.finish()
                self.assertEqual((summary["exit"], summary["pattern_errors"]), (0, 0), summary)
                report = road.report()
                self.assertEqual((report["stage"], report["punchInfo"]["srcIPRecv"]),
                                 (3, lab.addr(source)))

    def test_device_first_ack_lost_still_streams(self):
        # A viewer probing faster than once a second used to restart the
        # device's one-second count with each SYN: the sweep that repeats a
        # lost ACK never came and the road died at the 20 s deadline.
        with Lab() as lab:
            start_media(lab)
            start_device(lab)
            # A lab device's sid starts with '0' (its MAC), so its ACKs with
            # '1'; the quota lets exactly one datagram of that size be hit.
            lab.iptables("dev", "-A OUTPUT -p udp -m u32 --u32 0>>22&0x3C@8>>24=0x31 "
                         "-m quota --quota 100 -j DROP")
            road = Road(lab, "--verify", "--bytes", str(MB), "--probe-interval", "0.3")
            summary = road.finish()
            self.assertEqual((summary["exit"], summary["pattern_errors"]), (0, 0), summary)
            dropped = [int(line.split()[0]) for line in
                       lab.iptables("dev", "-nvxL OUTPUT").splitlines() if "quota" in line]
            self.assertEqual(dropped, [1])

    def test_symmetric_both_sides_never_connect(self):
        with Lab(device="symmetric", app="symmetric") as lab:
            # OpenWrt 21.02's layout (WAN as option device, MAC in a config
            # device section) and the STUN server by name.
            lab.write("dev", "/etc/hosts", "127.0.0.1 localhost\n%s stun.lab\n" % STUN_ADDRS[0])
            start_media(lab)
            daemon = start_device(lab, layout="current")
            road = Road(lab, "--punch-timeout", "25", stun="stun.lab:3478")
            result = road.answer["result"]
            self.assertEqual(list(result), ["dev_addr", "sid", "is_ready", "dev_imp_version",
                                            "nat_type"])
            addr = result["dev_addr"]
            self.assertTrue(result["sid"].startswith(lab.mac("dev").replace(":", "") + "-"))
            self.assertEqual((addr["pub_ip"], addr["pri_ip"]),
                             (lab.public_addr("dev"), lab.addr("dev")))
            # The public port is what the NAT mapped the STUN socket's port to.
            mapping = [e for e in lab.conntrack("dev-nat")
                       if "sport=%d dport=3478 " % addr["pri_port"] in e]
            self.assertEqual(len(mapping), 1, mapping)
            self.assertRegex(mapping[0], r"dport=%d\b" % addr["pub_port"])
            self.assertEqual(lab.read("dev", "/etc/tarn.conf"), "STUN_HOST=[%s]\n" % STUN_ADDRS[0])
            # Asked again once punching runs: the same answer, nothing restarted.
            again = lab.run("dev", ["tarnctl", "ready", road.sid]).stdout
            self.assertEqual(json.loads(again)["result"], dict(result, is_ready=1))
            daemon.wait_log("has started p2p")
            self.assertEqual(daemon.log().count("P2P_START..."), 1)

            # Nobody gets through: the deadline ends and reports the session.
            report = road.report(timeout=40)
            self.assertEqual((report["stage"], report["errorCode"]), (2, -52014))
            info = report["exchangeInfo"]
            self.assertEqual((info["devPublicIP"], info["devPublicPort"]),
                             (addr["pub_ip"], addr["pub_port"]))
            self.assertEqual(road.finish()["exit"], 4)
            self.assertEqual(daemon.stop(), 0)

    def test_slow_stun_answer_comes_through_is_p2p_ready(self):
        with Lab(device_wan_netem=(600, 0)) as lab:
            lab.start_device_daemon()
            polled, forgotten = (prepare_for(lab, "198.51.100.7:40000") for _ in range(2))
            self.assertEqual(list(polled), ["sid", "is_ready"])

            def ready():
                out = lab.run("dev", ["tarnctl", "ready", polled["sid"]]).stdout
                return json.loads(out)["result"].get("dev_addr")
            addr = wait_until(ready, timeout=10, what="the addresses")
            self.assertEqual(addr["pub_ip"], lab.public_addr("dev"))
            # Nobody asks for the other: it never punches, and its deadline ends it.
            report = device_reports(lab, lambda r: r.get("sessionID") == forgotten["sid"],
                                    timeout=40)[0]
            self.assertEqual((report["stage"], report["errorCode"]), (1, -52013))
            self.assertEqual(report["exchangeInfo"]["devPublicIP"], lab.public_addr("dev"))

if __name__ == "__main__":
    unittest.main(verbosity=2)
