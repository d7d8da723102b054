"""Sessions in the real daemon without a NAT: slots, clean-up, failures of
the public-address query and their reports, with ubusd and the cloud_log
stand-in running in the sandbox; the WAN device and MAC in either
/etc/config/network layout, and ubusd on either socket path. The STUN server
here is a silent UDP socket of the test's own that records what reaches it."""

import json
import os
import re
import signal
import socket
import subprocess
import threading
import time
import unittest

from tarn_daemon import (DEFAULT_SOCKET, LEGACY_SOCKET, Bus, Daemon, connect, network_config,
                         read_file, read_to_eof, request, set_device_mac, wait_reports,
                         wait_until, write_uci)

NOT_READY_KEYS = ["sid", "is_ready"]


def prepare_text(stun_url, pub=("198.51.100.7", 40000), pri=("192.168.1.20", 40001)):
    return json.dumps({"request": "prepare_p2p", "params": {
        "version": "1.0", "app_imp_version": 3, "stun_url": stun_url, "nat_type": 4,
        "peer_addr": {"pub_ip": pub[0], "pub_port": pub[1],
                      "pri_ip": pri[0], "pri_port": pri[1]}}})


class SilentStun:
    """A STUN server that never answers: records (arrival time, datagram)."""

    def __init__(self, addr=("127.0.0.1", 3478)):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(addr)
        self.sock.settimeout(0.2)
        self.received = []
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                data, src = self.sock.recvfrom(2048)
            except socket.timeout:
                continue
            self.received.append((time.monotonic(), data, src))

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()


def session_socket_port(addr="127.0.0.1"):
    """Port of tarn's UDP socket bound to addr (not 0.0.0.0)."""
    out = subprocess.run(["ss", "-uanpH"], capture_output=True, text=True, check=True).stdout
    ports = [int(m) for m in re.findall(r"%s:(\d+)\s.*\"tarn\"" % re.escape(addr), out)]
    assert len(ports) == 1, out
    return ports[0]


def prepare_session(stun_url="127.0.0.1"):
    answer = json.loads(request(prepare_text(stun_url)))
    assert answer["error_code"] == 0, answer
    return answer["result"]["sid"]


class Sessions(unittest.TestCase):
    def setUp(self):
        set_device_mac("00:11:22:aa:bb:cc")
        self.enterContext(Bus())
        self.stun = SilentStun()
        self.addCleanup(self.stun.close)
        self.daemon = self.enterContext(Daemon())

    def tearDown(self):
        if self.daemon.pid is not None:
            self.assertEqual(self.daemon.stop(), 0)

    def test_silent_server_gets_nine_requests_then_the_session_fails(self):
        start = time.monotonic()
        answer = json.loads(request(prepare_text("127.0.0.1:5000")))
        # Not ready after the 0.5 s prepare timer.
        self.assertGreaterEqual(time.monotonic() - start, 0.45)
        self.assertEqual(list(answer["result"].keys()), NOT_READY_KEYS)
        self.assertEqual(answer["result"]["is_ready"], 0)
        sid = answer["result"]["sid"]
        self.assertRegex(sid, r"^001122aabbcc-\d{10}-[0-9A-Za-z]{16}$")

        # The session's socket is bound to the WAN address (lo's here); the
        # NAT-type worker's sockets, which query the same server, are not.
        port = session_socket_port()
        (report,) = wait_reports(lambda r: r.get("sessionID") == sid)
        self.assertEqual(report["errorCode"], -52010)
        self.assertEqual(report["stage"], 1)
        # The port of the URL is ignored: every request went to 3478.
        mine = [(t, data) for t, data, src in self.stun.received if src[1] == port]
        times = [t for t, _ in mine]
        self.assertEqual(len(times), 9)
        for _, data in mine:
            self.assertEqual(len(data), 28)
            self.assertEqual(data[:2], b"\x00\x01")  # Binding Request
        gaps = [round((b - a) * 1000) for a, b in zip(times, times[1:])]
        for gap, expected in zip(gaps, [100, 200, 400, 800, 1600, 1600, 1600, 1600]):
            self.assertLess(abs(gap - expected), 80, gaps)
        # The resolved server is remembered for the next start.
        with open("/etc/tarn.conf") as f:
            self.assertEqual(f.read(), "STUN_HOST=[127.0.0.1]\n")

    def test_unresolvable_name_fails_the_session(self):
        # The sandbox has no name server: the resolver fails at once, before
        # the prepare timer, so the session ends unanswered.
        with connect() as s:
            s.sendall(prepare_text("stun.name.invalid").encode())
            (report,) = wait_reports(lambda r: r.get("errorCode") == -52009)
            self.daemon.wait_log("remove ev_timeout.", count=2)
            s.setblocking(False)
            with self.assertRaises(BlockingIOError):
                s.recv(1)
        self.assertEqual(report["stage"], 1)
        self.assertIn("dns resolve error", self.daemon.log())

    def test_thirty_third_session_is_refused_and_clean_frees_all(self):
        # All 32 at once: a silent server ends each session after about 9.5 s.
        conns = [connect() for _ in range(32)]
        for s in conns:
            s.sendall(prepare_text("127.0.0.1").encode())
        # The listener's backlog is 5: on a loaded machine the last connects
        # wait for the kernel's SYN retries.
        self.daemon.wait_log("prepare p2p end", count=32, timeout=60)
        answer = request(prepare_text("127.0.0.1"))
        self.assertEqual(answer, '{"error_code":24,"error_msg":"no idle sess is available"}')
        sids = []
        for s in conns:
            with s:
                sids.append(json.loads(read_to_eof(s))["result"]["sid"])
        self.assertEqual(len(set(sids)), 32)
        (refused,) = wait_reports(lambda r: r.get("errorCode") == 24)
        self.assertEqual((refused["stage"], refused["appImpVersion"]), (1, 0))
        self.assertNotIn("sessionID", refused)

        # The 32 carry on: is_p2p_ready still finds each of them.
        for sid in sids[::8]:
            ready = json.loads(request(json.dumps(
                {"request": "is_p2p_ready", "params": {"sid": sid}})))
            self.assertEqual(ready["result"], {"sid": sid, "is_ready": 0})

        with connect() as s:
            s.sendall(b'{"request":"do_tarn_clean"}')
            cleaned = wait_reports(lambda r: r.get("sessionID") in sids, count=32)
        self.assertEqual({r["errorCode"] for r in cleaned}, {-52015})
        # Every slot is free again.
        self.assertNotEqual(prepare_session(), sids[0])

    def test_sigterm_reports_every_live_session(self):
        sids = {prepare_session() for _ in range(3)}
        self.assertEqual(self.daemon.stop(signal.SIGTERM), 0)
        ended = wait_reports(lambda r: r.get("sessionID") in sids, count=3)
        self.assertEqual({r["errorCode"] for r in ended}, {-52015})

    def test_stun_host_flipping_is_written_seldom_and_the_last_one_wins(self):
        # Each write is a new file renamed over the old one: count the files.
        written = set()
        changes = self.daemon.log().count("stun host changed")
        for i in range(10):
            prepare_session("127.0.0.%d" % (3 + i % 2))
            self.daemon.wait_log("stun host changed", count=changes + i + 1)
            written.add(os.stat("/etc/tarn.conf").st_ino)
        self.assertLessEqual(len(written), 2)
        wait_until(lambda: read_file("/etc/tarn.conf") == "STUN_HOST=[127.0.0.4]\n",
                   timeout=10, what="the last host in tarn.conf")

    def test_answer_is_dropped_when_libcloud_hung_up(self):
        with connect() as s:
            s.sendall(prepare_text("127.0.0.1").encode())
        self.daemon.wait_log("answer dropped")
        # The daemon goes on serving.
        self.assertTrue(request('{"request":"get_tarn_info"}').startswith('{"error_code":0'))


def clean_and_report(sid):
    """Ends every session; the report of sid as cloud_log received it."""
    with connect() as s:
        s.sendall(b'{"request":"do_tarn_clean"}')
        (report,) = wait_reports(lambda r: r.get("sessionID") == sid)
    return report


class WanDevice(unittest.TestCase):
    """The WAN device is a veth with a known MAC and address in the sandbox's
    own network namespace."""
    WAN, MAC, ADDR = "wan0", "02:5a:00:00:00:07", "192.0.2.7"

    def setUp(self):
        ip = ["ip", "link", "add", self.WAN, "address", self.MAC, "type", "veth", "peer", "name"]
        subprocess.run(ip + [self.WAN + "p"], check=True)
        subprocess.run(["ip", "addr", "add", self.ADDR + "/24", "dev", self.WAN], check=True)
        subprocess.run(["ip", "link", "set", self.WAN, "up"], check=True)

    def test_wan_address_and_mac_in_either_layout(self):
        table = [  # layout, MAC in uci, MAC in the session id
            ("legacy", "00:11:22:aa:bb:cc", "001122aabbcc"),  # uci's MAC comes first
            ("legacy", None, "025a00000007"),                 # else the device's own
            ("current", self.MAC, "025a00000007"),            # only in a config device
            ("current", None, "025a00000007"),                # only on the device
        ]
        stun = SilentStun((self.ADDR, 3478))
        self.addCleanup(stun.close)
        with Bus():
            for layout, uci_mac, sid_mac in table:
                with self.subTest(layout=layout, uci_mac=uci_mac):
                    write_uci("network", network_config(self.WAN, uci_mac, layout))
                    with Daemon() as d:
                        sid = prepare_session(self.ADDR)
                        self.assertRegex(sid, r"^%s-\d{10}-[0-9A-Za-z]{16}$" % sid_mac)
                        # The session's STUN socket is bound to the WAN address.
                        src = (self.ADDR, session_socket_port(self.ADDR))
                        wait_until(lambda: any(s == src for _, _, s in stun.received),
                                   what="a request from the WAN address")
                        self.assertEqual(clean_and_report(sid)["errorCode"], -52015)
                        self.assertNotIn("read local ifname error", d.log())
                        self.assertEqual(d.stop(), 0)


class BusSockets(unittest.TestCase):
    def test_report_and_share_notice_on_either_socket(self):
        set_device_mac("00:11:22:aa:bb:cc")
        notices = "/var/log/web_media.log"
        for path in (LEGACY_SOCKET, DEFAULT_SOCKET):
            with self.subTest(socket=path), Bus(path), Daemon() as d:
                # tarn starts cloud_log, which finds the same bus.
                sid = prepare_session()
                self.assertEqual(clean_and_report(sid)["errorCode"], -52015)
                subprocess.run(["web_media", "-o", notices], check=True)
                with connect() as s:
                    s.sendall(b'{"action":"share"}')
                    d.wait_log("start to notify web_media. ")
                wait_until(lambda: open(notices).read() == "{}\n", what="the notice")
                self.assertNotIn("failed", d.log())
                self.assertEqual(d.stop(), 0)
            os.unlink(notices)


if __name__ == "__main__":
    unittest.main(verbosity=2)
